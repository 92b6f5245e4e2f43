// The failure matrix: every way an operation can fail, one row each (a
// failure another test already shows whole, such as a frame the menu's poll
// finds spoilt or the retry question, has no row), in a whole session against
// the emulated tag with the fault injected: the text shown (exactly once), the
// session going on (the menu drawn after it), and what is left behind. Then
// the time-outs each exchange is given, the tag vanishing in the middle of
// each long operation, a disk that fills up, and bad typing at every prompt.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "boot.h"
#include "harness.h"
#include "host.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kovacfg.h"
#include "kvdread.h"
#include "params.h"
#include "platform.h"

using namespace std::string_literals;

namespace {

const char MSP_IMAGE[] = "@F000\n31 40 00 04 B2 40 80 5A 20 01 D2 D3 22 00 FF 3F\n@FFFE\n00 F0\nq\n";
const char MENU[] = " Select an action... ";
const char GONE[] = "\n Error: device is no longer connected\n";

struct Faults : Harness {
  int tag = -1;
  void F(int code, int nth, FaultKind kind, int arg = 0) { fault(tag, code, nth, kind, arg); }
  std::string text;  // the whole console text of the row's session
  TagConfig &cfg() { return vbus_tag_config(tag); }
  // The tag replaced by one that starts otherwise.
  void renew(void (*change)(TagConfig &c)) {
    TagConfig c = cfg();
    change(c);
    vbus_detach(tag);
    tag = attach(c);
  }
  // How many requests with this code the tag received.
  size_t got(int code) { return payloads(tag, code).size(); }
};

// A bad-block table file already there; and it kept, nothing beside it.
void oldtable(Faults &) { Harness::file("badblocks_4B33_0A17.txt", "old"); }
void oldkept(Faults &) {
  EXPECT_EQ(Harness::file("badblocks_4B33_0A17.txt"), "old");
  EXPECT_EQ(Harness::file("badblocks_4B33_0A17.txt.new"), "<none>");
}

// How a row runs: a session with the tag, or the whole program.
// A message at the end of a session (at its quit or after it) has no menu
// after it: HOST_END.
enum Runner { HOST, HOST_END, PARAMS, PROGRAM };

// A row: what fails (its name, for --gtest_filter='Faults/*/NAME');
// the fault ({request code, occurrence (0: every), kind, argument}; none
// without); the keys typed (after a '~' typed 10 s on; the row adds the quit
// a minute on); the text shown exactly once ("" checks only the rest); other
// faults, settings and files (the session starts in the expert menu); the
// result (host(): 1 quit, 0 search again; the program: its own); the checks
// of what is left behind; and how the row runs.
struct Row {
  const char *what;
  Fault fault = {-1};
  std::string keys{}, shown{};
  void (*setup)(Faults &t) = nullptr;
  int result = 1;
  void (*left)(Faults &t) = nullptr;
  Runner runner = HOST;
};

// MinGW's g++ at -O3 takes the rows' default Fault::text for uninitialised
// (a false alarm: every member has an initialiser).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// clang-format off
const Row ROWS[] = {
  // ---- The tag vanishing mid-operation: no hang, said once, the search again ----
  {.what = "vanishing: offload keeps the open header", .fault = {REQ_FLREAD, 3, FAULT_VANISH},
   .keys = "9x.kvd\r0 6\r0 7\r", .shown = GONE, .result = 0, .left = [](Faults &) {
     KvdInfo k;
     EXPECT_FALSE(kvd_check_file("x.kvd", &k).empty());
     EXPECT_TRUE(k.header);
     EXPECT_FALSE(k.closed);
     EXPECT_EQ(k.blocks, 0);
     EXPECT_GT(k.data_bytes, 0);
   }},
  {.what = "vanishing: the library answers an I/O error, as on Windows", .fault = {REQ_FLREAD, 3, FAULT_VANISH},
   .keys = "9x.kvd\r0 6\r0 7\r", .shown = GONE, .setup = [](Faults &) { vbus_gone_error(-EIO); }, .result = 0},
  {.what = "vanishing: erase by recording", .fault = {REQ_FLERASE, 1, FAULT_VANISH}, .keys = "gy1\ry", .shown = GONE,
   .result = 0},
  {.what = "vanishing: firmware download", .fault = {REQ_FLWRITE, 2, FAULT_VANISH}, .keys = "i7fw.bin\r", .shown = GONE,
   .result = 0},
  {.what = "vanishing: EEPROM file write", .fault = {REQ_EEWRITE, 2, FAULT_VANISH}, .keys = "6e.bin\r100\r",
   .shown = GONE, .result = 0},
  {.what = "vanishing: MSP programming", .fault = {REQ_MSPBSL, 3, FAULT_VANISH}, .keys = "mfw.txt\r", .shown = GONE,
   .result = 0},
  {.what = "vanishing: resynchronisation", .fault = {REQ_SYNC, 2, FAULT_VANISH}, .shown = GONE, .result = 0},
  {.what = "vanishing: a request, then the idle loop", .fault = {REQ_BOARDID, 2, FAULT_VANISH}, .keys = "0",
   .shown = GONE, .result = 0},

  // ---- Finding and claiming the tag, the boot image ----
  {.what = "open fails", .shown = " USB error: cannot open device\n\n", .setup = [](Faults &t) { vbus_detach(t.tag); },
   .result = 0},
  {.what = "set configuration fails", .shown = " USB error in set configuration: -5\n",
   .setup = [](Faults &t) { t.cfg().refuse = REFUSE_SETCONF; }, .result = 0,
   .left = [](Faults &) { EXPECT_EQ(vbus_events().back().kind, EV_CLOSE); }},
  {.what = "release fails", .shown = "Failed on releasing USB interface\n",
   .setup = [](Faults &t) { t.cfg().refuse = REFUSE_RELEASE; },
   .left = [](Faults &) { EXPECT_EQ(vbus_events().back().kind, EV_CLOSE); }, .runner = HOST_END},
  {.what = "close fails", .shown = "Failed on closing USB interface\n",
   .setup = [](Faults &t) { t.cfg().refuse = REFUSE_CLOSE; }, .runner = HOST_END},
  {.what = "boot image missing", .shown = " Error: cannot open file _boot.bin\n",
   .setup = [](Faults &t) { t.renew([](TagConfig &c) { c.bootloader = 1; }); }, .result = 0, .runner = PROGRAM},
  {.what = "boot chunk not written", .shown = "Error in USB bulk write\n", .setup = [](Faults &t) {
     t.renew([](TagConfig &c) { c.bootloader = 1;
     c.refuse = REFUSE_BOOT;
     });
     Harness::file(BOOTFILE, std::string(100, 'b'));
   }, .result = 0, .runner = PROGRAM},
  {.what = "boot image never starts the tag: asked, n leaves", .keys = "~n",
   .shown = " Tag is still in its boot loader: try again? y/n\n",
   .setup = [](Faults &t) { t.renew([](TagConfig &c) { c.bootloader = 1; }); Harness::file(BOOTFILE, ""); },
   .result = -1,
   .left = [](Faults &t) {
     EXPECT_EQ(vbus_boot_chunks(t.tag).size(), 0u);
     EXPECT_EQ(count(t.text, " rebooting..."), 1u);
   },
   .runner = PROGRAM},

  // ---- The session ----
  {.what = "identification fails: type kept, no configure key", .keys = "ic",
   .shown = " Error: failed board soc request with flag 0020\n",
   .setup = [](Faults &t) { t.F(REQ_SOC, 1, FAULT_NOREPLY); devtype = 2; },
   .left = [](Faults &) { EXPECT_EQ(devtype, 2); EXPECT_EQ(mode, 0); }},
  {.what = "silent tag: abandoned, asked, n leaves", .keys = "~n", .shown = "\n K3 not answering: try again? y/n\n",
   .setup = [](Faults &t) { t.F(REQ_SYNC, 0, FAULT_NOREPLY); t.keys_at(5000, " "); }, .result = -1},
  {.what = "clock not set at quit", .fault = {REQ_TIMESET, 0, FAULT_WRITEFAIL}, .keys = "i",
   .shown = " Error: the tag's clock was not set\n", .runner = HOST_END},

  // ---- Transport ----
  {.what = "request not written", .fault = {REQ_BOARDID, 2, FAULT_WRITEFAIL}, .keys = "0",
   .shown = " Error in bulk write -5\n Error sending command - try again\n"},
  {.what = "zero-length packet rejected", .fault = {REQ_EEWRITE, 0, FAULT_ZLPFAIL}, .keys = "6z.bin\r100\r",
   .shown = " Error in bulk write - retrying\n"},
  {.what = "negative acknowledge", .fault = {REQ_BOARDID, 2, FAULT_NACK}, .keys = "0",
   .shown = "\n Error: received negative acknowledge\n"},

  // ---- Board commands ----
  {.what = "board id not sent", .fault = {REQ_BOARDID, 1, FAULT_WRITEFAIL},
   .shown = " Error: write to device failed with flag 0001\n"},
  {.what = "board id cut short", .fault = {REQ_BOARDID, 1, FAULT_SHORT, 2},
   .shown = " Board ID response length bad (8:10)\n"},
  {.what = "battery reply of another code", .fault = {REQ_SOC, 1, FAULT_WRONGCODE, 7},
   .shown = " Response bad 0007, 6 bytes\n"},
  {.what = "clock read not sent", .fault = {REQ_TIMEREAD, 0, FAULT_WRITEFAIL}, .keys = "2",
   .shown = " Error: write to device failed with flag 0001\n"},
  {.what = "clock read: error report", .fault = {REQ_TIMEREAD, 0, FAULT_ERROR, 5}, .keys = "2",
   .shown = " Board time response error code 0005\n"},
  {.what = "clock read: nack", .fault = {REQ_TIMEREAD, 0, FAULT_NACK}, .keys = "2",
   .shown = " Board time response error ffff\n"},
  {.what = "clock read cut short", .fault = {REQ_TIMEREAD, 0, FAULT_SHORT, 4}, .keys = "2",
   .shown = " Board time response length bad (4:8)\n"},
  {.what = "battery not sent: the transport's line alone", .fault = {REQ_SOC, 2, FAULT_WRITEFAIL}, .keys = "4",
   .shown = " Error in bulk write -5\n\n"},
  {.what = "reboot refused", .keys = "iqy", .shown = "\nUnable to send reboot command\n",
   .setup = [](Faults &t) { t.cfg().devtype = 1; t.F(REQ_REBOOT, 0, FAULT_NACK); }, .runner = HOST_END},

  // ---- EEPROM and configuration ----
  {.what = "EEPROM range typed as letters", .keys = "5x 2\r", .shown = "Input values must be numbers - try again\n"},
  {.what = "EEPROM file missing", .keys = "6nofile\r", .shown = " Error: unable to open file nofile\n"},
  {.what = "configured check unanswered: no offer", .shown = " Error: failed eeprom read request with flag 0020\n",
   .setup = [](Faults &t) {
     t.cfg().eeprom_blank = 1;
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     t.F(REQ_EEREAD, 1, FAULT_NOREPLY);
   }, .left = [](Faults &t) { EXPECT_EQ(count(t.text, "configure now"), 0u); }},
  {.what = "configured check: bad reply", .fault = {REQ_EEREAD, 1, FAULT_SHORT, 1},
   .shown = " Bad eeprom read response 0x0101\n"},
  {.what = "bad-block table refused: no boot code, not configured", .keys = "y",
   .shown = " EEPROM write response bad ffff\n Error writing bad block table to EEPROM\n",
   .setup = [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); t.F(REQ_EEWRITE, 1, FAULT_NACK); },
   .left = [](Faults &t) {
     EXPECT_EQ(count(t.text, "Installing"), 0u);
     EXPECT_EQ(t.ee(t.tag, 0x6000, 2), (Bytes{0xFF, 0xFF}));
   }},
  {.what = "no boot code file: table made, tag not configured", .keys = "y",
   .shown = " Error: unable to find file _reboot.bin\n",
   .setup = [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); }, .left = [](Faults &t) {
     EXPECT_EQ(t.ee(t.tag, 0x6000, 2), (Bytes{0xFF, 0xFF}));
     EXPECT_NE(Harness::file("badblocks_4B33_0A17.txt"), "<none>");
   }},
  {.what = "EEPROM file write stops at a failed send, the chunk before kept",
   .fault = {REQ_EEWRITE, 2, FAULT_WRITEFAIL}, .keys = "6e.bin\r100\r", .shown = " Error in bulk write -5\n",
   .left = [](Faults &t) { EXPECT_EQ(t.ee(t.tag, 163, 2), (Bytes{0x65, 0xFF})); }},

  // ---- Parameter store ----
  {.what = "store: chip count 0", .keys = "w", .shown = "\n Error: cannot read number of chips in device\n",
   .setup = [](Faults &t) { t.cfg().chips.clear(); }},
  {.what = "store: no table file", .keys = "w", .shown = "\n Error: unable to find the bad block file\n"},
  {.what = "store: magic not written", .keys = "w",
   .shown = " Error: failed eeprom write request with flag 0020\n failed writing to eeprom\n",
   .setup = [](Faults &t) {
     Harness::file("badblocks_4B33_0A17.txt", "0,5\n%ENDDATA\n");
     t.F(REQ_EEWRITE, 1, FAULT_NOREPLY);
   }},
  {.what = "parameters: file missing", .shown = "unable to open parameter file _paramstemp.txt for reading\n",
   .runner = PARAMS},
  {.what = "parameters: garbled line", .shown = "error reading parameter file\nError writing parameter to eeprom\n",
   .setup = [](Faults &) { Harness::file(PARAMSTEMP, "5x\n"); }, .runner = PARAMS},
  {.what = "parameters: id or size too big",
   .shown = "parameter id or size too big (300:1)\nError writing parameter to eeprom\n",
   .setup = [](Faults &) { Harness::file(PARAMSTEMP, "300,1,7\n"); }, .runner = PARAMS},
  {.what = "parameters: a word missing", .shown = "error reading parameter file\n",
   .setup = [](Faults &) { Harness::file(PARAMSTEMP, "5,2,1\n"); }, .runner = PARAMS},
  {.what = "parameters: walk unanswered", .shown = " Error: failed eeprom read request with flag 0020\n",
   .setup = [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.F(REQ_EEREAD, 1, FAULT_NOREPLY); },
   .runner = PARAMS},
  {.what = "parameters: no bad-block table first", .shown = "Error: no bad block table in eeprom\n",
   .setup = [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.ee_put(t.tag, 0x6002, {7, 1, 0, 9, 0xFF, 0xFF}); },
   .runner = PARAMS},
  {.what = "parameters: record not written", .shown = "Error writing parameter to eeprom\n",
   .setup = [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.F(REQ_EEWRITE, 1, FAULT_NOREPLY); },
   .runner = PARAMS},

  // ---- Data directory ----
  {.what = "no settings file: silent", .left = [](Faults &t) {
     EXPECT_EQ(DATA_DIR[0], 0); EXPECT_EQ(t.text.find(" Cannot"), std::string::npos); }},
  {.what = "data directory under a missing folder", .keys = "hno/such\r",
   .shown = " Cannot find or make directory 'no/such/'\n", .left = [](Faults &) { EXPECT_EQ(DATA_DIR[0], 0); }},
  {.what = "data directory that cannot be written: refused, the old one kept", .keys = "hf\r",
   .shown = " Cannot write to directory 'f/': ",
   .setup = [](Faults &) { Harness::file("f", "a file"); Harness::file(DATA_DIR_FILE, "logs\n"); },
   .left = [](Faults &) { EXPECT_EQ(std::string(DATA_DIR), "logs/"); }},
// an editor's line break is no part of the name
  {.what = "data directory name too long: refused", .keys = "h" + std::string(199, 'd') + "\r",
   .shown = " Error: a folder name may have at most 198 characters; the data directory is unchanged\n",
   .left = [](Faults &) { EXPECT_EQ(DATA_DIR[0], 0); }},
  {.what = "settings file cannot be made: silent", .keys = "hd\r",
   .setup = [](Faults &t) { (void)t; plat_mkdir(DATA_DIR_FILE); },
   .left = [](Faults &t) { EXPECT_EQ(count(t.text, "Problem"), 0u); EXPECT_NE(t.text.find(MENU), std::string::npos); }},
#ifdef __linux__
  {.what = "settings file short", .keys = "hd\r", .shown = " Problem saving a settings file\n",
   .setup = [](Faults &) { (void)!symlink("/dev/full", DATA_DIR_FILE); }, .runner = HOST_END},
#endif

  // ---- Flash chips and bad blocks ----
  {.what = "chip typed as letters", .keys = "8x\r", .shown = "Input values must be numbers\n"},
  {.what = "chip geometry cut short", .fault = {REQ_FLGEOM, 0, FAULT_SHORT, 2}, .keys = "80\r",
   .shown = " Bad Flash ID response 0x00d3\n"},
  {.what = "chip count: error report", .fault = {REQ_CHIPCOUNT, 0, FAULT_ERROR, 5}, .keys = "80\r",
   .shown = " Bad Flash ID response 0xfffd : 0x0005\n"},
  {.what = "too many bad blocks", .keys = "c0\r", .shown = " Too many bad blocks (", .setup = [](Faults &t) {
     t.renew([](TagConfig &c) { for (int b = 0; b < 201; b++) c.chips[0].bad.push_back((uint16_t)(100 + b)); });
   }},
  {.what = "chip count not sent", .fault = {REQ_CHIPCOUNT, 0, FAULT_WRITEFAIL}, .keys = "80\r",
   .shown = " Error: write to device failed with flag 0001\n"},
  {.what = "chip count unanswered", .fault = {REQ_CHIPCOUNT, 0, FAULT_NOREPLY}, .keys = "80\r",
   .shown = " Error: failed ID request with flag 0020\n"},
  {.what = "negative chip", .keys = "8-1\r", .shown = " Error: requested chip doesn't exist\n"},
  {.what = "chip geometry unanswered", .fault = {REQ_FLGEOM, 0, FAULT_NOREPLY}, .keys = "80\r",
   .shown = " Error: failed ID request with flag 0020\n"},
  {.what = "bad blocks unanswered", .fault = {REQ_FLBAD, 0, FAULT_NOREPLY}, .keys = "c0\r",
   .shown = " Error: failed bad block request with flag 0020\n"},
  {.what = "bad-block table file cannot be made: the tag configured all the same", .keys = "y",
   .shown = "\n Error: unable to open a file for writing\n", .setup = [](Faults &t) {
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     plat_mkdir("badblocks_4B33_0A17.txt.new");
     Harness::file(REBOOTFILE, "kk");
   }, .left = [](Faults &t) {
     EXPECT_EQ(t.ee(t.tag, 0x6000, 2), (Bytes{0x5A, 0x13}));
     EXPECT_EQ(t.ee(t.tag, 0, 1), Bytes{'k'});
   }},
  {.what = "bad-block table: EEPROM write fails, the old file kept", .fault = {REQ_EEWRITE, 2, FAULT_NACK}, .keys = "d",
   .shown = " Error writing bad block table to EEPROM\n", .setup = oldtable, .left = oldkept},

  // ---- Recording directory and firmware check ----
  {.what = "directory of another code", .fault = {REQ_DIR, 0, FAULT_WRONGCODE, 0x305}, .keys = "e",
   .shown = " Bad dir response 0x0305d\n"},
  {.what = "free memory cut short", .fault = {REQ_FREEMEM, 0, FAULT_SHORT, 1}, .keys = "e",
   .shown = " Bad Flash MBFREE response 0x0307d:3\n"},
  {.what = "directory cut part-way through an entry", .fault = {REQ_DIR, 0, FAULT_SHORT, 5}, .keys = "e",
   .shown = " Warning: the directory from the device ends part-way through an entry: the listing is incomplete\n"},
  {.what = "firmware page skipped", .fault = {REQ_FLREAD, 1, FAULT_SKIPBLOCK}, .keys = "i8",
   .shown = " Error: bad file descriptor received\n"},
  {.what = "firmware name too long", .keys = "i8", .shown = "Corrupt firmware\n",
   .setup = [](Faults &t) { t.renew([](TagConfig &c) { c.firmware_name = std::string(251, 'n'); }); }},
  {.what = "directory not sent", .fault = {REQ_DIR, 0, FAULT_WRITEFAIL}, .keys = "e",
   .shown = " Error: write to device failed with flag 0001\n", .left = [](Faults &) { EXPECT_EQ(HFLS_nrecs, -1); }},
  {.what = "directory unanswered", .fault = {REQ_DIR, 0, FAULT_NOREPLY}, .keys = "e",
   .shown = // the time-out's number is the system's
   " Error: failed dir request with flag 0020, " + std::to_string(-ETIMEDOUT) + " 0 0 0\n",
   .left = [](Faults &t) { EXPECT_EQ(HFLS_nrecs, -1); EXPECT_EQ(count(t.text, " MB free"), 0u); }},
  {.what = "free memory unanswered", .fault = {REQ_FREEMEM, 0, FAULT_NOREPLY}, .keys = "e",
   .shown = " Error: failed ID request with flag 0020\n"},
  {.what = "free memory unknown: not an error", .keys = "e", .shown = " -1 MB free\n",
   .setup = [](Faults &t) { t.cfg().mbfree = -1; }},
  {.what = "firmware page unanswered", .fault = {REQ_FLREAD, 0, FAULT_NOREPLY}, .keys = "i8",
   .shown = " Error: failed read request with flag 0020\n"},
  {.what = "no firmware", .keys = "i8", .shown = "No executable firmware loaded\n",
   .setup = [](Faults &t) { t.renew([](TagConfig &c) { c.firmware_name = ""; }); }},

  // ---- Offload ----
  {.what = "offload: file cannot be made", .keys = "9x.kvd\r0 1\r0 1\r", .shown = "Cannot write header to file x.kvd: ",
   .setup = [](Faults &) { plat_mkdir("x.kvd"); }, .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLREAD), 0u); }},
  {.what = "offload: identity unreadable: no stub left", .fault = {REQ_BOARDID, 2, FAULT_NOREPLY},
   .keys = "9x.kvd\r0 1\r0 1\r", .shown = "Cannot write header to file x.kvd: the tag's identity could not be read\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLREAD), 0u); EXPECT_EQ(Harness::file("x.kvd"), "<none>"); }},
  {.what = "offload: unpopulated chip past the end", .keys = "9x.kvd\r1 1\r1 2\r",
   .shown = " skipping unpopulated chip 1\n",
   .setup = [](Faults &t) { t.renew([](TagConfig &c) { c.chips[1].flashid = 0; }); }},
  {.what = "offload: read not sent", .fault = {REQ_FLREAD, 0, FAULT_WRITEFAIL}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = "\n Offloading to x.kvd\t00:00:00 Error in bulk write -5\n Error: write to device failed with flag 0001\n"},
  {.what = "offload: reply of another code", .fault = {REQ_FLREAD, 1, FAULT_WRONGCODE, 7}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = " Error: incorrect response for flash read 0x0007, "},
  {.what = "offload: another block", .fault = {REQ_FLREAD, 1, FAULT_WRONGBLOCK}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = " Error: bad file descriptor received\n"},
  {.what = "offload: out of sequence", .fault = {REQ_FLREAD, 1, FAULT_WRONGPAGE}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = " Error: out of sequence page received\n"},
#ifdef __linux__
  {.what = "offload: disk full", .keys = "9/dev/full\r0 1\r0 1\r",
   .shown = "\n\n *** Fatal error saving file - check disk space ***\n\n Offload failed after 0 of 1 blocks: "
            "/dev/full holds 0.0 MB and is not a whole recording\n",
   .left = [](Faults &t) { EXPECT_EQ(count(t.text, "done"), 0u); }},
  {.what = "offload: the header cannot be sought", .shown = " error seeking to file header\n", .setup = [](Faults &t) {
     // A pipe takes the data but cannot seek back to complete the header.
     static int fd[2];
     if (pipe(fd) == 0) fcntl(fd[1], F_SETPIPE_SZ, 1 << 20), t.files_ += 2;  // the test's own, not a leak
     t.keys("9/proc/self/fd/" + std::to_string(fd[1]) + "\r0 1\r0 1\r");
   }},
#endif
  {.what = "offload: unrecoverable errors", .fault = {REQ_FLREAD, 1, FAULT_PAGEERRORS, 2}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = "\n Warning: 1 blocks with unrecoverable errors\n"},
  {.what = "offload: letters typed", .keys = "9x.kvd\r0 x\r", .shown = "\n Input values must be numbers\n",
   .left = [](Faults &) { EXPECT_EQ(Harness::file("x.kvd"), "<none>"); }},
  {.what = "offload: no memory information", .fault = {REQ_FLGEOM, 1, FAULT_NOREPLY}, .keys = "9x.kvd\r0 1\r0 1\r",
   .shown = "\n Error trying to get memory information\n"},

  // ---- Recordings by number ----
  {.what = "selection out of range, once per item", .keys = "i29,0\r",
   .shown = "File number out of range\nFile number out of range\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLREAD), 0u); }},
  {.what = "selection without a directory", .fault = {REQ_DIR, 0, FAULT_NOREPLY}, .keys = "i21\r",
   .shown = "File number out of range\nFile number out of range\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLREAD), 0u); }},
  {.what = "first failed offload ends the loop", .fault = {REQ_FLREAD, 1, FAULT_NOREPLY}, .keys = "i21,3\rrec\r",
   .shown = " Error: failed read request with flag 0020\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLREAD), 1u); EXPECT_EQ(Harness::file("rec003.kvd"), "<none>"); }},

  // ---- Erase ----
  {.what = "erase: not sent", .fault = {REQ_FLERASE, 0, FAULT_WRITEFAIL}, .keys = "b0 1\r0 1\r",
   .shown = "\n Error: write to device failed with flag 0001\n"},
  {.what = "erase: unanswered", .fault = {REQ_FLERASE, 0, FAULT_NOREPLY}, .keys = "b0 1\r0 1\r",
   .shown = "\n Error: failed erase request with flag 0020\n"},
  {.what = "erase: stopped by a key, said", .fault = {REQ_FLERASE, 0, FAULT_DELAY, 2000}, .keys = "b0 1900\r0 2100\r~k",
   .shown = " stopped\n Erase stopped by a key: chip 0 block 2000 to chip 0 block 2100 is not erased\n",
   .left = [](Faults &t) {
     Bytes p = vbus_flash_page(t.tag, 0, 2000, 0);
     EXPECT_LT(std::count(p.begin(), p.end(), 0xFF), (long)p.size());
   }},
  {.what = "erase: letters typed", .keys = "b0 x\r", .shown = "\n Input values must be numbers\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLERASE), 0u); }},
  {.what = "erase: a location line ends at 16 characters", .keys = "b0               1\r",
   .shown = "\n Input values must be numbers\n"},
  {.what = "erase: the next listing asks the tag again", .keys = "eb0 1\r0 1\re",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_DIR), 2u); }},
  {.what = "erase: end before start", .keys = "b1 0\r0 9\r",
   .shown = "\n Error: end location must be after start location\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLERASE), 0u); }},

  // ---- Flash write and firmware download ----
  {.what = "firmware too large for the code space: nothing erased", .keys = "i7big.bin\r",
   .shown = " Error: big.bin is 300000 bytes and the code space holds 262124: nothing erased or written\n",
   .setup = [](Faults &) { Harness::file("big.bin", std::string(300000, 'b')); },
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLERASE) + t.got(REQ_FLWRITE), 0u); }},
  {.what = "firmware file missing", .keys = "i7nofile\r", .shown = " Unable to open file nofile\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLERASE), 0u); }},
  {.what = "flash write file missing: the prompt alone", .keys = "anofile\r",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLWRITE), 0u); }},
  {.what = "firmware: geometry unanswered", .fault = {REQ_FLGEOM, 3, FAULT_NOREPLY}, .keys = "i7fw.bin\r",
   .shown = "ERROR: unable to obtain FLASH chip information\n"},
  {.what = "firmware: erase fails, nothing written", .fault = {REQ_FLERASE, 0, FAULT_NACK}, .keys = "i7fw.bin\r",
   .shown = "\n Error: incorrect response for flash clear 0xffff\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_FLWRITE), 0u); }},
  {.what = "firmware: write not sent", .fault = {REQ_FLWRITE, 0, FAULT_WRITEFAIL}, .keys = "i7fw.bin\r",
   .shown = " Error in bulk write -5\n"},
  {.what = "firmware: write unanswered", .fault = {REQ_FLWRITE, 0, FAULT_NOREPLY}, .keys = "i7fw.bin\r",
   .shown = " Error in response with flag 0020\n"},
  {.what = "firmware: write refused", .fault = {REQ_FLWRITE, 0, FAULT_NACK}, .keys = "i7fw.bin\r",
   .shown = " Bad response 0xffff\n"},

  // ---- MSP access ----
  {.what = "MSP sensors cut short", .fault = {REQ_MSPSENS, 0, FAULT_SHORT, 2}, .keys = "ic",
   .shown = " MSP response bad 040d:6\n"},
  {.what = "MSP WIO test refused", .fault = {REQ_MSPWIO, 0, FAULT_NACK}, .keys = "s1\r",
   .shown = " MSP response bad ffff:0\n"},
  {.what = "MSP request not sent", .fault = {REQ_MSPRX, 0, FAULT_WRITEFAIL}, .keys = "r4\r",
   .shown = " Error: write to device failed with flag 0001\n"},
  {.what = "MSP reply of another code", .fault = {REQ_MSPRX, 0, FAULT_WRONGCODE, 7}, .keys = "r4\r",
   .shown = " MSP response bad 0007:10\n"},

  // ---- MSP programming ----
  {.what = "MSP image missing", .keys = "mnofile\r", .shown = "Can't find file nofile\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_MSPBSL), 0u); }},
  {.what = "MSP relay not sent", .fault = {REQ_MSPBSL, 1, FAULT_WRITEFAIL}, .keys = "mfw.txt\r",
   .shown = " Error: write to device failed with flag 0001\n Erase failed\n"},
  {.what = "MSP relay unanswered", .fault = {REQ_MSPBSL, 1, FAULT_NOREPLY}, .keys = "mfw.txt\r",
   .shown = " Error: failed MSP request with flag 0020\n Erase failed\n"},
  {.what = "MSP relay reply of another code", .fault = {REQ_MSPBSL, 1, FAULT_WRONGCODE, 7}, .keys = "mfw.txt\r",
   .shown = " MSP response bad\n Erase failed\n"},
  {.what = "MSP unlock refused", .fault = {REQ_MSPBSL, 2, FAULT_REFUSE}, .keys = "mfw.txt\r",
   .shown = " Unlock failed\n", .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_MSPBSL), 2u); }},
  {.what = "MSP information record cut short", .fault = {REQ_MSPRX, 0, FAULT_SHORT, 116}, .keys = "v",
   .shown = " Select an action... v\n\nCorrupt firmware\n"},
  {.what = "MSP information record refused", .fault = {REQ_MSPBSL, 3, FAULT_REFUSE}, .keys = "mfw.txt\r",
   .shown = " Write failed\n Info write failed\n"},
  {.what = "MSP data refused", .fault = {REQ_MSPBSL, 4, FAULT_REFUSE}, .keys = "mfw.txt\r", .shown = " Write failed\n"},
  {.what = "MSP start refused", .fault = {REQ_MSPBSL, 6, FAULT_REFUSE}, .keys = "mfw.txt\r", .shown = " Start failed\n",
   .left = [](Faults &t) { EXPECT_EQ(t.cfg().msp.started_at, -1); }},

  // ---- Tag setup ----
  {.what = "setup read fails, tried again at the next draw", .fault = {REQ_MSPRX, 1, FAULT_NOREPLY}, .keys = "icz",
   .shown = " Error: failed MSP request with flag 0020\n", .left = [](Faults &t) { EXPECT_GT(t.got(REQ_MSPRX), 1u); }},
  {.what = "setup write fails at q: back to the user menu", .fault = {REQ_MSPTX, 3, FAULT_NOREPLY}, .keys = "icqy",
   .shown = "\nError: Unable to set parameters\n", .left = [](Faults &) { EXPECT_EQ(mode, 0); }},
  {.what = "setup: no number typed, setting kept", .keys = "icsx\r",
   .left = [](Faults &t) { EXPECT_EQ(count(t.text, " s salinity trigger\t\t50%"), 2u); }},

  // ---- Configuring and arming: nothing said done that is not ----
  {.what = "setup: the MSP refuses the settings at q: not armed", .fault = {REQ_MSPTX, 3, FAULT_REFUSE}, .keys = "icqy",
   .shown = " Error: the MSP did not take the release and trigger settings (register 20)\n",
   .left = [](Faults &t) {
     EXPECT_EQ(count(t.text, "done"), 0u);
     EXPECT_EQ(t.cfg().msp.regs[0], 0);
     EXPECT_EQ(t.got(REQ_MSPTX), 3u);
   }},
  {.what = "setup: settings read in part (register 32 unanswered): q writes nothing",
   .fault = {REQ_MSPRX, 2, FAULT_NOREPLY}, .keys = "icqy",
   .shown = " Error: the settings were not read from this tag: nothing written, the tag not armed\n",
   .left = [](Faults &t) { EXPECT_EQ(t.got(REQ_TIMESET), 1u); EXPECT_EQ(count(t.text, "Arm tag"), 0u); }},
  {.what = "setup: clock not set at q", .fault = {REQ_TIMESET, 1, FAULT_WRITEFAIL}, .keys = "icqn",
   .shown = " Error: the tag's clock was not set\n"},
  {.what = "boot code's last piece refused: not configured", .fault = {REQ_EEWRITE, 6, FAULT_NACK}, .keys = "y",
   .shown = " Error: the boot code did not install: the tag is not configured\n",
   .setup = [](Faults &t) {
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     Harness::file(REBOOTFILE, std::string(130, 'k'));
   },
   .left = [](Faults &t) { EXPECT_EQ(t.ee(t.tag, 0x6000, 2), (Bytes{0xFF, 0xFF})); }},
  {.what = "no flash chips: said", .keys = "80\r", .shown = " Error: the tag reports no flash chips\n",
   .setup = [](Faults &t) { t.cfg().chips.clear(); }},
  {.what = "user menu drawn again after its action", .fault = {REQ_DIR, 0, FAULT_NOREPLY}, .keys = "i1",
   .shown = " Error: failed dir request"},
  {.what = "bad-block table: its end marker refused, the old file kept", .fault = {REQ_EEWRITE, 4, FAULT_NACK},
   .keys = "d", .shown = " Error writing bad block table to EEPROM\n", .setup = oldtable, .left = oldkept},
  {.what = "bad-block table: a chip's blocks unanswered, the old file kept", .fault = {REQ_FLBAD, 2, FAULT_NOREPLY},
   .keys = "d", .shown = " Error: failed bad block request with flag 0020\n", .setup = oldtable, .left = oldkept},
#ifdef __linux__
  {.what = "boot code file unreadable: not configured", .keys = "y",
   .shown = " Error: reading file _reboot.bin failed\n",
   .setup = [](Faults &t) {
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     (void)!symlink("/proc/self/mem", REBOOTFILE);
   },
   .left = [](Faults &t) { EXPECT_EQ(t.ee(t.tag, 0x6000, 2), (Bytes{0xFF, 0xFF})); }},
  {.what = "data directory that cannot be written: kept", .keys = "h/proc\r",
   .shown = " Cannot write to directory '/proc/'", .left = [](Faults &) { EXPECT_EQ(DATA_DIR[0], 0); }},
#endif
  {.what = "expert offload by record: the directory unanswered", .fault = {REQ_DIR, 0, FAULT_NOREPLY}, .keys = "f1\r",
   .shown = " Error: failed dir request"},
  {.what = "free memory asked again, with a zero location", .fault = {REQ_FREEMEM, 1, FAULT_NOREPLY},
   .keys = "e524576 2\re", .shown = " Error: failed ID request with flag 0020\n",
   .left = [](Faults &t) { EXPECT_EQ(t.payloads(t.tag, REQ_FREEMEM).at(1), Bytes(8, 0)); }},
  {.what = "flash write at the typed page; the directory asked with a zero location", .keys = "afw.bin\r0 1 2\re",
   .shown = " Enter Chip Block Page?\t\t", .left = [](Faults &t) {
     Bytes w = t.payloads(t.tag, REQ_FLWRITE).at(0);
     EXPECT_EQ(hex(Bytes(w.begin(), w.begin() + 6)), "000000010002");
     EXPECT_EQ(t.payloads(t.tag, REQ_DIR).at(0), Bytes(8, 0));
   }},
};
// clang-format on

struct FailureMatrix : Faults, ::testing::WithParamInterface<Row> {};
void PrintTo(const Row &r, std::ostream *os) { *os << r.what; }

TEST_P(FailureMatrix, ShownOnceAndTheSessionGoesOn) {
  const Row &r = GetParam();
  // The files the actions read: firmware, EEPROM contents (200 bytes; 52, a
  // frame of a whole number of packets), an MSP image.
  file("fw.bin", std::string(5000, 'f'));
  file("e.bin", std::string(200, 'e'));
  file("z.bin", std::string(52, 'z'));
  file("fw.txt", MSP_IMAGE);
  mode = 1;
  tag = attach();
  if (r.fault.code >= 0) vbus_fault(tag, r.fault);
  if (r.setup) r.setup(*this);
  int quit = r.runner <= HOST_END && r.result == 1;
  size_t later = r.keys.find('~');
  keys(r.keys.substr(0, later));
  if (later != std::string::npos) keys_at(10000, r.keys.substr(later + 1));
  // Late enough for a key waiting not to stop an offload or erase.
  keys_at(60000, quit ? "qnq" : "");
  int res = r.runner <= HOST_END ? run([&] { return host(find(tag)); })
            : r.runner == PARAMS ? run([&] {
                claim(tag);
                return edit_params();
              })
                                 : run([] { return k3host_main(); });
  EXPECT_EQ(res, r.result);
  std::string e = err(), eo = e;
  e += out();
  if (!r.shown.empty()) {
    EXPECT_EQ(count(e, r.shown), 1u) << "times shown: " << r.shown;
  }
  // The menu drawn again after it (unless it came at the end, or on stdout).
  size_t at = e.find(r.shown);
  if (quit && r.runner == HOST && at < eo.size()) {
    EXPECT_NE(e.find(MENU, at), std::string::npos) << "the menu after it";
  }
  text = e;
  if (r.left) r.left(*this);
}

// Each row by its name: the words of what fails, joined by '_'.
INSTANTIATE_TEST_SUITE_P(Faults, FailureMatrix, ::testing::ValuesIn(ROWS), [](const auto &info) {
  std::string name = std::regex_replace(info.param.what, std::regex("[^A-Za-z0-9]+"), "_");
  return name.back() == '_' ? name.substr(0, name.size() - 1) : name;
});

// The time-out of the bus event next to the first request with code: the
// read after it (after 1) or the last read before it (after 0); -1 none.
int tmo_near(int code, int after) {
  const auto &ev = vbus_events();
  int w = -1, before = -1;
  for (int i = 0; i < (int)ev.size() && w < 0; i++) {
    if (ev[i].kind == EV_READ) before = ev[i].timeout;
    const Bytes &d = ev[i].data;
    if (ev[i].kind == EV_WRITE && ev[i].ep == 2 && d.size() >= 4 && ((d[2] << 8) | d[3]) == code) w = i;
  }
  for (int i = w + 1; w >= 0 && after && i < (int)ev.size(); i++)
    if (ev[i].kind == EV_READ) return ev[i].timeout;
  return w < 0 || after ? -1 : before;
}

// Every exchange waits as long as it should: a tag still in its boot loader
// takes the image, then a session runs an action of each kind (the drain
// after a sync's acknowledge is the last read before the board ID request),
// and the menu polls for frames between keys.
TEST_F(Faults, EachExchangeIsGivenItsTimeOut) {
  Harness::file(BOOTFILE, std::string(100, 'b'));
  Harness::file("e.bin", "ee");
  tag = attach();
  renew([](TagConfig &c) { c.bootloader = 1; });
  mode = 1;
  keys("0etab\r6e.bin\r100\rb0 1\r0 1\r");
  keys_at(60000, "q");
  ASSERT_EQ(run([] { return k3host_main(); }), 0);
  std::set<std::pair<int, int>> writes;  // endpoint, time-out
  for (const BusEvent &e : vbus_events())
    if (e.kind == EV_WRITE || e.kind == EV_ZLP) writes.insert({e.ep, e.timeout});
  EXPECT_EQ(writes, (std::set<std::pair<int, int>>{{2, 1000}, {6, 5000}}));
  // clang-format off
  struct { int code, after, tmo; } rows[] = {
      {REQ_SYNC, 0, 200}, {REQ_SYNC, 1, 3000}, {REQ_BOARDID, 1, 3000}, {REQ_SOC, 1, 3000}, {REQ_EEREAD, 1, 3000},
      {REQ_DIR, 1, 32000}, {REQ_FREEMEM, 1, 3000}, {REQ_FLGEOM, 1, 3000}, {REQ_FLERASE, 1, 3000},
      {REQ_MSPTX, 0, 100}, {REQ_MSPTX, 1, 3000}, {REQ_EEWRITE, 1, 3000}, {REQ_BOARDID, 0, 100}};
  // clang-format on
  for (auto &r : rows) EXPECT_EQ(tmo_near(r.code, r.after), r.tmo) << std::hex << r.code << " after " << r.after;
  const auto &ev = vbus_events();
  auto idle = std::find_if(ev.rbegin(), ev.rend(), [](const BusEvent &e) { return e.kind == EV_READ; });
  EXPECT_EQ(idle->timeout, 200) << "the idle poll";
}

#ifndef _WIN32
// A disk that fills up in the middle of an offload, as a file-size limit in
// a child process: the fatal message, failure, and what was written kept
// behind its open header.
void offload_to_full_disk() {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim;
  lim.rlim_cur = lim.rlim_max = 300000;
  setrlimit(RLIMIT_FSIZE, &lim);
  diritem r = {0, 6, 0, 0, 40, 0, 9000, 1, 0};
  int res = hflsoffload("full.kvd", &r);
  KvdInfo k;
  kvd_check_file("full.kvd", &k);
  fprintf(stderr, "result %d kept %d\n", res, k.header && !k.closed && k.data_bytes + KVD_HEADER == 300000);
  exit(0);
}

TEST_F(Faults, DiskFullDuringOffloadKeepsWhatWasWritten) {
  tag = attach();
  claim(tag);
  EXPECT_EXIT(offload_to_full_disk(), ::testing::ExitedWithCode(0),
              "\\*\\*\\* Fatal error saving file - check disk space \\*\\*\\*(.|\n)*result 1 kept 1");
}
#else
TEST_F(Faults, DiskFullDuringOffloadKeepsWhatWasWritten) {
  GTEST_SKIP() << "Windows has no file-size limit to fill the disk with";
}
#endif

// Bad typing at every prompt of the menus: empty lines, overlong lines,
// letters for numbers, negative and huge numbers, control keys. Each is
// refused or taken as the prompt says; nothing is erased or written on the
// tag, and the session goes on.
TEST_F(Faults, BadTypingAtEveryPrompt) {
  const std::string bad[] = {"\r",      std::string(300, 'z') + "\r", "abc\r",
                             "-5 -5\r", "99999999999 99999999999\r",  "\x01\x1b\x7f\x00\r"s};
  // clang-format off
  const char *prompts[] = {"5", "7", "6", "a", "b", "9x.kvd\r", "9", "c", "8", "h", "m", "r", "t", "s", "ic", "ics",
                           "icb", "icr", "ict", "icf", "icg", "icm", "i2", "i3y", "i5", "i7", "f", "g", "gy"};
  // clang-format on
  for (const char *p : prompts)
    for (const std::string &typed : bad) {
      fresh();
      mode = 1;
      tag = attach();
      keys(p + typed + "\r\r\r");
      keys_at(60000, "qnq");
      EXPECT_EQ(run([&] { return host(find(tag)); }), 1) << p << " " << typed.substr(0, 12);
      EXPECT_EQ(got(REQ_FLERASE) + got(REQ_FLWRITE) + got(REQ_EECLEAR) + got(REQ_MSPBSL), 0) << p << " " << typed;
      EXPECT_GE(count(err(), MENU), 2u) << p << " " << typed.substr(0, 12);
    }
}

// Soak: offload and erase cycles (K3_SOAK_CYCLES, 100 by default; 1000 for
// the full run) with the directory loaded and freed each time. Run under
// LeakSanitizer, a leak fails the test binary at exit; here, the open files
// and the heap in use must not grow.
TEST_F(Faults, SoakOffloadAndEraseCycles) {
  TagConfig c;
  c.chips = {{0x00D3, 64, 8, 256, {5}}};
  c.recordings = {{0, 1, 0, 3, 1773122400, 1773122530, 1}};
  tag = attach(c);
  claim(tag);
  ASSERT_EQ(reqdirtab(), 0);
  diritem part = HFLS_dirtab[0];  // its middle block: the recording stays listed
  part.startblock = part.endblock = 2;
  vbus_record(0);  // the bus keeps no log, so that only the program's own memory counts
  // Open files and heap in use, once the first allocations have settled.
  auto use = [] {
    std::pair<size_t, size_t> n{(size_t)open_files(), 0};
#ifdef __GLIBC__
    n.second = mallinfo2().uordblks;
#endif
    return n;
  };
  std::pair<size_t, size_t> settled;
  for (int i = 0, n = getenv("K3_SOAK_CYCLES") ? atoi(getenv("K3_SOAK_CYCLES")) : 100; i < n; i++) {
    ASSERT_EQ(reqdirtab(), 0) << i;
    ASSERT_EQ(HFLS_nrecs, 1);
    ASSERT_EQ(hflsoffload("soak.kvd", &HFLS_dirtab[0]), 0) << i;
    ASSERT_EQ(eraseflash(&part), 0) << i;
    freedirtab();
    ASSERT_EQ(remove("soak.kvd"), 0);
    if (i == 9) settled = use();
  }
  EXPECT_EQ(use().first, settled.first) << "open files";
  EXPECT_LE(use().second, settled.second + 1024) << "heap in use";
}

}  // namespace
