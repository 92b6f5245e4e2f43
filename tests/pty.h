// Runs a program (or a function, in a child process) in a pseudo-terminal,
// as a person at a terminal would: the test types keys, waits for text,
// sends signals and collects the exit status. The terminal's attributes stay
// readable after the child has gone, so a test can check they were put back.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

struct Pty {
  ~Pty() { signal(SIGKILL), reap(0), close(master_), close(slave_); }  // -1 for one never opened
  // Starts path with the arguments (argv[0] is path) in directory cwd; a bare
  // name is looked up on the PATH, as a shell would.
  bool start(const std::string &path, const std::vector<std::string> &args, const std::string &cwd);
  // Starts a child that runs fn on the terminal and ends with exit(fn()), so
  // that atexit handlers run as after a return from main.
  bool start(const std::function<int()> &fn);
  void send(const std::string &keys) {
    for (ssize_t n, done = 0; done < (ssize_t)keys.size() && (n = write(master_, &keys[done], keys.size() - done)) > 0;)
      done += n;
  }
  void signal(int sig) { pid_ > 0 && !ended_ && kill(pid_, sig); }
  // Waits until the output from offset `from` on contains text; false when
  // limit_ms pass, or the child ends, without it.
  bool wait_for(const std::string &want, size_t from = 0, int limit_ms = 20000) {
    return wait_until([&](const std::string &t) { return t.size() >= from && t.find(want, from) != t.npos; }, limit_ms);
  }
  // Waits until seen(text()) is true; false when limit_ms pass, or the child
  // ends, first.
  bool wait_until(const std::function<bool(const std::string &)> &seen, int limit_ms = 20000);
  // The output so far, with the terminal's "\r\n" turned back into "\n".
  // In plain mode (for programs that draw on the terminal, such as wine's
  // console) every "\r" and every control sequence is dropped, and a cursor
  // movement forward becomes that many spaces.
  std::string text() const;
  size_t mark() const { return text().size(); }
  // Waits for the child to end and returns its wait status; -1 when it has
  // not ended within limit_ms (it is then killed).
  int wait_exit(int limit_ms = 20000);
  // Whether the terminal's modes are all as they were before the start (t
  // zeroed as before_, so the padding compares equal).
  bool restored(termios t = {}) const { return tcgetattr(slave_, &t) == 0 && memcmp(&t, &before_, sizeof t) == 0; }

  void read_some(int wait_ms);
  bool reap(int options) { return ended_ = ended_ || (pid_ > 0 && waitpid(pid_, &status_, options) == pid_); }
  // The slave side is kept open, so the attributes stay readable after the child.
  int master_ = -1, slave_ = -1, status_ = 0, pid_ = -1;
  bool ended_ = false, plain = false;
  std::string raw_;
  struct termios before_ {};
};
