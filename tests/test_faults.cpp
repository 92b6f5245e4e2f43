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
#include <set>

#include "boot.h"
#include "harness.h"
#include "host.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kovacfg.h"
#include "params.h"
#include "kvdread.h"
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

// How many files the program has open (Linux; elsewhere 0).
size_t open_files() {
  size_t n = 0;
#ifdef __linux__
  for (auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
#endif
  return n;
}

// A bad-block table file already there; and it kept, nothing beside it.
void oldtable(Faults &) { Harness::file("badblocks_4B33_0A17.txt", "old"); }
bool oldkept(Faults &) {
  return Harness::file("badblocks_4B33_0A17.txt") == "old" && Harness::file("badblocks_4B33_0A17.txt.new") == "<none>";
}

// How a row runs: a session with the tag, or the whole program.
// A message at the end of a session (at its quit or after it) has no menu
// after it: HOST_END.
enum Runner { HOST, HOST_END, PARAMS, PROGRAM };

// A row with no fault of its own.
#define NONE -1, 0, FAULT_NOREPLY

// A row: what fails; the fault (request code, -1 none; its occurrence, 0
// every; kind); the keys typed (after a '~' typed 10 s on; the row adds the
// quit a minute on); the text shown exactly once ("" checks only the rest);
// then the fault's argument, other faults, settings and files (the session
// starts in the expert menu), the result (host(): 1 quit, 0 search again;
// the program: its own), the state left behind, and how the row runs.
struct Row {
  const char *what; int code, nth; FaultKind kind; std::string keys, shown;
  int arg = 0; void (*setup)(Faults &t) = nullptr; int result = 1; bool (*left)(Faults &t) = nullptr;
  Runner runner = HOST;
};

// clang-format off
const Row ROWS[] = {
  // ---- The tag vanishing mid-operation: no hang, said once, the search again ----
  {"vanishing: offload keeps the open header", REQ_FLREAD, 3, FAULT_VANISH, "9x.kvd\r0 6\r0 7\r", GONE, 0, nullptr, 0,
   [](Faults &) {
     KvdInfo k;
     return !kvd_check_file("x.kvd", &k).empty() && k.header && !k.closed && !k.blocks && k.data_bytes > 0;
   }},
  {"vanishing: erase by recording", REQ_FLERASE, 1, FAULT_VANISH, "gy1\ry", GONE, 0, nullptr, 0},
  {"vanishing: firmware download", REQ_FLWRITE, 2, FAULT_VANISH, "i7fw.bin\r", GONE, 0, nullptr, 0},
  {"vanishing: EEPROM file write", REQ_EEWRITE, 2, FAULT_VANISH, "6e.bin\r100\r", GONE, 0, nullptr, 0},
  {"vanishing: MSP programming", REQ_MSPBSL, 3, FAULT_VANISH, "mfw.txt\r", GONE, 0, nullptr, 0},
  {"vanishing: resynchronisation", REQ_SYNC, 2, FAULT_VANISH, "", GONE, 0, nullptr, 0},
  {"vanishing: a request, then the idle loop", REQ_BOARDID, 2, FAULT_VANISH, "0", GONE, 0, nullptr, 0},

  // ---- Finding and claiming the tag, the boot image ----
  {"open fails", NONE, "", " USB error: cannot open device\n\n", 0, [](Faults &t) { vbus_detach(t.tag); }, 0},
  {"set configuration fails", NONE, "", " USB error in set configuration: -5\n", 0,
   [](Faults &t) { t.cfg().refuse = REFUSE_SETCONF; }, 0,
   [](Faults &) { return vbus_events().back().kind == EV_CLOSE; }},
  {"release fails", NONE, "", "Failed on releasing USB interface\n", 0,
   [](Faults &t) { t.cfg().refuse = REFUSE_RELEASE; }, 1,
   [](Faults &) { return vbus_events().back().kind == EV_CLOSE; }, HOST_END},
  {"close fails", NONE, "", "Failed on closing USB interface\n", 0, [](Faults &t) { t.cfg().refuse = REFUSE_CLOSE; }, 1,
   nullptr, HOST_END},
  {"boot image missing", NONE, "", " Error: cannot open file _boot.bin\n", 0,
   [](Faults &t) { t.renew([](TagConfig &c) { c.bootloader = 1; }); }, 0, nullptr, PROGRAM},
  {"boot chunk not written", NONE, "", "Error in USB bulk write\n", 0,
   [](Faults &t) {
     t.renew([](TagConfig &c) { c.bootloader = 1;
     c.refuse = REFUSE_BOOT;
     });
     Harness::file(BOOTFILE, std::string(100, 'b'));
   }, 0, nullptr, PROGRAM},
  {"boot image never starts the tag: asked, n leaves", NONE, "~n", " Tag is still in its boot loader: try again? y/n\n",
   0, [](Faults &t) { t.renew([](TagConfig &c) { c.bootloader = 1; }); Harness::file(BOOTFILE, ""); }, -1,
   [](Faults &t) { return vbus_boot_chunks(t.tag).empty() && count(t.text, " rebooting...") == 1; }, PROGRAM},

  // ---- The session ----
  {"identification fails: type kept, no configure key", NONE, "ic", " Error: failed board soc request with flag 0020\n",
   0, [](Faults &t) { t.F(REQ_SOC, 1, FAULT_NOREPLY); devtype = 2; }, 1,
   [](Faults &) { return devtype == 2 && mode == 0; }},
  {"silent tag: abandoned, asked, n leaves", NONE, "~n", "\n K3 not answering: try again? y/n\n", 0,
   [](Faults &t) { t.F(REQ_SYNC, 0, FAULT_NOREPLY); t.keys_at(5000, " "); }, -1},
  {"clock not set at quit", REQ_TIMESET, 0, FAULT_WRITEFAIL, "i", " Error: the tag's clock was not set\n", 0, nullptr,
   1, nullptr, HOST_END},

  // ---- Transport ----
  {"request not written", REQ_BOARDID, 2, FAULT_WRITEFAIL, "0",
   " Error in bulk write -5\n Error sending command - try again\n"},
  {"zero-length packet rejected", REQ_EEWRITE, 0, FAULT_ZLPFAIL, "6z.bin\r100\r", " Error in bulk write - retrying\n"},
  {"negative acknowledge", REQ_BOARDID, 2, FAULT_NACK, "0", "\n Error: received negative acknowledge\n"},

  // ---- Board commands ----
  {"board id not sent", REQ_BOARDID, 1, FAULT_WRITEFAIL, "", " Error: write to device failed with flag 0001\n"},
  {"board id cut short", REQ_BOARDID, 1, FAULT_SHORT, "", " Board ID response length bad (8:10)\n", 2},
  {"battery reply of another code", REQ_SOC, 1, FAULT_WRONGCODE, "", " Response bad 0007, 6 bytes\n", 7},
  {"clock read not sent", REQ_TIMEREAD, 0, FAULT_WRITEFAIL, "2", " Error: write to device failed with flag 0001\n"},
  {"clock read: error report", REQ_TIMEREAD, 0, FAULT_ERROR, "2", " Board time response error code 0005\n", 5},
  {"clock read: nack", REQ_TIMEREAD, 0, FAULT_NACK, "2", " Board time response error ffff\n"},
  {"clock read cut short", REQ_TIMEREAD, 0, FAULT_SHORT, "2", " Board time response length bad (4:8)\n", 4},
  {"battery not sent: the transport's line alone", REQ_SOC, 2, FAULT_WRITEFAIL, "4", " Error in bulk write -5\n\n"},
  {"reboot refused", NONE, "iqy", "\nUnable to send reboot command\n", 0,
   [](Faults &t) { t.cfg().devtype = 1; t.F(REQ_REBOOT, 0, FAULT_NACK); }, 1, nullptr, HOST_END},

  // ---- EEPROM and configuration ----
  {"EEPROM range typed as letters", NONE, "5x 2\r", "Input values must be numbers - try again\n"},
  {"EEPROM file missing", NONE, "6nofile\r", " Error: unable to open file nofile\n"},
  {"configured check unanswered: no offer", NONE, "", " Error: failed eeprom read request with flag 0020\n", 0,
   [](Faults &t) {
     t.cfg().eeprom_blank = 1;
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     t.F(REQ_EEREAD, 1, FAULT_NOREPLY);
   }, 1, [](Faults &t) { return count(t.text, "configure now") == 0; }},
  {"configured check: bad reply", REQ_EEREAD, 1, FAULT_SHORT, "", " Bad eeprom read response 0x0101\n", 1},
  {"bad-block table refused: no boot code, not configured", NONE, "y",
   " EEPROM write response bad ffff\n Error writing bad block table to EEPROM\n", 0,
   [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); t.F(REQ_EEWRITE, 1, FAULT_NACK); }, 1,
   [](Faults &t) { return count(t.text, "Installing") == 0 && t.ee(t.tag, 0x6000, 2) == Bytes{0xFF, 0xFF}; }},
  {"no boot code file: table made, tag not configured", NONE, "y", " Error: unable to find file _reboot.bin\n", 0,
   [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); }, 1,
   [](Faults &t) {
     return t.ee(t.tag, 0x6000, 2) == Bytes{0xFF, 0xFF} && Harness::file("badblocks_4B33_0A17.txt") != "<none>";
   }},
  {"EEPROM file write stops at a failed send, the chunk before kept", REQ_EEWRITE, 2, FAULT_WRITEFAIL, "6e.bin\r100\r",
   " Error in bulk write -5\n", 0, nullptr, 1,
   [](Faults &t) { Bytes b = t.ee(t.tag, 100, 65); return b[63] == 0x65 && b[64] == 0xFF; }},

  // ---- Parameter store ----
  {"store: chip count 0", NONE, "w", "\n Error: cannot read number of chips in device\n", 0,
   [](Faults &t) { t.cfg().chips.clear(); }},
  {"store: no table file", NONE, "w", "\n Error: unable to find the bad block file\n"},
  {"store: magic not written", NONE, "w",
   " Error: failed eeprom write request with flag 0020\n failed writing to eeprom\n", 0,
   [](Faults &t) { Harness::file("badblocks_4B33_0A17.txt", "0,5\n%ENDDATA\n"); t.F(REQ_EEWRITE, 1, FAULT_NOREPLY); }},
  {"parameters: file missing", NONE, "", "unable to open parameter file _paramstemp.txt for reading\n", 0, nullptr, 1,
   nullptr, PARAMS},
  {"parameters: garbled line", NONE, "", "error reading parameter file\nError writing parameter to eeprom\n", 0,
   [](Faults &) { Harness::file(PARAMSTEMP, "5x\n"); }, 1, nullptr, PARAMS},
  {"parameters: id or size too big", NONE, "",
   "parameter id or size too big (300:1)\nError writing parameter to eeprom\n", 0,
   [](Faults &) { Harness::file(PARAMSTEMP, "300,1,7\n"); }, 1, nullptr, PARAMS},
  {"parameters: a word missing", NONE, "", "error reading parameter file\n", 0,
   [](Faults &) { Harness::file(PARAMSTEMP, "5,2,1\n"); }, 1, nullptr, PARAMS},
  {"parameters: walk unanswered", NONE, "", " Error: failed eeprom read request with flag 0020\n", 0,
   [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.F(REQ_EEREAD, 1, FAULT_NOREPLY); }, 1, nullptr, PARAMS},
  {"parameters: no bad-block table first", NONE, "", "Error: no bad block table in eeprom\n", 0,
   [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.ee_put(t.tag, 0x6002, {7, 1, 0, 9, 0xFF, 0xFF}); }, 1,
   nullptr, PARAMS},
  {"parameters: record not written", NONE, "", "Error writing parameter to eeprom\n", 0,
   [](Faults &t) { Harness::file(PARAMSTEMP, "5,1,1\n"); t.F(REQ_EEWRITE, 1, FAULT_NOREPLY); }, 1, nullptr, PARAMS},

  // ---- Data directory ----
  {"no settings file: silent", NONE, "", "", 0, nullptr, 1, [](Faults &t) {
     return DATA_DIR[0] == 0 && t.text.find(" Cannot") == std::string::npos; }},
  {"data directory under a missing folder", NONE, "hno/such\r", " Cannot find or make directory 'no/such/'\n", 0,
   nullptr, 1, [](Faults &) { return DATA_DIR[0] == 0; }},
  {"data directory that cannot be written: refused, the old one kept", NONE, "hf\r", " Cannot write to directory 'f/': ",
   0, [](Faults &) { Harness::file("f", "a file"); Harness::file(DATA_DIR_FILE, "logs\n"); }, 1,
   [](Faults &) { return std::string(DATA_DIR) == "logs/"; }},  // an editor's line break is no part of the name
  {"data directory name too long: refused", NONE, "h" + std::string(199, 'd') + "\r",
   " Error: a folder name may have at most 198 characters; the data directory is unchanged\n", 0, nullptr, 1,
   [](Faults &) { return DATA_DIR[0] == 0; }},
  {"settings file cannot be made: silent", NONE, "hd\r", "", 0, [](Faults &t) { (void)t; plat_mkdir(DATA_DIR_FILE); },
   1, [](Faults &t) { return count(t.text, "Problem") == 0 && t.text.find(MENU) != std::string::npos; }},
#ifdef __linux__
  {"settings file short", NONE, "hd\r", " Problem saving a settings file\n", 0,
   [](Faults &) { (void)!symlink("/dev/full", DATA_DIR_FILE); }, 1, nullptr, HOST_END},
#endif

  // ---- Flash chips and bad blocks ----
  {"chip typed as letters", NONE, "8x\r", "Input values must be numbers\n"},
  {"chip geometry cut short", REQ_FLGEOM, 0, FAULT_SHORT, "80\r", " Bad Flash ID response 0x00d3\n", 2},
  {"chip count: error report", REQ_CHIPCOUNT, 0, FAULT_ERROR, "80\r", " Bad Flash ID response 0xfffd : 0x0005\n", 5},
  {"too many bad blocks", NONE, "c0\r", " Too many bad blocks (", 0, [](Faults &t) {
     t.renew([](TagConfig &c) { for (int b = 0; b < 201; b++) c.chips[0].bad.push_back((uint16_t)(100 + b)); });
   }},
  {"chip count not sent", REQ_CHIPCOUNT, 0, FAULT_WRITEFAIL, "80\r", " Error: write to device failed with flag 0001\n"},
  {"chip count unanswered", REQ_CHIPCOUNT, 0, FAULT_NOREPLY, "80\r", " Error: failed ID request with flag 0020\n"},
  {"negative chip", NONE, "8-1\r", " Error: requested chip doesn't exist\n"},
  {"chip geometry unanswered", REQ_FLGEOM, 0, FAULT_NOREPLY, "80\r", " Error: failed ID request with flag 0020\n"},
  {"bad blocks unanswered", REQ_FLBAD, 0, FAULT_NOREPLY, "c0\r", " Error: failed bad block request with flag 0020\n"},
  {"bad-block table file cannot be made: the tag configured all the same", NONE, "y",
   "\n Error: unable to open a file for writing\n", 0,
   [](Faults &t) {
     vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF);
     plat_mkdir("badblocks_4B33_0A17.txt.new");
     Harness::file(REBOOTFILE, "kk");
   }, 1,
   [](Faults &t) { return t.ee(t.tag, 0x6000, 2) == Bytes{0x5A, 0x13} && t.ee(t.tag, 0, 1) == Bytes{'k'}; }},
  {"bad-block table: EEPROM write fails, the old file kept", REQ_EEWRITE, 2, FAULT_NACK, "d",
   " Error writing bad block table to EEPROM\n", 0, oldtable, 1, oldkept},

  // ---- Recording directory and firmware check ----
  {"directory of another code", REQ_DIR, 0, FAULT_WRONGCODE, "e", " Bad dir response 0x0305d\n", 0x305},
  {"free memory cut short", REQ_FREEMEM, 0, FAULT_SHORT, "e", " Bad Flash MBFREE response 0x0307d:3\n", 1},
  {"directory cut part-way through an entry", REQ_DIR, 0, FAULT_SHORT, "e",
   " Warning: the directory from the device ends part-way through an entry: the listing is incomplete\n", 5},
  {"firmware page skipped", REQ_FLREAD, 1, FAULT_SKIPBLOCK, "i8", " Error: bad file descriptor received\n"},
  {"firmware name too long", NONE, "i8", "Corrupt firmware\n", 0,
   [](Faults &t) { t.renew([](TagConfig &c) { c.firmware_name = std::string(251, 'n'); }); }},
  {"directory not sent", REQ_DIR, 0, FAULT_WRITEFAIL, "e", " Error: write to device failed with flag 0001\n", 0,
   nullptr, 1, [](Faults &) { return HFLS_nrecs == -1; }},
  {"directory unanswered", REQ_DIR, 0, FAULT_NOREPLY, "e",  // the time-out's number is the system's
   " Error: failed dir request with flag 0020, " + std::to_string(-ETIMEDOUT) + " 0 0 0\n", 0,
   nullptr, 1, [](Faults &t) { return HFLS_nrecs == -1 && count(t.text, " MB free") == 0; }},
  {"free memory unanswered", REQ_FREEMEM, 0, FAULT_NOREPLY, "e", " Error: failed ID request with flag 0020\n"},
  {"free memory unknown: not an error", NONE, "e", " -1 MB free\n", 0, [](Faults &t) { t.cfg().mbfree = -1; }},
  {"firmware page unanswered", REQ_FLREAD, 0, FAULT_NOREPLY, "i8", " Error: failed read request with flag 0020\n"},
  {"no firmware", NONE, "i8", "No executable firmware loaded\n", 0,
   [](Faults &t) { t.renew([](TagConfig &c) { c.firmware_name = ""; }); }},

  // ---- Offload ----
  {"offload: file cannot be made", NONE, "9x.kvd\r0 1\r0 1\r", "Cannot write header to file x.kvd: ", 0,
   [](Faults &) { plat_mkdir("x.kvd"); }, 1, [](Faults &t) { return t.got(REQ_FLREAD) == 0; }},
  {"offload: identity unreadable: no stub left", REQ_BOARDID, 2, FAULT_NOREPLY, "9x.kvd\r0 1\r0 1\r",
   "Cannot write header to file x.kvd: the tag's identity could not be read\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLREAD) == 0 && Harness::file("x.kvd") == "<none>"; }},
  {"offload: unpopulated chip past the end", NONE, "9x.kvd\r1 1\r1 2\r", " skipping unpopulated chip 1\n", 0,
   [](Faults &t) { t.renew([](TagConfig &c) { c.chips[1].flashid = 0; }); }},
  {"offload: read not sent", REQ_FLREAD, 0, FAULT_WRITEFAIL, "9x.kvd\r0 1\r0 1\r",
   " Error: write to device failed with flag 0001\n"},
  {"offload: reply of another code", REQ_FLREAD, 1, FAULT_WRONGCODE, "9x.kvd\r0 1\r0 1\r",
   " Error: incorrect response for flash read 0x0007, ", 7},
  {"offload: another block", REQ_FLREAD, 1, FAULT_WRONGBLOCK, "9x.kvd\r0 1\r0 1\r",
   " Error: bad file descriptor received\n"},
  {"offload: out of sequence", REQ_FLREAD, 1, FAULT_WRONGPAGE, "9x.kvd\r0 1\r0 1\r",
   " Error: out of sequence page received\n"},
#ifdef __linux__
  {"offload: disk full", NONE, "9/dev/full\r0 1\r0 1\r",
   "\n\n *** Fatal error saving file - check disk space ***\n\n Offload failed after 0 of 1 blocks: /dev/full holds "
   "0.0 MB and is not a whole recording\n", 0, nullptr, 1, [](Faults &t) { return count(t.text, "done") == 0; }},
  {"offload: the header cannot be sought", NONE, "", " error seeking to file header\n", 0, [](Faults &t) {
     // A pipe takes the data but cannot seek back to complete the header.
     static int fd[2];
     if (pipe(fd) == 0) fcntl(fd[1], F_SETPIPE_SZ, 1 << 20);
     t.keys("9/proc/self/fd/" + std::to_string(fd[1]) + "\r0 1\r0 1\r");
   }},
#endif
  {"offload: unrecoverable errors", REQ_FLREAD, 1, FAULT_PAGEERRORS, "9x.kvd\r0 1\r0 1\r",
   "\n Warning: 1 blocks with unrecoverable errors\n", 2},
  {"offload: letters typed", NONE, "9x.kvd\r0 x\r", "\n Input values must be numbers\n", 0, nullptr, 1,
   [](Faults &) { return Harness::file("x.kvd") == "<none>"; }},
  {"offload: no memory information", REQ_FLGEOM, 1, FAULT_NOREPLY, "9x.kvd\r0 1\r0 1\r",
   "\n Error trying to get memory information\n"},

  // ---- Recordings by number ----
  {"selection out of range, once per item", NONE, "i29,0\r", "File number out of range\nFile number out of range\n", 0,
   nullptr, 1, [](Faults &t) { return t.got(REQ_FLREAD) == 0; }},
  {"selection without a directory", REQ_DIR, 0, FAULT_NOREPLY, "i21\r",
   "File number out of range\nFile number out of range\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLREAD) == 0; }},
  {"first failed offload ends the loop", REQ_FLREAD, 1, FAULT_NOREPLY, "i21,3\rrec\r",
   " Error: failed read request with flag 0020\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLREAD) == 1 && Harness::file("rec003.kvd") == "<none>"; }},

  // ---- Erase ----
  {"erase: not sent", REQ_FLERASE, 0, FAULT_WRITEFAIL, "b0 1\r0 1\r",
   "\n Error: write to device failed with flag 0001\n"},
  {"erase: unanswered", REQ_FLERASE, 0, FAULT_NOREPLY, "b0 1\r0 1\r",
   "\n Error: failed erase request with flag 0020\n"},
  {"erase: stopped by a key, said", REQ_FLERASE, 0, FAULT_DELAY, "b0 1900\r0 2100\r~k",
   " stopped\n Erase stopped by a key: chip 0 block 2000 to chip 0 block 2100 is not erased\n", 2000, nullptr, 1,
   [](Faults &t) {
     Bytes p = vbus_flash_page(t.tag, 0, 2000, 0);
     return std::count(p.begin(), p.end(), 0xFF) < (long)p.size();
   }},
  {"erase: letters typed", NONE, "b0 x\r", "\n Input values must be numbers\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLERASE) == 0; }},
  {"erase: end before start", NONE, "b1 0\r0 9\r", "\n Error: end location must be after start location\n", 0, nullptr,
   1, [](Faults &t) { return t.got(REQ_FLERASE) == 0; }},

  // ---- Flash write and firmware download ----
  {"firmware too large for the code space: nothing erased", NONE, "i7big.bin\r",
   " Error: big.bin is 300000 bytes and the code space holds 262124: nothing erased or written\n", 0,
   [](Faults &) { Harness::file("big.bin", std::string(300000, 'b')); }, 1,
   [](Faults &t) { return t.got(REQ_FLERASE) + t.got(REQ_FLWRITE) == 0; }},
  {"firmware file missing", NONE, "i7nofile\r", " Unable to open file nofile\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLERASE) == 0; }},
  {"flash write file missing: the prompt alone", NONE, "anofile\r", "", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLWRITE) == 0; }},
  {"firmware: geometry unanswered", REQ_FLGEOM, 3, FAULT_NOREPLY, "i7fw.bin\r",
   "ERROR: unable to obtain FLASH chip information\n"},
  {"firmware: erase fails, nothing written", REQ_FLERASE, 0, FAULT_NACK, "i7fw.bin\r",
   "\n Error: incorrect response for flash clear 0xffff\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_FLWRITE) == 0; }},
  {"firmware: write not sent", REQ_FLWRITE, 0, FAULT_WRITEFAIL, "i7fw.bin\r", " Error in bulk write -5\n"},
  {"firmware: write unanswered", REQ_FLWRITE, 0, FAULT_NOREPLY, "i7fw.bin\r", " Error in response with flag 0020\n"},
  {"firmware: write refused", REQ_FLWRITE, 0, FAULT_NACK, "i7fw.bin\r", " Bad response 0xffff\n"},

  // ---- MSP access ----
  {"MSP sensors cut short", REQ_MSPSENS, 0, FAULT_SHORT, "ic", " MSP response bad 040d:6\n", 2},
  {"MSP WIO test refused", REQ_MSPWIO, 0, FAULT_NACK, "s1\r", " MSP response bad ffff:0\n"},
  {"MSP request not sent", REQ_MSPRX, 0, FAULT_WRITEFAIL, "r4\r", " Error: write to device failed with flag 0001\n"},
  {"MSP reply of another code", REQ_MSPRX, 0, FAULT_WRONGCODE, "r4\r", " MSP response bad 0007:10\n", 7},

  // ---- MSP programming ----
  {"MSP image missing", NONE, "mnofile\r", "Can't find file nofile\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_MSPBSL) == 0; }},
  {"MSP relay not sent", REQ_MSPBSL, 1, FAULT_WRITEFAIL, "mfw.txt\r",
   " Error: write to device failed with flag 0001\n Erase failed\n"},
  {"MSP relay unanswered", REQ_MSPBSL, 1, FAULT_NOREPLY, "mfw.txt\r",
   " Error: failed MSP request with flag 0020\n Erase failed\n"},
  {"MSP relay reply of another code", REQ_MSPBSL, 1, FAULT_WRONGCODE, "mfw.txt\r",
   " MSP response bad\n Erase failed\n", 7},
  {"MSP unlock refused", REQ_MSPBSL, 2, FAULT_REFUSE, "mfw.txt\r", " Unlock failed\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_MSPBSL) == 2; }},
  {"MSP information record refused", REQ_MSPBSL, 3, FAULT_REFUSE, "mfw.txt\r", " Write failed\n Info write failed\n"},
  {"MSP data refused", REQ_MSPBSL, 4, FAULT_REFUSE, "mfw.txt\r", " Write failed\n"},
  {"MSP start refused", REQ_MSPBSL, 6, FAULT_REFUSE, "mfw.txt\r", " Start failed\n", 0, nullptr, 1,
   [](Faults &t) { return t.cfg().msp.started_at == -1; }},

  // ---- Tag setup ----
  {"setup read fails, tried again at the next draw", REQ_MSPRX, 1, FAULT_NOREPLY, "icz",
   " Error: failed MSP request with flag 0020\n", 0, nullptr, 1, [](Faults &t) { return t.got(REQ_MSPRX) > 1; }},
  {"setup write fails at q: back to the user menu", REQ_MSPTX, 3, FAULT_NOREPLY, "icqy",
   "\nError: Unable to set parameters\n", 0, nullptr, 1, [](Faults &) { return mode == 0; }},
  {"setup: no number typed, setting kept", NONE, "icsx\r", "", 0, nullptr, 1,
   [](Faults &t) { return count(t.text, " s salinity trigger\t\t50%") == 2; }},

  // ---- Configuring and arming: nothing said done that is not ----
  {"setup: the MSP refuses the settings at q: not armed", REQ_MSPTX, 3, FAULT_REFUSE, "icqy",
   " Error: the MSP did not take the release and trigger settings (register 20)\n", 0, nullptr, 1,
   [](Faults &t) { return count(t.text, "done") == 0 && t.cfg().msp.regs[0] == 0 && t.got(REQ_MSPTX) == 3; }},
  {"setup: settings read in part (register 32 unanswered): q writes nothing", REQ_MSPRX, 2, FAULT_NOREPLY, "icqy",
   " Error: the settings were not read from this tag: nothing written, the tag not armed\n", 0, nullptr, 1,
   [](Faults &t) { return t.got(REQ_TIMESET) == 1 && count(t.text, "Arm tag") == 0; }},
  {"setup: clock not set at q", REQ_TIMESET, 1, FAULT_WRITEFAIL, "icqn", " Error: the tag's clock was not set\n"},
  {"boot code's last piece refused: not configured", REQ_EEWRITE, 6, FAULT_NACK, "y",
   " Error: the boot code did not install: the tag is not configured\n", 0,
   [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); Harness::file(REBOOTFILE, std::string(130, 'k')); },
   1, [](Faults &t) { return t.ee(t.tag, 0x6000, 2) == Bytes{0xFF, 0xFF}; }},
  {"no flash chips: said", NONE, "80\r", " Error: the tag reports no flash chips\n", 0,
   [](Faults &t) { t.cfg().chips.clear(); }},
  {"user menu drawn again after its action", REQ_DIR, 0, FAULT_NOREPLY, "i1", " Error: failed dir request"},
  {"bad-block table: its end marker refused, the old file kept", REQ_EEWRITE, 4, FAULT_NACK, "d",
   " Error writing bad block table to EEPROM\n", 0, oldtable, 1, oldkept},
  {"bad-block table: a chip's blocks unanswered, the old file kept", REQ_FLBAD, 2, FAULT_NOREPLY, "d",
   " Error: failed bad block request with flag 0020\n", 0, oldtable, 1, oldkept},
#ifdef __linux__
  {"boot code file unreadable: not configured", NONE, "y", " Error: reading file _reboot.bin failed\n", 0,
   [](Faults &t) { vbus_tag_eeprom(t.tag).assign(0x10000, 0xFF); (void)!symlink("/proc/self/mem", REBOOTFILE); }, 1,
   [](Faults &t) { return t.ee(t.tag, 0x6000, 2) == Bytes{0xFF, 0xFF}; }},
  {"data directory that cannot be written: kept", NONE, "h/proc\r", " Cannot write to directory '/proc/'", 0, nullptr,
   1, [](Faults &) { return DATA_DIR[0] == 0; }},
#endif
  {"expert offload by record: the directory unanswered", REQ_DIR, 0, FAULT_NOREPLY, "f1\r",
   " Error: failed dir request"},
  {"free memory asked again, with a zero location", REQ_FREEMEM, 1, FAULT_NOREPLY, "e524576 2\re",
   " Error: failed ID request with flag 0020\n", 0, nullptr, 1,
   [](Faults &t) { return t.payloads(t.tag, REQ_FREEMEM).at(1) == Bytes(8, 0); }},
  {"flash write at the typed page; the directory asked with a zero location", NONE, "afw.bin\r0 1 2\re",
   " Enter Chip Block Page?\t\t", 0, nullptr, 1, [](Faults &t) {
     Bytes w = t.payloads(t.tag, REQ_FLWRITE).at(0);
     return hex(Bytes(w.begin(), w.begin() + 6)) == "000000010002" && t.payloads(t.tag, REQ_DIR).at(0) == Bytes(8, 0);
   }},
};
// clang-format on


TEST_F(Faults, EveryFailureIsShownOnceAndTheSessionGoesOn) {
  for (const Row &r : ROWS) {
    fresh();
    // The files the actions read: firmware, EEPROM contents (200 bytes; 52, a
    // frame of a whole number of packets), an MSP image.
    file("fw.bin", std::string(5000, 'f'));
    file("e.bin", std::string(200, 'e'));
    file("z.bin", std::string(52, 'z'));
    file("fw.txt", MSP_IMAGE);
    mode = 1;
    tag = attach();
    if (r.code >= 0) F(r.code, r.nth, r.kind, r.arg);
    if (r.setup) r.setup(*this);
    size_t files = open_files();
    int quit = r.runner <= HOST_END && r.result == 1;
    size_t later = r.keys.find('~');
    keys(r.keys.substr(0, later));
    if (later != std::string::npos) keys_at(10000, r.keys.substr(later + 1));
    // Late enough for a key waiting not to stop an offload or erase.
    keys_at(60000, quit ? "qnq" : "");
    int res = r.runner <= HOST_END ? run([&] { return host(find(tag)); })
              : r.runner == PARAMS ? run([&] { claim(tag); return edit_params(); })
                                   : run([] { return k3host_main(); });
    EXPECT_EQ(res, r.result) << r.what;
    std::string e = err(), eo = e;
    e += out();
    EXPECT_TRUE(r.shown.empty() || count(e, r.shown) == 1) << r.what << ": shown " << count(e, r.shown) << " times";
    // The menu drawn again after it (unless it came at the end, or on stdout).
    size_t at = e.find(r.shown);
    EXPECT_TRUE(!quit || r.runner != HOST || at >= eo.size() || e.find(MENU, at) != std::string::npos) << r.what;
    text = e;
    EXPECT_TRUE(!r.left || r.left(*this)) << r.what;
    EXPECT_EQ(open_files(), files) << r.what << ": a file left open";
  }
}

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
  const std::string bad[] = {"\r", std::string(300, 'z') + "\r", "abc\r", "-5 -5\r", "99999999999 99999999999\r",
                             "\x01\x1b\x7f\x00\r"s};
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
    std::pair<size_t, size_t> n{open_files(), 0};
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
