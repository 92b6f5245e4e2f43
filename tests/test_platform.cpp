// The POSIX platform layer: directories, file look-up, hooks, the clock,
// keys from a pipe, and the terminal's single-key mode and its restoration
// on every way out (exercised in a pseudo-terminal).
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <string>

#include "platform.h"
#include "pty.h"

namespace {

// A fresh directory under /tmp, removed with everything in it afterwards.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/k3plat-XXXXXX";
    if (mkdtemp(name)) path = name;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string &rel) const { return path + "/" + rel; }
  std::string touch(const std::string &rel) const { return fclose(fopen((*this / rel).c_str(), "wb")), *this / rel; }
};

}  // namespace

// plat_mkdir makes one level, with or without a trailing slash, and gives
// the error number of each failure.
TEST(PlatMkdir, OneLevelWithItsErrorNumbers) {
  TempDir d;
  ASSERT_FALSE(d.path.empty());
  d.touch("plain");
  struct { const char *rel; int want; } cases[] = {
      {"data", 0}, {"data", EEXIST}, {"plain", EEXIST}, {"nofolder/sub", ENOENT},  // parents are not made
      {"rec/", 0}, {"rec/", EEXIST}, {"nofolder/sub/", ENOENT}};
  for (const auto &c : cases) EXPECT_EQ(plat_mkdir((d / c.rel).c_str()), c.want) << c.rel;
  EXPECT_TRUE(std::filesystem::is_directory(d / "data"));
  EXPECT_TRUE(std::filesystem::is_directory(d / "rec"));
  EXPECT_FALSE(std::filesystem::exists(d / "nofolder"));
}

// plat_findfile gives a file's name (after / or \) and modification time,
// refuses what is missing or a folder, and copies no more than the room given.
TEST(PlatFindfile, NameModificationTimeAndBoundedCopy) {
  TempDir d;
  struct utimbuf times = {1300000000, 1234567890};
  ASSERT_EQ(utime(d.touch("image.hex").c_str(), &times), 0);
  char name[64];
  time_t mtime = 0;
  EXPECT_EQ(plat_findfile((d / "image.hex").c_str(), name, sizeof name, &mtime), 0);
  EXPECT_STREQ(name, "image.hex");
  EXPECT_EQ(mtime, (time_t)1234567890);
  d.touch("win\\code.txt");  // on POSIX an ordinary file name
  EXPECT_EQ(plat_findfile((d / "win\\code.txt").c_str(), name, sizeof name, &mtime), 0);
  EXPECT_STREQ(name, "code.txt") << "a backslash separates the name too";

  strcpy(name, "unchanged");
  mtime = 7;
  EXPECT_EQ(plat_findfile((d / "nosuch").c_str(), name, sizeof name, &mtime), 1);
  EXPECT_EQ(plat_findfile(d.path.c_str(), name, sizeof name, &mtime), 1);  // a folder
  EXPECT_STREQ(name, "unchanged");
  EXPECT_EQ(mtime, 7);

  // The name copy is bounded by the room given, the zero included.
  struct { const char *file; size_t room; const char *want; } cases[] = {
      {"firmware.bin", 6, "firmw"}, {"exact6", 6, "exact"}, {"firmware.bin", 1, ""}};
  for (const auto &c : cases) {
    memset(name, '#', sizeof name);
    EXPECT_EQ(plat_findfile(d.touch(c.file).c_str(), name, c.room, &mtime), 0);
    EXPECT_STREQ(name, c.want);
    EXPECT_EQ(name[c.room], '#') << "a byte written past the room given";
  }
}

namespace {
unsigned long fake_now;
std::string shown;
}  // namespace

// Hooks replace keys, console, clock and sleep; a null member or no hooks
// give back the real functions.
TEST(PlatHooks, ReplaceAndRestore) {
  fake_now = 5000;
  PlatHooks h = {[] { return 1; }, [] { return (int)'k'; }, [](int c) { shown += (char)c; },
                 [] { return fake_now; }, [](unsigned long ms) { fake_now += ms; }};
  plat_sethooks(&h);
  plat_sleep_ms(3000);  // costs no real time
  EXPECT_EQ(plat_clock_ms(), 8000ul);
  plat_putch('A');
  EXPECT_EQ(shown, "A");
  EXPECT_TRUE(plat_kbhit() == 1 && plat_getch() == 'k');

  PlatHooks clock_only = {};  // a null member keeps the real function
  clock_only.clock_ms = h.clock_ms;
  for (const PlatHooks *p : {(const PlatHooks *)&clock_only, (const PlatHooks *)nullptr}) {
    plat_sethooks(p);
    testing::internal::CaptureStderr();
    plat_putch('B');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "B");
    EXPECT_EQ(shown, "A");
  }
  EXPECT_NE(plat_clock_ms(), 8000ul);
}

// The real clock moves across a sleep, and the sleep does not spin.
TEST(PlatClock, AdvancesAcrossASleepWithoutBurningTheProcessor) {
  clock_t cpu0 = clock();
  unsigned long t0 = plat_clock_ms();
  plat_sleep_ms(120);
  unsigned long t1 = plat_clock_ms();
  EXPECT_GE(t1 - t0, 120ul);
  EXPECT_LT(t1 - t0, 2000ul);
  EXPECT_LT((double)(clock() - cpu0) / CLOCKS_PER_SEC, 0.06);
}

// Keys from a pipe come in order, none before any was typed, and the end of
// the input ends the program.
TEST(PlatPipedKeys, KeysInOrderThenExitAtEnd) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Reads keys as the program does: poll, then take one.
    alarm(10);  // a child that never sees the end dies of SIGALRM
    dup2(in[0], 0);
    close(in[1]);
    close(out[0]);
    plat_console_init();  // not a terminal: nothing to switch
    char c = plat_kbhit() ? '1' : '0';
    for (;;) {
      if (write(out[1], &c, 1) != 1) _exit(3);
      while (!plat_kbhit()) plat_sleep_ms(5);
      c = (char)plat_getch();
    }
  }
  close(in[0]);
  close(out[1]);
  // First whether a key is there before any was typed ('0': none).
  std::string typed[4] = {"", "ab", "", "\x1b"}, got(4, '?');
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(write(in[1], typed[i].data(), typed[i].size()), (ssize_t)typed[i].size());
    ASSERT_EQ(read(out[0], &got[i], 1), 1);
  }
  EXPECT_EQ(got, "0ab\x1b");
  close(in[1]);  // end of input
  EXPECT_EQ(read(out[0], &got[0], 1), 0);
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

namespace {

// The child's side: single-key mode, then the keys it reads are reported
// until q; "r" restores the terminal and switches back to single keys, each
// twice over, to show that both calls may be repeated. With poll_first it
// waits for plat_kbhit, as the menus do, and a plat_getch that waits after it is "slow".
bool poll_first;
int key_reader() {
  plat_console_init();
  fprintf(stderr, "ready\n");
  for (int c;;) {
    while (poll_first && !plat_kbhit()) plat_sleep_ms(2);
    unsigned long t0 = plat_clock_ms();
    if ((c = plat_getch()) == 'q') break;
    for (int i = 0; c == 'r' && i < 2; i++) plat_console_restore();
    for (int i = 0; c == 'r' && i < 2; i++) plat_console_init();
    fprintf(stderr, "<%d>%s\n", c, poll_first && plat_clock_ms() - t0 > TMO_KEYSEQ / 2 ? " slow" : "");
  }
  return 0;
}

void expect_single_key_mode(const Pty &p) {
  struct termios t;
  ASSERT_TRUE(p.now(&t));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), (tcflag_t)ISIG) << "no line mode, no echo, signal keys kept";
  EXPECT_TRUE((t.c_oflag & OPOST) && t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0);
}

// Runs key_reader after setup in a pseudo-terminal, until it is ready.
void start_reader(Pty &p, void (*setup)()) {
  ASSERT_TRUE(p.start([setup] {
    setup();
    return key_reader();
  }));
  ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
  expect_single_key_mode(p);
}

}  // namespace

// A terminal's keys become the Windows console's: 8 for Backspace's 127,
// one special key (256) for each escape sequence, read at once or after
// plat_kbhit, which must never report a key that plat_getch then waits for.
TEST(PlatTerminal, BackspaceAndEscapeSequencesAsOneKeyEach) {
  const char *S = "<256>\n", *cases[][2] = {{"\x7f\b", "<8>\n<8>\n"}, {"\x1b[3~", S} /* Delete, not its 3 */,
      {"\x1b[A", S}, {"\x1b[1;5D", S} /* Ctrl+Left */, {"\x1bOP", S} /* F1 */, {"\x1b[[A", S} /* Linux console F1 */,
      {"\x1b" "6", S} /* Alt+6 */, {"\x1b[2\x01", "<256>\n<1>\n"} /* a byte that cannot be in it */,
      {"\x1b\x1b[B", "<27>\n<256>\n"}, {"\x1b", "<27>\n"} /* Escape alone, after the wait */};
  for (bool poll : {false, true}) {
    Pty p;
    start_reader(p, poll ? [] { poll_first = true; } : [] {});
    for (const auto &c : cases) {
      size_t m = p.mark();
      p.send(c[0]);
      p.wait_for(c[1], m);
      p.send("z");  // once the sequence has ended, the next key is itself
      EXPECT_TRUE(p.wait_for("<122>\n", m));
      EXPECT_EQ(p.text().substr(m), c[1] + std::string("<122>\n")) << "poll " << poll;
    }
    size_t m = p.mark();  // an endless stream of parameters gives its key all the same
    for (int i = 0; i < 100 && !p.wait_for(S, m, 10); i++) p.send(i ? ";;;;;;;;;;" : "\x1b[");
    EXPECT_EQ(p.text().substr(m, 6), S) << "poll " << poll;
  }
}

// Ctrl-C, SIGTERM and SIGHUP are checked on the simulator itself (the
// terminal tests); SIGQUIT (Ctrl-\) ends the process the same way.
TEST(PlatTerminal, QuitSignalRestoresAndShowsInTheStatus) {
  Pty p;
  start_reader(p, [] {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // SIGQUIT would leave a core file
  });
  p.signal(SIGQUIT);
  int status = p.wait_exit();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << "status " << status;
  EXPECT_TRUE(p.restored());
}

// Started with SIGINT ignored (as by nohup or a background shell command),
// Ctrl-C does not end it; line mode and single keys switched on again, each
// twice over, leave single keys without echo; the exit restores the terminal.
// (Single keys and the restore on the simulator itself: the terminal tests.)
TEST(PlatTerminal, IgnoredSignalStaysIgnoredAndModesSwitchAgain) {
  Pty p;
  start_reader(p, [] { signal(SIGINT, SIG_IGN); });
  p.send("\x03" "a");
  ASSERT_TRUE(p.wait_for("<97>\n")) << p.text();  // still reading keys
  p.send("r");
  ASSERT_TRUE(p.wait_for("<114>\n")) << p.text();
  EXPECT_EQ(p.text(), "ready\n<97>\n<114>\n") << "nothing echoed";
  expect_single_key_mode(p);
  p.send("q");
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_TRUE(p.restored());
}
