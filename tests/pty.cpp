// Pseudo-terminal runner for the terminal-level tests.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

static long now_ms() {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Pty::~Pty() {
  signal(SIGKILL);
  reap(true);
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool Pty::spawn(const std::function<void()> &child) {
  // The kernel's default attributes: line mode with echo, as a shell leaves
  // the terminal for the programs it starts.
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
  const char *name = ptsname(master_);
  if (!name || (slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) return false;
  if (tcgetattr(slave_, &before_) != 0) return false;
  fflush(nullptr);  // nothing buffered may be written twice after the fork
  pid_ = fork();
  if (pid_ != 0) return pid_ > 0;
  // The dispositions of a program started from an interactive shell: the
  // test itself may run with SIGINT and SIGQUIT ignored or blocked.
  for (int sig = 1; sig < NSIG; sig++) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // The terminal as controlling terminal of a new session and as the
  // standard descriptors (dup2 drops close-on-exec).
  if (setsid() < 0 || ioctl(slave_, TIOCSCTTY, 0) != 0 || dup2(slave_, 0) < 0 || dup2(slave_, 1) < 0 ||
      dup2(slave_, 2) < 0)
    _exit(126);
  close(master_);
  if (slave_ > 2) close(slave_);
  child();
  _exit(127);
}

bool Pty::start(const std::string &path, const std::vector<std::string> &args, const std::string &cwd) {
  std::vector<char *> argv{const_cast<char *>(path.c_str())};
  for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return spawn([&] {
    // A bare name is looked up on the PATH, as a shell would.
    if (chdir(cwd.c_str()) == 0) execvp(path.c_str(), argv.data());
  });
}

bool Pty::start(const std::function<int()> &fn) { return spawn([&] { exit(fn()); }); }

void Pty::send(const std::string &keys) {
  for (ssize_t n, done = 0; done < (ssize_t)keys.size() && (n = write(master_, &keys[done], keys.size() - done)) > 0;)
    done += n;
}

void Pty::signal(int sig) { if (pid_ > 0 && !ended_) kill(pid_, sig); }

void Pty::read_some(int wait_ms) {  // all there is, waiting up to wait_ms for the first
  char buf[4096];
  ssize_t n;
  for (struct pollfd p = {master_, POLLIN, 0}; poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN) &&
                                               (n = read(master_, buf, sizeof buf)) > 0;
       wait_ms = 0)
    raw_.append(buf, (size_t)n);
}

bool Pty::reap(bool block) {
  if (!ended_ && pid_ > 0 && waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_) ended_ = true;
  return ended_;
}

std::string Pty::text() const {
  std::string out;
  for (size_t i = 0; i < raw_.size(); i++) {
    if (plain_ && raw_[i] == '\x1b' && i + 1 == raw_.size()) break;  // the rest of it is yet to come
    if (plain_ && raw_[i] == '\x1b' && raw_[i + 1] == '[') {
      size_t end = i + 2;  // parameters run up to the final byte, 0x40-0x7e
      while (end < raw_.size() && (raw_[end] < 0x40 || raw_[end] > 0x7e)) end++;
      if (end < raw_.size() && raw_[end] == 'C') out.append((size_t)std::max(1, atoi(raw_.c_str() + i + 2)), ' ');
      i = end;  // an unfinished sequence at the end shows nothing yet
    } else if (raw_[i] != '\r' || (!plain_ && !(i + 1 < raw_.size() && raw_[i + 1] == '\n'))) {
      out += raw_[i];
    }
  }
  return out;
}

bool Pty::wait_for(const std::string &text_wanted, size_t from, int limit_ms) {
  return wait_until(
      [&](const std::string &t) { return t.size() >= from && t.find(text_wanted, from) != std::string::npos; },
      limit_ms);
}

bool Pty::wait_until(const std::function<bool(const std::string &)> &seen, int limit_ms) {
  long end = now_ms() + limit_ms;
  for (;;) {
    if (seen(text())) return true;
    if (ended_) return false;  // everything it wrote has been read already
    long left = end - now_ms();
    if (left <= 0) return false;
    read_some(reap(false) ? 0 : left < 50 ? (int)left : 50);  // a last look after the end
  }
}

int Pty::wait_exit(int limit_ms) {
  long end = now_ms() + limit_ms;
  while (!reap(false)) {  // reading on, so a child never blocks on a full terminal
    if (now_ms() >= end) {
      signal(SIGKILL);
      reap(true);
      return -1;
    }
    read_some(50);
  }
  read_some(20);
  return status_;
}

bool Pty::now(struct termios *t) const { return slave_ >= 0 && tcgetattr(slave_, t) == 0; }

bool Pty::restored() const {
  struct termios t;
  return now(&t) && t.c_iflag == before_.c_iflag && t.c_oflag == before_.c_oflag &&
         t.c_cflag == before_.c_cflag && t.c_lflag == before_.c_lflag &&
         memcmp(t.c_cc, before_.c_cc, sizeof t.c_cc) == 0;
}
