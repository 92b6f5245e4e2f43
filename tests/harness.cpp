// The session-test harness: scripted keys on the virtual clock, console
// capture through files, a scratch working directory per test.
#include "harness.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#define O_BINARY 0
#endif

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <regex>

#include "host.h"
#include "hostflsh.h"
#include "k3host.h"
#include "k3proto.h"
#include "kovacfg.h"
#include "msp.h"
#include "params.h"
#include "platform.h"
#include "station.h"
#include "stnreport.h"
#include "tag.h"
#include "utilities.h"

namespace {

// ---- Scripted keyboard ----

const unsigned long IDLE_LIMIT_MS = 10UL * 60 * 1000;  // polling past the last key
const unsigned long SPIN_LIMIT = 1000000;              // polls without the clock moving

struct Key {
  unsigned long at;
  int c;
};

struct Script {
  std::deque<Key> keys;
  unsigned long last_at = 0;  // bus time the last key was taken (or SetUp)
  unsigned long spin_clock = 0;
  unsigned long spins = 0;
};
Script S;

int script_kbhit(void) {
  unsigned long now = vbus_now_ms();
  if (now == S.spin_clock) {
    if (++S.spins > SPIN_LIMIT) throw KeysExhausted();  // polled in a loop that never waits
  } else {
    S.spin_clock = now;
    S.spins = 0;
  }
  if (!S.keys.empty()) return S.keys.front().at <= now ? 1 : 0;
  if (now > S.last_at + IDLE_LIMIT_MS) throw KeysExhausted();
  return 0;
}

int script_getch(void) {
  if (S.keys.empty()) throw KeysExhausted();
  Key k = S.keys.front();
  S.keys.pop_front();
  unsigned long now = vbus_now_ms();
  if (k.at > now) vbus_advance_ms(k.at - now);
  S.last_at = vbus_now_ms();
  return k.c;
}

void script_putch(int c) { fputc(c, stderr); }

void add_keys(unsigned long at, const std::string &k) {
  // Kept in time order; keys of the same time in the order given.
  auto pos = std::upper_bound(S.keys.begin(), S.keys.end(), at, [](unsigned long t, const Key &e) { return t < e.at; });
  std::vector<Key> add;
  for (unsigned char c : k) add.push_back(Key{at, c});
  S.keys.insert(pos, add.begin(), add.end());
}

// ---- Console capture ----
//
// Each stream is pointed at a scratch file; reading takes what was added
// since the last read. Unlike gtest's own capture this stays out of the way of
// death tests, which capture standard error themselves. The file is binary:
// the test sees the characters the program wrote, not the Windows console's
// line ends.

struct Capture {
  int fd = -1;             // the stream's descriptor (1 or 2)
  int file = -1;           // the capture file
  int saved = -1;          // the stream as it was
  std::string name;        // the capture file's path
  std::streamoff pos = 0;  // read so far
  std::string all;         // everything captured, for the failure report

  void start(int which) {
    fd = which;
    fflush(which == 1 ? stdout : stderr);
    std::string dir = make_tempdir("k3cap");
    name = dir + "/console";
    file = dir.empty() ? -1 : ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
    if (file < 0) return;
    saved = dup(fd);
    dup2(file, fd);
    pos = 0;
    all.clear();
  }

  std::string take() {
    if (file < 0) return "";
    fflush(fd == 1 ? stdout : stderr);
    std::ifstream in(name, std::ios::binary);
    in.seekg(pos);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    pos += (std::streamoff)s.size();
    all += s;
    return s;
  }

  void stop() {
    if (file < 0) return;
    take();
    dup2(saved, fd);
    close(saved);
    close(file);
    file = saved = -1;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(name).parent_path(), ec);
  }
};
Capture CERR, COUT;

const PlatHooks HOOKS = {script_kbhit, script_getch, script_putch, vbus_now_ms, vbus_advance_ms};

}  // namespace

std::vector<uint8_t> make_frame(int code, const std::vector<uint8_t> &payload) {
  return tag_frame(code, payload.data(), (int)payload.size());
}

void reset_modules() {
  host_reset();
  hostflsh_reset();
  k3host_reset();
  kovacfg_reset();
  msp_reset();
  station_reset();
  stnreport_reset();
  utilities_reset();
}

void Harness::fresh() {
  if (!own_handles_) {  // but the one claimed for the test
    EXPECT_EQ(vbus_open_handles() - (usb_handle ? 1 : 0), 0) << "a device left open";
  }
  vbus_reset();
  S = Script();
  reset_modules();
  if (tmpdir_.empty()) return;
  for (auto &entry : std::filesystem::directory_iterator(tmpdir_)) std::filesystem::remove_all(entry.path());
}

void Harness::SetUp() {
  vbus_realtime(0);
  plat_sethooks(&HOOKS);
  fresh();

  oldcwd_ = std::filesystem::current_path().string();
  tmpdir_ = make_tempdir("k3test");
  ASSERT_FALSE(tmpdir_.empty()) << "cannot make a folder in " << std::filesystem::temp_directory_path();
  std::error_code ec;
  std::filesystem::current_path(tmpdir_, ec);
  ASSERT_FALSE(ec) << "cannot work in " << tmpdir_;

  // On Windows a death test's child is a new run of this program for that
  // one test, and gtest reads what it says from its standard error: leave
  // that alone, and remove the folder at the child's exit.
  if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
    static std::string child_dir;
    child_dir = tmpdir_;
    atexit([] {
      std::error_code ec;
      std::filesystem::current_path(std::filesystem::temp_directory_path(ec), ec);
      std::filesystem::remove_all(child_dir, ec);
    });
    return;
  }
  CERR.start(2);
  COUT.start(1);
  files_ = open_files();
}

void Harness::TearDown() {
  // Nothing the program opened stays open after what the test ran.
  if (files_ >= 0) {
    EXPECT_EQ(open_files(), files_) << "a file left open";
  }
  if (usb_handle) releaseif(usb_handle, 1);
  usb_handle = nullptr;
  fresh();
  plat_sethooks(nullptr);
  COUT.stop();
  CERR.stop();
  // gtest reports failures and skips on standard output as they happen:
  // pass them on, and with a failure the end of the console text for context.
  if (IsSkipped()) fputs(COUT.all.c_str(), stdout);
  if (HasFailure()) {
    fputs(COUT.all.c_str(), stdout);
    const std::string &e = CERR.all;
    size_t from = e.size() > 2000 ? e.size() - 2000 : 0;
    printf("--- console (standard error)%s ---\n%s\n---\n", from ? ", last 2000 bytes" : "", e.c_str() + from);
  }
  std::error_code ec;
  if (!oldcwd_.empty()) std::filesystem::current_path(oldcwd_, ec);
  if (ec) ADD_FAILURE() << "cannot return to " << oldcwd_;
  if (!tmpdir_.empty()) {
    std::filesystem::remove_all(tmpdir_, ec);
  }
  vbus_reset();
}

void Harness::keys(const std::string &k) { add_keys(vbus_now_ms(), k); }
void Harness::keys_at(unsigned long ms, const std::string &k) { add_keys(ms, k); }

std::string Harness::err() { return CERR.take(); }
std::string Harness::out() { return COUT.take(); }

struct usb_device *Harness::find(int tag) {
  return vbus_find_tag(tag);
}

int open_files() {
  int n = 0;
#ifndef _WIN32
  for (int fd = 0; fd < 1024; fd++) n += fcntl(fd, F_GETFD) != -1;
#endif
  return n;
}

std::string make_tempdir(const char *prefix) {
  static unsigned serial;
  std::filesystem::path d;
  std::error_code ec;  // set when the temporary folder itself is unusable
  do
    d = std::filesystem::temp_directory_path() /
        (prefix + ("-" + std::to_string(getpid())) + "-" + std::to_string(++serial));
  while (!std::filesystem::create_directory(d, ec) && !ec);
  return ec ? "" : d.string();
}

std::string textmode(const std::string &s) {
#ifdef _WIN32
  return std::regex_replace(s, std::regex("\n"), "\r\n");
#endif
  return s;
}

void set_tz(const char *tz) {
#ifdef _WIN32
  _putenv_s("TZ", tz ? tz : "");
  _tzset();
#else
  tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
  tzset();
#endif
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); !needle.empty() && p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

std::string hex(const std::vector<uint8_t> &b) {
  std::string s;
  for (uint8_t v : b) s += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
  return s;
}

std::vector<std::vector<uint8_t>> Harness::payloads(int tag, int code) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto &f : frames(tag))
    if (f.size() >= FRAME_OVERHEAD && ((f[2] << 8) | f[3]) == code)
      out.emplace_back(f.begin() + FRAME_HDR, f.end() - FRAME_CHECK);
  return out;
}

void Harness::claim(int tag) {
  usb_handle = claimif(find(tag), 0);
  ASSERT_NE(usb_handle, nullptr);
}

int Harness::open(const TagConfig &cfg) {
  if (usb_handle) releaseif(usb_handle, 1);
  usb_handle = nullptr;
  vbus_reset();
  int tag = attach(cfg);
  claim(tag);
  return tag;
}

Bytes Harness::ee(int tag, int addr, int n) {
  const std::vector<uint8_t> &e = vbus_tag_eeprom(tag);
  return Bytes(e.begin() + addr, e.begin() + addr + n);
}

void Harness::ee_put(int tag, int addr, const Bytes &b) {
  std::copy(b.begin(), b.end(), vbus_tag_eeprom(tag).begin() + addr);
}

std::string Harness::file(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  if (!in || std::filesystem::is_directory(name)) return "<none>";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Harness::file(const std::string &name, const std::string &text) {
  if (text == "<none>")
    remove(name.c_str());
  else
    std::ofstream(name, std::ios::binary) << text;
}

int Harness::run(std::function<int()> f) {
  try {
    return f();
  } catch (const KeysExhausted &) {
    ADD_FAILURE() << "keys exhausted";
    return -99;
  }
}
