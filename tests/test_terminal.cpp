// The built programs as a person runs them: the simulator in a
// pseudo-terminal (single keys without Enter and without the terminal's
// echo, the exit status of each way out, the terminal put back afterwards),
// and the command lines of all three programs. The simulator runs in real
// time, so every wait has a generous real-time limit. Then the POSIX
// platform layer beneath them, and the installed udev rule.
#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "harness.h"
#include "kvdlayout.h"
#include "platform.h"
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/time.h>

#include "pty.h"
#endif

// A fresh working directory for each program run, removed afterwards.
struct InDir : testing::Test {
  std::string dir;
  void SetUp() override { ASSERT_FALSE((dir = make_tempdir("k3term")).empty()); }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

// Windows has no pseudo-terminal and no POSIX shell: there the programs are
// tried from the native test program, under wine (K3_SIM_EXE).
#ifdef _WIN32
#define WINDOWS_LACKS(test, suite, name, what) \
  test(suite, name) { GTEST_SKIP() << "Windows has no " what ": run natively with K3_SIM_EXE set"; }
WINDOWS_LACKS(TEST, SimSession, KeysThenEachWayOut, "pseudo-terminal")
WINDOWS_LACKS(TEST_F, InDir, CommandLines, "POSIX shell")
WINDOWS_LACKS(TEST, PlatTerminal, KeysOfTheWindowsConsoleSignalsAndRestore, "pseudo-terminal")
#else
struct SimSession : InDir, testing::WithParamInterface<int> {};

// K3_SIM_EXE names a Windows build of k3host-sim.exe (kvdcheck.exe beside
// it): the programs below are then that build, run under wine. K3_HOST_EXE
// may name as well the production k3host.exe with the emulated tag's
// libusb0.dll beside it: the simulator's sessions then run through it, the
// simulator's options going to the DLL in K3_SIM_OPTIONS.
static std::string wine_exe() {
  const char *e = getenv("K3_SIM_EXE");
  return e ? e : "";
}
static const char *host_exe() { return getenv("K3_HOST_EXE"); }
// How a child ended, as wait() tells it: "exit N" or "signal N".
static std::string ended(int s) {
  return (WIFEXITED(s) ? "exit " : "signal ") + std::to_string(WIFEXITED(s) ? WEXITSTATUS(s) : WTERMSIG(s));
}
// The command line that runs a simulator session under wine.
static std::vector<std::string> wine_session(const std::vector<std::string> &args) {
  std::vector<std::string> cmd{wine_exe()};
  if (!host_exe()) return cmd.insert(cmd.end(), args.begin(), args.end()), cmd;
  std::string opts;
  for (const std::string &a : args) opts += a + " ";
  setenv("K3_SIM_OPTIONS", opts.c_str(), 1);
  return {host_exe()};
}

// A KOVA-3 session, state in memory only, ended each way a person ends it:
// q (from the user menu: the clock set, status 0), Ctrl-C, SIGTERM, SIGHUP
// (ended by that signal). A key acts without Enter and shows once, as the
// program's own echo (the terminal's is off); keys sent as escape sequences
// do nothing (PageDown is not the 6 of the expert menu, Delete not its 3);
// waiting for a key, at the menu or at a typed line, costs no processor
// time; the terminal is put back.
//
// Under wine: Ctrl-C ends the program through wine's console (its status is
// wine's), and the terminal is wine's to put back.
TEST_P(SimSession, KeysThenEachWayOut) {
  const char *P = "Select an action... ";
  const std::string exe = wine_exe();
  int sig = GetParam();
  if (!exe.empty() && (sig == SIGTERM || sig == SIGHUP)) GTEST_SKIP() << "Windows programs have no POSIX signals";
  Pty pty;
  auto cpu = [&pty] {  // the program's processor time so far: the kernel's count, which wine's start stays out of
    FILE *f = fopen(("/proc/" + std::to_string(pty.pid_) + "/stat").c_str(), "r");
    unsigned long user, sys;
    bool got = f && fscanf(f, "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &sys) == 2;
    return (f && fclose(f)), got ? (double)(user + sys) / sysconf(_SC_CLK_TCK) : 99.0;
  };
  pty.plain = !exe.empty();
  ASSERT_TRUE(exe.empty() ? pty.start(K3HOST_SIM_PATH, {"--no-state"}, dir)
                          : pty.start("wine", wine_session({"--no-state"}), dir));
  EXPECT_TRUE(pty.wait_for(P)) << pty.text();
  const double cpu0 = cpu();
  size_t m = pty.mark();
  pty.send("\x1b[6~\x1b[A\x1bOP\x1b[3~6");
  ASSERT_TRUE(pty.wait_for(P, m)) << pty.text().substr(m);
  EXPECT_EQ(pty.text().find("6\n\n\n 0 Board ID", m), m) << pty.text().substr(m);
  usleep(1000 * 1000), m = pty.mark(), pty.send("5");  // idle at the menu, then at a typed line (left empty)
  ASSERT_TRUE(pty.wait_for("number of bytes?", m));
  EXPECT_TRUE((usleep(1000 * 1000), pty.send("\r"), pty.wait_for(P, m)));
  EXPECT_LT(cpu() - cpu0, 0.5) << "seconds of processor time for a session that sat idle for 2 s";
  int s = (sig == 0 ? pty.send("iq") : sig == SIGINT ? pty.send("\x03") : pty.signal(sig), pty.wait_exit());
  EXPECT_EQ(ended(s), sig && exe.empty() ? "signal " + std::to_string(sig) : "exit 0") << pty.text();
  EXPECT_TRUE(pty.restored()) << "the terminal left changed";
  EXPECT_TRUE(sig || pty.text().find("q\n\nSetting device clock to: ") != std::string::npos) << pty.text();
}

INSTANTIATE_TEST_SUITE_P(Ends, SimSession, testing::Values(0, SIGINT, SIGTERM, SIGHUP));  // 0: the key q

// The three programs' command lines, each run by the shell with no terminal
// (standard input empty, so a session ends at once, or a pipe) in a fresh directory
// that is also HOME: the exit status and all that was shown, as a regular
// expression. k3host refuses an argument before it searches the bus.
TEST_F(InDir, CommandLines) {
  // clang-format off
  struct Row { const char *cmd; int status; const char *shown; } rows[] = {
      {"k3host --help", 0, "^usage: k3host\n[\\s\\S]*man k3host[\\s\\S]*--station DIR[\\s\\S]*--erase-saved"},
      {"k3host -h", 0, "^usage: k3host\n"}, {"k3host --version", 0, "^k3host " K3_VERSION "\n$"},
      {"k3host -x", 2, "^k3host: unexpected argument '-x' \\(see k3host --help\\)\n$"},
      {"k3host --erase-saved", 2, "^k3host: --erase-saved needs --station DIR"},
      {"k3host-sim --tags 2", 2, "^k3host-sim: --tags needs --station DIR; try --help\n$"},
      // The field station: two tags, the end of the input ending the run once both are let go.
      {"k3host-sim --station st --tags 2 </dev/null 2>/dev/null; ls st/*/*.kvd", 0,
       "^st/0003-0102-4b33-0b01-0001/rec001_20260310T060000Z\\.kvd\n[\\s\\S]*/rec004_20260313T103000Z\\.kvd\n$"},
      {"k3host --help more", 2, "^k3host: unexpected argument 'more'"}, {"kvdcheck -h", 0, "^usage: kvdcheck"},
      {"k3host-sim -h", 0, "^usage: k3host-sim [\\s\\S]*--state[\\s\\S]*--fault"},
      {"k3host-sim --version", 0, "^k3host-sim " K3_VERSION "\n$"}, {"kvdcheck --help", 0, "^usage: kvdcheck"},
      {"k3host-sim --type 3", 1, "\n Searching for device\\.\\.\\.\n$"},  // a type-3 tag: nothing after that line
      // Keys from a pipe as they are (no terminal keys to translate), the end of the input ending the program.
      {"printf 'x\\033[A4q' | k3host-sim --no-state", 0,
       "\\.\\.\\. x\n[^.]*\\.\\.\\. \\[\n[^.]*\\.\\.\\. A\n[^.]*\\.\\.\\. 4\n\n Battery[^.]*\\.[^.]*\\.\\.\\. q\n\nSetting"},
      // The state directory: an absolute XDG_STATE_HOME, else HOME (a relative XDG_STATE_HOME is ignored, with a
      // warning); neither: a warning, unless --no-state says so.
      {"XDG_STATE_HOME=$PWD/x k3host-sim && ls x/k3host-sim", 0, "^ K3 USB Host[\\s\\S]*tag\\.txt\n$"},
      {"k3host-sim --help", 0, "^usage: k3host-sim "}, {"XDG_STATE_HOME=x k3host-sim && ls .local/state/k3host-sim", 0,
       "^k3host-sim: XDG_STATE_HOME \\('x'\\) is not an absolute path and is ignored\n K3 [\\s\\S]*tag\\.txt\n$"},
      {"env -u HOME k3host-sim", 0, "^k3host-sim: HOME is not set, so there is no state directory: the tag's"},
      {"env -u HOME k3host-sim --no-state", 0, "^ K3 USB"},
      // One run at a time on a state directory: the second refuses, naming it.
      {"{ sleep 3 | k3host-sim --state s >/dev/null 2>&1 & } ; sleep 1; k3host-sim --state s", 2,
       "^k3host-sim: the state directory s is in use by another run; give another with --state DIR, or use "
       "--no-state\n$"}, {"kvdcheck -- -x", 1, "^-x: UNREADABLE\n  fault +cannot"},
      {"kvdcheck", 2, "^kvdcheck: no file named\nusage:"}, {"kvdcheck --version", 0, "^kvdcheck " K3_VERSION "\n$"},
      {"kvdcheck --bogus " K3_SOURCE_DIR "/tests/data/sample.kvd", 2, "^kvdcheck: unknown option '--bogus'\nusage:"},
      {"kvdcheck -- " K3_SOURCE_DIR "/tests/data/sample.kvd", 0, "^[^\n]*sample\\.kvd: good\n"},
      {"mkfifo p && kvdcheck p", 1, "^p: NOT A FILE\n  fault +not a regular file"},  // never waits for a writer
      // A whole session from a pipe offloads whole files: neither the keys waiting nor the end stop an offload.
      {"printf '5data\\r21,3\\rrec\\rq' | k3host-sim --no-state >/dev/null 2>&1; kvdcheck data/rec*.kvd", 0,
       "^data/rec001\\.kvd: good\n[\\s\\S]*\ndata/rec003\\.kvd: good\n[\\s\\S]*record +complete, 35 of 35"}};
  // clang-format on
  // Under wine the Windows programs stand in for the native ones on the PATH,
  // k3host.exe only when K3_HOST_EXE names it; the simulator keeps its state
  // under %LOCALAPPDATA%, which wine sets itself. Through k3host.exe the
  // simulator's sessions take their options from the emulated tag's DLL,
  // which has no --help or --version of its own.
  const std::string exe = wine_exe();
  std::string cmd = "cd '" + dir + "' && export HOME=\"$PWD\" XDG_STATE_HOME= PATH=\"" +
                    (exe.empty() ? "$(dirname '" K3HOST_SIM_PATH "')" : "$PWD/bin") + "\":$PATH; ";
  std::vector<Row> all(std::begin(rows), std::end(rows));
  if (!exe.empty()) {
    cmd +=
        "mkdir -p bin; for p in k3host-sim kvdcheck; do printf '#!/bin/sh\\nexec wine \"%s\" \"$@\"\\n' \"$(dirname '" +
        exe + "')/$p.exe\" >bin/$p; chmod +x bin/$p; done; ";
    if (host_exe())
      cmd += "printf '#!/bin/sh\\nexec wine \"%s\" \"$@\"\\n' '" + std::string(host_exe()) +
             "' >bin/k3host; printf '#!/bin/sh\\nK3_SIM_OPTIONS=\"$*\" exec wine \"%s\"\\n' '" + host_exe() +
             "' >bin/k3host-sim; chmod +x bin/*; ";
    const std::regex sim_own("k3host-sim -(h|-help|-version|-tags|-station)");  // the program's own options
    all.erase(std::remove_if(all.begin(), all.end(),
                             // A POSIX FIFO is nothing Windows programs meet; a held state
                             // directory is not tried there.
                             [&](const Row &r) {
                               return strstr(r.cmd, "HOME") || strstr(r.cmd, "mkfifo") || strstr(r.cmd, "sleep") ||
                                      (!host_exe() && !strncmp(r.cmd, "k3host ", 7)) ||
                                      (host_exe() && std::regex_search(r.cmd, sim_own));
                             }),
              all.end());
    all.push_back(
        {"k3host-sim && ls \"$(winepath -u \"$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\\r')\")/k3host-sim\"", 0,
         "^ K3 USB Host[\\s\\S]*tag\\.txt\n$"});
  }
  for (const auto &r : all) {
    int s = system((cmd + "{ " + r.cmd + "; } </dev/null >.out 2>&1").c_str());
    std::ostringstream out;
    std::string shown = (out << std::ifstream(dir + "/.out").rdbuf(), out.str());
    if (!exe.empty()) shown = std::regex_replace(shown, std::regex("\r\n"), "\n");  // the Windows console's line ends
    EXPECT_EQ(ended(s), "exit " + std::to_string(r.status)) << r.cmd << ", shown:\n" + shown;
    EXPECT_TRUE(std::regex_search(shown, std::regex(r.shown))) << r.cmd << ", shown:\n" + shown;
  }
}

#ifdef K3USB_BRIDGE_PATH
// What one side of a real-library comparison left behind: the console, with
// clock readings and the offload's countdown masked; every file of the
// working folder (clock readings in text files masked too), recording files
// with their offload time (header bytes 10 to 13, and so its check value,
// bytes 40 and 41) masked; the tag's state file without its clock.
static std::string leftovers(const Pty &pty, const std::string &dir, const std::string &state) {
  const std::regex clock("(\\d\\d:\\d\\d:\\d\\d( \\d+-\\w+-\\d+ UTC)?)+");
  std::string all = std::regex_replace(pty.text(), clock, "T");
  for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ostringstream b;
    std::string bytes = (b << std::ifstream(e.path(), std::ios::binary).rdbuf(), b.str());
    if (e.path().extension() == ".kvd" && bytes.size() > KVD_HEADER)
      bytes.replace(KVD_AT_STARTED, 4, 4, 'T').replace(KVD_AT_CRC, 2, 2, 'T');
    if (e.path().extension() == ".txt") bytes = std::regex_replace(bytes, clock, "T");
    all += "\n== " + e.path().lexically_relative(dir).string() + " " + std::to_string(bytes.size()) + " " +
           std::to_string(std::hash<std::string>()(bytes));
  }
  std::ostringstream t;
  t << std::ifstream(state + "/tag.txt").rdbuf();
  // The MSP's firmware record holds the time of its installation.
  std::string tag = std::regex_replace(t.str(), std::regex("\n?clock[^\n]*"), "");
  tag = std::regex_replace(tag, std::regex("(msp.mem=1000:....)[0-9a-f]{16}"), "$1T");
  return all + "\n== tag " + std::to_string(std::hash<std::string>()(tag)) + "\n";
}

// The production k3host, on the system's libusb 0.1, reaching the emulated
// tag through a device node that umockdev's sandbox fakes (k3usb-bridge,
// sim/realusb), against k3host-sim on the same keys and the same tag: the
// console, the files and the tag's state afterwards must be the same. Each
// row's steps are pairs of a text to wait for and the keys to send then.
TEST_F(InDir, RealLibrarySessionsMatchTheSimulator) {
  const std::string M = "Select an action... ";
  const char *const IMAGE = "@F000\n31 40 00 04 B2 40 80 5A 20 01 D2 D3 22 00 FF 3F\n@FFFE\n00 F0\nq\n";
  // clang-format off
  struct Row { const char *what; std::vector<std::string> opts; std::vector<std::pair<std::string, std::string>> steps;
               int status; } rows[] = {
      {"identify and quit", {}, {{M, "q"}}, 0},
      {"directory, offload of two recordings (replies of 28692 bytes), erase of one", {},
       {{M, "1"}, {M, "2"}, {"... ", "1,3\r"}, {"base\t\t", "rec\r"}, {M, "3"}, {"y/n? ", "y"}, {"... ", "1\r"},
        {M, "1"}, {M, "q"}}, 0},
      {"a new tag configured", {"--new-tag"}, {{"now y/n? ", "y"}, {M, "q"}}, 0},
      {"the setup menu, then arming", {}, {{M, "c"}, {"? ", "z"}, {"? ", "q"}, {"y/n  ", "y"}, {M, "q"}}, 0},
      {"MSP programming; EEPROM reads of 64 and 128 bytes, the tag ending them with a zero-length packet", {},
       {{M, "6"}, {M, "m"}, {"?\t\t\t", "fw.txt\r"}, {M, "v"}, {M, "5"}, {"?\t\t", "24576 54\r"}, {M, "5"},
        {"?\t\t", "24576 118\r"}, {M, "q"}}, 0},
      {"the same reads from a tag that sends no zero-length packet", {"--no-zlp"},
       {{M, "6"}, {M, "5"}, {"?\t\t", "24576 54\r"}, {M, "5"}, {"?\t\t", "24576 118\r"}, {M, "e"}, {M, "q"}}, 0},
      {"boot image, the tag back under its host identity", {"--boot"}, {{M, "q"}}, 0},
      {"a stalled endpoint", {"--fault", "dir:1:stall"}, {{M, "1"}, {M, "4"}, {M, "q"}}, 0},
      {"the tag vanishing during an offload", {"--fault", "flread:3:vanish"},
       {{M, "2"}, {"... ", "3\r"}, {"base\t\t", "rec\r"}, {"y/n\n", "n"}}, 255},
      {"the tag vanishing at the menu", {"--vanish", "4000"}, {{M, ""}, {"y/n\n", "n"}}, 255},
      {"a tag the user may not open: said once", {"--no-access"},
       {{"udev rule 60-k3host.rules\n and join the group plugdev", ""}, {"y/n\n", "y"}, {"y/n\n", "n"}}, 255},
  };
  // clang-format on
  for (const Row &r : rows) {
    std::string got[2];
    for (int side = 0; side < 2; side++) {
      std::string work = dir + "/" + std::to_string(&r - rows) + "/" + std::to_string(side), state = work + ".state";
      std::filesystem::create_directories(work);
      std::ofstream(work + "/fw.txt") << IMAGE;
      std::ofstream(work + "/_boot.bin") << std::string(130, 'b');
      std::vector<std::string> args = {"--state", state};
      args.insert(args.end(), r.opts.begin(), r.opts.end());
      if (side == 0) args.insert(args.end(), {"--", K3HOST_PATH});
      Pty pty;
      ASSERT_TRUE(pty.start(side == 0 ? K3USB_BRIDGE_PATH : K3HOST_SIM_PATH, args, work));
      size_t at = 0;
      for (const auto &[want, keys] : r.steps) {
        if (!pty.wait_for(want, at)) {
          ADD_FAILURE() << r.what << (side ? " (sim)" : " (real)") << ", waiting for '" << want << "':\n" << pty.text();
          break;
        }
        at = pty.text().find(want, at) + want.size();
        pty.send(keys);
      }
      int s = pty.wait_exit(60000);
      EXPECT_FALSE(std::regex_search(pty.text(), std::regex("plugdev[\\s\\S]*plugdev"))) << "the hint said twice";
      EXPECT_EQ(ended(s), "exit " + std::to_string(r.status)) << r.what << "\n" << pty.text();
      got[side] = leftovers(pty, work, state);
    }
    EXPECT_EQ(got[0], got[1]) << r.what;
  }
}
#else
TEST_F(InDir, RealLibrarySessionsMatchTheSimulator) {
  GTEST_SKIP() << "k3usb-bridge not built: umockdev's development files are missing (scripts/setup-deps)";
}
#endif

#endif  // _WIN32

// The platform layer: file look-up (on both systems), and the POSIX
// terminal's single-key mode and its restoration. (Keys from a pipe and a
// real sleep that does not spin: the simulator's tests above; the hooks:
// every session test.)
//
// plat_findfile: the name after the last / or \\, cut to the room given
// (its zero included, nothing written past it), and the modification time;
// nothing touched for what is missing or a folder. (Names without a cut: the
// firmware download; plat_mkdir: the data directory's session and fault tests.)
TEST_F(InDir, FindfileNameTimeAndBound) {
  const std::string d = dir + "/";
  // clang-format off
  struct { const char *file; size_t room; int want; const char *name; } files[] = {
      {"win\\code.txt", 64, 0, "code.txt"} /* an ordinary name on POSIX */, {"firmware.bin", 6, 0, "firmw"},
      {"exact6", 6, 0, "exact"}, {"firmware.bin", 1, 0, ""}, {"nosuch", 64, 1, ""},
      {"firmware.b?n", 64, 1, ""} /* a pattern is no file */, {"", 64, 1, ""} /* the folder */};
  // clang-format on
  for (const auto &c : files) {
    struct utimbuf times = {1300000000, 1234567890};
    std::filesystem::create_directories(std::filesystem::path(d + c.file).parent_path());  // Windows: win\\ is a folder
    if (!c.want) fclose(fopen((d + c.file).c_str(), "wb")), utime((d + c.file).c_str(), &times);
    std::string name(79, '#');
    time_t mtime = 7;
    EXPECT_EQ(plat_findfile((d + c.file).c_str(), &name[0], c.room, &mtime), c.want) << c.file;
    EXPECT_EQ(name[c.room], '#') << c.file << ": written past its room";
    EXPECT_EQ(name.c_str(), c.want ? std::string(79, '#') : c.name) << c.file;
    EXPECT_EQ(mtime, c.want ? 7 : 1234567890) << c.file;
  }
}

#ifndef _WIN32
// The child's side, started with SIGINT ignored (as by nohup) and no core
// files: single-key mode, then the keys it reads are reported,
// until a signal or the end of input ends it; "r" restores the terminal and switches back to single keys, each
// twice over, to show that both calls may be repeated. With poll_first it
// waits for plat_kbhit, as the menus do, and a plat_getch that waits after
// it is "slow".
static int key_reader(bool poll_first) {
  struct rlimit none = {0, 0};
  signal(SIGINT, SIG_IGN), setrlimit(RLIMIT_CORE, &none), plat_console_init(), fprintf(stderr, "ready\n");
  for (;;) {
    while (poll_first && !plat_kbhit()) plat_sleep_ms(2);
    unsigned long t0 = plat_clock_ms();
    int c = plat_getch();
    for (int i = 0; c == 'r' && i < 4; i++) i < 2 ? plat_console_restore() : plat_console_init();
    fprintf(stderr, "<%d>%s\n", c, poll_first && plat_clock_ms() - t0 > TMO_KEYSEQ / 2 ? " slow" : "");
  }
}

// A terminal's keys become the Windows console's: 8 for Backspace's 127,
// one special key (256) for each escape sequence, read at once or after
// plat_kbhit, which must never report a key that plat_getch then waits for.
// An ignored SIGINT stays ignored; line mode and single keys switched on
// again, each twice over, leave single keys without echo; SIGQUIT (Ctrl-\)
// ends the program by that signal with the terminal restored. (Ctrl-C,
// SIGTERM, SIGHUP and exit: SimSession.)
TEST(PlatTerminal, KeysOfTheWindowsConsoleSignalsAndRestore) {
  // clang-format off
  const char *S = "<256>\n", *cases[][2] = {{"\x7f\b", "<8>\n<8>\n"}, {"\x1b[3~", S} /* Delete, not its 3 */,
      {"\x1b[A", S}, {"\x1b[1;5D", S} /* Ctrl+Left */, {"\x1bOP", S} /* F1 */, {"\x1b[[A", S} /* Linux console F1 */,
      {"\x1b" "6", S} /* Alt+6 */, {"\x1b[2\x01", "<256>\n<1>\n"} /* a byte that cannot be in it */,
      {"\x1b\x1b[B", "<27>\n<256>\n"}, {"\x1b", "<27>\n"} /* Escape alone, after the wait */,
      {"\003r", "<114>\n"} /* Ctrl-C ignored; the modes switched again */};
  // clang-format on
  for (bool poll : {false, true}) {
    Pty p;
    // Once key_reader is ready in single-key mode: no line mode, no echo, signal keys kept.
    ASSERT_TRUE(p.start([poll] { return key_reader(poll); }));
    ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
    struct termios t;  // the rest shows in the keys read and nothing echoed
    ASSERT_EQ(tcgetattr(p.slave_, &t), 0);
    EXPECT_TRUE(t.c_oflag & OPOST) << "\"\\n\" must still start a new line";
    EXPECT_EQ(t.c_cc[VMIN], 1);
    for (const auto &c : cases) {
      size_t m = p.mark();
      p.send(c[0]), p.wait_for(c[1], m), p.send("z");  // once the sequence has ended, the next key is itself
      p.wait_for("<122>\n", m);
      EXPECT_EQ(p.text().substr(m), c[1] + std::string("<122>\n")) << "poll " << poll;
    }
    size_t m = p.mark();  // an endless stream of parameters gives its key all the same
    for (int i = 0; i < 100 && !p.wait_for(S, m, 10); i++) p.send(i ? ";;;;;;;;;;" : "\x1b[");
    EXPECT_EQ(p.text().substr(m, 6), S) << "poll " << poll;
    int status = (p.signal(SIGQUIT), p.wait_exit());
    EXPECT_EQ(ended(status), "signal " + std::to_string(SIGQUIT));
    EXPECT_TRUE(p.restored()) << "the terminal left changed";
  }
  // Ctrl-Z at a menu, under a job-control shell (the child plays the shell: a
  // stop is carried out only in a process group whose parent is in the same
  // session): the program stops with the terminal given back, and after fg
  // it reads single keys again.
  Pty p;
  ASSERT_TRUE(p.start([] {
    signal(SIGTTOU, SIG_IGN);  // the shell takes the terminal back from a stopped job
    pid_t job = fork();
    if (job == 0) return setpgid(0, 0), tcsetpgrp(0, getpgrp()), signal(SIGTTOU, SIG_DFL), key_reader(false);
    int st = 0;
    setpgid(job, job), tcsetpgrp(0, job);
    for (char fg[8]; waitpid(job, &st, WUNTRACED) == job && WIFSTOPPED(st);) {
      tcsetpgrp(0, getpgrp()), fprintf(stderr, "stopped\n");
      if (!fgets(fg, sizeof fg, stdin)) return 1;
      tcsetpgrp(0, job), kill(-job, SIGCONT);
    }
    return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 1;
  }));
  ASSERT_TRUE(p.wait_for("ready\n")) << p.text();
  for (int round = 0; round < 2; round++) {  // the second stop needs the handler put back
    size_t m = p.mark();
    p.send("\x1a");
    EXPECT_TRUE(p.wait_for("stopped\n", m)) << round << p.text();
    EXPECT_TRUE(p.restored()) << round << " stopped in single-key mode";
    p.send("fg\n");
    struct termios t = {};
    for (int i = 0; i < 300 && tcgetattr(p.slave_, &t) == 0 && (t.c_lflag & ICANON); i++) usleep(10000);
    m = p.mark();
    p.send("z");
    EXPECT_TRUE(p.wait_for("<122>\n", m)) << round << " no single keys after fg: " << p.text().substr(m);
  }
  p.send("\x1c");  // Ctrl-\ ends it
  int status = p.wait_exit();
  EXPECT_EQ(ended(status), "exit " + std::to_string(128 + SIGQUIT));
  EXPECT_TRUE(p.restored());
  // A sleep that a signal interrupts sleeps on for the rest of its time.
  struct sigaction quiet = {}, old = {};
  quiet.sa_handler = [](int) {};
  sigaction(SIGALRM, &quiet, &old);
  struct itimerval soon = {{0, 0}, {0, 50000}};
  setitimer(ITIMER_REAL, &soon, nullptr);
  unsigned long long t0 = plat_clock_us();
  plat_sleep_ms(200);
  EXPECT_GE(plat_clock_us() - t0, 199000u) << "the sleep ended at the signal";
  sigaction(SIGALRM, &old, nullptr);
}

#endif  // _WIN32

// The installed udev rule: read with the rules syntax udev uses and run
// against the events a plugged tag (and other devices) make, so a typo that
// udev would skip in silence, an upper-case id that never matches sysfs or a
// misplaced GOTO shows here rather than as "permission denied" in the field.
// The file reads as udev rules, one a line, and is run over events: a GOTO
// skips to its LABEL; a match (== or !=) compares the event's key exactly or
// against alternatives split by "|", so a misspelt key, an upper-case id,
// a glob or an = where == was meant shows; TAG is added to those the seat
// has already (+=), never set over them. Both tag identities, added, changed
// or bound, go to plugdev and the seat's user while every other device and
// event is left alone.
TEST(UdevRule, ReadsAsUdevRulesAndGrantsTheTagAndNothingElse) {
  static const std::regex term(R"(^\s*(([A-Z]+)(\{\w+\})?)\s*(==|!=|\+=|-=|:=|=)\s*\"([^\"]*)\"\s*(,|$))");
  std::ifstream in(K3_SOURCE_DIR "/packaging/60-k3host.rules");
  std::vector<std::vector<std::vector<std::string>>> rules;  // each term: name (with its {attribute}), key, op, value
  std::smatch m;
  for (std::string text; std::getline(in, text);) {
    if (std::regex_match(text, std::regex(R"(\s*(#.*)?)"))) continue;
    rules.emplace_back();
    for (std::string rest = text; rest.find_first_not_of(" \t") != std::string::npos; rest = m.suffix()) {
      ASSERT_TRUE(std::regex_search(rest, m, term)) << "udev would not read: " << text;  // nor a continuation
      rules.back().push_back({m[1], m[2], m[4], m[5]});
    }
  }
  ASSERT_FALSE(rules.empty());
  auto match = [](const std::string &op) { return op == "==" || op == "!="; };  // else an assignment
  // clang-format off
  const struct { const char *event; bool granted; } cases[] = {  // SUBSYSTEM ACTION DEVTYPE idVendor idProduct
      {"usb add usb_device 0451 9001", true}, {"usb add usb_device 0c55 1235", true},  // boot loader, host code
      {"usb change usb_device 0c55 1235", true}, {"usb bind usb_device 0c55 1235", true},
      {"usb add usb_device 0451 9002", false}, {"usb add usb_device 0c55 1234", false},  // the makers' other products,
      {"usb add usb_device 0c55 9001", false}, {"usb add usb_device 0451 1235", false},  // ids crossed or swapped
      {"usb add usb_device 1235 0c55", false}, {"usb remove usb_device 0c55 1235", false},  // the tag leaving
      {"usb add usb_interface 0c55 1235", false}, {"hid add usb_device 0c55 1235", false}};  // not the device node
  // clang-format on
  for (const auto &c : cases) {
    std::map<std::string, std::string> ev, got = {{"TAG", "seat "}};  // got: what was assigned, GOTO included
    std::istringstream words(c.event);
    for (const char *name : {"SUBSYSTEM", "ACTION", "ENV{DEVTYPE}", "ATTR{idVendor}", "ATTR{idProduct}"})
      words >> ev[name];
    for (const auto &r : rules) {
      if (r[0][1] == "LABEL" && r[0][3] == got["GOTO"]) got["GOTO"].clear();
      if (!got["GOTO"].empty()) continue;  // skipping to its LABEL
      bool applies = true;
      for (const auto &t : r)  // every match holds
        applies &= !match(t[2]) || (("|" + t[3] + "|").find("|" + ev[t[0]] + "|") != t[3].npos) == (t[2] == "==");
      for (const auto &t : r)
        if (applies && !match(t[2])) got[t[1]] = (t[2] == "+=" ? got[t[1]] : "") + t[3];
    }
    EXPECT_EQ(got["MODE"] + " " + got["GROUP"] + " " + got["TAG"], c.granted ? "0660 plugdev seat uaccess" : "  seat ")
        << c.event;
  }
}
