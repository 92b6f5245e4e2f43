// The program's outer loop (discovery in bus order, the retry question, the
// boot-image upload, restart), then whole sessions against the emulated tag:
// identification, the two menus byte for byte, key handling, the board keys,
// the quit sequence, frames the tag sends while the menu waits and a tag that
// stalls.
#include <errno.h>
#include <gmock/gmock.h>
#include <string.h>

#include <algorithm>
#include <regex>

#include "boot.h"
#include "harness.h"
#include "host.h"
#include "k3host.h"
#include "utilities.h"

namespace {

const char USER_MENU_HEAD[] =
    "\n 1 Get directory\n 2 Offload files\n 3 Erase files\n 4 Battery\n 5 Set data directory\n"
    " 6 Enter expert mode\n 7 Download firmware\n 8 Current firmware\n";
const char USER_MENU_TAIL[] = " q Quit\n\n Select an action... ";

std::string user_menu(bool kova3) {
  return std::string(USER_MENU_HEAD) + (kova3 ? " c Configure\n" : "") + USER_MENU_TAIL;
}

std::string expert_menu(bool kova3) {
  std::string m =
      "\n 0 Board ID\t\t\t\t1 Board ADC read\n"
      " 2 Board TIME read\t\t\t3 Board TIME set\n"
      " 4 Battery report\t\t\t5 EEPROM read\n"
      " 6 EEPROM write\t\t\t\t7 EEPROM clear\n"
      " 8 Flash chips\t\t\t\t9 Offload Flash\n"
      " a Flash write\t\t\t\tb Flash clear\n"
      " c Get bad blocks\t\t\td Make bad block file\n"
      " e Get directory\t\t\tf Offload recording\n"
      " g Clear recording\t\t\th Set data directory\n"
      " i User mode\t\t\t\tw re-write bad blocks\n"
      " x Restart\t\t\t\tq Quit\n";
  if (kova3)
    m += " v get MSP code info\t\t\tm download MSP code\n"
         " r rx test MSP\t\t\t\tt tx test MSP\n"
         " s MSP WIO test\n";
  return m + "\n Select an action... ";
}

// The console text with every time shown as <time>.
std::string untimed(const std::string &e) {
  return std::regex_replace(e, std::regex("\\d\\d:\\d\\d:\\d\\d \\d+-[A-Z][a-z]{2}-\\d{4} UTC"), "<time>");
}

// Request codes the tag received, in order.
std::vector<int> codes(const std::vector<std::vector<uint8_t>> &fr) {
  std::vector<int> c;
  for (auto &f : fr) c.push_back(f.size() >= 4 ? (f[2] << 8) | f[3] : -1);
  return c;
}

const char KOVA3_ID[] = "\n Connected to KOVA-3 id 4b330a17\n Battery voltage 3.71 V\n";

struct Session : Harness {
  int tag = -1;
  void start(const TagConfig &cfg = TagConfig()) { tag = attach(cfg); }
  int run_host() {
    return run([&] { return host(find(tag)); });
  }
};

// A KOVA-3 session from start to quit, whole: sync, identity, battery,
// resync, the configured check; the user menu; on q the host's time set on
// the tag (four zero bytes after it) and no question about rebooting.
TEST_F(Session, Kova3IdentifiesShowsUserMenuAndQuitsSettingTheClock) {
  start();
  keys("q");
  EXPECT_EQ(run_host(), 1);
  EXPECT_EQ(untimed(err()), KOVA3_ID + user_menu(true) + "q\n\nSetting device clock to: <time>\n");
  EXPECT_EQ(devtype, 4);
  EXPECT_EQ(codes(frames(tag)),
            (std::vector<int>{REQ_SYNC, REQ_BOARDID, REQ_SOC, REQ_SYNC, REQ_EEREAD, REQ_SYNC, REQ_TIMESET}));
  const Bytes last = frames(tag).back();
  ASSERT_EQ(last.size(), 18u);
  EXPECT_EQ(char2long(&last[10]), 0u);
  EXPECT_LE(labs(vbus_tag_clock(tag) - (long)time(NULL)), 2);
}

// Each device type's connect line and the type the session keeps.
TEST_F(Session, DeviceTypesConnectByName) {
  const char *lines[] = {"\n Connected to MIRO", "\n Connected to MIRO", "\n Connected to ??", 0, 0,
                         " Unknown device,"};
  for (int type : {0, 1, 2, 5, 7}) {
    fresh();
    start();
    vbus_tag_config(tag).devtype = type;
    devtype = 4;
    keys("Qn");
    EXPECT_EQ(run_host(), 1);
    std::string line = std::string(lines[std::min(type, 5)]) + " id 4b330a17\n Battery voltage 3.71 V\n";
    EXPECT_EQ(err().find(line + user_menu(false)), 0u) << type;
    EXPECT_EQ(devtype, type > 4 ? -1 : type);
  }
}

// One key script per row on a fresh tag whose clock is an hour slow: all the
// text after identification (times as <time>), the last request the tag
// received, and its clock set exactly when the console says so. Quitting from
// the user menu sets the clock; other tags are asked about rebooting; expert
// quit does neither. A tag that stalls (every read fails at once) still has
// the menu wait between polls, and the session goes on.
TEST_F(Session, KeyScriptsShowTheirText) {
  const std::string u = user_menu(true), m = expert_menu(true), setclock = "Setting device clock to: <time>\n",
                    ask = "Run immediately? y/n  ";
  struct Case {
    const char *what;
    void (*setup)(Session &s);
    const char *keys;
    std::string shown;
    int last;
  } cases[] = {
      {"space, Enter, Escape ignored; keys of no menu redraw it, C silently on a non-KOVA-3",
       [](Session &s) {
         vbus_tag_config(s.tag).devtype = 0;
         s.keys(" \r\x1b");
         s.keys_at(5000, "0");
         s.keys_at(6000, "C");
         s.keys_at(7000, "6Q");
         s.keys_at(8000, "q");
       },
       "",
       user_menu(false) + "0\n\n\ninvalid option- try again\n\n" + user_menu(false) + "C\n\n" + user_menu(false) +
           "6\n\n" + expert_menu(false) + "Q\n\n\ninvalid option- try again\n\n" + expert_menu(false) + "q\n\n",
       REQ_SYNC},
      {"frames from the tag while the menu waits: shown where they fall, no redraw",
       [](Session &s) {
         vbus_tag_send(s.tag, MSG_TEXT, "hello", 5, 10000);
         vbus_tag_send(s.tag, 0x0102, "", 0, 12000);
         vbus_tag_send(s.tag, MSG_ERROR, "\x00\x07", 2, 13000);
         const uint8_t junk[] = {0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0};
         vbus_tag_send_raw(s.tag, junk, sizeof junk, 14000);
         s.keys_at(20000, "q");
       },
       "",
       u +
           "\n Device message: 'hello'\n\n Error: unknown incoming command 102\n\n Device reports an error code "
           "0x0007:0x0000\n Error in received message: flag 0001\nq\n\n" +
           setclock,
       REQ_TIMESET},
      {"user battery key, charging", [](Session &s) { vbus_tag_config(s.tag).battery_status = 1; }, "4q",
       u + "4\n\n Battery voltage 3.71 V charging in progress\n" + u + "q\n\n" + setclock, REQ_TIMESET},
      {"expert board keys", [](Session &) { mode = 1; }, "01234q",
       m + "0\n\n Board ID: 0003 0102 4b33 0a17 0001\n" + m + "1\n\n ADC reads: 812 1650 2048 37\n" + m +
           "2\n\n device time: <time>\n" + m + "3\n\n" + setclock + m + "4\n\n Battery voltage 3.71 V charging done\n" +
           m + "q\n\n",
       REQ_SOC},
      {"expert, a tag that stalls at the board ID request (which never reaches it)",
       [](Session &s) {
         s.fault(s.tag, REQ_BOARDID, 2, FAULT_STALL);
         mode = 1;
         s.keys_at(60000, "q");
       },
       "0", m + "0\n\n" + m + "q\n\n", REQ_SYNC},
      {"expert key i: back to the user menu", [](Session &) { mode = 1; }, "iq", m + "i\n\n" + u + "q\n\n" + setclock,
       REQ_TIMESET},
      {"other tag, quit and reboot", [](Session &s) { vbus_tag_config(s.tag).devtype = 1; }, "qy",
       user_menu(false) + "q\n\n" + setclock + ask + "\n", REQ_REBOOT},
      {"other tag, only lower-case y reboots", [](Session &s) { vbus_tag_config(s.tag).devtype = 0; }, "QY",
       user_menu(false) + "Q\n\n" + setclock + ask + "\n", REQ_TIMESET},
  };
  for (const Case &c : cases) {
    vbus_reset();
    reset_modules();
    TagConfig cfg;
    cfg.clock_offset = -3600;
    start(cfg);
    c.setup(*this);
    keys(c.keys);
    EXPECT_EQ(run_host(), 1) << c.what;
    std::string e = untimed(err());
    size_t id_end = e.find(" Battery voltage 3.71 V\n") + strlen(" Battery voltage 3.71 V\n");
    EXPECT_EQ(e.substr(std::min(id_end, e.size())), c.shown) << c.what;
    EXPECT_EQ(codes(frames(tag)).back(), c.last) << c.what;
    EXPECT_EQ(labs(vbus_tag_clock(tag) - (long)time(NULL)) <= 2, e.find("Setting device clock") != std::string::npos)
        << c.what << ": the tag's clock";
  }
}

struct Entry : Harness {};

// Discovery in bus order, on a fresh bus per row: the first tag that can be
// claimed wins, as a boot loader (state 0) or running host code (state 1);
// a held tag is skipped silently; nothing claimable gives state -1. Every
// tag discovery opened or claimed is left released and closed.
TEST_F(Entry, FirstClaimableDeviceInBusOrderWins) {
  struct Tag {
    int bus, held, bootloader;
  };
  // winner: index in tags, -1 none
  struct {
    const char *what;
    std::vector<Tag> tags;
    int winner;
    int state;
  } cases[] = {{"held, then a boot loader, then host code", {{1, 1, 0}, {2, 0, 1}, {3, 0, 0}}, 1, 0},
               {"host code first on one bus", {{1, 0, 0}, {1, 0, 1}}, 0, 1},
               {"only a held tag", {{1, 1, 0}}, -1, -1}};
  for (const auto &c : cases) {
    vbus_reset();
    std::vector<int> ids;
    for (const Tag &t : c.tags) {
      TagConfig cfg;
      cfg.bus = t.bus;
      cfg.held = t.held;
      cfg.bootloader = t.bootloader;
      ids.push_back(attach(cfg));
    }
    usb_init();
    int state = 7;
    struct usb_device *dev = device_init(&state);
    EXPECT_EQ(state, c.state) << c.what;
    EXPECT_EQ(dev, c.winner < 0 ? nullptr : find(ids[c.winner])) << c.what;
    EXPECT_EQ(err(), "") << c.what;
    int opened = 0, claimed = 0;
    for (const BusEvent &e : vbus_events()) {
      opened += (e.kind == EV_OPEN) - (e.kind == EV_CLOSE);
      claimed += (e.kind == EV_CLAIM && e.result == 0) - (e.kind == EV_RELEASE);
    }
    EXPECT_EQ(opened, 0) << c.what << ": left open";
    EXPECT_EQ(claimed, 0) << c.what << ": left claimed";
  }
}

// The retry question takes only keys typed after it, and only a lower-case
// n ends the program (status -1).
TEST_F(Entry, RetryQuestionDiscardsEarlyKeysAndLowerCaseNExits) {
  keys("ab");
  keys_at(1000, "N");
  keys_at(2000, "n");
  // std::regex: gtest's own is a simple one on Windows.
  EXPECT_EXIT(k3host_main(), ::testing::ExitedWithCode(EXIT_MINUS_1), ::testing::Truly([](const std::string &e) {
                return std::regex_match(e, std::regex("^ K3 USB Host V1\\.1\t\t       [^\n]*\n\n Searching for "
                                                      "device\\.\\.\\.\nK3 not found: try again\\? y/n\n"
                                                      "K3 not found: try again\\? y/n\n$"));
              }));
}

// The descriptor a file opened now would get: the lowest free one, so a file
// left open by the code under test shows as a change.
int next_fd() {
  FILE *f = fopen(BOOTFILE, "rb");
  int fd = f ? fileno(f) : -1;
  if (f) fclose(f);
  return fd;
}

// boot() on a fresh boot loader per row: the image in 64-byte chunks, byte
// for byte (an empty one sends nothing), then the wait for the tag to come
// back; a tag that cannot be claimed fails before anything is sent. The image
// is closed again in each case.
TEST_F(Entry, BootImageIsSentInChunksThenTheTagIsAwaited) {
  struct {
    size_t size;
    int held, result;
    std::vector<int> chunks;
    const char *out, *shown;
    unsigned long waited;
  } cases[] = {{130, 0, 0, {64, 64, 2}, " rebooting...\n", " booting default host code...\n", WAIT_AFTER_BOOT},
               {0, 0, 0, {}, " rebooting...\n", " booting default host code...\n", WAIT_AFTER_BOOT},
               {10, 1, 1, {}, "", " booting default host code...\n USB error in claim interface: -16\n", 0}};
  for (const auto &c : cases) {
    vbus_reset();
    Bytes image;
    for (size_t i = 0; i < c.size; i++) image.push_back((uint8_t)(i * 13 + 1));
    file(BOOTFILE, std::string(image.begin(), image.end()));
    TagConfig loader;
    loader.bootloader = 1;
    loader.held = c.held;
    int t = attach(loader), fd = next_fd();
    EXPECT_EQ(boot(find(t)), c.result) << c.size;
    EXPECT_EQ(next_fd(), fd) << c.size;
    EXPECT_GE(vbus_now_ms(), c.waited) << c.size;
    EXPECT_EQ(vbus_boot_chunks(t), c.chunks) << c.size;
    size_t writes = 0;
    for (const BusEvent &e : vbus_events()) writes += e.kind == EV_WRITE || e.kind == EV_ZLP;
    EXPECT_EQ(writes, c.chunks.size()) << c.size << ": every write a chunk";
    EXPECT_EQ(vbus_boot_image(t), c.result ? Bytes() : image) << c.size;
    EXPECT_EQ(out(), c.out) << c.size;
    EXPECT_EQ(err(), c.shown) << c.size;
  }
}

// Restart (expert key x) searches again without a new banner or search line
// and opens the next session on the expert menu.
TEST_F(Entry, RestartSearchesAgainWithoutANewBanner) {
  attach();
  keys("6x");
  keys_at(100000, "q");
  EXPECT_EQ(run([] { return k3host_main(); }), 0);
  std::string e = err();
  EXPECT_EQ(count(e, "K3 USB Host V1.1"), 1u);
  EXPECT_EQ(count(e, "Searching for device"), 1u);
  EXPECT_EQ(count(e, "Connected to KOVA-3"), 2u);
  EXPECT_EQ(count(e, " 1 Get directory\n"), 1u) << "the user menu only in the first session";
  EXPECT_EQ(count(e, " 0 Board ID\t"), 2u) << "the expert menu after 6, and at the restart";
}

}  // namespace
