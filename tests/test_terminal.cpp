// The simulator binary in a pseudo-terminal, used as a person would use it:
// single keys without Enter and without the terminal's echo, the exit status
// of each way out, and the terminal put back afterwards. The simulator runs
// in real time, so every wait has a generous real-time limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pty.h"

namespace {

const char PROMPT[] = "Select an action... ";

// A session of the simulator in a fresh working directory, with the tag's
// state kept in memory only.
class SimSession : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/k3term-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void start(std::vector<std::string> args) {
    args.insert(args.begin(), "--no-state");
    ASSERT_TRUE(pty_.start(K3HOST_SIM_PATH, args, dir_));
  }
  void expect_text(const std::string &text, size_t from = 0) {
    EXPECT_TRUE(pty_.wait_for(text, from)) << "no \"" << text << "\" in:\n" << pty_.text();
  }
  // Waits for the end by exit(n), or by signal n, and a restored terminal.
  void expect_end(bool by_signal, int n) {
    int s = pty_.wait_exit();
    EXPECT_TRUE(by_signal ? WIFSIGNALED(s) && WTERMSIG(s) == n : WIFEXITED(s) && WEXITSTATUS(s) == n)
        << "status " << s << ", output:\n" << pty_.text();
    EXPECT_TRUE(pty_.restored()) << "the terminal was left changed";
  }
  // Presses key; what was shown up to the menu prompt that follows.
  std::string press(char key, const std::string &before = "") {
    size_t m = pty_.mark();
    pty_.send(before + key);
    expect_text(PROMPT, m);
    return pty_.text().substr(m);
  }

  std::string dir_;
  Pty pty_;
};

}  // namespace

// A KOVA-3 session: single keys act without Enter, the terminal does not
// echo them, escape sequences are no keys, the board keys answer, and q from
// the user menu sets the clock, exits 0 and restores the terminal.
TEST_F(SimSession, Kova3MenusWithSingleKeysThenQuit) {
  start({});
  expect_text(PROMPT);
  EXPECT_NE(pty_.text().find("Connected to KOVA-3 id"), std::string::npos) << pty_.text();
  pty_.send("\x1b");  // Escape alone, a key once the wait for a sequence is over, taken by no menu
  usleep(200 * 1000);
  // The key, without Enter, shows once as the program's own echo: the terminal's is off.
  // Keys sent as escape sequences do nothing: PageDown is not the 6 of the expert menu.
  std::string shown = press('6', "\x1b[6~\x1b[A\x1bOP");
  EXPECT_EQ(shown.substr(0, 3), "6\n\n") << shown;
  EXPECT_NE(shown.find("\n 0 Board ID\t\t\t\t1 Board ADC read\n"), std::string::npos) << shown;
  // The expert board keys, each answered by the emulated tag.
  const struct { char key; const char *line; } board[] = {
      {'0', " Board ID: 0003 0102 4b33 0a17 0001\n"}, {'1', " ADC reads: 812 1650 2048 37\n"},
      {'2', " device time: "}, {'3', "Setting device clock to: "},
      {'4', " Battery voltage 3.71 V charging done\n"}};
  for (const auto &b : board)  // after Delete, Insert, PageDown, Down: none is a key (Delete is not 3, the clock set)
    EXPECT_EQ(press(b.key, "\x1b[3~\x1b[2~\x1b[6~\x1b[B").find(std::string(1, b.key) + "\n\n" + b.line), 0u);
  EXPECT_NE(press('i').find("\n 1 Get directory\n"), std::string::npos);
  size_t m = pty_.mark();
  pty_.send("q");  // from the user menu a KOVA-3 gets its clock set on the way out
  expect_end(false, 0);
  EXPECT_NE(pty_.text().find("q\n\nSetting device clock to: ", m), std::string::npos) << pty_.text();
}

class SimSessionSignal : public SimSession, public testing::WithParamInterface<int> {};

// Ctrl-C, SIGTERM or SIGHUP at the idle menu end the program by that signal
// with the terminal restored; waiting for a key costs no processor time.
TEST_P(SimSessionSignal, SignalAtTheIdleMenuEndsAndRestores) {
  struct rusage r0, r1;  // of the ended children: the simulator's, once reaped
  getrusage(RUSAGE_CHILDREN, &r0);
  start({});
  expect_text(PROMPT);
  if (GetParam() == SIGINT) {
    usleep(1000 * 1000);  // waiting for a key must not keep the processor busy
    pty_.send("\x03");
  } else {
    pty_.signal(GetParam());
  }
  expect_end(true, GetParam());
  getrusage(RUSAGE_CHILDREN, &r1);
  double cpu = (double)(r1.ru_utime.tv_sec - r0.ru_utime.tv_sec + r1.ru_stime.tv_sec - r0.ru_stime.tv_sec) +
               (double)(r1.ru_utime.tv_usec - r0.ru_utime.tv_usec + r1.ru_stime.tv_usec - r0.ru_stime.tv_usec) / 1e6;
  EXPECT_LT(cpu, 0.5) << "seconds of processor time for a session that sat idle";
}

INSTANTIATE_TEST_SUITE_P(EndSignals, SimSessionSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &i) -> std::string {
                           return i.param == SIGINT ? "CtrlC" : i.param == SIGTERM ? "Term" : "Hup";
                         });

// A tag of type 3 ends the program with status 1, printing nothing after
// the search line.
TEST_F(SimSession, DeviceType3EndsSilentlyWithStatus1) {
  start({"--type", "3"});
  expect_end(false, 1);
  std::string out = pty_.text(), searching = "\n Searching for device...\n";
  size_t at = out.find(searching);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at + searching.size()), "") << "printed after the search line";
}

// With no tag on the bus the retry question is asked, and n ends the program
// with status 255 and the terminal restored. (Which keys it takes, and its
// exact text: Entry.RetryQuestionDiscardsEarlyKeysAndLowerCaseNExits.)
TEST_F(SimSession, NoTagAsksThenNEndsWithStatus255) {
  start({"--no-tag"});
  expect_text("K3 not found: try again? y/n");
  pty_.send("n");
  expect_end(false, 255);
}

// --help lists the simulator's options and exits 0.
TEST_F(SimSession, HelpListsTheOptions) {
  start({"--help"});
  expect_end(false, 0);
  for (const char *opt : {"--type", "--boot", "--no-tag", "--state", "--fault", "--message"})
    EXPECT_NE(pty_.text().find(opt), std::string::npos) << opt << " missing from:\n" << pty_.text();
}

// Wine's console draws the text with control sequences: a blank is "erase,
// cursor forward", and lines end in "\r\r\n". Plain mode reads it as text.
TEST(PtyPlain, ReadsTextDrawnWithControlSequences) {
  Pty pty;
  pty.plain(true);
  ASSERT_TRUE(pty.start([] {
    fputs("\x1b[?25lA\x1b[?25h\x1b[K\x1b[1C\x1b[?25lB\x1b[8CC\r\r\n\x1b[KD\x1b", stdout);
    fflush(stdout);
    return 0;
  }));
  ASSERT_TRUE(WIFEXITED(pty.wait_exit()));
  EXPECT_EQ(pty.text(), "A B        C\nD") << "an unfinished sequence at the end shows nothing";
}
