// Whole sessions against the emulated tag: identification, the two menus
// byte for byte, key handling, the board keys, the quit sequence, restart,
// frames the tag sends while the menu waits, and a tag that goes away.
#include <errno.h>
#include <string.h>

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

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// Request codes the tag received, in order.
std::vector<int> codes(const std::vector<std::vector<uint8_t>> &fr) {
  std::vector<int> c;
  for (auto &f : fr) c.push_back(f.size() >= 4 ? (f[2] << 8) | f[3] : -1);
  return c;
}

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

TEST_F(Session, Kova3IdentifiesShowsUserMenuAndQuitsSettingTheClock) {
  TagConfig cfg;
  cfg.boardid[2] = 0x4B33;
  cfg.boardid[3] = 0x0A17;
  start(cfg);
  keys("q");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  std::string expect_start = "\n Connected to KOVA-3 id 4b330a17\n Battery voltage 3.71 V\n" + user_menu(true) + "q\n\n" +
                             "Setting device clock to: ";
  EXPECT_EQ(e.substr(0, expect_start.size()), expect_start);
  EXPECT_EQ(e.find("Run immediately"), std::string::npos);
  EXPECT_EQ(e.back(), '\n');
  EXPECT_EQ(count(e, "\n"), count(expect_start, "\n") + 1) << "no final newline after the clock line";
  EXPECT_EQ(devtype, 4);
  // The clock-set request carries the host's time and four zero bytes.
  auto fr = frames(tag);
  ASSERT_FALSE(fr.empty());
  const auto &last = fr.back();
  ASSERT_EQ(last.size(), 18u);
  EXPECT_EQ((last[2] << 8) | last[3], REQ_TIMESET);
  long sent = (long)char2long(&last[6]);
  EXPECT_LE(labs(sent - (long)time(NULL)), 2);
  EXPECT_EQ(char2long(&last[10]), 0u);
  EXPECT_LE(labs(vbus_tag_clock(tag) - (long)time(NULL)), 2);
}

TEST_F(Session, SessionStartsWithSyncIdentityBatteryResyncAndTheConfiguredCheck) {
  start();
  keys("q");
  run_host();
  std::vector<int> c = codes(frames(tag));
  std::vector<int> want = {REQ_SYNC, REQ_BOARDID, REQ_SOC, REQ_SYNC, REQ_EEREAD, REQ_SYNC, REQ_TIMESET};
  EXPECT_EQ(c, want);
}

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

TEST_F(Session, DeviceType3EndsTheProgramSilently) {
  TagConfig cfg;
  cfg.devtype = 3;
  start(cfg);
  struct usb_device *dev = find(tag);
  EXPECT_EXIT(host(dev), ::testing::ExitedWithCode(1), "^$");
}

TEST_F(Session, FailedIdentificationKeepsTheSessionAndThePreviousType) {
  start();
  fault(tag, REQ_SOC, 1, FAULT_NOREPLY);
  devtype = 2;
  keys("4Qn");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  EXPECT_EQ(e.find(" Error: failed board soc request with flag 0020\n" + user_menu(false)), 0u);
  EXPECT_NE(e.find(" Battery voltage 3.71 V charging done\n"), std::string::npos);
  EXPECT_EQ(devtype, 2);
}

TEST_F(Session, IdentificationReportsBadReplies) {
  start();
  fault(tag, REQ_BOARDID, 1, FAULT_SHORT, 2);
  usb_handle = claimif(find(tag), 0);
  EXPECT_EQ(identify_device(), 1);
  EXPECT_EQ(err(), " Board ID response length bad (8:10)\n");
  fault(tag, REQ_SOC, 1, FAULT_WRONGCODE, 0x0007);
  EXPECT_EQ(identify_device(), 1);
  EXPECT_EQ(err(), " Response bad 0007, 6 bytes\n");
  releaseif(usb_handle, 1);
  usb_handle = nullptr;
}

TEST_F(Session, IgnoredKeysPrintNothingAndInvalidKeysRedrawTheMenu) {
  TagConfig cfg;
  cfg.devtype = 0;
  start(cfg);
  keys(" \r\x1b");
  keys_at(5000, "0");
  keys_at(6000, "C");
  keys_at(7000, "6Q");
  keys_at(8000, "q");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  std::string menu = user_menu(false);
  std::string after_id = e.substr(e.find(menu));
  std::string want = menu + "0\n\n\ninvalid option- try again\n\n" + menu + "C\n\n" + menu + "6\n\n" + expert_menu(false) +
                     "Q\n\n\ninvalid option- try again\n\n" + expert_menu(false) + "q\n\n";
  EXPECT_EQ(after_id, want);
}

TEST_F(Session, UserBatteryKeyMatchesTheBatteryReport) {
  TagConfig cfg;
  cfg.battery_status = 1;
  start(cfg);
  keys("4q");
  run_host();
  EXPECT_NE(err().find("4\n\n Battery voltage 3.71 V charging in progress\n" + user_menu(true)), std::string::npos);
}

TEST_F(Session, BatterySendFailureIsReportedOnlyByTheTransport) {
  start();
  fault(tag, REQ_SOC, 2, FAULT_WRITEFAIL);
  keys("4q");
  run_host();
  EXPECT_NE(err().find("4\n\n Error in bulk write -5\n" + user_menu(true)), std::string::npos);
}

TEST_F(Session, ExpertBoardKeys) {
  TagConfig cfg;
  cfg.boardid[0] = 0x0003;
  cfg.boardid[1] = 0x0102;
  cfg.boardid[2] = 0x4B33;
  cfg.boardid[3] = 0x0A17;
  cfg.boardid[4] = 0x0001;
  cfg.adc[0] = 812;
  cfg.adc[1] = 1650;
  cfg.adc[2] = 2048;
  cfg.adc[3] = 37;
  cfg.clock_offset = -3600;
  start(cfg);
  mode = 1;
  keys("01234q");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  std::string m = expert_menu(true);
  EXPECT_NE(e.find(m + "0\n\n Board ID: 0003 0102 4b33 0a17 0001\n" + m), std::string::npos);
  EXPECT_NE(e.find(m + "1\n\n ADC reads: 812 1650 2048 37\n" + m), std::string::npos);
  size_t p = e.find(m + "2\n\n device time: ");
  ASSERT_NE(p, std::string::npos);
  EXPECT_NE(e.find(" UTC\n" + m + "3\n\nSetting device clock to: ", p), std::string::npos);
  EXPECT_NE(e.find("4\n\n Battery voltage 3.71 V charging done\n" + m + "q\n\n"), std::string::npos);
  // Expert quit neither sets the clock nor asks about rebooting.
  EXPECT_EQ(count(e, "Setting device clock"), 1u);
  EXPECT_EQ(e.find("Run immediately"), std::string::npos);
  EXPECT_LE(labs(vbus_tag_clock(tag) - (long)time(NULL)), 2) << "key 3 set the tag's clock";
}

TEST_F(Session, ExpertRequestWithoutReplyPrintsOnlyTheEcho) {
  start();
  fault(tag, REQ_BOARDID, 2, FAULT_NOREPLY);  // the first is identification's
  mode = 1;
  keys("0q");
  run_host();
  std::string m = expert_menu(true);
  EXPECT_NE(err().find(m + "0\n\n" + m + "q\n\n"), std::string::npos);
}

TEST_F(Session, ExpertSendFailureAsksToTryAgain) {
  start();
  fault(tag, REQ_ADC, 0, FAULT_WRITEFAIL);
  mode = 1;
  keys("1q");
  run_host();
  EXPECT_NE(err().find("1\n\n Error in bulk write -5\n Error sending command - try again\n"), std::string::npos);
}

TEST_F(Session, ClockReadErrors) {
  start();
  usb_handle = claimif(find(tag), 0);
  fault(tag, REQ_TIMEREAD, 1, FAULT_ERROR, 5);
  fault(tag, REQ_TIMEREAD, 2, FAULT_NACK);
  fault(tag, REQ_TIMEREAD, 3, FAULT_SHORT, 4);
  int32_t t = 0;
  EXPECT_EQ(getboardtime(&t), 1);
  EXPECT_EQ(err(), " Board time response error code 0005\n");
  EXPECT_EQ(getboardtime(&t), 1);
  EXPECT_EQ(err(), " Board time response error ffff\n");
  EXPECT_EQ(getboardtime(&t), 1);
  EXPECT_EQ(err(), " Board time response length bad (4:8)\n");
  vbus_tag_config(tag).clock_offset = 0;
  EXPECT_EQ(getboardtime(&t), 0);
  EXPECT_LE(labs(t - (long)time(NULL)), 2);
  releaseif(usb_handle, 1);
  usb_handle = nullptr;
}

TEST_F(Session, QuitOnOtherTagsAsksAboutRunningAndReboots) {
  TagConfig cfg;
  cfg.devtype = 1;
  start(cfg);
  keys("qy");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  size_t p = e.find("q\n\nSetting device clock to: ");
  ASSERT_NE(p, std::string::npos);
  EXPECT_NE(e.find(" UTC\nRun immediately? y/n  \n", p), std::string::npos);
  EXPECT_EQ(e.find("Unable"), std::string::npos);
  std::vector<int> c = codes(frames(tag));
  EXPECT_EQ(c.back(), REQ_REBOOT);
}

TEST_F(Session, QuitWithoutRebootSendsNoReboot) {
  TagConfig cfg;
  cfg.devtype = 0;
  start(cfg);
  keys("QY");
  EXPECT_EQ(run_host(), 1);
  EXPECT_NE(err().find("Run immediately? y/n  \n"), std::string::npos);
  EXPECT_EQ(codes(frames(tag)).back(), REQ_TIMESET);
}

TEST_F(Session, RebootThatFailsToSendIsReported) {
  TagConfig cfg;
  cfg.devtype = 2;
  start(cfg);
  fault(tag, REQ_REBOOT, 0, FAULT_WRITEFAIL);
  keys("qy");
  run_host();
  EXPECT_NE(err().find("Run immediately? y/n   Error in bulk write -5\n\nUnable to send reboot command\n\n"),
            std::string::npos);
}

TEST_F(Session, RestartKeepsExpertModeAndSearchesAgain) {
  start();
  keys("6x");
  EXPECT_EQ(run_host(), 0);
  EXPECT_EQ(mode, 1);
  err();
  keys("q");
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  EXPECT_EQ(e.find(user_menu(true)), std::string::npos);
  EXPECT_NE(e.find("Battery voltage 3.71 V\n" + expert_menu(true)), std::string::npos);
}

TEST_F(Session, ExpertKeyIReturnsToTheUserMenu) {
  start();
  mode = 1;
  keys("iq");
  run_host();
  EXPECT_NE(err().find("i\n\n" + user_menu(true) + "q\n\n"), std::string::npos);
  EXPECT_EQ(mode, 0);
}

TEST_F(Session, TextFromTheTagWhileTheMenuWaitsIsShownWithoutRedraw) {
  start();
  keys_at(20000, "q");
  vbus_tag_send(tag, MSG_TEXT, "hello", 5, 10000);
  vbus_tag_send(tag, 0x0102, "", 0, 12000);
  vbus_tag_send(tag, MSG_ERROR, "\x00\x07", 2, 13000);
  const uint8_t junk[] = {0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0};
  vbus_tag_send_raw(tag, junk, sizeof junk, 14000);
  EXPECT_EQ(run_host(), 1);
  std::string e = err();
  std::string want = user_menu(true) + "\n Device message: 'hello'\n" + "\n Error: unknown incoming command 102\n" +
                     "\n Device reports an error code 0x0007:0x0000\n" +
                     " Error in received message: flag 0001\n" + "q\n\n";
  EXPECT_NE(e.find(want), std::string::npos) << e;
  EXPECT_EQ(count(e, "Select an action"), 1u);
}

TEST_F(Session, ConfirmationTakesOnlyLowerCaseY) {
  start();
  keys("yYn");
  EXPECT_EQ(verifyclear(), 1);
  EXPECT_EQ(verifyclear(), 0);
  EXPECT_EQ(verifyclear(), 0);
  EXPECT_EQ(err(),
            " Are you sure you want to erase recordings y/n? \n"
                       " Are you sure you want to erase recordings y/n? \n"
                       " Are you sure you want to erase recordings y/n? \n");
}

TEST_F(Session, TagLeavingTheBusEndsTheSession) {
  start();
  fault(tag, REQ_BOARDID, 2, FAULT_VANISH);
  mode = 1;
  keys("0");
  EXPECT_EQ(run_host(), 0);
  std::string e = err();
  EXPECT_NE(e.find("\n Error: device is no longer connected\n"), std::string::npos);
  EXPECT_EQ(e.find("Failed on"), std::string::npos) << "a vanished tag is released quietly";
}

TEST_F(Session, StalledTagDoesNotMakeTheMenuSpin) {
  start();
  fault(tag, REQ_BOARDID, 2, FAULT_STALL);
  mode = 1;
  keys("0");
  keys_at(60000, "q");
  // Every read now fails at once; the loop must still wait between polls
  // (the key script gives up on a loop whose clock stands still).
  EXPECT_EQ(run_host(), 1);
  EXPECT_GE(vbus_now_ms(), 60000u);
}

TEST_F(Session, ClaimFailureIsReportedAndTheBusSearchedAgain) {
  TagConfig cfg;
  cfg.held = 1;
  start(cfg);
  EXPECT_EQ(run_host(), 0);
  EXPECT_EQ(err(), " USB error in claim interface: -16\n");
  EXPECT_TRUE(frames(tag).empty());
}

TEST_F(Session, SilentTagAtStartCanBeAbandoned) {
  start();
  fault(tag, REQ_SYNC, 0, FAULT_NOREPLY);
  keys_at(30000, " ");
  EXPECT_EQ(run_host(), 0);
  std::string e = err();
  EXPECT_NE(e.find("Resynchronisation abandoned"), std::string::npos);
  EXPECT_EQ(e.find("Connected"), std::string::npos);
}

}  // namespace
