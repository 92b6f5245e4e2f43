// Recordings against the emulated tag: the directory listing, offloads into
// recording files (checked byte for byte and with kvdcheck's reader), erases,
// recordings picked by number, the data directory and the firmware in flash.
#include <sys/stat.h>
#include <utime.h>

#include <array>
#include <bitset>
#include <filesystem>

#include "harness.h"
#include "host.h"
#include "hostflsh.h"
#include "kvdread.h"
#include "platform.h"
#include "utilities.h"

namespace {

using Rec = Harness;
const SimChip BIG = {0xD3, 4096, 64, 2048, {}}, EMPTY = {0, 0, 0, 0, {}};

// The page data the tag holds for pages 0..n-1 of each block, as an offload writes it.
Bytes flash(int tag, const std::vector<std::array<int, 3>> &blocks) {
  Bytes all;
  for (const auto &b : blocks)
    for (int p = 0; p < b[2]; p++) {
      Bytes pg = vbus_flash_page(tag, b[0], b[1], p);
      all.insert(all.end(), pg.begin(), pg.end());
    }
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
  return diritem{sc, sb, 0, ec, eb, 0, size, 1, 0};
}

// One offload per row, on a fresh tag: the requests, the console, and the file
// against the tag's pages and kvdcheck's reader.
TEST_F(Rec, OffloadFollowsTheTagAndKeepsTheFileHonest) {
  const std::string ONEBLOCK =
      "0:9:0+7 0:9:7+7 0:9:14+7 0:9:21+7 0:9:28+7 0:9:35+7 0:9:42+7 0:9:49+7 0:9:56+7 0:9:63+1 ";
  struct Case {
    std::vector<SimChip> chips;
    diritem r;
    int fnth;  // occurrence of the flash read that gets the fault fkind with farg
    FaultKind fkind;
    int farg, result;
    std::string reads, console;            // reads: the first flash reads; console: a part of what is shown
    int blocks;                            // completed blocks in the closed header; -1: header left open
    std::vector<std::array<int, 3>> data;  // chip, block, pages: what the file holds, in order
    // clang-format off
  } cases[] = {
      {{BIG}, range(0, 9, 0, 9), 0, FAULT_DELAY, 0, 0, ONEBLOCK, "\n Offloading to f.kvd\t  done  ", 1, {{0, 9, 64}}},
      // A key (pressed during the 12th read, which comes late) stops the offload after that reply.
      {{BIG}, range(0, 1, 0, 9, 2808000), 12, FAULT_DELAY, 100, 0, "",
       "\t01:00:00\b\b\b\b\b\b\b\b00:59:59\b\b\b\b\b\b\b\b  done  ", 1, {{0, 1, 64}, {0, 2, 14}}},
      {{BIG}, range(0, 9, 0, 9), 1, FAULT_FEWPAGES, 4, 0, "0:9:0+7 0:9:4+7 0:9:11+7 ", "", 1, {{0, 9, 64}}},
      {{BIG}, range(0, 1, 0, 3), 11, FAULT_SKIPBLOCK, 0, 0, "", "", 2, {{0, 1, 64}, {0, 3, 64}}},
      {{{0xD3, 4096, 64, 2048, {2}}}, range(0, 1, 0, 2), 0, FAULT_DELAY, 0, 0, "", "", 1, {{0, 1, 64}}},
      {{BIG}, range(0, 1, 0, 2), 12, FAULT_WRONGPAGE, 0, 1, "", " Error: out of sequence page received\n", -1,
       {{0, 1, 64}, {0, 2, 7}}},
      {{BIG}, range(0, 1, 0, 2), 2, FAULT_WRONGBLOCK, 0, 1, "", " Error: bad file descriptor received\n", -1, {{0, 1, 7}}},
      {{BIG}, range(0, 1, 0, 2), 2, FAULT_NOREPLY, 0, 1, "", " Error: failed read request with flag 0020\n", -1, {{0, 1, 7}}},
      {{BIG}, range(0, 1, 0, 2), 1, FAULT_SHORT, 1, 1, "", " Error: flash read reply holds 28671 bytes for pages 0 to 6\n",
       -1, {}},
      {{BIG}, range(0, 1, 0, 2), 3, FAULT_PAGEERRORS, 2, 0, "", "\n Warning: 1 blocks with unrecoverable errors\n", 2,
       {{0, 1, 64}, {0, 2, 64}}},
      {{{0xD3, 2, 64, 2048, {}}, EMPTY, {0xD3, 2, 64, 2048, {}}}, range(0, 1, 2, 0), 0, FAULT_DELAY, 0, 0, "", "", 2,
       {{0, 1, 64}, {2, 0, 64}}},
      {{{0xD3, 2, 64, 2048, {}}, EMPTY}, range(0, 1, 1, 0), 0, FAULT_DELAY, 0, 1, "", "", -1, {{0, 1, 64}}},
      {{{0xD3, 2, 64, 0, {}}}, range(0, 0, 0, 1), 0, FAULT_DELAY, 0, 1, "",
       " Error: chip 0 reports 64 pages of 0 words, which cannot be offloaded\n", -1, {}},
      {{BIG}, range(0, 1, 0, 1), 0, FAULT_DELAY, 0, 1, "",  // written to /dev/full
       "\n\n *** Fatal error saving file - check disk space ***\n\b\b\b\b\b\b\b\b  done  ", -2, {}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    TagConfig cfg;
    cfg.chips = c.chips;
    int tag = open(cfg);
    fault(tag, REQ_FLREAD, c.fnth, c.fkind, c.farg);
    if (c.r.size) keys_at(vbus_now_ms() + 50, "k");
    const char *path = c.blocks == -2 ? "/dev/full" : "f.kvd";
    EXPECT_EQ(run([&] { return hflsoffload(path, &c.r); }), c.result);
    if (c.r.size) {
      EXPECT_EQ(plat_getch(), 'k') << "the key is left for the menu";
    }
    std::string e = err(), reads = locs(payloads(tag, REQ_FLREAD));
    EXPECT_EQ(reads.substr(0, c.reads.size()), c.reads);
    EXPECT_NE(e.find(c.console), std::string::npos) << e;
    if (c.chips.size() > 1 && !c.chips[1].flashid) {
      EXPECT_NE(out().find(" skipping unpopulated chip 1\n"), std::string::npos);
    }
    if (c.blocks == -2) continue;
    std::string f = file(path);
    KvdInfo k;
    EXPECT_EQ(kvd_check_file(path, &k).empty(), c.blocks >= 0);
    EXPECT_EQ(k.closed ? (int)k.blocks : -1, c.blocks);
    if (k.closed) {  // the header ends where reading stopped: the last block read
      Bytes last = payloads(tag, REQ_FLREAD).back();
      EXPECT_EQ(std::make_pair(k.end_chip, k.end_block), std::make_pair((int)last[1], (last[2] << 8) | last[3]));
    }
    Bytes d = flash(tag, c.data);
    EXPECT_TRUE(d.size() < 8192 || !std::equal(d.begin(), d.begin() + 4096, d.begin() + 4096)) << "pages differ";
    EXPECT_EQ(f.size(), 42 + d.size() + (c.blocks >= 0 ? 2 : 0));
    EXPECT_TRUE(f.size() >= 42 && f.compare(42, d.size(), std::string(d.begin(), d.end())) == 0);
    if (c.blocks < 0) {
      EXPECT_EQ(f.substr(33, 9), std::string(9, '\0'));
    }
  }
}

// Erase requests of up to 20 blocks with the percentage drawn over itself.
TEST_F(Rec, EraseWalksTheRangeTwentyBlocksAtATime) {
  struct Case {
    diritem r;
    int nack;  // occurrence of the erase request answered with a nack
    std::string requests, console;
    // clang-format off
  } cases[] = {
      {range(0, 0, 0, 44), 0, "0:0:0+20 0:20:0+20 0:40:0+5 ", "00%\b\b\b44%\b\b\b88%\b\b\b100%"},
      {range(1, 7, 1, 7), 0, "1:7:0+1 ", "00%\b\b\b100%"},
      {range(0, 4090, 1, 3), 0, "0:4090:0+6 1:0:0+4 ", "00%\b\b\b200%\b\b\b100%"},
      {range(0, 0, 0, 44), 2, "0:0:0+20 0:20:0+20 ", "00%\b\b\b44%\n Error: incorrect response for flash clear 0xffff\n"},
      {range(0, 9, 0, 8), 0, "", "\n Error: the flash range ends before it starts\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    int tag = open();
    fault(tag, REQ_FLERASE, c.nack ? c.nack : -1, FAULT_NACK);
    EXPECT_EQ(eraseflash(&c.r), c.console.back() == '%' ? 0 : 1);
    EXPECT_EQ(locs(payloads(tag, REQ_FLERASE)), c.requests);
    EXPECT_EQ(err(), c.console);
  }
}

// The selection text against a directory of 12 entries.
TEST_F(Rec, SelectionText) {
  struct Case {
    const char *text;
    const char *picks;  // entries 12..1 as bits
    int outofrange;
    // clang-format off
  } cases[] = {
      {"1-6,8-10", "001110111111", 0}, {"3", "000000000100", 0},  {"6-2", "000000000010", 0},
      {"-4", "000000001000", 0},       {"4-", "000000000000", 1}, {"2,,5", "000000010010", 1},
      {"13", "000000000000", 1},       {"0", "000000000000", 1},  {"all", "111111111111", 0},
      {"A", "111111111111", 0},        {"x", "000000000000", 0},  {"", "000000000000", 0},
      {"1, 3", "000000000101", 0},     {"1;3", "000000000000", 1}, {"4294967297", "000000000000", 1},
      {"99999999999-3", "000000000100", 0},
  };
  // clang-format on
  HFLS_dirtab = (diritem *)calloc(12, sizeof(diritem));
  HFLS_nrecs = 12;
  for (const Case &c : cases) {
    keys(std::string(c.text) + "\r");
    int n = run([] { return selectfiles(1, 12); });
    std::bitset<12> got;
    for (int i = 0; i < 12; i++) got[i] = HFLS_dirtab[i].tag == 1;
    EXPECT_EQ(got.to_string(), c.picks) << c.text;
    EXPECT_EQ(n, (int)got.count()) << c.text;
    std::string e = err();
    size_t oor = 0;
    for (size_t p = 0; (p = e.find("File number out of range\n", p)) != std::string::npos; p++) oor++;
    EXPECT_EQ((int)oor, c.outofrange) << c.text;
  }
}

// Both listing forms from a directory held by the host: sizes and units,
// types, the fragments warning and the cut-short line; then the directory
// as the tag sends it.
TEST_F(Rec, DirectoryListing) {
  HFLS_dirtab = (diritem *)calloc(3, sizeof(diritem));
  HFLS_dirtab[0] = {1, 7, 0x4F7A2B00, 1, 9, 0x4F7A3910, 999, 1, 0};
  HFLS_dirtab[1] = {0, 41, 0, 0, 43, 0, 1000, 0, 0};
  HFLS_dirtab[2] = {2, 0, 0x10, 2, 1, 0x20, -5, 7, 0};
  HFLS_nrecs = 3;
  HFLS_flag = 1;
  mbfree = 65536;
  EXPECT_EQ(showdirtab(0), 3);
  EXPECT_EQ(
      err(),
      " File\tStart time\t\t\tEnd time\t\tSize\n 001\t22:41:04 2-Apr-2012 UTC - 23:41:04 2-Apr-2012 UTC\t999.0 kB\n"
      " 65536 MB free\n Warning: file system contains fragments - use EXPERT mode\n"
      " Too many files on device - unable to show all\n");
  HFLS_dirtab[0].size = 1234;
  EXPECT_EQ(showdirtab(1), 3);
  EXPECT_EQ(err(),
            " File\tStarts\tEnds\tTime code\t\t\tSize\n 001\t1:0007\t1:0009\t4f7a2b00 - 4f7a3910\t1.2 MB\n"
            " 002\t0:0041\t0:0043\t00000000 - 00000000\t1.0 MB\tfragment\n"
            " 003\t2:0000\t2:0001\t00000010 - 00000020\t0.0 kB\tunknown file type\n 65536 MB free\n"
            " Too many files on device - unable to show all\n");
  EXPECT_TRUE(getdiritem(-1) == nullptr && getdiritem(3) == nullptr);

  // The directory and free memory as the tag sends them; a second listing is
  // served from memory.
  struct Case {
    int entries, dir_max, mbfree, fcode;  // fcode's first request gets fkind with farg
    FaultKind fkind;
    int farg, result;
    std::string console;
    // clang-format off
  } cases[] = {
      {0, 9, 5, 0, FAULT_DELAY, 0, 0, " No files on device\n 5 MB free\n"},
      {2, 1, -1, 0, FAULT_DELAY, 0, 1, " -1 MB free\n Too many files on device - unable to show all\n"},
      {1, 9, 5, REQ_DIR, FAULT_SHORT, 12, 1, " Bad dir message received from host\n"},
      {1, 9, 5, REQ_DIR, FAULT_WRONGCODE, 0x305, 1, " Bad dir response 0x0305d\n"},
      {1, 9, 5, REQ_DIR, FAULT_NOREPLY, 0, 1, " Error: failed dir request with flag 0020, -110 0 0 0\n"},
      {1, 9, 5, REQ_FREEMEM, FAULT_SHORT, 1, 1, " Bad Flash MBFREE response 0x0307d:3\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.recordings.assign(c.entries, SimRecording{0, 10, 0, 10});
    cfg.dir_max = c.dir_max;
    cfg.mbfree = c.mbfree;
    int tag = open(cfg);
    fault(tag, c.fcode, 1, c.fkind, c.farg);
    freedirtab();
    EXPECT_EQ(showdirtab(1), c.result);
    std::string e = err();
    EXPECT_NE(e.find(c.console), std::string::npos) << e;
    showdirtab(1);
    EXPECT_EQ(payloads(tag, REQ_DIR).size(), c.fcode == REQ_DIR ? 2u : 1u) << e;
  }
}

// Typed and remembered data directories.
TEST_F(Rec, DataDirectory) {
  struct Case {
    const char *typed, *saved;  // a line typed at setdatadir, else _datadir.txt to load ("<none>": missing)
    const char *dir, *console;
    // clang-format off
  } cases[] = {
      {"data", nullptr, "data/", ""},
      {"nofolder/sub", nullptr, "", " Cannot find or make directory 'nofolder/sub/'\n"},
      {nullptr, "logs", "logs/", ""},
      {nullptr, "<none>", "logs/", ""},
      {nullptr, "a/b/", "", " Cannot find or make directory 'a/b/'\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    if (c.typed) keys(std::string(c.typed) + "\r");
    if (c.saved) file("_datadir.txt", c.saved);
    EXPECT_EQ(c.typed ? run(setdatadir) : loaddatadir(), c.saved && !strcmp(c.saved, "<none>") ? 1 : 0);
    std::string prompt = c.typed ? " Enter data directory name\t\t" + std::string(c.typed) + "\n" : "";
    EXPECT_EQ(err(), prompt + c.console);
    EXPECT_EQ(std::string(DATA_DIR), c.dir);
    EXPECT_TRUE(!*c.dir || std::filesystem::is_directory(c.dir)) << c.dir;
  }
  EXPECT_EQ(savedatadir(), 0);
  EXPECT_EQ(file("_datadir.txt"), "");
}

// Recording file names from the data directory, the base and the number.
TEST_F(Rec, RecordingFileNames) {
  struct Case {
    std::string dir, picks, name, console;
    // clang-format off
  } cases[] = {
      {"data/", "7", "data/rec007.kvd", ""},
      {"data/", "1234", "data/rec1234.kvd", ""},
      {std::string(197, 'd') + "/", "1", "", "\n Error: the file name for recording 1 would be 208 characters, more than 207\n"},
  };
  // clang-format on
  TagConfig cfg;
  cfg.chips = {{0xD3, 2048, 1, 64, {}}};
  cfg.dir_max = 2000;
  cfg.recordings.clear();
  for (int i = 1; i <= 1234; i++) cfg.recordings.push_back(SimRecording{0, (uint16_t)i, 0, (uint16_t)i});
  std::filesystem::create_directory("data");
  for (const Case &c : cases) {
    int tag = open(cfg);
    freedirtab();
    snprintf(DATA_DIR, sizeof DATA_DIR, "%s", c.dir.c_str());
    keys(c.picks + "\rrec\r");
    EXPECT_EQ(run([] { return hflsoffloadrec_req(1); }), c.name.empty() ? 1 : 0);
    EXPECT_NE(err().find(c.console), std::string::npos);
    KvdInfo k;
    EXPECT_TRUE(c.name.empty() || (kvd_check_file(c.name, &k).empty() && k.start_block == std::stoi(c.picks)))
        << c.name;
    EXPECT_EQ(payloads(tag, REQ_FLREAD).size(), c.name.empty() ? 0u : 1u);
  }
}

// A firmware header page: marker, load and file times, name length, name.
Bytes fwpage(uint32_t loaded, uint32_t modified, int namelen, const std::string &name) {
  Bytes p(4096, 0);
  const uint32_t w[6] = {FW_MARKER,      loaded >> 16,      loaded & 0xFFFF,
                         modified >> 16, modified & 0xFFFF, (uint32_t)namelen};
  bunpack(p.data(), w, 6);
  std::copy(name.begin(), name.end(), p.begin() + 12);
  return p;
}

// Firmware download: the erase, then the file in pages behind its header;
// and the check that reads the header back.
TEST_F(Rec, FirmwareDownloadAndCheck) {
  int tag = open();
  std::string data;
  for (int i = 0; i < 10000; i++) data += (char)(i * 7 + 3);
  file("tag.bin", data);
  struct utimbuf ut = {1315569600, 1315569600};  // 12:00:00 9-Sep-2011 UTC
  ASSERT_EQ(utime("tag.bin", &ut), 0);
  keys("tag.bin\r");
  EXPECT_EQ(run(sendcode), 0);
  EXPECT_EQ(err(), " Filename?\t\t\ttag.bin\n Erasing code space 00%\b\b\b100%\n writing to FLASH...\n");
  EXPECT_EQ(locs(payloads(tag, REQ_FLERASE)), "0:0:0+1 ");
  std::vector<Bytes> w = payloads(tag, REQ_FLWRITE);
  ASSERT_EQ(locs(w), "0:0:0+1 0:0:1+1 0:0:2+1 ");
  Bytes want = fwpage(char2long(w[0].data() + 10), 1315569600, 8, "tag.bin"), sent;
  want.resize(20);
  want.insert(want.end(), data.begin(), data.end());
  want.resize(3 * 4096);
  for (const Bytes &p : w) sent.insert(sent.end(), p.begin() + 8, p.end());
  EXPECT_EQ(sent, want);

  struct Case {
    Bytes page;
    std::string console;
    // clang-format off
  } cases[] = {
      {fwpage(1330590605, 1315569600, 8, "tag.bin"),
       "Current firmware:\ttag.bin\nFile last modified:\t12:00:00 9-Sep-2011 UTC\nLoaded:\t\t\t08:30:05 1-Mar-2012 UTC\n"},
      {fwpage(1, 1, 8, "data.binX"), "Current firmware:\tdata.bin\n"},
      {fwpage(1, 1, 250, std::string(250, 'n')), "Current firmware:\t" + std::string(250, 'n') + "\n"},
      {fwpage(1, 1, 251, "x"), "Corrupt firmware\n"},
      {Bytes(4096, 0xFF), "No executable firmware loaded\n"},
  };
  // clang-format on
  for (const Case &c : cases) {
    const uint32_t loc[4] = {0, 0, 0, 1};
    std::copy(c.page.begin(), c.page.end(), bunpack(getbuff(), loc, 4));
    MessRec rec;
    ASSERT_TRUE(sendreq(REQ_FLWRITE, 8 + 4096) == 0 && getmess(&rec, TMO_REPLY) == 0 && rec.cmd == MSG_ACK);
    EXPECT_EQ(checkcode(), 0);
    EXPECT_EQ(err().substr(0, c.console.size()), c.console);
  }
  fault(tag, REQ_FLREAD, 0, FAULT_SKIPBLOCK);
  EXPECT_EQ(checkcode(), 1);
  EXPECT_EQ(err(), " Error: bad file descriptor received\n");

  TagConfig small;
  small.chips = {{0xD3, 8, 4, 8, {}}};  // 16-byte pages: no room for the header and name
  open(small);
  keys("tag.bin\r0 0 0\r");
  EXPECT_EQ(run(hflswrite_req), 1);
  EXPECT_NE(err().find(" Error: a flash page of 8 words cannot hold the firmware header\n"), std::string::npos);
}

// What a newcomer does: set the data directory, list, offload two
// recordings, erase them, list again; the folder is remembered.
TEST_F(Rec, SessionOffloadsAndErasesRecordings) {
  TagConfig cfg;
  int tag = attach(cfg);
  // A key waiting stops an offload or erase, so each action's keys come later.
  keys(
      "5data\r"
      "1"
      "21,3\rrec\r");
  keys_at(100000, "3Y3y1,3\r");  // only a lower-case y erases
  keys_at(200000, "1q");
  EXPECT_EQ(run([&] { return host(find(tag)); }), 1);
  for (const char *name : {"data/rec001.kvd", "data/rec003.kvd"}) {
    KvdInfo k;
    const SimRecording &r = cfg.recordings[name[10] - '1'];
    EXPECT_TRUE(kvd_check_file(name, &k).empty()) << name;
    EXPECT_EQ(std::make_tuple(k.id[2], k.start_block, k.end_block, (int)k.blocks),
              std::make_tuple(cfg.boardid[2], (int)r.startblock, (int)r.endblock, r.endblock - r.startblock + 1));
  }
  EXPECT_EQ(file("_datadir.txt"), "data/");
  EXPECT_EQ(payloads(tag, REQ_DIR).size(), 2u) << "listed once, then again after the erase";
  EXPECT_EQ(vbus_flash_dir(tag).size(), cfg.recordings.size() - 2);
}
}  // namespace
