// Runs a program (or a function, in a child process) in a pseudo-terminal,
// as a person at a terminal would: the test types keys, waits for text,
// sends signals and collects the exit status. The terminal attributes are
// recorded before the run and can be read at any time, also after the child
// has gone, so a test can check that the terminal was put back.
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

  // Starts path with the given arguments (argv[0] is path) in directory cwd
  // (empty: the current one). False when the terminal cannot be made.
  bool start(const std::string &path, const std::vector<std::string> &args,
             const std::string &cwd = "");
  // Starts a child process that runs fn on the terminal and ends with
  // exit(fn()), so that atexit handlers run as after a return from main.
  bool start(const std::function<int()> &fn);

  // Types the bytes of keys.
  void send(const std::string &keys);
  // Sends sig to the child.
  void signal(int sig);

  // Waits until the output from offset `from` on contains text; false when
  // limit_ms of real time pass, or the child ends, without it.
  bool wait_for(const std::string &text, size_t from = 0, int limit_ms = 20000);
  // Everything the child has written so far, with the terminal's "\r\n"
  // turned back into "\n" (the program writes "\n"; the terminal adds "\r").
  std::string text() const;
  // The length of text() now: a mark for wait_for and for text().substr.
  size_t mark() const { return text().size(); }

  // Waits for the child to end and returns its wait status; -1 when it has
  // not ended within limit_ms (it is then killed).
  int wait_exit(int limit_ms = 20000);
  pid_t pid() const { return pid_; }

  // The attributes the terminal had before the child started, and now.
  const struct termios &before() const { return before_; }
  bool now(struct termios *t) const;

 private:
  bool open_terminal();
  void read_some(int wait_ms);  // reads what is there, waiting up to wait_ms
  bool reap(bool block);        // collects the child's status once it ended

  int master_ = -1;
  int slave_ = -1;  // kept open: the attributes stay readable after the child
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  std::string raw_;
  struct termios before_ {};
};

// Whether two sets of terminal attributes are the same in every mode flag
// and control character.
bool same_termios(const struct termios &a, const struct termios &b);
