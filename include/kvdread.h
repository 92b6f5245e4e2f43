// Reading a recording file (.kvd, laid out as kvdlayout.h says) and judging
// whether it is whole.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "kvdlayout.h"

// What kvdcheck calls a file, from the best to the worst.
enum KvdVerdict { KVD_GOOD, KVD_EMPTY, KVD_DIFFERS, KVD_STOPPED, KVD_DAMAGED, KVD_UNREADABLE, KVD_NOTFILE };
extern const char *const KVD_VERDICT[7];  // "good", "EMPTY", ...

struct KvdInfo {
  uint32_t started = 0;  // host clock at the start, seconds since 1970 UTC
  uint32_t time2 = 0;    // the header's second time field
  uint16_t id[5] = {};   // the tag's board identity words
  int start_chip = 0, start_block = 0;
  int end_chip = 0, end_block = 0;
  uint32_t blocks = 0;  // completed blocks
  uint16_t crc = 0, crc_want = 0;
  uint64_t data_bytes = 0;  // page data between header and trailer
  bool closed = false;      // the header was completed (its closing fields set)
  bool readable = false;    // the file could be read at all
  bool header = false;      // it has a whole header, so the fields above mean something
  KvdVerdict verdict = KVD_UNREADABLE;
  bool recorded = false;    // the offload record in the file's folder names it
  int rec_outcome = 0;      // then: what the record says (OFF_COMPLETE, ...)
  uint32_t rec_range = 0;   // the blocks the recording spans
  int32_t rec_written = 0;  // the blocks and bytes the record says the file holds
  uint64_t rec_bytes = 0;
};

// Checks a recording file from its first KVD_HEADER bytes (fewer when the
// file is shorter), its size and its last two bytes. Fills info with what the
// header says and returns the faults found, in words for the operator; an
// empty list means a whole, well-formed file.
std::vector<std::string> kvd_check(const uint8_t *head, size_t head_len, uint64_t size, const uint8_t tail[2],
                                   KvdInfo *info);

// Reads the file at path and checks it as above, then against the offload
// record in its folder when that names it: a file is good only when it is
// whole, holds at least one block and (when recorded) was offloaded
// complete at the size and block count the record gives. A file that cannot
// be read (or is no regular file) gives one fault saying why. info->verdict
// sums it up.
std::vector<std::string> kvd_check_file(const std::string &path, KvdInfo *info);
