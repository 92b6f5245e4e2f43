// Flash and recordings against the emulated tag: chips, bad blocks and the bad-block table, the directory listing,
// offloads into recording files (checked byte for byte and with kvdcheck's reader), erases, recordings picked by
// number, the data directory and the firmware in flash.
#include <stdio.h>
#include <utime.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <filesystem>
#include <regex>

#include "harness.h"
#include "host.h"
#include "hostflsh.h"
#include "kvdread.h"
#include "offrec.h"
#include "platform.h"
#include "utilities.h"

namespace {

using Rec = Harness;
const SimChip BIG = {0xD3, 4096, 64, 2048, {}}, EMPTY = {0, 0, 0, 0, {}}, SMALL = {0xD3, 2, 64, 2048, {}};

// The page data the tag holds for pages 0..n-1 of each block, as an offload writes it.
std::string flash(int tag, const std::vector<std::array<int, 3>> &blocks) {
  std::string all;
  for (const auto &b : blocks)
    for (int p = 0; p < b[2]; p++)
      for (uint8_t v : vbus_flash_page(tag, b[0], b[1], p)) all += (char)v;
  return all;
}
// The flash locations of the requests with this code, as "chip:block:page+count ".
std::string locs(const std::vector<Bytes> &pl) {
  std::string s;
  for (const Bytes &p : pl) {
    uint32_t w[4];
    bpack(w, p.data(), 4);
    for (int i = 0; i < 4; i++) s += std::to_string(w[i]) + (i < 2 ? ":" : i == 2 ? "+" : " ");
  }
  return s;
}
diritem range(uint32_t sc, uint32_t sb, uint32_t ec, uint32_t eb, int32_t size = 0) {
  return {sc, sb, 0, ec, eb, 0, size, 1, 0};
}

// One offload or erase per row, on a fresh tag: the requests, the console, and the offload's file against the tag's
// pages and kvdcheck's reader. An erase asks for up to 20 blocks at a time, the percentage drawn over itself.
TEST_F(Rec, OffloadAndEraseFollowTheTag) {
  const std::string zone = getenv("TZ") ? getenv("TZ") : "";
  set_tz("UTC0");
  // clang-format off
  // reads: the first flash reads (erase: all the erases); console: a part of what is shown; blocks: completed blocks
  // in the closed header (-1: header left open, -2: an erase); data: chip, block, pages the file holds, in order;
  // a fault on the fnth flash read.
  struct Case { std::vector<SimChip> chips; diritem r; int result; std::string reads, console; int blocks;
    std::vector<std::array<int, 3>> data; int fnth = 0; FaultKind fkind = FAULT_DELAY; int farg = 0; } cases[] = {
      {{BIG}, range(0, 9, 0, 9), 0, "0:9:0+7 0:9:7+7 0:9:14+7 0:9:21+7 0:9:28+7 0:9:35+7 0:9:42+7 0:9:49+7 0:9:56+7 "
       "0:9:63+1 ", "\n Offloading to f.kvd\t00:00:00\b\b\b\b\b\b\b\b  done  ", 1, {{0, 9, 64}}},
      // A key (pressed during the 12th read, which comes late) stops the offload after that reply: said so.
      {{BIG}, range(0, 1, 0, 9, 2808000), 0, "", "\t01:00:00\b\b\b\b\b\b\b\b00:59:59\b\b\b\b\b\b\b\bstopped \n "
       "Offload stopped by a key: f.kvd holds 1 of 9 blocks (0.3 MB) of the recording\n", 1,
       {{0, 1, 64}, {0, 2, 14}}, 12, FAULT_DELAY, 100},
      {{BIG}, range(0, 9, 0, 9), 0, "0:9:0+7 0:9:4+7 0:9:11+7 ", "", 1, {{0, 9, 64}}, 1, FAULT_FEWPAGES, 4},
      {{BIG}, range(0, 1, 0, 3), 0, "", "", 2, {{0, 1, 64}, {0, 3, 64}}, 11, FAULT_SKIPBLOCK},
      {{{0xD3, 4096, 64, 2048, {2}}}, range(0, 1, 0, 2), 0, "", "", 1, {{0, 1, 64}}},  // a bad block last
      {{SMALL, EMPTY, SMALL}, range(0, 1, 2, 0), 0, "", "", 2, {{0, 1, 64}, {2, 0, 64}}},
      {{BIG}, range(0, 1, 0, 2), 1, "", " Error: flash read reply holds 28671 bytes for pages 0 to 6\n", -1, {}, 1,
       FAULT_SHORT, 1},
      {{{0xD3, 2, 64, 0, {}}}, range(0, 0, 0, 1), 1, "",
       " Error: chip 0 reports 64 pages of 0 words, which cannot be offloaded\n", -1, {}},
      {{BIG, BIG}, range(0, 0, 0, 44), 0, "0:0:0+20 0:20:0+20 0:40:0+5 ", "00%\b\b\b44%\b\b\b88%\b\b\b100%", -2, {}},
      {{BIG, BIG}, range(0, 0, 0, 20), 0, "0:0:0+20 0:20:0+1 ", "00%\b\b\b95%\b\b\b100%", -2, {}},  // one block past 20
      {{BIG, BIG}, range(1, 7, 1, 7), 0, "1:7:0+1 ", "00%\b\b\b100%", -2, {}},
      {{BIG, BIG}, range(0, 4090, 1, 3), 0, "0:4090:0+6 1:0:0+4 ", "00%\b\b\b60%\b\b\b100%", -2, {}},
      {{BIG, BIG}, range(0, 9, 0, 8), 1, "", "\n Error: the flash range ends before it starts\n", -2, {}},
  };
  // clang-format on
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.chips = c.chips;
    int tag = open(cfg);
    remove("f.kvd");
    fault(tag, REQ_FLREAD, c.fnth, c.fkind, c.farg);
    if (c.r.size) keys_at(vbus_now_ms() + 50, "k");
    EXPECT_EQ(run([&] { return c.blocks == -2 ? eraseflash(&c.r) : hflsoffload("f.kvd", &c.r); }), c.result);
    EXPECT_TRUE(!c.r.size || plat_getch() == 'k') << "the key is left for the menu";
    if (c.blocks == -2) {
      EXPECT_EQ(locs(payloads(tag, REQ_FLERASE)) + "|" + err(), c.reads + "|" + c.console);
      continue;
    }
    std::vector<Bytes> pl = payloads(tag, REQ_FLREAD);  // the header ends at the last block read
    std::string e = err(), f = file("f.kvd"), d = flash(tag, c.data);
    EXPECT_EQ(locs(pl).substr(0, c.reads.size()) + "|" + out(),
              c.reads + "|" + (c.chips.size() > 1 ? " skipping unpopulated chip 1\n" : ""));
    EXPECT_NE(e.find(c.console), std::string::npos) << e;  // a row's own message names it
    KvdInfo k;
    std::string why;  // a key-stopped file is whole but not good: the record says it was stopped
    for (const std::string &w : kvd_check_file("f.kvd", &k)) why += w;
    EXPECT_EQ(count(why, "stopped: the offload record says it was stopped by a key after 1 of "), c.r.size ? 1u : 0u);
    EXPECT_EQ(std::make_pair(k.verdict, k.closed ? (int)k.blocks : -1), std::make_pair(c.r.size        ? KVD_STOPPED
                                                                                       : c.blocks >= 0 ? KVD_GOOD
                                                                                                       : KVD_DAMAGED,
                                                                                       c.blocks));
    if (k.closed) {
      EXPECT_EQ(k.end_chip, pl.back()[1]);
      EXPECT_EQ(k.end_block, (pl.back()[2] << 8) | pl.back()[3]);
    }
    if (k.header) {  // started now, the spare bytes zero, the second time the zone's 31-Dec-1999 00:00 (UTC here)
      EXPECT_LE(std::labs((long)k.started - (long)time(NULL)), 60L);
      EXPECT_EQ(k.time2, 946598400u);
      EXPECT_EQ(f.substr(KVD_AT_ZERO1, 2) + f.substr(KVD_AT_ZERO2, 2), std::string(4, '\0'));
    }
    const size_t tail = c.blocks >= 0 ? KVD_TRAILER : 0;
    EXPECT_EQ(f.size() < KVD_HEADER ? "short" : f.substr(KVD_HEADER, f.size() - KVD_HEADER - tail), d);
  }
  set_tz(zone.empty() ? nullptr : zone.c_str());
}

// The selection text against a directory of 12 entries: taken whole or not at all.
TEST_F(Rec, SelectionText) {
  const std::string NO = " Selection not understood, nothing picked: type numbers and ranges such as 1-6,8-10, "
                         "'a' for all, 'x' for none\n",
                    OUT = "File number out of range\n", NONE = " Nothing picked: the recordings are numbered 1 to 12\n";
  // clang-format off
  struct Case { const char *text, *picks; std::string said; } cases[] = {  // picks: entries 12..1 as bits
      {"1-6,8-10", "001110111111", ""}, {" 3 - 5 ,12", "100000011100", ""}, {"1, 3", "000000000101", ""},
      {"all", "111111111111", ""}, {"A", "111111111111", ""}, {"x", "000000000000", ""}, {"None", "000000000000", ""},
      {"", "000000000000", ""}, {"6-2", "000000000000", NO}, {"-4", "000000000000", NO}, {"4-", "000000000000", NO},
      {"2,,5", "000000000000", NO}, {"1;3", "000000000000", NO}, {"1 2", "000000000000", NO},
      {"abc", "000000000000", NO}, {"all but 5", "000000000000", NO}, {"1-5,13", "000000000000", OUT + NONE},
      {"0,4294967297", "000000000000", OUT + OUT + NONE}, {"99999999999-3", "000000000000", NO},
  };
  // clang-format on
  HFLS_dirtab = (diritem *)calloc(HFLS_nrecs = 12, sizeof(diritem));
  for (const Case &c : cases) {
    keys(std::string(c.text) + "\r");
    int n = run([] { return selectfiles(1, 12); });
    std::bitset<12> got;
    for (int i = 0; i < 12; i++) got[i] = HFLS_dirtab[i].tag == 1;
    EXPECT_EQ(got.to_string() + err(), c.picks + ("\n Select files (e.g., 1-6,8-10, 'a' for all, 'x' for none) ... " +
                                                  std::string(c.text) + "\n" + c.said));
    EXPECT_EQ(n, (int)got.count()) << c.text;
  }
}

// Both listing forms from a directory held by the host: sizes and units,
// types, the fragments warning and the cut-short line. The directory as the
// tag sends it is listed in the session below.
TEST_F(Rec, DirectoryListing) {
  // clang-format off
  const diritem d[4] = {{1, 7, 0x4F7A2B00, 1, 9, 0x4F7A3910, 999, 1, 0}, {0, 41, 0, 0, 43, 0, 1000, 0, 0},
                        {2, 0, 0x10, 2, 1, 0x20, -5, 7, 0}, {0, 5, 0, 0, 5, 0, 1234, 2, 0}};
  HFLS_dirtab = std::copy(d, d + 4, (diritem *)calloc(4, sizeof(diritem))) - 4;
  HFLS_nrecs = 4, HFLS_flag = 1, mbfree = 65536;
  const std::string END = " 65536 MB free\n", CUT = " Too many files on device - unable to show all\n";
  EXPECT_EQ(showdirtab(0) + showdirtab(1), 8);
  EXPECT_EQ(err(), " File\tStart time\t\t\tEnd time\t\tSize\n 001\t22:41:04 2-Apr-2012 UTC - 23:41:04 2-Apr-2012 UTC\t"
                   "999.0 kB\n" + END + " Warning: file system contains fragments - use EXPERT mode\n" + CUT +
                   " File\tStarts\tEnds\tTime code\t\t\tSize\n 001\t1:0007\t1:0009\t4f7a2b00 - 4f7a3910\t999.0 kB\n"
                   " 002\t0:0041\t0:0043\t00000000 - 00000000\t1.0 MB\tfragment\n"
                   " 003\t2:0000\t2:0001\t00000010 - 00000020\t0.0 kB\tunknown file type\n"
                   " 004\t0:0005\t0:0005\t00000000 - 00000000\t1.2 MB\tbad block\n" + END + CUT);
  // clang-format on
  EXPECT_EQ(getdiritem(-1), nullptr);
  EXPECT_EQ(getdiritem(4), nullptr);
  EXPECT_EQ(getdiritem(3), &HFLS_dirtab[3]);
}

// Firmware download: the erase, then the file in pages behind its header (checked byte for byte for tag.bin); and
// the check that reads the header back, for names of odd and even length, the longest name, and a page too small.
TEST_F(Rec, FirmwareDownloadAndCheck) {
  int tag = open();
  std::string data;
  for (int i = 0; i < 10000; i++) data += (char)(i * 7 + 3);
  struct utimbuf ut = {1315569600, 1315569600};             // 12:00:00 9-Sep-2011 UTC
  for (const std::string name : {"data.bin", "tag.bin"}) {  // tag.bin's padding byte over data.bin's pages
    file(name, data);
    keys(name + "\r");
    ASSERT_EQ(utime(name.c_str(), &ut), 0);
    EXPECT_EQ(run(sendcode), 0);
    EXPECT_EQ(checkcode(), 0);
    std::vector<Bytes> w = payloads(tag, REQ_FLWRITE);
    w.erase(w.begin(), w.end() - 3);  // each file takes 3 pages
    int32_t loaded = char2long(w[0].data() + 10);
    EXPECT_EQ(err(), " Filename?\t\t\t" + name + "\n Erasing code space 00%\b\b\b100%\n writing to FLASH...\n" +
                         "Current firmware:\t" + name +
                         "\nFile last modified:\t12:00:00 9-Sep-2011 UTC\nLoaded:\t\t\t" + long2timestr(&loaded) +
                         "\n");
    if (name != "tag.bin") continue;
    EXPECT_EQ(locs({payloads(tag, REQ_FLERASE).back()}) + "/" + locs(w), "0:0:0+1 /0:0:0+1 0:0:1+1 0:0:2+1 ");
    std::string sent;
    for (const Bytes &p : w) sent.append(p.begin() + 8, p.end());
    EXPECT_EQ(hex(Bytes(sent.begin(), sent.begin() + 2)) + hex(Bytes(sent.begin() + 6, sent.begin() + 20)),
              "76c34e69ffc000087461672e62696e00");  // marker, (load time,) modification time, 8, the name
    EXPECT_EQ(sent.substr(20), data + std::string(3 * 4096 - 10020, '\0'));
  }
  TagConfig cfg;
  cfg.firmware_name = std::string(250, 'n');  // the longest name taken
  open(cfg);
  EXPECT_EQ(checkcode(), 0);
  EXPECT_EQ(err().substr(0, 269), "Current firmware:\t" + cfg.firmware_name + "\n");
  cfg.chips = {{0xD3, 8, 4, 8, {}}};  // 16-byte pages: no room for the header and name
  open(cfg);
  keys("tag.bin\r0 0 0\r");
  EXPECT_EQ(run(hflswrite_req), 1);
  EXPECT_NE(err().find(" Error: a flash page of 8 words cannot hold the firmware header\n"), std::string::npos);
}

// What a newcomer does: the remembered folder (logs) is used, offload two recordings (a name too long for its
// buffer is refused before anything is read), set the data directory, erase them, list again; the new folder is
// remembered. The listings come from the tag.
TEST_F(Rec, SessionOffloadsAndErasesRecordings) {
  TagConfig cfg;
  cfg.dir_max = 6;  // the reply ends with the cut-short byte
  int tag = attach(cfg);
  file("_datadir.txt", "logs");
  // A key waiting stops an offload or erase, so each action's keys come later.
  keys("121,3\rrec\r");
  // Only a lower-case y erases; both files are in the record of logs/, so nothing more is asked.
  keys_at(100000, "5" + std::string(197, 'd') + "\r21\rrec\r5logs\r3Y3y1,3\r");
  keys_at(200000, "1q");
  EXPECT_EQ(run([&] { return host(find(tag)); }), 1);
  int blocks = 0;
  for (const char *name : {"logs/rec001.kvd", "logs/rec003.kvd"}) {
    KvdInfo k;
    const SimRecording &r = cfg.recordings[name[10] - '1'];
    EXPECT_TRUE(kvd_check_file(name, &k).empty()) << name;
    EXPECT_EQ(std::make_tuple(k.id[2], k.start_block, k.end_block, (int)k.blocks),
              std::make_tuple(cfg.boardid[2], (int)r.startblock, (int)r.endblock, r.endblock - r.startblock + 1));
    blocks += k.blocks;
  }
  EXPECT_EQ(payloads(tag, REQ_FLREAD).size(), 10u * blocks) << "10 reads a block, none for the long name";
  EXPECT_EQ(file("_datadir.txt"), "logs/");
  std::string e = err();
  EXPECT_NE(e.find(" 001\t06:00:00 10-Mar-2026 UTC - 06:02:10 10-Mar-2026 UTC\t"), std::string::npos) << e;
  EXPECT_NE(e.find(" Too many files on device - unable to show all\n"), std::string::npos);
  EXPECT_NE(e.find(" recording 1 would be 208 characters, more than 207\n"), std::string::npos);
  // Listed once, then again after the erase.
  EXPECT_EQ(std::make_pair(payloads(tag, REQ_DIR).size(), vbus_flash_dir(tag).size()),
            std::make_pair((size_t)2, cfg.recordings.size() - 2));
}

// Offload and erase by record as the operator meets them, in two sessions (files may change between them): what
// each file is (kvdcheck's verdict, "none" when no file; "old" a file kept as it was), what the screen says
// (each once), the outcomes in the offload record, and how many directory entries are left.
TEST_F(Rec, ByRecordSaysWhatWasSavedAndErasesOnlyWhatIsSafe) {
  // clang-format off
  struct Row { const char *what, *first, *later; std::vector<std::string> shown; std::string files, record; size_t left;
    void (*setup)(Rec &t, int tag) = nullptr; void (*between)() = nullptr; } rows[] = {
      {"a key in the second of three picks", "21,3,7\rrec\r", "", {"Offload stopped by a key: rec003.kvd holds 12 of 35 "
       "blocks", " Saved 1 of 3 picked recordings whole (1.0 MB) in the working folder\n", " Not saved: 3 (stopped by a"
       " key after 12 of 35 blocks)\n", " Not saved: 7 (not offloaded: the offload before them did not finish)\n"},
       "good STOPPED none", "complete stopped ", 7, [](Rec &t, int tag) {
         t.fault(tag, REQ_FLREAD, 0, FAULT_DELAY, 10);
         t.keys_at(2500, "k");
       }},
#ifdef __linux__
      {"a full disk in the second of three picks", "21,3,7\rrec\r", "", {"*** Fatal error saving file", " Not saved: 3 "
       "(the offload failed after 0 of 35 blocks)\n", " Not saved: 7 ("}, "good NOT A FILE none", "complete failed ", 7,
       [](Rec &, int) { (void)!symlink("/dev/full", "rec003.kvd"); }},
#endif
      {"a file already there replaced, the offload stopped: the earlier one kept", "21,3\rrec\ry", "",
       {" The earlier rec003.kvd is kept as it was\n", " Not saved: 3 (stopped by a key after 12 of 35 blocks)\n"},
       "good old none", "complete stopped ", 7, [](Rec &t, int tag) {
         file("rec003.kvd", "old"), t.fault(tag, REQ_FLREAD, 0, FAULT_DELAY, 10), t.keys_at(2500, "k");
       }},
      {"files already there: y replaces, n keeps", "21,3\rrec\ryn", "", {"\n rec001.kvd exists: replace? y/n \n",
       " Not saved: 3 (the file already there was kept)\n"}, "good old none", "complete ", 7,
       [](Rec &, int) { file("rec001.kvd", "old"), file("rec003.kvd", "old"); }},
      {"saved whole: erased without a question", "21,3\rrec\r", "3y1,3\r", {" Picked: 1, 3\n\n Erasing file 1\t"}, "good good none",
       "complete complete ", 5},
      {"one unsaved: asked, n erases nothing", "21\rrec\r", "3ya\rn", {"\n Note: 2 is a bad block, which this listing "
       "does not show\n", " Note: 6 is of an unknown type", "): 2-7\n Erase them anyway? y/n \n Nothing erased\n"}, "good none none", "complete ", 7},
      {"one unsaved: y erases every pick", "21\rrec\r", "3y1,3\ry", {"Erase them anyway?"}, "good none none",
       "complete ", 5},
      {"a file moved away is not saved", "21,3\rrec\r", "3y1,3\rn", {"): 1\n Erase them anyway?"}, "none good none",
       "complete complete ", 7, nullptr, [] { std::filesystem::rename("rec001.kvd", "moved.kvd"); }},
      {"a line longer than any record is none, whatever it ends in", "21\rrec\r", "", {}, "good none none",
       "complete ", 7, nullptr, [] {
         std::string r = file("_offloads.txt");  // its last line again, as the end of a longer one
         file("_offloads.txt", r + std::string(OFFREC_LINE + 2, 'x') + r.substr(r.rfind('\n', r.size() - 2) + 1));
       }},
      {"a file replaced by another is not saved", "21,3\rrec\r", "3y1,3\rn", {"): 3\n Erase them anyway?"},
       "good DIFFERS FROM RECORD none", "complete complete ", 7, nullptr, [] { file("rec003.kvd", file("rec001.kvd")); }},
  };
  // clang-format on
  for (const Row &r : rows) {
    fresh();
    int tag = attach();
    if (r.setup) r.setup(*this, tag);
    keys(r.first);
    keys_at(100000, "q");
    EXPECT_EQ(run([&] { return host(find(tag)); }), 1) << r.what;
    if (r.between) r.between();
    keys(r.later);
    keys_at(vbus_now_ms() + 100000, "q");  // not while an erase runs: a key waiting stops it
    if (*r.later) {
      EXPECT_EQ(run([&] { return host(find(tag)); }), 1) << r.what;
    }
    std::string e = err(), files, record;
    for (const char *name : {"rec001.kvd", "rec003.kvd", "rec007.kvd"}) {
      KvdInfo k;
      std::vector<std::string> why = kvd_check_file(name, &k);
      if (k.verdict == KVD_DIFFERS) {
        EXPECT_EQ(testing::PrintToString(why),
                  "{ \"differs from the offload record: 1048620 bytes and 4 blocks, recorded "
                  "9175084 bytes and 35\" }");
      }
      std::string f = k.verdict == KVD_NOTFILE ? "" : file(name);  // never read /dev/full
      files += std::string(f == "<none>" ? "none" : f == "old" ? "old" : KVD_VERDICT[k.verdict]) + " ";
    }
    FILE *f = offrec_open("");
    for (offrec o; f && offrec_next(f, &o) == 0;) {
      record += std::string(OFF_OUTCOME[o.outcome]) + " ";
      EXPECT_TRUE(std::regex_match(o.finished, std::regex("\\d\\d:\\d\\d:\\d\\d \\d+-[A-Z][a-z]{2}-\\d{4} UTC")))
          << o.finished;
    }
    if (f) fclose(f);
    for (const std::string &s : r.shown) EXPECT_EQ(count(e, s), 1u) << r.what << ": " << s << "\n" << e;
    size_t notsaved = 0;
    for (const std::string &s : r.shown) notsaved += count(s, " Not saved: ");
    EXPECT_EQ(count(e, " Not saved: "), notsaved) << r.what << ": only the reasons the row names\n" << e;
    EXPECT_EQ(count(e, " Not erased: "), 0u) << r.what;  // no erase here is stopped
    EXPECT_EQ(files + "| " + record, r.files + " | " + r.record) << r.what;
    EXPECT_EQ(vbus_flash_dir(tag).size(), r.left) << r.what;
    EXPECT_EQ(count(e, "done"), count(record, "complete")) << r.what << ": \"done\" only for a whole file";
  }
}

using Flash = Harness;
std::vector<uint16_t> tens(int n) {  // n bad blocks: 10, 20, ...
  std::vector<uint16_t> v(n);
  for (int i = 0; i < n; i++) v[i] = (uint16_t)(10 * i + 10);
  return v;
}
SimChip chip(std::vector<uint16_t> bad, uint16_t id = 0xD3) { return {id, 4096, 64, 2048, bad}; }
const std::vector<SimChip> FOUR = {chip(tens(12)), chip({}), chip({4}, 0), chip({7, 8, 9})};
const std::vector<SimChip> MOST = {chip(tens(12)), chip({}), chip({}, 0), chip(tens(199))};
const std::vector<SimChip> TWO = {chip({5, 1021}), chip({})}, ONE = {chip({})}, MANY(32, chip({}));

// One tag per case, board ID 0003 0102 00A1 2B3C 0001. (The EEPROM records of a table written are checked on the
// configuration of a new tag.)
// A fault on REQ_CHIPCOUNT stands for the chip count answered late as 0x01 0x02.
TEST_F(Flash, ChipsBadBlocksAndTheTable) {
  const std::string T = "\\d\\d:\\d\\d:\\d\\d \\d+-[A-Z][a-z]{2}-\\d{4} UTC\n", NAME = "badblocks_00A1_2B3C.txt";
  const std::string ID = "\n Flash ID: 00d3, nblocks: 4096, npages: 64, nwords: 2048\n";
  const std::string HEAD = "%NAME badblock table\n%DEVID 0003 0102 00a1 2b3c 0001\n%HOSTTIME " + T + "%DEVTIME ";
  // clang-format off
  struct Case { int (*fn)(); const char *typed; int result, code; FaultKind kind; int arg; std::string want;
    const std::vector<SimChip> *chips = &FOUR; const char *link = ""; std::string file = ""; } cases[] = {
      {hflsid_req, "2", 0, 0, FAULT_DELAY, 0, "\n Flash ID: 0000, nblocks: 0, npages: 0, nwords: 0\n"},
      {hflsid_req, "1", 0, REQ_CHIPCOUNT, FAULT_NOREPLY, 0, ID},
      {hflsid_req, "2", 1, REQ_CHIPCOUNT, FAULT_NOREPLY, 0, " Error: requested chip doesn't exist\n"},
      {hflsbadblocks_req, "0", 0, 0, FAULT_DELAY, 0,
       "\n Found 12 bad blocks:\n 10, 20, 30, 40, 50, 60, 70, 80, 90, 100,\n 110, 120,\n"},
      {hflsbadblocks_req, "1", 0, 0, FAULT_DELAY, 0, "\n Found 0 bad blocks:\n\n"},
      {hflsbadblocks_req, "3", 0, REQ_FLBAD, FAULT_SHORT, 1, "\n Found 2 bad blocks:\n 7, 8,\n"},  // count 3, 2.5 words
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, " Error: too many flash chips for a bad block table (32)\n", &MANY},
      {hflsbadblockfile, "", 0, 0, FAULT_DELAY, 0, "....\n.", &MOST, "",
       T + "%DATA chip,badblock\n%COMMENT chip 0, nbad 12\n(0,\\d+\n){12}%COMMENT chip 1, nbad 0\n"
           "%COMMENT chip 2, nbad 0\n%COMMENT chip 3, nbad 199\n(3,\\d+\n){198}3,1990\n%ENDDATA\n"},
      {hflsbadblockfile, "", 0, REQ_TIMEREAD, FAULT_NOREPLY, 0, " Error: failed time read request with flag 0020\n..\n.",
       &TWO, "", "unknown\n%DATA chip,badblock\n%COMMENT chip 0, nbad 2\n0,5\n0,1021\n%COMMENT chip 1, nbad 0\n%ENDDATA\n"},
#ifdef __linux__  // a full disk
      {hflsbadblockfile, "", 1, 0, FAULT_DELAY, 0, ".\n Error: unable to write the bad block file " + NAME + "\n", &ONE,
       "/dev/full"},
#endif
  };
  // clang-format on
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.boardid[2] = 0x00A1, cfg.boardid[3] = 0x2B3C, cfg.chips = *c.chips;
    int tag = open(cfg);
    if (c.code) fault(tag, c.code, 0, c.kind, c.arg);
    if (c.code == REQ_CHIPCOUNT) vbus_tag_send(tag, REQ_CHIPCOUNT, "\x01\x02", 2, vbus_now_ms() + 1);
    remove(NAME.c_str());
#ifdef __linux__
    ASSERT_TRUE(!*c.link || symlink(c.link, (NAME + ".new").c_str()) == 0);  // the table is written beside
#endif
    keys(*c.typed ? std::string(c.typed) + "\r" : "");
    EXPECT_EQ(c.fn(), c.result) << c.want;
    EXPECT_EQ(err(), (*c.typed ? " Enter Chip\t\t" : "") + std::string(c.typed) + c.want);
    if (c.code == REQ_FLBAD) {
      EXPECT_EQ(hex(frames(tag).back()), hex(make_frame(REQ_FLBAD, {0, 3, 0, 0, 0, 0, 0, 0})));
    }
    EXPECT_TRUE(c.file.empty() || std::regex_match(file(NAME), std::regex(textmode(HEAD + c.file)))) << file(NAME);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(NAME + ".new"))) << "the new table left";
  }
}

}  // namespace
