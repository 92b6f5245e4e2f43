// k3pty: runs a program in a pseudo-terminal through a short script of keys
// and expected texts, as a person at the terminal would. CI uses it to try
// the installed package and the Windows build under wine, where the gtest
// terminal tests cannot reach.
//
//   k3pty [--limit MS] [--plain] [--dir DIR] STEP... -- PROGRAM [ARG...]
//
// Steps run in order:
//   --expect TEXT   wait until TEXT shows after the previous match
//   --send KEYS     type KEYS (C escapes \n \r \t \xHH are understood)
//   --exit N        wait for the program to end with status N and the
//                   terminal to be put back as it was
//   --pause MS      let MS milliseconds pass (the output is still read)
// --limit is the wait allowed for each step (default 20000 ms); --plain reads
// the output of programs that draw with control sequences (wine's console);
// with --plain, runs of blanks match any run of blanks.
// Exit status 0 when every step passed; otherwise 1, with the transcript.
#include <regex>

#include "pty.h"

static const char USAGE[] =
    "usage: k3pty [--limit MS] [--plain] [--dir DIR] [--expect TEXT | --send KEYS | --exit N | --pause MS]... -- "
    "PROGRAM [ARG...]\n";

// KEYS and TEXT with their C escapes turned into the characters.
static std::string unescape(const char *s) {
  std::string out;
  for (int n; *s; s++) {
    if (*s != '\\' || !s[1])
      out += *s;
    else if (*++s != 'x')
      out += *s == 'n' ? '\n' : *s == 'r' ? '\r' : *s == 't' ? '\t' : *s;
    else  // up to two hexadecimal digits
      n = isxdigit((unsigned char)s[1]) ? isxdigit((unsigned char)s[2]) ? 2 : 1 : 0,
      out += (char)strtol(std::string(s + 1, n).c_str(), nullptr, 16), s += n;
  }
  return out;
}

int main(int argc, char **argv) {
  int limit = 20000, i = 1, bad = 0;
  std::string dir = ".";
  std::vector<int> steps;  // where each step stands in argv
  Pty pty;
  for (std::string a; i < argc && (a = argv[i]) != "--"; i++) {
    bool step = a == "--expect" || a == "--send" || a == "--exit" || a == "--pause";
    if ((bad = a != "--plain" && (i + 1 >= argc || (!step && a != "--limit" && a != "--dir")))) break;
    pty.plain |= a == "--plain";
    if (a == "--limit") limit = atoi(argv[++i]);
    if (a == "--dir") dir = argv[++i];
    if (step) steps.push_back(i++);
  }
  if (bad || i + 1 >= argc || limit <= 0) return fputs(USAGE, stderr), 2;
  if (!pty.start(argv[i + 1], std::vector<std::string>(argv + i + 2, argv + argc), dir))
    return fprintf(stderr, "k3pty: cannot start %s in a pseudo-terminal\n", argv[i + 1]), 1;
  // With --plain, runs of blanks made one space, so text drawn with cursor moves matches.
  auto seen = [&](const std::string &t) { return pty.plain ? std::regex_replace(t, std::regex("[ \t]+"), " ") : t; };
  size_t at = 0, pos = 0;  // where the next --expect may match
  std::string failed;
  for (size_t s = 0; s < steps.size() && failed.empty(); s++) {
    const std::string step = argv[steps[s]], arg = unescape(argv[steps[s] + 1]), want = seen(arg);
    auto found = [&](const std::string &t) { return (pos = seen(t).find(want, at)) != t.npos; };
    if (step == "--send") pty.send(arg);
    if (step == "--pause") pty.wait_until([](const std::string &) { return false; }, atoi(arg.c_str()));
    if (step == "--expect" && !pty.wait_until(found, limit)) failed = "no \"" + arg + "\"";
    if (step == "--expect") at = pos + want.size();
    int st = step == "--exit" ? pty.wait_exit(limit) : 0;
    if (step == "--exit")
      failed = st == -1 ? "still running"
               : !WIFEXITED(st) || WEXITSTATUS(st) != atoi(arg.c_str())
                   ? "ended with wait status " + std::to_string(st) + ", not exit(" + arg + ")"
               : pty.restored() ? ""
                                : "the terminal was left changed";
  }
  for (char c : seen(pty.text())) putchar(c);
  if (!failed.empty()) return fprintf(stderr, "\nk3pty: %s\n", failed.c_str()), 1;
  return printf("\nk3pty: all %zu steps passed\n", steps.size()), 0;
}
