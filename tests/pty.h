// Runs a program (or a function, in a child process) in a pseudo-terminal,
// as a person at a terminal would: the test types keys, waits for text,
// sends signals and collects the exit status. The terminal's attributes stay
// readable after the child has gone, so a test can check they were put back.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <vector>

class Pty {
 public:
  Pty() = default;
  ~Pty();  // kills a child that is still running
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;

  // Starts path with the arguments (argv[0] is path) in directory cwd.
  bool start(const std::string &path, const std::vector<std::string> &args, const std::string &cwd);
  // Starts a child that runs fn on the terminal and ends with exit(fn()), so
  // that atexit handlers run as after a return from main.
  bool start(const std::function<int()> &fn);

  void send(const std::string &keys);
  void signal(int sig);

  // Waits until the output from offset `from` on contains text; false when
  // limit_ms pass, or the child ends, without it.
  bool wait_for(const std::string &text, size_t from = 0, int limit_ms = 20000);
  // Waits until seen(text()) is true; false when limit_ms pass, or the child
  // ends, first.
  bool wait_until(const std::function<bool(const std::string &)> &seen, int limit_ms = 20000);
  // The output so far, with the terminal's "\r\n" turned back into "\n".
  // In plain mode (for programs that draw on the terminal, such as wine's
  // console) every "\r" and every control sequence is dropped, and a cursor
  // movement forward becomes that many spaces.
  std::string text() const;
  void plain(bool on) { plain_ = on; }
  size_t mark() const { return text().size(); }

  // Waits for the child to end and returns its wait status; -1 when it has
  // not ended within limit_ms (it is then killed).
  int wait_exit(int limit_ms = 20000);

  bool now(struct termios *t) const;
  // Whether the terminal's modes are all as they were before the start.
  bool restored() const;

 private:
  bool spawn(const std::function<void()> &child);
  void read_some(int wait_ms);
  bool reap(bool block);

  int master_ = -1;
  int slave_ = -1;  // kept open: the attributes stay readable after the child
  pid_t pid_ = -1;
  bool ended_ = false;
  bool plain_ = false;
  int status_ = 0;
  std::string raw_;
  struct termios before_ {};
};
