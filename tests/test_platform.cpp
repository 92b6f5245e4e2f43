// The POSIX platform layer: directories, file look-up, hooks, the clock,
// keys from a pipe, and the terminal's single-key mode and its restoration
// on every way out (exercised in a pseudo-terminal).
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/k3plat-XXXXXX";
    if (mkdtemp(name)) path_ = name;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void touch(const std::string &p) {
  FILE *f = fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr) << p;
  fputs("x", f);
  fclose(f);
}

}  // namespace

// ---- Files ----

TEST(PlatMkdir, OneLevelWithItsErrorNumbers) {
  TempDir d;
  ASSERT_FALSE(d.path().empty());
  EXPECT_EQ(plat_mkdir((d / "data").c_str()), 0);
  EXPECT_TRUE(is_dir(d / "data"));
  EXPECT_EQ(plat_mkdir((d / "data").c_str()), EEXIST);
  EXPECT_EQ(plat_mkdir((d / "nofolder/sub").c_str()), ENOENT);
  EXPECT_FALSE(is_dir(d / "nofolder"));  // parents are not made
  touch(d / "plain");
  EXPECT_EQ(plat_mkdir((d / "plain").c_str()), EEXIST);
}

TEST(PlatMkdir, TrailingSeparator) {
  TempDir d;
  EXPECT_EQ(plat_mkdir((d / "rec/").c_str()), 0);
  EXPECT_TRUE(is_dir(d / "rec"));
  EXPECT_EQ(plat_mkdir((d / "rec/").c_str()), EEXIST);
  EXPECT_EQ(plat_mkdir((d / "nofolder/sub/").c_str()), ENOENT);
}

TEST(PlatFindfile, NameAndModificationTime) {
  TempDir d;
  touch(d / "image.hex");
  struct utimbuf times = {1300000000, 1234567890};
  ASSERT_EQ(utime((d / "image.hex").c_str(), &times), 0);
  char name[64];
  memset(name, '#', sizeof name);
  time_t mtime = 0;
  EXPECT_EQ(plat_findfile((d / "image.hex").c_str(), name, sizeof name, &mtime), 0);
  EXPECT_STREQ(name, "image.hex");
  EXPECT_EQ(mtime, (time_t)1234567890);
}

TEST(PlatFindfile, NameCopyIsBounded) {
  TempDir d;
  touch(d / "firmware.bin");
  char name[8];
  memset(name, '#', sizeof name);
  time_t mtime;
  EXPECT_EQ(plat_findfile((d / "firmware.bin").c_str(), name, 6, &mtime), 0);
  EXPECT_STREQ(name, "firmw");
  EXPECT_EQ(name[6], '#');  // not a byte past namelen
  touch(d / "exact6");  // as long as the room: the zero must still fit
  memset(name, '#', sizeof name);
  EXPECT_EQ(plat_findfile((d / "exact6").c_str(), name, 6, &mtime), 0);
  EXPECT_STREQ(name, "exact");
  EXPECT_EQ(name[6], '#');
  EXPECT_EQ(plat_findfile((d / "firmware.bin").c_str(), name, 1, &mtime), 0);
  EXPECT_STREQ(name, "");
}

TEST(PlatFindfile, BackslashSeparatesTheNameToo) {
  TempDir d;
  touch(d / "win\\code.txt");  // on POSIX an ordinary file name
  char name[32];
  time_t mtime;
  EXPECT_EQ(plat_findfile((d / "win\\code.txt").c_str(), name, sizeof name, &mtime), 0);
  EXPECT_STREQ(name, "code.txt");
}

TEST(PlatFindfile, MissingFileOrFolderIsNotFound) {
  TempDir d;
  char name[32] = "unchanged";
  time_t mtime = 7;
  EXPECT_EQ(plat_findfile((d / "nosuch").c_str(), name, sizeof name, &mtime), 1);
  EXPECT_EQ(plat_findfile(d.path().c_str(), name, sizeof name, &mtime), 1);
  EXPECT_STREQ(name, "unchanged");
  EXPECT_EQ(mtime, 7);
}

// ---- Hooks and clock ----

namespace {
unsigned long fake_now;
unsigned long slept;
std::string shown;
unsigned long fake_clock() { return fake_now; }
void fake_sleep(unsigned long ms) { slept += ms; fake_now += ms; }
void fake_putch(int c) { shown += (char)c; }
int fake_kbhit() { return 1; }
int fake_getch() { return 'k'; }
}  // namespace

TEST(PlatHooks, ReplaceAndRestore) {
  fake_now = 5000;
  slept = 0;
  shown.clear();
  PlatHooks h = {fake_kbhit, fake_getch, fake_putch, fake_clock, fake_sleep};
  plat_sethooks(&h);
  plat_sleep_ms(3000);  // costs no real time
  EXPECT_EQ(plat_clock_ms(), 8000ul);
  EXPECT_EQ(slept, 3000ul);
  plat_putch('A');
  EXPECT_EQ(shown, "A");
  EXPECT_EQ(plat_kbhit(), 1);
  EXPECT_EQ(plat_getch(), 'k');

  plat_sethooks(nullptr);
  testing::internal::CaptureStderr();
  plat_putch('B');
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "B");
  EXPECT_EQ(shown, "A");
  EXPECT_NE(plat_clock_ms(), 8000ul);
}

TEST(PlatHooks, NullMemberKeepsTheRealFunction) {
  shown.clear();
  fake_now = 1;
  PlatHooks h = {};
  h.clock_ms = fake_clock;
  plat_sethooks(&h);
  EXPECT_EQ(plat_clock_ms(), 1ul);
  testing::internal::CaptureStderr();
  plat_putch('C');
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "C");
  EXPECT_EQ(shown, "");
  plat_sethooks(nullptr);
}

TEST(PlatClock, AdvancesAcrossASleepWithoutBurningTheProcessor) {
  clock_t cpu0 = clock();
  unsigned long t0 = plat_clock_ms();
  plat_sleep_ms(120);
  unsigned long t1 = plat_clock_ms();
  clock_t cpu1 = clock();
  EXPECT_GE(t1 - t0, 120ul);
  EXPECT_LT(t1 - t0, 2000ul);
  EXPECT_LT((double)(cpu1 - cpu0) / CLOCKS_PER_SEC, 0.06);
}

// ---- Keys from a pipe ----

TEST(PlatPipedKeys, KeysInOrderThenExitAtEnd) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child reads keys as the program does: poll, then take one.
    alarm(10);  // a key test that never sees the end dies of SIGALRM
    dup2(in[0], 0);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    plat_console_init();  // not a terminal: nothing to switch
    char idle = plat_kbhit() ? '1' : '0';
    if (write(out[1], &idle, 1) != 1) _exit(3);
    for (;;) {
      while (!plat_kbhit()) plat_sleep_ms(5);
      char c = (char)plat_getch();
      if (write(out[1], &c, 1) != 1) _exit(3);
    }
  }
  close(in[0]);
  close(out[1]);
  char got[8] = {0};
  ASSERT_EQ(read(out[0], got, 1), 1);
  EXPECT_EQ(got[0], '0') << "a key was reported before any was typed";
  ASSERT_EQ(write(in[1], "ab", 2), 2);
  ASSERT_EQ(read(out[0], got, 1), 1);
  ASSERT_EQ(read(out[0], got + 1, 1), 1);
  ASSERT_EQ(write(in[1], "\x1b", 1), 1);
  ASSERT_EQ(read(out[0], got + 2, 1), 1);
  EXPECT_STREQ(got, "ab\x1b");
  close(in[1]);  // end of input
  EXPECT_EQ(read(out[0], got, 1), 0);
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- The terminal's single-key mode ----

namespace {

// The child's side: single-key mode, then the keys it reads are reported
// until q; "r" restores the terminal twice over and switches back to single
// keys twice over, to show that both calls may be repeated.
int key_reader() {
  plat_console_init();
  fprintf(stderr, "ready\n");
  for (;;) {
    int c = plat_getch();
    if (c == 'q') return 0;
    if (c == 'r') {
      plat_console_restore();
      plat_console_restore();
      plat_console_init();
      plat_console_init();
    }
    fprintf(stderr, "<%d>\n", c);
  }
}

void expect_single_key_mode(const Pty &p) {
  struct termios t;
  ASSERT_TRUE(p.now(&t));
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_FALSE(t.c_lflag & ECHO);
  EXPECT_TRUE(t.c_lflag & ISIG);
  EXPECT_TRUE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

void expect_restored(const Pty &p) {
  struct termios t;
  ASSERT_TRUE(p.now(&t));
  EXPECT_TRUE(same_termios(t, p.before())) << "the terminal was left changed";
}

}  // namespace

TEST(PlatTerminal, SingleKeysWithoutEchoThenRestoredAtExit) {
  Pty p;
  ASSERT_TRUE(p.start(key_reader));
  ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
  expect_single_key_mode(p);
  size_t m = p.mark();
  p.send("a");  // no Enter: the key must arrive on its own
  ASSERT_TRUE(p.wait_for("<97>\n", m)) << p.text();
  EXPECT_EQ(p.text().substr(m), "<97>\n");  // and the terminal did not echo it
  m = p.mark();
  p.send("r");
  ASSERT_TRUE(p.wait_for("<114>\n", m)) << p.text();
  expect_single_key_mode(p);
  p.send("q");
  int status = p.wait_exit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expect_restored(p);
}

// Ctrl-C, SIGTERM and SIGHUP are checked on the simulator itself (the
// terminal tests); SIGQUIT (Ctrl-\) ends the process the same way.
TEST(PlatTerminal, QuitSignalRestoresAndShowsInTheStatus) {
  Pty p;
  ASSERT_TRUE(p.start([] {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // SIGQUIT would leave a core file
    return key_reader();
  }));
  ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
  expect_single_key_mode(p);
  p.signal(SIGQUIT);
  int status = p.wait_exit();
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGQUIT);
  expect_restored(p);
}

TEST(PlatTerminal, IgnoredSignalStaysIgnored) {
  // A program started with SIGINT ignored (as by nohup or a background
  // shell command) keeps it so: Ctrl-C does not end it.
  Pty p;
  ASSERT_TRUE(p.start([] {
    signal(SIGINT, SIG_IGN);
    return key_reader();
  }));
  ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
  p.send("\x03");
  p.send("a");
  ASSERT_TRUE(p.wait_for("<97>\n")) << p.text();  // still reading keys
  p.send("q");
  int status = p.wait_exit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expect_restored(p);
}
