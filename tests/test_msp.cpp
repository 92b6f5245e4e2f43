// The MSP co-processor against the emulated tag: register reads and writes, sensors, the expert tests, firmware
// installed through the boot loader; and setting up a KOVA-3: the conversions, the settings' transfer to and from
// the MSP's registers, the setup menu's keys, and arming.
#include <stdlib.h>
#include <time.h>
#include <utime.h>

#include <algorithm>

#include "harness.h"
#include "host.h"
#include "kovacfg.h"
#include "msp.h"
#include "utilities.h"

namespace {

using Msp = Harness;
SimMsp &msp(int tag) { return vbus_tag_config(tag).msp; }
std::string mem(int tag, int addr, int n) { return hex(Bytes(&msp(tag).mem[addr], &msp(tag).mem[addr] + n)); }
std::string n(int v) { return std::to_string(v); }
std::string le32(uint32_t v) { return hex({(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}); }
// The MSP requests the tag received, in order, as "code:payload ".
std::string sent(Harness &h, int tag) {
  std::string s;
  for (const Bytes &f : h.frames(tag))
    if (f[2] == 4 && f[3] >= 9 && f[3] <= 0xD) s += hex({f[3]}) + ":" + hex(Bytes(f.begin() + 6, f.end() - 4)) + " ";
  return s;
}
// Register reads and writes as such are checked through the setup's registers below.
TEST_F(Msp, SensorsAndTests) {
  // clang-format off
  struct Case { std::string keys; std::string (*call)(int); std::string want, sent, console; } cases[] = {
      {"", [](int) { MspSensors s{}; int r = mspsensors(&s); return n(r) + " " + n(s.battery_mv) + " " +
         n(s.salinity_raw) + " " + n(s.aux_value); }, "0 3690 960 291", "0d: ", ""},
      {"1", [](int t) { int r = mspwiotest(); return n(r) + n(msp(t).wio); }, "01", "0c:0001 ", ""},  // no Enter
      {"0710\r", [](int) { return n(msptxtest()); }, "0", "0a:00070010 ", " Input characters (enter to end)... 0710\n"},
      {"100\r", [](int) { return n(msprxtest()); }, "0", "0b:0040 ", "\n received 64 bytes: 55 66 00"},
      {"3\r", [](int t) { msp(t).status = 5; return n(msprxtest()); }, "0", "0b:0003 ",
       " (err 5)\n\n received 3 bytes: 55 66 00\n"},  // an error status: the bytes still shown
      {"-5\rabc\r", [](int) { int r = msprxtest(); return n(r) + n(msprxtest()); }, "00", "", ""},
  };
  // clang-format on
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.msp.regs.assign(256, 0);
    cfg.msp.regs[0] = 0x55, cfg.msp.regs[1] = 0x66, cfg.msp.regs[32] = 0x34, cfg.msp.regs[33] = 0x12;
    int tag = open(cfg);
    keys(c.keys);
    err();
    std::string got = c.call(tag);
    EXPECT_EQ(got + "|" + sent(*this, tag), c.want + "|" + c.sent);
    EXPECT_NE(err().find(c.console), std::string::npos);
  }
}

// Installations of an image (fw.txt: a 16-byte line at 0xF000 and the reset vector), each checked on the frames
// sent and the MSP's memory, and the record read back (what "v" shows afterwards, its start); a record of 62
// characters shows the 52 that arrive; a record that claims more name than it can hold is corrupt.
TEST_F(Msp, FirmwareInstallAndRecord) {
  const char *const IMAGE = "@F000\n31 40 00 04 B2 40 80 5A 20 01 D2 D3 22 00 FF 3F\n@FFFE\r\n00 F0\nq\nnot read\n";
  const std::string LONG = std::string(58, 'n') + ".txt", W = " Writing to MSP......\n";
  // clang-format off
  struct Case { std::string name, image; int rc; std::string says; int started, frames; std::string rec; } cases[] = {
      {"fw.txt", IMAGE, 0, W, 0xF000, 6, "Current firmware:\tfw.txt\nFile last modified:\t12:00:00 9-Sep-2011 UTC\n"},
      {"tag.txt", "@F000\n31 40\nq\n", 0, " Writing to MSP....\n", 0, 5,
       " received 02\n\n received 0 bytes (err 2)\n Error: the MSP did not answer the firmware information read\n"},
      // no reset vector: no program to answer
      {LONG, IMAGE, 0, W, 0xF000, 6, "Current firmware:\t" + LONG.substr(0, 52) + "\n"},
      {"d.txt", "00 11\n@F000\n22\n", 1, " Error: d.txt has data before its first address line\n", -1, 0, ""},
      {"d.txt", "@F000\n\nq\n", 1, " Error: d.txt holds no program\n", -1, 0, ""},
      {"d.txt", "@FFFF\n01 02\n", 1, " Error: line 2 of d.txt runs past the end of the MSP's memory\n", -1, 0, ""},
      {"d.txt", "@0F000\n01\n@10000\n02\n", 1, " Error: line 3 of d.txt has an address past FFFF\n", -1, 0, ""},
      {"d.txt", "@F000\n" + std::string(400, '1'), 1, " Error: line 2 of d.txt is too long for an image\n", -1, 0,
       "Current firmware:\tkova3_msp_1_07.txt\nFile last modified:\t10:00:00 2-Mar-2026 UTC\n"
       "Loaded:\t\t\t14:00:00 9-Mar-2026 UTC\nUsing host version\t5a01\n"},
      {"", "", 1, "", -1, 0, "Corrupt firmware\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    int tag = open();
    if (c.name.empty()) msp(tag).mem[0x100A] = 63;
    file(c.name, c.image);
    struct utimbuf ut = {1315569600, 1315569600};  // 12:00:00 9-Sep-2011 UTC
    keys(c.name + "\r");
    if (!c.name.empty()) {
      ASSERT_EQ(utime(c.name.c_str(), &ut), 0);
      EXPECT_EQ(run(mspprog), c.rc) << c.name;
    }
    EXPECT_EQ(err(), c.name.empty() ? "" : " Filename?\t\t\t" + c.name + "\n" + c.says);
    std::vector<Bytes> f = payloads(tag, REQ_MSPBSL);
    EXPECT_EQ(std::make_pair(f.size(), msp(tag).started_at), std::make_pair((size_t)c.frames, c.started));
    if (c.rc == 0 && c.name.size() < 8) {
      // The erase, the password's head; the record at 0x1000: version, (load time,) modification time, L, the name.
      EXPECT_EQ(hex(f[0]) + hex(Bytes(f[1].begin(), f[1].begin() + 20)) + mem(tag, 0x1000, 2) +
                    mem(tag, 0x1006, 12 + (int)c.name.size() % 2 * 2),
                "00080001008000180004000400000000000000000028000100800010002400240000000000000000015ac0ff694e" +
                    std::string(c.name[0] == 'f' ? "060066772e747874" : "08007461672e74787400"));
    }
    if (c.started == 0xF000) {
      EXPECT_EQ(mem(tag, 0xF000, 16), "31400004b240805a2001d2d32200ff3f");
    }
    EXPECT_EQ(c.rec.empty() ? 0 : msp_readhdr(), c.started == 0 ? -1 : 0);
    EXPECT_EQ(err().substr(0, c.rec.size()), c.rec);
    if (c.name.empty()) {
      EXPECT_EQ(sent(*this, tag), "0a:0080 0b:0040 ");
    }
  }
}

using TagSetup = Harness;

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
  const std::string keep = old ? old : "";
  const int32_t full[] = {2011, 9, 30, 12, 0, 0}, carry[] = {2011, 8, 61, 11, 75, 0}, noon[] = {12, 0, 0},
                early[] = {1969, 12, 31, 0, 0, 0}, month13[] = {2010, 21, 30, 12, 0, 0};
  uint32_t today = (uint32_t)(time(NULL) / 86400 * 86400);
  for (const char *tz :
       {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3", "Europe/Moscow", "<+0330>-3:30"}) {
    set_tz(tz);
    EXPECT_EQ(
        std::make_tuple(cfgtime(full, 6), cfgtime(carry, 6), cfgtime(noon, 3), cfgtime(early, 6), cfgtime(month13, 6)),
        std::make_tuple(1317384000u, 1317384000u + 900, today + 43200, 0u, 1317384000u))
        << tz;
  }
  set_tz(old ? keep.c_str() : nullptr);
}

// Each key of the setup menu on the same settings, with a line of the screen drawn afterwards; what the tag cannot
// hold is refused and the setting kept. Escape and x leave sending nothing. 'q' (on a tag's own settings): the clock,
// the question, then registers 20, 32 and 0 in that order, and a register the MSP refuses ends it without "done".
// The settings are read back once per tag and afresh for another tag: a release-by time in the past as not set, the
// burn time's low 16 bits. A tag in its boot loader gives a short reply: nothing loaded, nothing of the last tag's.
TEST_F(TagSetup, MenuKeysAndFinish) {
  const std::string BY = "by 4000000000", REST = " after 0 burn 0 sal 100 rate 0 len 0 app 00200",
                    KEPT = "; kept as it was\n",
                    LEFT =
                        " Tag setup left: nothing written, the clock not set, the tag "
                        "not armed\n\n";
  const uint32_t soon = (uint32_t)time(NULL) + 3600;
  // clang-format off
  struct Case { std::string keys, settings, shown; uint32_t release_by = 0; uint8_t rate = 0, len = 0; TagApp app = {};
    std::string command = "", words = "", tx = "20 32 0 "; int refuse = 0; } cases[] = {
      // 'q' rows: settings read back, the console after "Arm tag?"; Escape and x rows: the whole console
      {"b2011 9 30 12 0 0\r", "by 1317384000" + REST, " WARNING: release-by time is prior to current time\n? "},
      {"b2100 1 1 0 0 0\r", "by 4102444800" + REST, " b release by\t\t\t00:00:00 1-Jan-2100 UTC\n"},
      {"b2107 1 1 0 0 0\r", BY + REST, " ERROR: the tag cannot hold that time\n"},
      {"B0\r", "by 0" + REST, " b release by\t\t\tnot set\n"},
      {"r45\r", BY + " after 2700 burn 0 sal 100 rate 0 len 0 app 00200", " r release after\t\t0:00:45 days:hrs:mins\n"},
      {"R1 2 3\r", BY + " after 93780 burn 0 sal 100 rate 0 len 0 app 00200", " r release after\t\t1:02:03 days"},
      {"r5-3\r", BY + " after 17820 burn 0 sal 100 rate 0 len 0 app 00200", ""},  // 5 hours, -3 minutes
      {"r-1\r", BY + REST, " Error: the tag holds a release delay of 0 to 49710 days" + KEPT},
      {"r49710 6 28\r", BY + " after 4294967280 burn 0 sal 100 rate 0 len 0 app 00200", "\t49710:06:28 days"},
      {"r49710 6 29\r", BY + REST, "49710 days" + KEPT},
      {"t12:30\r", BY + " after 0 burn 12 sal 100 rate 0 len 0 app 00200", ""},
      {"t18 12 15\r", BY + " after 0 burn 65535 sal 100 rate 0 len 0 app 00200", "\t18:12:15 hrs:mins:secs\n"},
      {"t18 12 16\r", BY + REST, " Error: the tag holds a burn time of 0 to 18:12:15 (65535 s)" + KEPT},
      {"t-1\r", BY + REST, "(65535 s)" + KEPT},
      {"t90\r", BY + " after 0 burn 90 sal 100 rate 0 len 0 app 00200", " t burn time\t\t\t0:01:30 hrs:mins:secs\n"},
      {"s50\r", BY + " after 0 burn 0 sal 523 rate 0 len 0 app 00200", " s salinity trigger\t\t50% (0=most sensitive)\n"},
      {"s100\r", BY + " after 0 burn 0 sal 23 rate 0 len 0 app 00200", " s salinity trigger\t\t100% (0=most"},
      {"s101\r", BY + REST, " Error: the salinity trigger is 0 to 100" + KEPT},
      {"s-1\r", BY + REST, "0 to 100" + KEPT},
      {"F", BY + REST, " f AUDIO sampling rate\t\t500kHz\n"},
      {"f", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 00000", " f AUDIO sampling rate\t\t120kHz\n"},
      {"g", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 10200", " g AUDIO gain ch 1 (0=low)\t1\n"},
      {"h", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 01200", " h AUDIO gain ch 2 (0=low)\t1\n"},
      {"m", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 00210", " m SENSOR sequence\t\tA+M+G\n"},
      {"/0", BY + REST, "to end\n x or Escape: leave, writing nothing to the tag\n s salinity"},
      {" \x01\xc3P", BY + " after 0 burn 0 sal 100 rate 0 len 1 app 00200", " p VHF pulse length (0=short)\t1\n"},
      {"z", BY + " after 0 burn 0 sal 100 rate 1 len 0 app 00200", " z VHF pulse rate (0=slow)\t1\n"},
      {"v", BY + " after 0 burn 0 sal 100 rate 0 len 0 app 00201", " v VHF on-demand (1=on)\t\t1\n"},
      {"\x1b", "", LEFT}, {"X", "", "X\n\n" + LEFT},
      {"qY", "rate 1 len 0 app 10231", "\nArming tag... done\n", soon, 1, 0, {1, 0, 2, 3, 1}, "070b", "17802113"},
      {"qy", "rate 0 len 1 app 11201", "\nArming tag... done\n", 0, 0, 1, {1, 1, 2, 0, 1}, "070a", "17402310"},
      {"Qs", "rate 1 len 0 app 10231", "\nEntering beacon mode... done\n", 0x12345678, 1, 0, {1, 0, 2, 3, 1}, "0b00",
       "17802113"},
      {"qn", "rate 1 len 0 app 10231", "\nDisabling VHF beacon... done\n", 0, 1, 0, {1, 0, 2, 3, 1}, "0900", "17802113"},
      {"qy", "rate 0 len 0 app 10231", "\nArming tag...  received 02\n Error: the MSP did not take the command "
       "(register 0)\n\nError: Unable to set parameters\n", 0, 0, 0, {1, 0, 2, 3, 1}, "0000", "17002113", "20 32 0 ", 3},
      {"qy", "rate 0 len 0 app 00200", "\nArming tag...  received 02\n Error: the MSP did not take the audio and sensor "
       "options (register 32)\n\nError: Unable to set parameters\n", 0, 0, 0, {1, 0, 2, 3, 1}, "0000", "17001001",
       "20 32 ", 2},
  };
  // clang-format on
  for (const Case &c : cases) {
    bool q = tolower(c.keys[0]) == 'q', out = c.settings.empty();
    int tag = q || out ? open() : 0;  // the menu's own keys on no tag
    k3p = q ? TagParams{1, c.release_by, 90061, 70000, 23, c.rate, c.len, {0, 0}, {}, c.app, tagid}
            : TagParams{1, 4000000000u, 0, 0, 100, 0, 0, {0, 0}, {}, {0, 0, 2, 0, 0}, tagid};
    if (c.refuse) fault(tag, REQ_MSPTX, c.refuse, FAULT_REFUSE);
    keys(c.keys);
    EXPECT_EQ(run(out_service_kova3), q || out ? 0 : 2) << c.keys;
    if (out) {
      EXPECT_EQ(err() + std::to_string(frames(tag).size()), c.shown + "0") << c.keys;
      continue;
    }
    if (!q) {
      EXPECT_EQ(settings(), c.settings) << c.keys;
      std::string e = err();
      EXPECT_EQ(e.substr(0, 3),
                std::string(1, *std::find_if(c.keys.begin(), c.keys.end(), [](char k) { return k > 0x2F; })) + "\n\n")
          << c.keys;
      opt_display_kova3();
      EXPECT_NE((e + err()).find(c.shown), std::string::npos) << c.keys;
      continue;
    }
    std::string e = err(), tx = std::to_string(payloads(tag, REQ_TIMESET).size()) + ":";
    for (const Bytes &p : payloads(tag, REQ_MSPTX)) tx += std::to_string(p[1]) + " ";
    EXPECT_EQ(tx + e.substr(e.find("\nArm tag? y/n  ") + 15), "1:" + c.tx + c.shown + "\n");  // the clock set once
    const Bytes &r = vbus_tag_config(tag).msp.regs;
    EXPECT_EQ(hex(Bytes(&r[0], &r[2])) + hex(Bytes(&r[20], &r[34])),
              c.command + "cd5f0100" + le32(c.release_by) + "7011" + c.words);
    if (c.refuse) continue;
    size_t sent = frames(tag).size();
    tagid++;
    EXPECT_EQ(update_params(&k3p) + update_params(&k3p), 0);
    EXPECT_EQ(frames(tag).size(), sent + 5) << "read once";
    EXPECT_EQ(settings(), "by " + std::to_string(c.release_by > soon - 60 ? soon : 0) +
                              " after 90061 burn 4464 sal 23 " + c.settings);
    if (c.keys != "qn") continue;
    vbus_tag_config(tag).msp.in_bsl = true, tagid++;
    EXPECT_EQ(update_params(&k3p), 1);
    EXPECT_EQ(err(),
              " received 02\n received 02\n\n received 0 bytes (err 2)\n Error: MSP register 20 gave 0 of 12 bytes\n");
    EXPECT_EQ(std::to_string(k3p.loaded) + settings(), "0by 0 after 0 burn 0 sal 0 rate 0 len 0 app 00000");
  }
}

}  // namespace
