// The parameter store against the emulated tag: text files into and out of
// the EEPROM, the pieces on the wire, corrupt stores, the bad-block rewrite.
#include "harness.h"
#include "host.h"
#include "params.h"

namespace {

std::string rep(std::string s, int n, const char *w) {
  while (n--) s += w;
  return s;
}

struct Params : Harness {
  int tag = -1;
  // A fresh tag: `store` at 0x6002 over the word `fill` repeated to the top.
  void start(const Bytes &store = {}, int fill = -1, int blank = 0, int chips = 0) {
    TagConfig cfg;
    cfg.eeprom_blank = blank;
    if (chips) cfg.chips.assign(chips, SimChip());
    tag = open(cfg);
    for (int a = 0x6002; fill >= 0 && a < 0x10000; a += 2) ee_put(tag, a, {(uint8_t)(fill >> 8), (uint8_t)fill});
    ee_put(tag, 0x6002, store);
  }
  std::vector<int> pieces() {  // data bytes of each EEPROM write request
    std::vector<int> p;
    for (const Bytes &b : payloads(tag, REQ_EEWRITE)) p.push_back((int)b.size() - 2);
    return p;
  }
};

// _paramstemp.txt into the default store: E0 at 6002, E1 at 600A, ordinary
// records from 600E. Each file with and without a final line break.
TEST_F(Params, ParameterFileIntoTheStore) {
  const std::string no = "Error writing parameter to eeprom\n";
  struct Case {
    Bytes store;
    std::string file;
    int rc;
    std::string err;
    int addr;
    Bytes want;
    std::vector<int> pieces;
  } cases[] = {
      {{}, "5,3,1,2,3", 0, ".\n", 0x600E, {5, 3, 0, 1, 0, 2, 0, 3, 0xFF, 0xFF}, {10}},
      {{}, "x\n\n 1,1, 70000 ;2,0", 0, "..\n", 0x600E, {1, 1, 0x11, 0x70, 2, 0, 0xFF, 0xFF}, {6, 4}},
      {{}, rep("1,40", 40, ",7"), 0, "..\n", 0x600E + 80, {0, 7, 0xFF, 0xFF}, {64, 20}},
      {{}, "300,1,7\n", 1, "parameter id or size too big (300:1)\n" + no, 0x600E, {1, 2}, {}},
      {{}, "99999999999,1,7", 1, "parameter id or size too big (2147483647:1)\n" + no, 0x600E, {1, 2}, {}},
      {{}, "5,2,1", 1, "error reading parameter file\n" + no, 0x600E, {1, 2}, {}},
      {{}, rep("9,251", 251, ",1"), 1, no, 0x600E, {1, 2}, {}},  // too big: never taken for the end
      {{}, "no numbers\n", 0, "\n", 0x600E, {0xFF, 0xFF}, {2}},   // no records: no parameters left
      {{0xE0, 0, 0xFF, 0xFF}, "5,0", 0, ".\n", 0x6004, {5, 0, 0xFF, 0xFF}, {4}},
      {{1, 0, 0xFF, 0xFF}, "5,0", 1, "Error: no bad block table in eeprom\n", 0x6002, {1, 0}, {}},
      {{0xE0, 1}, "5,0", 1, " Error: failed eeprom read request with flag 0020\n", 0x6002, {0xE0, 1}, {}},
      {{}, "<none>", 1, "unable to open parameter file _paramstemp.txt for reading\n", 0x600E, {1, 2}, {}},
  };
  for (const Case &c : cases)
    for (std::string end : {"", "\n"}) {
      start(c.store);
      if (c.store == Bytes{0xE0, 1}) fault(tag, REQ_EEREAD, 2, FAULT_NOREPLY);  // the body read fails
      file(PARAMSTEMP, c.file == "<none>" ? c.file : c.file + end);
      EXPECT_EQ(edit_params(), c.rc) << c.file;
      EXPECT_EQ(err(), c.err) << c.file;
      EXPECT_EQ(ee(tag, c.addr, (int)c.want.size()), c.want) << c.file;
      EXPECT_EQ(pieces(), c.pieces) << c.file;
    }
}

// Walks of the store into a text file, and params2eeprom's search, on sound
// and corrupt stores: every walk ends, at the top of the EEPROM at the latest.
TEST_F(Params, StoreWalks) {
  const std::string past = " Error: parameter record at 0xff62 runs past the end of the EEPROM\n";
  const std::string nomark = " Error: no end marker in the parameter store\n";
  struct Case {
    Bytes store;
    int fill, blank, toeeprom, rc;
    std::string err, text;
  } cases[] = {
      {{0xE0, 0, 0xE1, 0, 0xFF, 0xFF}, -1, 0, 0, 0, "", ""},
      {{0xE0, 0, 0xC0, 1, 0, 9, 0xC1, 0, 3, 1, 0xFF, 0xFE, 4, 0, 0xFF, 0xFF}, -1, 0, 0, 0, "", "3,1,65534\n4,0\n"},
      {{}, -1, 1, 0, 1, "No parameters installed in EEPROM - need to initialize\n", "<none>"},
      {{0xE0, 0}, 0, 0, 0, 1, nomark, rep("", 0x4FFE, "0,0\n")},
      {{}, 0xE0FE, 0, 1, 1, past, "<none>"},
      {{}, 0xE100, 0, 1, 1, nomark, "<none>"},
  };
  for (const Case &c : cases) {
    start(c.store, c.fill, c.blank);
    EXPECT_EQ(c.toeeprom ? params2eeprom("p.txt", 0) : params2file("p.txt"), c.rc) << c.err;
    EXPECT_EQ(err(), c.err);
    EXPECT_EQ(file("p.txt"), c.text);
    file("p.txt", "<none>");
    EXPECT_EQ(pieces(), std::vector<int>());
  }
}

// Bad-block records from the table file of a tag with 3 chips (32 in the
// last row).
TEST_F(Params, BadBlockRewrite) {
  struct Case {
    std::string file;
    int chips, rc;
    std::string err;
    Bytes want;
  } cases[] = {
      {"%NAME badblock table\n%COMMENT chip 0, nbad 1\n0,5\n2,7\nx\n2,1021\n%ENDDATA\n", 3, 0, "...",
       {0x5A, 0x13, 0xE0, 1, 0, 5, 0xE1, 0, 0xE2, 2, 0, 7, 3, 0xFD, 0xFF, 0xFF}},
      {"0,5\n" + rep("%", 78, "x") + "1,4\n", 3, 0, "...", {0x5A, 0x13, 0xE0, 1, 0, 5, 0xE1, 0, 0xE2, 0, 0xFF, 0xFF}},
      {"<none>", 3, 1, "\n Error: unable to find the bad block file\n", {0xFF, 0xFF, 0xE0, 0, 0xE1, 0, 0xE2}},
      {rep("", 251, "1,9\n"), 3, 1, ".\n Error: chip 1 has more than 250 bad blocks in badblocks_4B33_0A17.txt\n",
       {0x5A, 0x13, 0xE0, 0, 0xFF, 0xFF, 0xE2}},
      {"0,5\n", 32, 1, "\n Error: 32 chips, more than the EEPROM table can hold (31)\n", {0xFF, 0xFF, 0xE0, 0}},
  };
  for (const Case &c : cases) {
    start({}, -1, 0, c.chips);
    ee_put(tag, 0x6000, {0xFF, 0xFF});  // the magic is written anew
    file("badblocks_4B33_0A17.txt", c.file);
    EXPECT_EQ(badblkwrite(), c.rc) << c.err;
    EXPECT_EQ(err(), c.err);
    EXPECT_EQ(ee(tag, 0x6000, (int)c.want.size()), c.want) << c.err;
  }
}

}  // namespace
