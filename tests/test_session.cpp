// Whole sessions against the emulated tag: identification, the two menus
// byte for byte, key handling, the board keys, the quit sequence, restart,
// frames the tag sends while the menu waits, and a tag that goes away.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <regex>

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
  int start(TagConfig cfg = TagConfig()) {
    tag = attach(cfg);
    return tag;
  }
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
  EXPECT_LE(labs((long)char2long(&last[6]) - (long)time(NULL)), 2);
  EXPECT_EQ(char2long(&last[10]), 0u);
  EXPECT_LE(labs(vbus_tag_clock(tag) - (long)time(NULL)), 2);
}

// Each device type's connect line and the type the session keeps.
TEST_F(Session, DeviceTypesConnectByName) {
  struct Case {
    int type;
    const char *line;
    int devtype;
  };
  Case cases[] = {{0, "\n Connected to MIRO id 4b330a17\n", 0},
                  {1, "\n Connected to MIRO id 4b330a17\n", 1},
                  {2, "\n Connected to ?? id 4b330a17\n", 2},
                  {7, " Unknown device, id 4b330a17\n", -1},
                  {5, " Unknown device, id 4b330a17\n", -1}};
  for (const Case &c : cases) {
    vbus_reset();
    TagConfig cfg;
    cfg.devtype = c.type;
    start(cfg);
    devtype = 4;
    keys("Qn");
    EXPECT_EQ(run_host(), 1);
    std::string e = err();
    EXPECT_EQ(e.find(std::string(c.line) + " Battery voltage 3.71 V\n" + user_menu(false)), 0u) << c.type;
    EXPECT_EQ(devtype, c.devtype);
  }
}

// One key script per row on a fresh tag whose clock is an hour slow: all the
// text after identification (times as <time>), the last request the tag
// received, and its clock set exactly when the console says so. Quitting from
// the user menu sets the clock; other tags are asked about rebooting; expert
// quit does neither.
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
       }, "", user_menu(false) + "0\n\n\ninvalid option- try again\n\n" + user_menu(false) + "C\n\n" + user_menu(false) +
           "6\n\n" + expert_menu(false) + "Q\n\n\ninvalid option- try again\n\n" + expert_menu(false) + "q\n\n",
       REQ_SYNC},
      {"frames from the tag while the menu waits: shown where they fall, no redraw", [](Session &s) {
         vbus_tag_send(s.tag, MSG_TEXT, "hello", 5, 10000);
         vbus_tag_send(s.tag, 0x0102, "", 0, 12000);
         vbus_tag_send(s.tag, MSG_ERROR, "\x00\x07", 2, 13000);
         const uint8_t junk[] = {0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0};
         vbus_tag_send_raw(s.tag, junk, sizeof junk, 14000);
         s.keys_at(20000, "q");
       }, "", u + "\n Device message: 'hello'\n\n Error: unknown incoming command 102\n\n Device reports an error code "
              "0x0007:0x0000\n Error in received message: flag 0001\nq\n\n" + setclock, REQ_TIMESET},
      {"user battery key, charging", [](Session &s) { vbus_tag_config(s.tag).battery_status = 1; }, "4q",
       u + "4\n\n Battery voltage 3.71 V charging in progress\n" + u + "q\n\n" + setclock, REQ_TIMESET},
      {"expert board keys", [](Session &) { mode = 1; }, "01234q",
       m + "0\n\n Board ID: 0003 0102 4b33 0a17 0001\n" + m + "1\n\n ADC reads: 812 1650 2048 37\n" + m +
           "2\n\n device time: <time>\n" + m + "3\n\n" + setclock + m + "4\n\n Battery voltage 3.71 V charging done\n" +
           m + "q\n\n",
       REQ_SOC},
      {"expert key i: back to the user menu", [](Session &) { mode = 1; }, "iq", m + "i\n\n" + u + "q\n\n" + setclock,
       REQ_TIMESET},
      {"other tag, quit and reboot", [](Session &s) { vbus_tag_config(s.tag).devtype = 1; }, "qy",
       user_menu(false) + "q\n\n" + setclock + ask + "\n", REQ_REBOOT},
      {"other tag, only lower-case y reboots", [](Session &s) { vbus_tag_config(s.tag).devtype = 0; }, "QY",
       user_menu(false) + "Q\n\n" + setclock + ask + "\n", REQ_TIMESET},
  };
  for (const Case &c : cases) {
    vbus_reset();
    mode = 0;
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

// A tag that stalls: every read fails at once, yet the menu still waits
// between polls and the session goes on.
TEST_F(Session, SessionsThatEndWithoutQuit) {
  const std::string m = expert_menu(true);
  struct Case {
    const char *what;
    void (*setup)(Session &s);
    int result;
    unsigned long until;  // the clock at least this far on
    std::string shown;
  } cases[] = {
      {"stalled tag", [](Session &s) {
         s.fault(s.tag, REQ_BOARDID, 2, FAULT_STALL);
         mode = 1;
         s.keys("0");
         s.keys_at(60000, "q");
       }, 1, 60000, KOVA3_ID + m + "0\n\n" + m + "q\n\n"},
  };
  for (const Case &c : cases) {
    vbus_reset();
    start();
    c.setup(*this);
    EXPECT_EQ(run_host(), c.result) << c.what;
    EXPECT_GE(vbus_now_ms(), c.until) << c.what;
    EXPECT_EQ(err(), c.shown) << c.what;
  }
}

}  // namespace
