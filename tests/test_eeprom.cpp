// EEPROM access against the emulated tag: the expert read, clear and file keys, the configured check and the
// configuration of a new tag from the session's offer; the parameter store: text files into and out of the EEPROM,
// the pieces on the wire, corrupt stores, the bad-block rewrite.
#include <regex>

#include "harness.h"
#include "host.h"
#include "host_eeprom.h"
#include "params.h"

namespace {

using Eeprom = Harness;

// Keys 5 and 7 act on the typed range (the read shows 16 bytes a line); key 6
// writes a file in pieces of 64 bytes, each with its address: an odd end gets
// a zero byte, a file of whole pieces ends with an address alone, and a file
// that does not fit below 64 KiB is refused before anything is sent. The session asks about a tag without the
// parameter magic (here in the wrong byte order); "y" makes the bad-block table and its records and installs the
// boot code (the pieces from 0). A configured tag is not asked (the sessions' text shows it).
TEST_F(Eeprom, ExpertKeysAndNewTags) {
  // clang-format off
  struct Case { int size; std::string keys; std::vector<std::pair<int, int>> pieces; std::string says; int addr;
    Bytes want = {}; } cases[] = {  // want: the EEPROM at addr afterwards (none: the file written)
      {0, "524576 20\r", {}, "bytes?\t\t24576 20\n EEPROM read 20 bytes\n 5a 13 e0 03 00 05 03 fd 0b ff e1 01 00 4d 01 02"
       "\n a0 a1 a2 a3\n", 0x6000, {0x5A, 0x13, 0xE0}},
      {0, "724576 2\r", {}, "\n Start address and number of bytes?\t\t24576 2", 0x6000, {0xFF, 0xFF, 0xE0}},
      {0, "765530 10\r", {}, "65530 10\n Error: the EEPROM holds bytes 0 to 65535\n", 0},  // runs past the end
      {65, "6f.bin\r0\r", {{0, 64}, {64, 2}}, "\n writing to EEPROM..\n", 0},
      {128, "6f.bin\r4096\r", {{0x1000, 64}, {0x1040, 64}, {0x1080, 0}}, "\n writing to EEPROM...\n", 0x1000},
      {4, "6f.bin\r65534\r", {}, "\n Error: f.bin (4 bytes) does not fit in the EEPROM from address 65534\n", 0, {0xFF}},
      {0, "nq", {}, "\n Device is not yet configured: configure now y/n? \n", EE_MAGIC_ADDR, {0x13, 0x5A}},
      {0, "yq", {{0x6002, 8}, {0x600A, 4}, {0x600E, 2}, {0, 64}, {64, 64}, {128, 2}, {0x6000, 2}},  // the magic last
       "\n Making bad block table..\n.\n Installing boot code...\n\n", EE_MAGIC_ADDR,
       {0x5A, 0x13, 0xE0, 3, 0, 5, 3, 0xFD, 0x0B, 0xFF, 0xE1, 1, 0, 0x4D, 0xFF, 0xFF}},
  };
  // clang-format on
  for (const Case &c : cases) {
    bool session = c.keys[1] == 'q';
    int tag = session ? (fresh(), attach()) : open();
    ee_put(tag, 0x6010, {0xA0, 0xA1, 0xA2, 0xA3});
    if (session) ee_put(tag, EE_MAGIC_ADDR, {0x13, 0x5A});
    Bytes want;
    for (int i = 0; i < c.size; i++) want.push_back((uint8_t)(i * 7 + 1));
    file("f.bin", std::string(want.begin(), want.end()));
    file(REBOOTFILE, std::string(130, 'k'));
    mode = 1;
    keys(c.keys);
    run([&] { return session ? host(find(tag)) : out_service_expert(); });
    std::vector<std::pair<int, int>> got;
    for (const Bytes &p : payloads(tag, REQ_EEWRITE)) got.push_back({(p[0] << 8) | p[1], (int)p.size() - 2});
    EXPECT_EQ(got, c.pieces) << c.keys;
    EXPECT_NE(err().find(c.says), std::string::npos) << c.keys;
    if (c.size % 2) want.push_back(0);
    if (!c.want.empty()) want = c.want;
    EXPECT_EQ(ee(tag, c.addr, (int)want.size()), want) << c.keys;
  }
}

using Params = Harness;
std::string rep(std::string s, int n, const char *w) {
  while (n--) s += w;
  return s;
}
int tofile() { return params2file("p.txt"); }
int tonowhere() { return params2file("no/p.txt"); }

// One fresh tag per row, `store` put at 0x6002 over the word `fill` repeated to the top (-1: as configured), and
// `file` given as _paramstemp.txt and as the bad-block table, each with and without a final line break and with CR LF
// line ends (a file from Windows). Parameter files go into the default store: E0 at 6002, E1 at 600A, ordinary records
// from 600E; every walk of a corrupt store ends, at the top of the EEPROM at the latest, without writing; the bad-block
// rewrite is of a tag with 3 chips (32 in the last row) and writes the magic anew.
TEST_F(Params, ParameterFilesStoreWalksAndBadBlockRewrite) {
  const std::string no = "Error writing parameter to eeprom\n",
                    nomark = " Error: no end marker in the parameter store\n";
  // clang-format off
  // pieces: data bytes of each EEPROM write
  struct Case { Bytes store; int fill; int (*fn)(); std::string file; int rc; std::string err; int addr; Bytes want;
    std::vector<int> pieces; std::string text = "<none>"; int chips = 0; } cases[] = {
      {{}, -1, edit_params, "5,3,1,2,3", 0, ".\n", 0x600E, {5, 3, 0, 1, 0, 2, 0, 3, 0xFF, 0xFF}, {10}},
      {{}, -1, edit_params, "x\n\n 1,1, 70000 ;2,0", 0, "..\n", 0x600E, {1, 1, 0x11, 0x70, 2, 0, 0xFF, 0xFF}, {6, 4}},
      {{}, -1, edit_params, rep("1,40", 40, ",7"), 0, "..\n", 0x600E + 80, {0, 7, 0xFF, 0xFF}, {64, 20}},
      {{}, -1, edit_params, "99999999999,1,7", 1, "parameter id or size too big (2147483647:1)\n" + no, 0x600E, {1, 2}, {}},
      {{}, -1, edit_params, rep("9,251", 251, ",1"), 1, no, 0x600E, {1, 2}, {}},  // too big: never taken for the end
      {{}, -1, edit_params, "5,1,1\n300,1,7", 1, "parameter id or size too big (300:1)\n" + no, 0x600E, {1, 2}, {}},
      {{}, -1, edit_params, "no numbers\n", 1, "Error: _paramstemp.txt holds no parameters: nothing written\n", 0x600E,
       {1, 2}, {}},  // no records: the store kept
      {{0xE0, 0, 0xFF, 0xFF}, -1, edit_params, "5,0", 0, ".\n", 0x6004, {5, 0, 0xFF, 0xFF}, {4}},
      {{}, -1, tonowhere, "", 1, "Unable to open file no/p.txt for writing\n", 0, {}, {}},
      {{0xE0, 0, 0xE1, 0, 0xFF, 0xFF}, -1, tofile, "", 0, "", 0, {}, {}, ""},
      {{0xE0, 0, 0xC0, 1, 0, 9, 0xC1, 0, 3, 1, 0xFF, 0xFE, 4, 0, 0xFF, 0xFF}, -1, tofile, "", 0, "", 0, {}, {},
       "3,1,65534\n4,0\n"},
      {{0xE0, 0}, 0, tofile, "", 1, nomark, 0, {}, {}, rep("", 0x4FFE, "0,0\n")},
      {{}, 0xE0FF, edit_params, "", 1, " Error: parameter record at 0xfe02 runs past the end of the EEPROM\n", 0, {}, {}},
      {{}, 0xE100, edit_params, "", 1, nomark, 0, {}, {}},
      {{}, -1, badblkwrite, "%NAME badblock table\n%COMMENT chip 0, nbad 1\n0,5\n2,7\nx\n2,1021\n%ENDDATA\n", 0, "...",
       0x6000, {0x5A, 0x13, 0xE0, 1, 0, 5, 0xE1, 0, 0xE2, 2, 0, 7, 3, 0xFD, 0xFF, 0xFF}, {}, "<none>", 3},
      {{}, -1, badblkwrite, "0,5\n" + rep("%", 78, "x") + "1,4\n%ENDDATA", 0, "...", 0x6000,
       {0x5A, 0x13, 0xE0, 1, 0, 5, 0xE1, 0, 0xE2, 0, 0xFF, 0xFF}, {}, "<none>", 3},
      {{}, -1, badblkwrite, rep("", 251, "1,9\n") + "%ENDDATA", 1, "\n Error: chip 1 has more than 250 bad blocks in "
       "badblocks_4B33_0A17.txt\n", 0x6000, {0xFF, 0xFF, 0xE0, 0, 0xE1, 0, 0xE2}, {}, "<none>", 3},  // read whole first
      {{}, -1, badblkwrite, rep("", 251, "3,9\n") + "%ENDDATA", 0, "...", 0x6000,  // a chip the tag lacks: not read
       {0x5A, 0x13, 0xE0, 0, 0xE1, 0, 0xE2, 0, 0xFF, 0xFF}, {}, "<none>", 3},
      {{}, -1, badblkwrite, "0,5\n1,4", 1, "\n Error: badblocks_4B33_0A17.txt ends before its %ENDDATA line: nothing "
       "written\n", 0x6000, {0xFF, 0xFF, 0xE0, 0, 0xE1, 0}, {}, "<none>", 3},  // cut short: chip 2's blocks would be lost
      {{}, -1, badblkwrite, "0,5\n", 1, "\n Error: 32 chips, more than the EEPROM table can hold (31)\n", 0x6000,
       {0xFF, 0xFF, 0xE0, 0}, {}, "<none>", 32},
  };
  // clang-format on
  for (const Case &c : cases)
    for (std::string end : {"", "\n", "\r\n"}) {  // the last: lines ended as Windows writes them
      TagConfig cfg;
      if (c.chips) cfg.chips.assign(c.chips, SimChip());
      int tag = open(cfg);
      for (int a = 0x6002; c.fill >= 0 && a < 0x10000; a += 2)
        ee_put(tag, a, {(uint8_t)(c.fill >> 8), (uint8_t)c.fill});
      ee_put(tag, 0x6002, c.store);
      if (c.fn == badblkwrite) ee_put(tag, 0x6000, {0xFF, 0xFF});
      const std::string text = end == "\r\n" ? std::regex_replace(c.file + "\n", std::regex("\n"), end) : c.file + end;
      file(PARAMSTEMP, text);
      file("badblocks_4B33_0A17.txt", text);
      EXPECT_EQ(c.fn(), c.rc) << c.file;
      EXPECT_EQ(err(), c.err) << c.file;
      EXPECT_EQ(ee(tag, c.addr, (int)c.want.size()), c.want) << c.file;
      std::vector<int> pieces;  // data bytes of each EEPROM write request
      for (const Bytes &b : payloads(tag, REQ_EEWRITE)) pieces.push_back((int)b.size() - 2);
      if (c.fn != badblkwrite) {
        EXPECT_EQ(pieces, c.pieces) << c.file;
      }
      EXPECT_EQ(file("p.txt"), textmode(c.text)) << c.err;
      file("p.txt", "<none>");
    }
  // One record at a time: the address after it, then 0 at the file's end.
  file(PARAMSTEMP, "5,1,7\n");
  FILE *f = fopen(PARAMSTEMP, "r");
  EXPECT_EQ(std::vector<int>({writenextparam(0x600E, f), writenextparam(0x6012, f)}), std::vector<int>({0x6012, 0}));
  fclose(f);
}

}  // namespace
