// The offload record: one line of plain text for every offload, appended to
// a file beside the recording files. It says what the recording file format
// cannot: which recording of which tag a file holds, whether the offload
// read all of it, and how large the file was when it was closed. kvdcheck
// reads it to tell a whole file from one cut short, and an erase by record
// reads it to know which recordings are safely on the disk.
//
// A line holds eleven fields separated by tabs:
//   finished   when the offload ended, "hh:mm:ss d-Mon-yyyy UTC"
//   tag        the board identity, five words in hexadecimal ("0003 0102 4b33 0a17 0001")
//   recording  the number in the listing, "-" for a typed flash range
//   flash      the range, "chip:block-chip:block"
//   start, end the recording's time codes as the directory gave them (8 hex digits, "-" for a typed range)
//   file       the file's name, relative to the record's folder
//   range      the blocks the flash range spans
//   written    the blocks the file holds (a bad block the tag skips is not written)
//   bytes      the file's size
//   outcome    "complete", "stopped" (by a key) or "failed"
// Lines that start with '#' are comments.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "k3proto.h"

#define OFFREC_FILE "_offloads.txt"  // in the data directory
#define OFFREC_LINE 600              // longest line read back
#define OFFREC_NAME 256              // a file name with its terminator

enum { OFF_COMPLETE, OFF_STOPPED, OFF_FAILED };
extern const char *const OFF_OUTCOME[3];

struct offrec {
  char finished[40];
  uint32_t id[5];
  int recno;  // 0: a typed flash range
  uint32_t startchip, startblock, endchip, endblock;
  uint32_t starttime, endtime;
  char file[OFFREC_NAME];
  uint32_t range;
  int32_t written;
  uint64_t bytes;
  int outcome;
};

// Appends one line for rec to the record in folder dir ("" the working
// folder; otherwise ending in a separator) and puts it on the disk. 0
// written; 1 failed (message printed).
int offrec_append(const char *dir, const offrec *rec);

// Opens the record in folder dir for reading, or null when there is none.
FILE *offrec_open(const char *dir);
// The next record line of f into rec (comments and lines that do not read
// as a record are passed over). 0 read; 1 at the end.
int offrec_next(FILE *f, offrec *rec);

// 1 when the record in dir holds a complete offload of this tag's
// recording (same flash range and time codes) whose file is still there at
// the size recorded; else 0.
int offrec_saved(const char *dir, const uint32_t id[5], const diritem *d);
// offrec_saved that also gives the file's name (relative to dir) in file
// when it finds one.
int offrec_find(const char *dir, const uint32_t id[5], const diritem *d, char file[OFFREC_NAME]);
