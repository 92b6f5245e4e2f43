// The tag's flash recorder store: flash locations, chips, their geometry and
// bad blocks, the bad-block table, the data directory, the recording
// directory, offloads into recording files, erases, the selection of
// recordings by number, and the tag's firmware in flash.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "k3proto.h"
#include "offrec.h"

#define BADBLK_LIST 200       // bad-block list: the count and up to 199 blocks
#define BADBLK_REPLY_MAX 400  // bytes of the largest bad-block reply
#define BADBLK_MAXCHIPS 31    // chips with a bad-block record: ids 0xE0 to 0xFE

// Asks for n = 1, 2 or 3 numbers (chip, block, page) into loc; the fields not
// asked for are left alone. 0 read; 1 the input was not numbers (message
// printed).
int getflashlocn(flashlocn *loc, int n);

// The number of flash chips (0 when the tag reports none); -1 on failure
// (message printed).
int getnchips(void);

// The geometry of one chip. 0 good; 1 failed (message printed).
int getchiptype(int chip, chipgeom *geom);

// The bad-block list of one chip: list[0] the count, then the block numbers.
// The count never exceeds the block numbers the tag actually sent.
// 0 good; 1 failed (message printed).
int getbadblocks(int chip, int32_t list[BADBLK_LIST]);

// Menu action "8 Flash chips": the geometry of a typed chip. 0 or 1.
int hflsid_req(void);

// Menu action "c Get bad blocks": the bad blocks of a typed chip. 0 or 1.
int hflsbadblocks_req(void);

// Menu action "d Make bad block file": the bad-block table file in the
// working directory and the parameter magic, the bad-block records and the end
// marker in the EEPROM. 0 both written; 1 failed (message printed); more than
// BADBLK_MAXCHIPS chips are refused.
int hflsbadblockfile(void);
// The same, with the parameter magic only when magic is non-zero. 0 both
// written; 1 the EEPROM table not written; 2 the EEPROM table written but not
// the file (the old file kept). Messages printed.
int hflsbadblocktable(int magic);

// ---- The data directory ----

#define DATA_DIR_LEN 200              // DATA_DIR with its separator and terminator
#define DATA_DIR_MAX 198              // characters typed or loaded
#define DATA_DIR_FILE "_datadir.txt"  // where it is remembered, in the working directory

// Folder the recording files go to: empty (the working directory) or a name
// ending in a path separator, so a file name can follow it directly.
extern char DATA_DIR[DATA_DIR_LEN];

// Reads DATA_DIR from _datadir.txt and normalises it. 1 when the file cannot
// be opened (DATA_DIR unchanged, no message); otherwise 0.
int loaddatadir(void);
// Menu action "Set data directory": a typed name, normalised. Always 0.
int setdatadir(void);
// Appends the separator a non-empty DATA_DIR lacks and creates its last
// level; a missing parent folder empties it (message printed). Always 0.
int checkdatadir(void);
// Writes DATA_DIR to _datadir.txt. 1 when the file cannot be created (no
// message); otherwise 0 (a short write is reported).
int savedatadir(void);

// ---- The recording directory ----

#define DIRITEM_BYTES 22  // one directory entry on the wire

extern diritem *HFLS_dirtab;  // the directory the tag last sent, or null
extern int HFLS_nrecs;        // its entries; -1 when no directory is held
extern int HFLS_flag;         // DIR_CUT or DIR_PARTIAL as below, else 0
#define DIR_CUT 1             // the tag had more entries than it sent
#define DIR_PARTIAL 2         // the reply ended part-way through an entry
extern int32_t mbfree;        // free flash in MB; -1 unknown

// Fetches the directory. 0 held (possibly empty); 1 failed (message printed,
// nothing held).
int reqdirtab(void);
// Fetches the free memory into mbfree. 0 updated; 1 failed (message printed).
int mbfree_req(void);
// Lists the directory (fetched when none is held): the user form (flag 0)
// shows complete recordings only, the expert form every entry with its flash
// range. The number of entries; 1 when fetching failed (message printed).
int showdirtab(int flag);
// Entry n counted from 0, or null when there is none.
diritem *getdiritem(int n);
// Forgets the directory and the free memory. Always 0.
int freedirtab(void);

// ---- Offload ----

#define KVD_PAGEWORDS 15352  // words of page data one read reply can carry
#define TIMETOGO_RATE 780    // size units offloaded per second, for the estimate

// Reads the flash range into a new recording file at path: header, page
// data, trailer. 0 the range was read, or stopped by a key press; 1 failed
// (message printed; the file keeps what was read, without trailer).
int hflsoffload(const char *path, const diritem *range);

// What one offload did.
struct offloadinfo {
  int outcome;      // OFF_COMPLETE, OFF_STOPPED (by a key) or OFF_FAILED (offrec.h)
  uint32_t id[5];   // the tag's identity, as the file's header holds it
  uint32_t range;   // blocks the flash range spans; 0 when no geometry was read
  int32_t blocks;   // blocks completed in the file
  long long bytes;  // the size of the file left behind (0: none)
  int gone;         // stopped because the tag left the bus (pulled out)
};
// Called, when set, after every block an offload completes with the bytes
// of page data the file holds, in place of the time-to-go display; the
// field station sets it to draw its own progress line.
extern void (*offload_progress)(long long bytes);
// hflsoffload for recording recno of the listing (0: a typed range): the
// outcome, with *info. A tag that leaves the bus stops the offload (the
// file keeps the open header and what arrived). The file's line ends in "done" only for a complete
// offload, otherwise it says how much the file holds. A file already at
// path is replaced only by a complete offload (a partial one is left as
// path.part). Every offload that made a file appends a line to the offload
// record in DATA_DIR before its outcome is shown.
int offloadrange(const char *path, const diritem *range, int recno, offloadinfo *info);
// Menu action "Offload Flash": a typed file name and flash range. 0 or 1.
int hflsoffload_req(void);
// Shows the time an offload of remaining size units still needs, over the
// previous display unless first.
void updatetimetogo(int32_t remaining, int first);
// Writes the 42-byte header with its closing fields zero. 0 written; 1 the
// tag's identity could not be read (message printed).
int kvdheader(FILE *f, const flashlocn *pos);
// Appends the trailer word and completes the header with the end location,
// the block count and its CRC. 0 saved; 1 failed (message printed).
int kvdtrailer(FILE *f, const flashlocn *pos, int32_t blocks, unsigned trailer);

// ---- Erase ----

// Erases the blocks of range in requests of up to 20 blocks, showing a
// percentage. 0 erased, or stopped by a key press; 1 failed (message printed).
int eraseflash(const diritem *range);
// eraseflash that says in *stopped whether a key stopped it part-way (1) or
// not (0).
int eraseflash_stop(const diritem *range, int *stopped);
// Menu action "Flash clear": a typed range. 0 erased; 1 refused or failed.
int hflsclear_req(void);

// ---- Recordings by number ----

#define SELECT_LINE 80   // characters of a typed selection
#define RECNAME_LEN 208  // a recording file name with its terminator

// Sets the tag of entries first..last (counted from 1) to value; a last
// number outside the directory marks nothing (message printed).
void settags(int first, int last, int value);
// Marks the entries a selection text names ("1-6,8-10", "a" all, "x"
// none): how many of the first count entries then carry value.
int parsenums(const char *text, int count, int value);
// Asks for a selection and marks it: parsenums's result.
int selectfiles(int value, int count);
// Menu actions "Offload files" and "Erase files": picked recordings, one
// file each or erased. 0 nothing picked or all done; 1 one failed (the rest
// are left alone).
int hflsoffloadrec_req(int mode);
int hflsclearrec_req(int mode);

// ---- Firmware ----

#define FW_MARKER 0x76C3  // first word of a firmware header in flash
#define FW_HEADER 12      // marker, load time, file time, name length
#define FW_NAME_MAX 250   // longest name length the check accepts

// Writes the file at path to flash page by page from pos, behind a firmware
// header with marker. 0 written; 1 failed (message printed), or the flag of
// a failed send.
int hflswrite(const char *path, flashlocn pos, unsigned marker);
// Menu action "Flash write": a typed file and chip, block, page. As hflswrite.
int hflswrite_req(void);
// Menu action "Download firmware": erases block 0 of chip 0 and writes a
// typed file there. As hflswrite.
int sendcode(void);
// Reads the one page at pos: its data inside the receive buffer (valid until
// the next message) with *len its bytes, or null (message printed).
unsigned char *hfls_pageread(flashlocn *pos, int *len);
// Menu action "Current firmware": the firmware header in chip 0, block 0,
// page 0. 1 when the page could not be read; otherwise 0.
int checkcode(void);

// Puts this module's state back as at program start (for tests and fuzzers).
void hostflsh_reset(void);
