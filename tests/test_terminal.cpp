// The simulator binary in a pseudo-terminal, used as a person would use it:
// single keys without Enter and without the terminal's echo, the exit status
// of each way out, and the terminal put back afterwards. The simulator runs
// in real time, so every wait has a generous real-time limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "pty.h"

namespace {

const char PROMPT[] = "Select an action... ";
const char SEARCHING[] = "\n Searching for device...\n";

// Processor time (user and system) a running process has used so far, or -1.
double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');  // the command name may hold blanks
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; i++) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

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
  bool start(std::vector<std::string> args) {
    args.insert(args.begin(), "--no-state");
    return pty_.start(K3HOST_SIM_PATH, args, dir_);
  }
  // Waits for text after mark; on failure the message shows the whole output.
  void expect_text(const std::string &text, size_t from = 0) {
    EXPECT_TRUE(pty_.wait_for(text, from)) << "no \"" << text << "\" in:\n" << pty_.text();
  }
  void expect_restored() {
    struct termios t;
    ASSERT_TRUE(pty_.now(&t));
    EXPECT_TRUE(same_termios(t, pty_.before())) << "the terminal was left changed";
  }
  void expect_exit(int code) {
    int status = pty_.wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ", output:\n" << pty_.text();
    EXPECT_EQ(WEXITSTATUS(status), code) << pty_.text();
  }
  void expect_killed_by(int sig) {
    int status = pty_.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << ", output:\n" << pty_.text();
    EXPECT_EQ(WTERMSIG(status), sig);
  }
  // Presses key and waits for the menu prompt that follows its action.
  void press(char key, size_t *mark) {
    *mark = pty_.mark();
    pty_.send(std::string(1, key));
    expect_text(PROMPT, *mark);
  }

  std::string dir_;
  Pty pty_;
};

}  // namespace

TEST_F(SimSession, Kova3MenusWithSingleKeysThenQuit) {
  ASSERT_TRUE(start({}));
  expect_text("Connected to KOVA-3 id");
  expect_text(" Battery voltage 3.71 V\n");
  expect_text(PROMPT);
  struct termios t;
  ASSERT_TRUE(pty_.now(&t));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO)) << "the menu waits in line mode";

  size_t m;
  press('6', &m);
  // The key shows once, as the program's own echo: the terminal's is off.
  EXPECT_EQ(pty_.text().substr(m, 3), "6\n\n") << pty_.text().substr(m);
  EXPECT_NE(pty_.text().find("\n 0 Board ID\t\t\t\t1 Board ADC read\n", m), std::string::npos);
  press('0', &m);
  EXPECT_NE(pty_.text().find(" Board ID: ", m), std::string::npos) << pty_.text().substr(m);
  press('4', &m);
  EXPECT_NE(pty_.text().find(" Battery voltage 3.71 V", m), std::string::npos)
      << pty_.text().substr(m);
  press('i', &m);
  EXPECT_NE(pty_.text().find("\n 1 Get directory\n", m), std::string::npos);
  m = pty_.mark();
  pty_.send("q");  // from the user menu a KOVA-3 gets its clock set on the way out
  expect_exit(0);
  EXPECT_NE(pty_.text().find("q\n\nSetting device clock to: ", m), std::string::npos)
      << pty_.text().substr(m);
  expect_restored();
}

TEST_F(SimSession, IdleMenuSleepsAndCtrlCEndsBySigint) {
  ASSERT_TRUE(start({}));
  expect_text(PROMPT);
  // Waiting for a key must not keep the processor busy.
  double cpu0 = cpu_seconds(pty_.pid());
  usleep(1000 * 1000);
  double cpu1 = cpu_seconds(pty_.pid());
  ASSERT_GE(cpu0, 0.0);
  EXPECT_LT(cpu1 - cpu0, 0.3) << "seconds of processor time in one idle second";
  pty_.send("\x03");
  expect_killed_by(SIGINT);
  expect_restored();
}

class SimSessionSignal : public SimSession, public testing::WithParamInterface<int> {};

TEST_P(SimSessionSignal, SignalAtTheMenuRestores) {
  ASSERT_TRUE(start({}));
  expect_text(PROMPT);
  pty_.signal(GetParam());
  expect_killed_by(GetParam());
  expect_restored();
}

INSTANTIATE_TEST_SUITE_P(EndSignals, SimSessionSignal, testing::Values(SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &i) -> std::string {
                           return i.param == SIGTERM ? "Term" : "Hup";
                         });

TEST_F(SimSession, DeviceType3EndsSilentlyWithStatus1) {
  ASSERT_TRUE(start({"--type", "3"}));
  expect_exit(1);
  std::string out = pty_.text();
  size_t at = out.find(SEARCHING);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at + sizeof SEARCHING - 1), "") << "printed after the search line";
  expect_restored();
}

TEST_F(SimSession, NoTagAsksAgainUntilNo) {
  const std::string ask = "K3 not found: try again? y/n";
  ASSERT_TRUE(start({"--no-tag"}));
  expect_text(ask);
  size_t m = pty_.mark();
  pty_.send("N");  // only lower-case n declines
  expect_text(ask, m);
  pty_.send("n");
  expect_exit(255);
  expect_restored();
}

TEST_F(SimSession, HelpListsTheOptions) {
  ASSERT_TRUE(start({"--help"}));
  expect_exit(0);
  std::string out = pty_.text();
  for (const char *opt : {"--type", "--boot", "--no-tag", "--state", "--fault", "--message"})
    EXPECT_NE(out.find(opt), std::string::npos) << opt << " missing from:\n" << out;
}
