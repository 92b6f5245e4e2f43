// Flash chips, geometry, bad blocks and the bad-block table against the
// emulated tag.
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "harness.h"
#include "host.h"
#include "hostflsh.h"

namespace {

using Flash = Harness;
std::vector<uint16_t> tens(int n) {  // n bad blocks: 10, 20, ...
  std::vector<uint16_t> v;
  while ((int)v.size() < n) v.push_back((uint16_t)(10 * v.size() + 10));
  return v;
}
SimChip chip(std::vector<uint16_t> bad, uint16_t id = 0xD3) { return {id, 4096, 64, 2048, bad}; }
const std::vector<SimChip> SIX = {chip(tens(12)),  chip({}),        chip({4}, 0),
                                  chip(tens(199)), chip(tens(200)), chip({7, 8, 9})};
const std::vector<SimChip> BIG = {chip(tens(12)), chip({}), chip({}, 0), chip(tens(199))};
const std::vector<SimChip> TWO = {chip({5, 1021}), chip({})}, ONE = {chip({})}, NOCHIPS = {}, MANY(32, chip({}));
int loc2() {  // getflashlocn for a chip and a block, showing what it read
  flashlocn l = {-1, -1, -1, -1};
  return getflashlocn(&l, 2) || fprintf(stderr, "=%d %d %d", l.chip, l.block, l.page) < 0;
}

// One tag per case, board ID 0003 0102 00A1 2B3C 0001. A table written has the EEPROM records the tag
// was configured with from the same chips (TWO: 5A 13, E0 02 00 05 03 FD, E1 00), then the end marker.
TEST_F(Flash, ChipsBadBlocksAndTheTable) {
  const std::string T = "\\d\\d:\\d\\d:\\d\\d \\d+-[A-Z][a-z]{2}-\\d{4} UTC\n", NAME = "badblocks_00A1_2B3C.txt";
  const std::string HEAD = "%NAME badblock table\n%DEVID 0003 0102 00a1 2b3c 0001\n%HOSTTIME " + T + "%DEVTIME ";
  struct Case {
    int (*fn)();
    const char *typed;
    int result, code;
    FaultKind kind;
    int arg;
    std::string want;
    const std::vector<SimChip> *chips = &SIX;
    const char *link = "";
    std::string file = "";
    int count12 = 0;
  } cases[] = {
      {loc2, "3 x", 1, 0, FAULT_DELAY, 0, "Input values must be numbers\n"},
      {loc2, "3 12", 0, 0, FAULT_DELAY, 0, "=3 12 -1"},
      {hflsid_req, "1", 0, 0, FAULT_DELAY, 0, "\n Flash ID: 00d3, nblocks: 4096, npages: 64, nwords: 2048\n"},
      {hflsid_req, "2", 0, 0, FAULT_DELAY, 0, "\n Flash ID: 0000, nblocks: 0, npages: 0, nwords: 0\n"},
      {hflsid_req, "-1", 1, 0, FAULT_DELAY, 0, " Error: requested chip doesn't exist\n"},
      {hflsid_req, "1", 0, 0, FAULT_DELAY, 0, "\n Flash ID: 00d3, nblocks: 4096, npages: 64, nwords: 2048\n", &SIX, "",
       "", 1},
      {hflsid_req, "2", 1, 0, FAULT_DELAY, 0, " Error: requested chip doesn't exist\n", &SIX, "", "", 1},  // 0x01 0x02
      {hflsid_req, "0", 1, 0, FAULT_DELAY, 0, "", &NOCHIPS},
      {hflsid_req, "0", 1, REQ_FLGEOM, FAULT_SHORT, 2, " Bad Flash ID response 0x00d3\n"},
      {hflsid_req, "0", 1, REQ_CHIPCOUNT, FAULT_ERROR, 5, " Bad Flash ID response 0xfffd : 0x0005\n"},
      {hflsbadblocks_req, "0", 0, 0, FAULT_DELAY, 0,
       "\n Found 12 bad blocks:\n 10, 20, 30, 40, 50, 60, 70, 80, 90, 100,\n 110, 120,\n"},
      {hflsbadblocks_req, "1", 0, 0, FAULT_DELAY, 0, "\n Found 0 bad blocks:\n\n"},
      {hflsbadblocks_req, "4", 1, 0, FAULT_DELAY, 0, " Too many bad blocks (201)\n"},
      {hflsbadblocks_req, "1", 1, REQ_FLBAD, FAULT_SHORT, 1, " Bad Flash bad block response 0x0305:0000\n"},
      {hflsbadblocks_req, "5", 0, REQ_FLBAD, FAULT_SHORT, 1, "\n Found 2 bad blocks:\n 7, 8,\n"},  // odd length
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, ".... Too many bad blocks (201)\n"},
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, " Error: too many flash chips for a bad block table (32)\n", &MANY},
      {hflsbadblockfile, "", 1, REQ_EEWRITE, FAULT_NACK, 0,
       " EEPROM write response bad ffff\n Error writing bad block table to EEPROM\n"},
      {hflsbadblockfile, "", 0, 0, FAULT_DELAY, 0, "....\n.", &BIG, "",
       T + "%DATA chip,badblock\n%COMMENT chip 0, nbad 12\n(0,\\d+\n){12}%COMMENT chip 1, nbad 0\n"
           "%COMMENT chip 2, nbad 0\n%COMMENT chip 3, nbad 199\n(3,\\d+\n){198}3,1990\n%ENDDATA\n"},
      {hflsbadblockfile, "", 0, REQ_TIMEREAD, FAULT_NOREPLY, 0,
       " Error: failed time read request with flag 0020\n..\n.", &TWO, "",
       "unknown\n%DATA chip,badblock\n%COMMENT chip 0, nbad 2\n0,5\n0,1021\n%COMMENT chip 1, nbad 0\n%ENDDATA\n"},
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, ".\n Error: unable to write the bad block file " + NAME + "\n", &ONE,
       "/dev/full"},
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, "\n Error: unable to open a file for writing\n", &ONE, "nodir/x"},
      {hflsbadblocks_req, "5", 0, REQ_FLBAD, FAULT_SHORT, 2, "\n Found 2 bad blocks:\n 7, 8,\n"},  // count says 3
  };
  int tag = -1;
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.boardid[2] = 0x00A1, cfg.boardid[3] = 0x2B3C, cfg.chips = *c.chips;
    tag = open(cfg);
    std::vector<uint8_t> &ee = vbus_tag_eeprom(tag), before = ee;
    if (c.code) fault(tag, c.code, 0, c.kind, c.arg);
    if (c.count12)  // the chip count answered with 0x01 0x02 instead, after the replies due now
      fault(tag, REQ_CHIPCOUNT, 0, FAULT_NOREPLY), vbus_tag_send(tag, REQ_CHIPCOUNT, "\x01\x02", 2, vbus_now_ms() + 1);
    unlink(NAME.c_str());
    ASSERT_TRUE(!*c.link || symlink(c.link, NAME.c_str()) == 0);
    keys(*c.typed ? std::string(c.typed) + "\r" : std::string());
    EXPECT_EQ(c.fn(), c.result) << c.want;
    std::string prompt = c.fn == loc2 ? " Enter Chip Block?\t\t" : *c.typed ? " Enter Chip\t\t" : "";
    EXPECT_EQ(err(), prompt + c.typed + c.want);
    if (c.file.empty()) continue;
    EXPECT_TRUE(std::regex_match(file(NAME), std::regex(HEAD + c.file))) << file(NAME);
    long end = 0x6002;
    for (const SimChip &s : *c.chips) end += 2 + 2 * (long)s.bad.size();
    before[end] = before[end + 1] = 0xFF;
    EXPECT_TRUE(std::equal(before.begin() + 0x6000, before.begin() + end + 2, ee.begin() + 0x6000)) << c.want;
  }
  EXPECT_EQ(frames(tag).back(), make_frame(REQ_FLBAD, {0, 5, 0, 0, 0, 0, 0, 0}));
}

// A new tag (EEPROM erased) gets exactly these table bytes from key d.
TEST_F(Flash, ExpertKeysInASession) {
  TagConfig cfg;
  cfg.chips = TWO;
  cfg.eeprom_blank = 1;
  int tag = attach(cfg);
  mode = 1;
  keys("n80\rc0\rdq");
  EXPECT_EQ(run([&] { return host(find(tag)); }), 1);
  std::string e = err();
  for (const char *want : {"8\n\n Enter Chip\t\t0\n Flash ID: 00d3, nblocks: 4096, npages: 64, nwords: 2048\n",
                           "c\n\n Enter Chip\t\t0\n Found 2 bad blocks:\n 5, 1021,\n\n", "d\n\n..\n."})
    EXPECT_NE(e.find(want), std::string::npos) << want;
  EXPECT_EQ(ee(tag, 0x6000, 15), Bytes({0x5A, 0x13, 0xE0, 2, 0, 5, 3, 0xFD, 0xE1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
