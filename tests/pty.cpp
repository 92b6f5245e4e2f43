// Pseudo-terminal runner for the terminal-level tests.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>

static long now_ms(timespec t = {}) {
  return clock_gettime(CLOCK_MONOTONIC, &t), t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool Pty::start(const std::function<int()> &child) {
  // The kernel's default attributes: line mode with echo, as a shell leaves
  // the terminal for the programs it starts.
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char *name = master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 ? ptsname(master_) : nullptr;
  if (!name || (slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 || tcgetattr(slave_, &before_) != 0)
    return false;
  fflush(nullptr);  // nothing buffered may be written twice after the fork
  if ((pid_ = fork()) != 0) return pid_ > 0;
  // The dispositions of a program started from an interactive shell: the
  // test itself may run with SIGINT and SIGQUIT ignored or blocked.
  for (int sig = 1; sig < NSIG; sig++) ::signal(sig, SIG_DFL);
  const sigset_t none = {};
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // The terminal as controlling terminal of a new session and as the
  // standard descriptors (dup2 drops close-on-exec).
  if (setsid() < 0 || ioctl(slave_, TIOCSCTTY, 0) != 0 || dup2(slave_, 0) < 0 || dup2(slave_, 1) < 0 ||
      dup2(slave_, 2) < 0)
    _exit(126);
  close(master_), slave_ > 2 && close(slave_);
  exit(child());  // atexit handlers run as after a return from main
}

bool Pty::start(const std::string &path, const std::vector<std::string> &args, const std::string &cwd) {
  std::vector<char *> argv{const_cast<char *>(path.c_str())};
  for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);  // after a failed exec nothing of this process's own may run in the child
  return start([&] { return chdir(cwd.c_str()) || execvp(path.c_str(), argv.data()), _exit(127), 0; });
}

void Pty::read_some(int wait_ms) {  // all there is, waiting up to wait_ms for the first
  char buf[4096];
  ssize_t n;
  for (struct pollfd p = {master_, POLLIN, 0};
       poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN) && (n = read(master_, buf, sizeof buf)) > 0; wait_ms = 0)
    raw_.append(buf, (size_t)n);
}

std::string Pty::text() const {
  std::string out;
  for (size_t i = 0; i < raw_.size(); i++) {
    if (plain && raw_[i] == '\x1b' && (i + 1 == raw_.size() || raw_[i + 1] == '[')) {
      size_t end = i + 2;  // parameters run up to the final byte, 0x40-0x7e
      while (end < raw_.size() && (raw_[end] < 0x40 || raw_[end] > 0x7e)) end++;
      if (end < raw_.size() && raw_[end] == 'C') out.append((size_t)std::max(1, atoi(raw_.c_str() + i + 2)), ' ');
      i = end;  // an unfinished sequence at the end shows nothing yet
    } else if (raw_[i] != '\r' || (!plain && !(i + 1 < raw_.size() && raw_[i + 1] == '\n'))) {
      out += raw_[i];
    }
  }
  return out;
}

bool Pty::wait_until(const std::function<bool(const std::string &)> &seen, int limit_ms) {
  for (long end = now_ms() + limit_ms, left;; read_some(reap(WNOHANG) ? 0 : (int)std::min(left, 50L))) {
    if (seen(text())) return true;
    if (ended_ || (left = end - now_ms()) <= 0) return false;  // once ended, all it wrote has been read
  }
}

int Pty::wait_exit(int limit_ms) {
  for (long end = now_ms() + limit_ms; !reap(WNOHANG); read_some(50))  // reading on: a full terminal would block it
    if (now_ms() >= end) return signal(SIGKILL), reap(0), -1;
  return read_some(20), status_;
}
