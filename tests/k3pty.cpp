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
// --limit is the wait allowed for each step (default 20000 ms); --plain reads
// the output of programs that draw with control sequences (wine's console);
// with --plain, runs of blanks match any run of blanks.
// Exit status 0 when every step passed; otherwise 1, with the transcript.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "pty.h"

static std::string unescape(const char *s) {
  std::string out;
  for (; *s; s++) {
    if (*s != '\\' || !s[1]) {
      out += *s;
      continue;
    }
    switch (*++s) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        char hex[3] = {0, 0, 0};
        for (int i = 0; i < 2 && isxdigit((unsigned char)s[1]); i++) hex[i] = *++s;
        out += (char)strtol(hex, nullptr, 16);
        break;
      }
      default: out += *s;
    }
  }
  return out;
}

// Runs of blanks made one space, so text drawn with cursor moves matches.
static std::string squeeze(const std::string &s) {
  std::string out;
  for (char c : s) {
    bool blank = c == ' ' || c == '\t';
    if (!(blank && !out.empty() && out.back() == ' ')) out += blank ? ' ' : c;
  }
  return out;
}

static int usage() {
  fprintf(stderr, "usage: k3pty [--limit MS] [--plain] [--dir DIR] "
                  "[--expect TEXT | --send KEYS | --exit N]... -- PROGRAM [ARG...]\n");
  return 2;
}

int main(int argc, char **argv) {
  int limit = 20000;
  bool plain = false;
  std::string dir = ".";
  std::vector<std::pair<std::string, std::string>> steps;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
    std::string a = argv[i];
    if (a == "--plain") {
      plain = true;
    } else if (i + 1 >= argc) {
      return usage();
    } else if (a == "--limit") {
      limit = atoi(argv[++i]);
    } else if (a == "--dir") {
      dir = argv[++i];
    } else if (a == "--expect" || a == "--send" || a == "--exit") {
      steps.emplace_back(a, unescape(argv[++i]));
    } else {
      return usage();
    }
  }
  if (i + 1 >= argc || limit <= 0) return usage();
  std::vector<std::string> args(argv + i + 2, argv + argc);

  Pty pty;
  pty.plain(plain);
  if (!pty.start(argv[i + 1], args, dir)) {
    fprintf(stderr, "k3pty: cannot start %s in a pseudo-terminal\n", argv[i + 1]);
    return 1;
  }
  auto seen = [&] { return plain ? squeeze(pty.text()) : pty.text(); };
  size_t at = 0;
  std::string failed;
  for (const auto &s : steps) {
    if (s.first == "--send") {
      pty.send(s.second);
    } else if (s.first == "--expect") {
      std::string want = plain ? squeeze(s.second) : s.second;
      bool found = pty.wait_until(
          [&](const std::string &t) {
            size_t pos = (plain ? squeeze(t) : t).find(want, at);
            if (pos != std::string::npos) at = pos + want.size();
            return pos != std::string::npos;
          },
          limit);
      if (!found) failed = "no \"" + s.second + "\"";
    } else {
      int st = pty.wait_exit(limit), want = atoi(s.second.c_str());
      if (st == -1)
        failed = "still running";
      else if (!WIFEXITED(st) || WEXITSTATUS(st) != want)
        failed = "ended with wait status " + std::to_string(st) + ", not exit(" + s.second + ")";
      else if (!pty.restored())
        failed = "the terminal was left changed";
    }
    if (!failed.empty()) break;
  }
  std::string transcript = seen();
  fwrite(transcript.data(), 1, transcript.size(), stdout);
  if (!failed.empty()) {
    fprintf(stderr, "\nk3pty: %s\n", failed.c_str());
    return 1;
  }
  printf("\nk3pty: all %zu steps passed\n", steps.size());
  return 0;
}
