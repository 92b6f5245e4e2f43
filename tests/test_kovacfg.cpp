// Setting up a KOVA-3: the conversions, the settings' transfer to and from
// the emulated MSP's registers, the setup menu's keys, and arming.
#include <stdlib.h>
#include <time.h>

#include "harness.h"
#include "host.h"
#include "kovacfg.h"
#include "utilities.h"

namespace {

using TagSetup = Harness;

// The register address of each MSP transmit, in order.
std::string txaddrs(Harness &h, int tag) {
  std::string s;
  for (const Bytes &p : h.payloads(tag, REQ_MSPTX)) s += std::to_string(p.size() > 1 ? p[1] : -1) + " ";
  return s;
}

// The settings held in k3p, in one line.
std::string settings() {
  char s[160];
  snprintf(s, sizeof s, "by %u after %u burn %d sal %d rate %d len %d app %d%d%d%d%d", k3p.release_by,
           k3p.release_after, k3p.burn_time, k3p.salinity_threshold, k3p.vhf_pulse_rate, k3p.vhf_pulse_length,
           k3p.app.gain1, k3p.app.gain2, k3p.app.sample_rate, k3p.app.sensor_seq, k3p.app.vhf_on_demand);
  return s;
}

// A typed date is read as UTC whatever the PC's zone, including zones whose
// offset has changed since and a half-hour zone.
TEST(Kovacfg, TypedDatesAreUtcInEveryZone) {
  const char *old = getenv("TZ");
  std::string keep = old ? old : "";
  uint32_t today = (uint32_t)(time(NULL) / 86400 * 86400);
  for (const char *tz :
       {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3", "Europe/Moscow", "<+0330>-3:30"}) {
    setenv("TZ", tz, 1);
    tzset();
    const int32_t full[] = {2011, 9, 30, 12, 0, 0}, carry[] = {2011, 9, 30, 12, 75, 0}, noon[] = {12, 0, 0},
                  early[] = {1969, 12, 31, 0, 0, 0};
    EXPECT_EQ(std::make_tuple(cfgtime(full, 6), cfgtime(carry, 6), cfgtime(noon, 3), cfgtime(early, 6)),
              std::make_tuple(1317384000u, 1317384000u + 4500, today + 43200, 0u))
        << tz;
  }
  old ? setenv("TZ", keep.c_str(), 1) : unsetenv("TZ");
  tzset();
}

// Read once per tag: a failure before register 20 leaves nothing loaded (the
// next drawing tries again); another tag's settings are read afresh.
TEST_F(TagSetup, SettingsAreReadOnce) {
  uint32_t soon = (uint32_t)time(NULL) + 3600;
  const std::string READ = "by " + std::to_string(soon) + " after 90061 burn 4464 sal 23 rate 0 len 1 app 11201";
  struct Case {
    uint32_t release_by;
    int fcode, fnth, running, loaded;
    std::string console, settings;
    // clang-format off
  } cases[] = {
      {soon, 0, 0, true, 1, "", READ},
      {1317384000, 0, 0, true, 1, "", "by 0" + READ.substr(READ.find(" after"))},  // in the past: not set
      {soon, REQ_MSPSENS, 1, true, 0, " Error: failed MSP request with flag 0020\n", ""},
      {soon, REQ_MSPRX, 2, true, 1, " Error: failed MSP request with flag 0020\n", ""},
      {soon, 0, 0, false, 0, " received 02\n received 02\n\n received 0 bytes (err 2)\n"
                             " Error: MSP register 20 gave 0 of 12 bytes\n", ""},
  };
  // clang-format on
  for (const Case &c : cases) {
    k3p = TagParams();
    tagid = 0;
    TagConfig cfg;
    uint32_t r[7] = {90061 & 0xFFFF, 1, c.release_by & 0xFFFF, c.release_by >> 16, 70000 & 0xFFFF, 0x4017, 0x1F23};
    cfg.msp.regs.assign(256, 0);
    brunpack(&cfg.msp.regs[20], r, 7);  // registers 20 and 32
    cfg.msp.in_bsl = !c.running;
    int tag = open(cfg);
    if (c.fcode) fault(tag, c.fcode, c.fnth, FAULT_NOREPLY);
    err();
    EXPECT_EQ(update_params(&k3p), c.settings.empty());
    EXPECT_EQ(err(), c.console);
    EXPECT_EQ(k3p.loaded, c.loaded);
    if (c.settings.empty()) continue;
    EXPECT_EQ(settings(), c.settings);
    size_t sent = frames(tag).size();
    EXPECT_EQ(update_params(&k3p), 0);
    EXPECT_EQ(frames(tag).size(), sent);
    tagid = 1;
    EXPECT_EQ(update_params(&k3p), 0);
    EXPECT_EQ(frames(tag).size(), sent + 5);
  }
}

TEST_F(TagSetup, MenuKeys) {
  const std::string BY = "by 4000000000", REST = " after 0 burn 0 sal 100 rate 0 len 0 app 00200";
  struct Case {
    std::string keys, settings, shown;  // shown: a line of the screen drawn afterwards
    // clang-format off
  } cases[] = {
      {"b2011 9 30 12 0 0\r", "by 1317384000" + REST, " WARNING: release-by time is prior to current time\n? "},
      {"B0\r", "by 0" + REST, " b release by\t\t\tnot set\n"},
      {"b\r", BY + REST, ""},
      {"r45\r", BY + " after 2700 burn 0 sal 100 rate 0 len 0 app 00200", " r release after\t\t0:00:45 days:hrs:mins\n"},
      {"R1 2 3\r", BY + " after 93780 burn 0 sal 100 rate 0 len 0 app 00200", " r release after\t\t1:02:03 days"},
      {"r5-3\r", BY + " after 17820 burn 0 sal 100 rate 0 len 0 app 00200", ""},  // 5 hours, -3 minutes
      {"t12:30\r", BY + " after 0 burn 12 sal 100 rate 0 len 0 app 00200", ""},
      {"t99999999999 1\r", BY + " after 0 burn -59 sal 100 rate 0 len 0 app 00200", ""},  // the largest number, wrapped
      {"t90\r", BY + " after 0 burn 90 sal 100 rate 0 len 0 app 00200", " t burn time\t\t\t0:01:30 hrs:mins:secs\n"},
      {"s50\r", BY + " after 0 burn 0 sal 523 rate 0 len 0 app 00200", " s salinity trigger\t\t50% (0=most sensitive)\n"},
      {"s-5\r", BY + REST, ""},
      {"sabc\r", BY + REST, ""},
      {"s150\r", BY + " after 0 burn 0 sal -477 rate 0 len 0 app 00200", " s salinity trigger\t\t150% (0=most"},
      {"F", BY + REST, " f AUDIO sampling rate\t\t500kHz\n"},
      {"f", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 00000", " f AUDIO sampling rate\t\t120kHz\n"},
      {" \x01\xc3P", BY + " after 0 burn 0 sal 100 rate 0 len 1 app 00200", " p VHF pulse length (0=short)\t1\n"},
      {"z", BY + " after 0 burn 0 sal 100 rate 1 len 0 app 00200", " z VHF pulse rate (0=slow)\t1\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    k3p = TagParams{1, 4000000000u, 0, 0, 100, 0, 0, {0, 0}, {}, {0, 0, 2, 0, 0}};
    keys(c.keys);
    EXPECT_EQ(run(out_service_kova3), 2) << c.keys;
    EXPECT_EQ(settings(), c.settings) << c.keys;
    EXPECT_EQ(err().substr(0, 3), c.keys.substr(c.keys[0] == ' ' ? 3 : 0, 1) + "\n\n") << c.keys;
    opt_display_kova3();
    EXPECT_NE(err().find(c.shown), std::string::npos) << c.keys;
  }
}

// 'q': the clock, the question, then registers 20, 32 and 0 in that order;
// a failed write stops there.
TEST_F(TagSetup, FinishSetsClockArmsAndWrites) {
  struct Case {
    std::string keys;
    uint32_t release_by;
    int fnth;  // MSP transmit that times out, 0 none
    std::string message, command, sent;
    // clang-format off
  } cases[] = {
      {"qY", 0x12345678, 0, "\nArming tag... done\n", "070b", "20 32 0 "},
      {"qy", 0, 0, "\nArming tag... done\n", "070a", "20 32 0 "},
      {"Qs", 0, 0, "\nEntering beacon mode... done\n", "0b00", "20 32 0 "},
      {"qn", 0, 0, "\nDisabling VHF beacon... done\n", "0900", "20 32 0 "},
      {"qy", 0, 2, "\nArming tag...  Error: failed MSP request with flag 0020\n\nError: Unable to set parameters\n",
       "0000", "20 32 "},
  };
  // clang-format on
  for (const Case &c : cases) {
    int tag = open();
    k3p = TagParams{1, c.release_by, 90061, 70000, 23, 1, 0, {0, 0}, {}, {1, 0, 2, 3, 1}};
    if (c.fnth) fault(tag, REQ_MSPTX, c.fnth, FAULT_NOREPLY);
    keys(c.keys);
    err();
    EXPECT_EQ(run(out_service_kova3), 0);
    std::string e = err();
    EXPECT_EQ(e.substr(e.find("\nArm tag? y/n  ") + 15), c.message + "\n");
    EXPECT_EQ(payloads(tag, REQ_TIMESET).size(), 1u);
    EXPECT_EQ(txaddrs(*this, tag), c.sent);
    const Bytes &r = vbus_tag_config(tag).msp.regs;
    EXPECT_EQ(hex(Bytes(&r[0], &r[2])), c.command);
    EXPECT_EQ(hex(Bytes(&r[20], &r[34])), std::string("cd5f0100") + (c.release_by ? "78563412" : "00000000") +
                                              "7011"
                                              "1780"
                                              "2113");
  }
}

// What the operator sets and arms, and the MSP firmware installed, in one
// run of the simulator are what the next run reads back from the tag's
// state directory.
TEST_F(TagSetup, SettingsAndFirmwareSurviveIntoTheNextRun) {
  TagConfig cfg;
  cfg.statedir = dir() + "/state";
  file("fw.txt", "@F000\n31 40\n@FFFE\n00 F0\nq\n");
  int tag = attach(cfg);
  keys("cs50\rr1 2 3\rt1 30\rb2030 1 1 0 0 0\rzvqy6mfw.txt\riq");
  EXPECT_EQ(run([&] { return host(find(tag)); }), 1);
  vbus_reset();
  tag = attach(cfg);
  k3p = TagParams();
  keys("cqy6vq");
  err();
  EXPECT_EQ(run([&] { return host(find(tag)); }), 1);
  std::string e = err();
  for (const char *line :
       {" s salinity trigger\t\t50%", " b release by\t\t\t00:00:00 1-Jan-2030 UTC",
        " r release after\t\t1:02:03 days:hrs:mins", " t burn time\t\t\t0:01:30 hrs:mins:secs",
        " z VHF pulse rate (0=slow)\t1", " v VHF on-demand (1=on)\t\t1", "Current firmware:\tfw.txt\n"})
    EXPECT_NE(e.find(line), std::string::npos) << line;
}

}  // namespace
