// Pseudo-terminal runner for the terminal-level tests.
#include "pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Gives the child the signal dispositions of a program started from an
// interactive shell: the test may itself run with SIGINT and SIGQUIT ignored
// (as a shell leaves them for a command started in the background), and that
// must not carry over to the program under test.
void default_signals() {
  for (int sig = 1; sig < NSIG; sig++) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Makes the terminal behind descriptor s the controlling terminal of a new
// session and the child's standard input, output and error.
bool become_terminal_user(int s) {
  default_signals();
  if (setsid() < 0 || ioctl(s, TIOCSCTTY, 0) != 0) return false;
  if (dup2(s, 0) < 0 || dup2(s, 1) < 0 || dup2(s, 2) < 0) return false;
  if (s > 2) close(s);
  return true;
}

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool same_termios(const struct termios &a, const struct termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

Pty::~Pty() {
  if (pid_ > 0 && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool Pty::open_terminal() {
  // The kernel's default attributes: a terminal in line mode with echo, as a
  // shell leaves it for the programs it starts.
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
  const char *name = ptsname(master_);
  if (!name) return false;
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) return false;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  struct winsize ws {};
  ws.ws_row = 24;
  ws.ws_col = 80;
  ioctl(slave_, TIOCSWINSZ, &ws);
  if (tcgetattr(slave_, &before_) != 0) return false;
  fflush(nullptr);  // nothing buffered may be written twice after the fork
  return true;
}

bool Pty::start(const std::string &path, const std::vector<std::string> &args,
                const std::string &cwd) {
  if (!open_terminal()) return false;
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : all) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // The copy of the terminal descriptor is close-on-exec anyway.
    int s = dup(slave_);
    if (s < 0 || !become_terminal_user(s)) _exit(126);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  return true;
}

bool Pty::start(const std::function<int()> &fn) {
  if (!open_terminal()) return false;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    close(master_);
    int s = dup(slave_);
    close(slave_);
    if (s < 0 || !become_terminal_user(s)) _exit(126);
    exit(fn());
  }
  return true;
}

void Pty::send(const std::string &keys) {
  size_t done = 0;
  while (done < keys.size()) {
    ssize_t n = write(master_, keys.data() + done, keys.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += (size_t)n;
  }
}

void Pty::signal(int sig) {
  if (pid_ > 0 && !ended_) kill(pid_, sig);
}

void Pty::read_some(int wait_ms) {
  struct pollfd p = {master_, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0 || !(p.revents & POLLIN)) return;
  char buf[4096];
  ssize_t n = read(master_, buf, sizeof buf);
  if (n > 0) raw_.append(buf, (size_t)n);
}

bool Pty::reap(bool block) {
  if (ended_) return true;
  if (pid_ <= 0) return false;
  pid_t r = waitpid(pid_, &status_, block ? 0 : WNOHANG);
  if (r == pid_) ended_ = true;
  return ended_;
}

std::string Pty::text() const {
  std::string out;
  out.reserve(raw_.size());
  for (size_t i = 0; i < raw_.size(); i++)
    if (!(raw_[i] == '\r' && i + 1 < raw_.size() && raw_[i + 1] == '\n')) out += raw_[i];
  return out;
}

bool Pty::wait_for(const std::string &text_wanted, size_t from, int limit_ms) {
  long end = now_ms() + limit_ms;
  for (;;) {
    std::string t = text();
    if (t.size() >= from && t.find(text_wanted, from) != std::string::npos) return true;
    if (ended_) return false;  // everything it wrote has been read already
    long left = end - now_ms();
    if (left <= 0) return false;
    if (reap(false)) {
      read_some(0);
      read_some(0);
      continue;  // one last look at what came before the end
    }
    read_some(left < 50 ? (int)left : 50);
  }
}

int Pty::wait_exit(int limit_ms) {
  long end = now_ms() + limit_ms;
  // Keep reading, so that a child with much to say never blocks on a full
  // terminal buffer.
  while (!reap(false)) {
    if (now_ms() >= end) {
      kill(pid_, SIGKILL);
      reap(true);
      return -1;
    }
    read_some(50);
  }
  for (size_t before = (size_t)-1; before != raw_.size();) {
    before = raw_.size();
    read_some(20);
  }
  return status_;
}

bool Pty::now(struct termios *t) const { return slave_ >= 0 && tcgetattr(slave_, t) == 0; }
