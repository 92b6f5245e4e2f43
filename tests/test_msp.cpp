// The MSP co-processor against the emulated tag: register reads and writes,
// sensors, the expert tests, and firmware installed through the boot loader.
#include <utime.h>

#include "harness.h"
#include "host.h"
#include "msp.h"

namespace {

using Msp = Harness;

SimMsp &msp(int tag) { return vbus_tag_config(tag).msp; }
std::string mem(int tag, int addr, int n) { return hex(Bytes(&msp(tag).mem[addr], &msp(tag).mem[addr] + n)); }
// The MSP requests the tag received, in order, as "code:payload ".
std::string sent(Harness &h, int tag) {
  std::string s;
  for (const Bytes &f : h.frames(tag))
    if (f[2] == 4 && f[3] >= 9 && f[3] <= 0xD) s += hex({f[3]}) + ":" + hex(Bytes(f.begin() + 6, f.end() - 4)) + " ";
  return s;
}
// 16-bit words as a payload carries them, most significant byte first.
std::string words(std::initializer_list<int> w, int fill = 0, int nfill = 0) {
  Bytes b;
  for (int v : w) b.insert(b.end(), {(uint8_t)(v >> 8), (uint8_t)v});
  for (int i = 0; i < nfill; i++) b.insert(b.end(), {(uint8_t)(fill >> 8), (uint8_t)fill});
  return hex(b);
}
std::string rd(int address, int n) {
  unsigned char b[64];
  int r = mspread(address, b, n);
  return std::to_string(r) + " " + hex(Bytes(b, b + (r > 0 ? r : 0)));
}

TEST_F(Msp, RegistersSensorsAndTests) {
  auto n = [](int v) { return std::to_string(v); };
  struct Case {
    int fcode;  // request that gets the fault kind with arg, 0 none
    FaultKind kind;
    int arg, status;
    std::string keys;
    std::function<std::string(int)> call;
    std::string want, sent, console;
    // clang-format off
  } cases[] = {
      {0, FAULT_DELAY, 0, 0, "", [](int) { return rd(32, 2); }, "2 3412", "0a:0020 0b:0002 ", ""},
      {0, FAULT_DELAY, 0, 0, "", [&](int t) { const uint8_t c[2] = {7, 11}; int r = mspwrite(0, c, 2);
         return n(r) + " " + hex(Bytes(&msp(t).regs[0], &msp(t).regs[2])); }, "0 070b", "0a:00000007000b ", ""},
      {0, FAULT_DELAY, 0, 5, "", [](int) { return rd(32, 2); }, "2 3412", "0a:0020 0b:0002 ",
       " received 05\n\n received 2 bytes (err 5)\n"},
      {REQ_MSPRX, FAULT_NOREPLY, 0, 0, "", [](int) { return rd(32, 2); }, "-1 ", "0a:0020 0b:0002 ",
       " Error: failed MSP request with flag 0020\n"},
      {0, FAULT_DELAY, 0, 0, "", [&](int) { MspSensors s{}; int r = mspsensors(&s);
         return n(r) + " " + n(s.battery_mv) + " " + n(s.salinity_raw) + " " + n(s.aux_value); }, "0 3690 960 291",
       "0d: ", ""},
      {REQ_MSPSENS, FAULT_SHORT, 2, 0, "", [&](int) { MspSensors s{}; return n(mspsensors(&s)); }, "-1", "0d: ",
       " MSP response bad 040d:6\n"},
      {REQ_MSPWIO, FAULT_NACK, 0, 0, "1", [&](int) { return n(mspwiotest()); }, "-1", "0c:0001 ",
       " Input 0 or 1... 1 MSP response bad ffff:0\n"},
      {0, FAULT_DELAY, 0, 0, "1", [&](int t) { int r = mspwiotest(); return n(r) + n(msp(t).wio); }, "01", "0c:0001 ", ""},
      {0, FAULT_DELAY, 0, 0, "0710\r", [&](int) { return n(msptxtest()); }, "0", "0a:00070010 ",
       " Input characters (enter to end)... 0710\n"},
      {0, FAULT_DELAY, 0, 0, "100\r", [&](int) { return n(msprxtest()); }, "0", "0b:0040 ",
       "\n received 64 bytes: 55 66 00"},
      {0, FAULT_DELAY, 0, 0, "-5\rabc\r", [&](int) { int r = msprxtest(); return n(r) + n(msprxtest()); }, "00", "",
       ""},
  };
  // clang-format on
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.msp.regs.assign(256, 0);
    cfg.msp.regs[0] = 0x55, cfg.msp.regs[1] = 0x66, cfg.msp.regs[32] = 0x34, cfg.msp.regs[33] = 0x12;
    cfg.msp.status = (uint16_t)c.status;
    int tag = open(cfg);
    fault(tag, c.fcode, 0, c.kind, c.arg);
    keys(c.keys);
    err();
    EXPECT_EQ(c.call(tag), c.want);
    EXPECT_EQ(sent(*this, tag), c.sent);
    EXPECT_NE(err().find(c.console), std::string::npos);
  }
}

// The image fw.txt: a 16-byte line at 0xF000 and the reset vector.
const char *const IMAGE = "@F000\n31 40 00 04 B2 40 80 5A 20 01 D2 D3 22 00 FF 3F\n@FFFE\r\n00 F0\nq\nnot read\n";
const std::string LONG = std::string(58, 'n') + ".txt";  // a record of 62 characters shows the 52 that arrive
const std::string FW_RECORD = "Current firmware:\tfw.txt\nFile last modified:\t12:00:00 9-Sep-2011 UTC\n";

// Installations, each checked on the frames sent and the MSP's memory, and
// the record read back.
TEST_F(Msp, FirmwareInstallAndRecord) {
  struct Case {
    std::string name, image;
    int refuse, result;  // refuse: boot-loader frame answered 0xA0 (0 none)
    std::string console;
    int started, frames;
    std::string record;  // what "v" shows afterwards (its start)
    // clang-format off
  } cases[] = {
      {"fw.txt", IMAGE, 0, 0, " Writing to MSP......\n", 0xF000, 6, FW_RECORD},
      {"tag.txt", "@F000\n31 40\nq\n", 0, 0, " Writing to MSP....\n", 0, 5,
       " received 02\n\n received 0 bytes (err 2)\nNo firmware information loaded\n"},  // no reset vector: no program
      {LONG, IMAGE, 0, 0, " Writing to MSP......\n", 0xF000, 6, "Current firmware:\t" + LONG.substr(0, 52) + "\n"},
      {"fw.txt", IMAGE, 1, 1, " Writing to MSP Erase failed\n", -1, 1, "Current firmware:\tkova3_msp_1_07.txt\n"},
      {"fw.txt", IMAGE, 2, 1, " Writing to MSP. Unlock failed\n", -1, 2, ""},
      {"fw.txt", IMAGE, 3, 1, " Writing to MSP.. Write failed\n Info write failed\n", -1, 3, ""},
      {"fw.txt", IMAGE, 6, 0, " Writing to MSP...... Start failed\n\n", -1, 6, ""},
      {"d.txt", "00 11\n@F000\n22\n", 0, 1, " Error: d.txt has data before its first address line\n", -1, 0, ""},
      {"d.txt", "@F000\n\nq\n", 0, 1, " Error: d.txt holds no program\n", -1, 0, ""},
      {"d.txt", "@FFFF\n01 02\n", 0, 1, " Error: line 2 of d.txt runs past the end of the MSP's memory\n", -1, 0, ""},
      {"d.txt", "@F000\n" + std::string(400, '1'), 0, 1, " Error: line 2 of d.txt is too long for an image\n", -1, 0,
       "Current firmware:\tkova3_msp_1_07.txt\nFile last modified:\t10:00:00 2-Mar-2026 UTC\n"
       "Loaded:\t\t\t14:00:00 9-Mar-2026 UTC\nUsing host version\t5a01\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    int tag = open();
    file(c.name, c.image);
    struct utimbuf ut = {1315569600, 1315569600};  // 12:00:00 9-Sep-2011 UTC
    ASSERT_EQ(utime(c.name.c_str(), &ut), 0);
    if (c.refuse) fault(tag, REQ_MSPBSL, c.refuse, FAULT_REFUSE);
    keys(c.name + "\r");
    EXPECT_EQ(run(mspprog), c.result);
    EXPECT_EQ(err(), " Filename?\t\t\t" + c.name + "\n" + c.console);
    std::vector<Bytes> f = payloads(tag, REQ_MSPBSL);
    EXPECT_EQ(f.size(), (size_t)c.frames);
    EXPECT_EQ(msp(tag).started_at, c.started);
    if (c.result == 0 && c.name.size() < 8) {
      int L = (c.name.size() + 1) & 0x3E;
      EXPECT_EQ(hex(f[0]), words({8, 1, 0x80, 0x18, 4, 4, 0, 0, 0, 0}));
      EXPECT_EQ(hex(f[1]), words({40, 1, 0x80, 0x10, 0x24, 0x24, 0, 0, 0, 0}, 0xFF, 32));  // the password
      EXPECT_EQ(hex(Bytes(f[2].begin(), f[2].begin() + 20)),
                words({L + 20, 1, 0x80, 0x12, L + 16, L + 16, 0, 0x10, L + 12, 0}));
      // The record at 0x1000: version, (load time,) modification time, L and the name.
      EXPECT_EQ(mem(tag, 0x1000, 2) + mem(tag, 0x1006, 6 + L),
                L == 6 ? "015ac0ff694e0600" + hex({'f', 'w', '.', 't', 'x', 't'})
                       : "015ac0ff694e0800" + hex({'t', 'a', 'g', '.', 't', 'x', 't', 0}));
    }
    if (c.started == 0xF000) {
      EXPECT_EQ(hex(f[3]), words({24, 1,    0x80, 0x12, 20,   20,   0, 0xF0, 16,   0,    0x31, 0x40, 0,
                                  4,  0xB2, 0x40, 0x80, 0x5A, 0x20, 1, 0xD2, 0xD3, 0x22, 0,    0xFF, 0x3F}));
      EXPECT_EQ(mem(tag, 0xF000, 16), "31400004b240805a2001d2d32200ff3f");
    }
    if (c.started >= 0) {
      EXPECT_EQ(hex(f.back()), words({8, 1, 0x80, 0x1A, 4, 4, 0, c.started >> 8, 0, 0}));
    }
    if (c.record.empty()) continue;
    EXPECT_EQ(msp_readhdr(), 0);
    EXPECT_EQ(err().substr(0, c.record.size()), c.record);
  }

  int tag = open();
  msp(tag).mem[0x100A] = 63;  // a record that claims more name than it can hold
  err();
  EXPECT_EQ(msp_readhdr(), 0);
  EXPECT_EQ(err(), "Corrupt firmware\n");
  EXPECT_EQ(sent(*this, tag), "0a:0080 0b:0040 ");
}

}  // namespace
