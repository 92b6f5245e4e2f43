// Reading a recording file (.kvd): a 42-byte header, the flash pages as the
// tag sent them, and the 2-byte trailer 0xAA 0xAA. The header is written at
// the start of an offload with its closing fields zero and completed, with
// a CRC, when the offload ends; a file whose offload failed half-way keeps
// the open header and has no trailer.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#define KVD_HEADER 42
#define KVD_TRAILER 2
#define KVD_IDENT "KOVA 3.0"

struct KvdInfo {
  uint32_t started = 0;       // host clock at the start, seconds since 1970 UTC
  uint32_t time2 = 0;         // the header's second time field
  uint16_t id[5] = {};        // the tag's board identity words
  int start_chip = 0, start_block = 0;
  int end_chip = 0, end_block = 0;
  uint32_t blocks = 0;        // completed blocks
  uint16_t crc = 0, crc_want = 0;
  uint64_t data_bytes = 0;    // page data between header and trailer
  bool closed = false;        // the header was completed (its closing fields set)
  bool readable = false;      // the file could be read at all
  bool header = false;        // it has a whole header, so the fields above mean something
};

// Checks a recording file from its first KVD_HEADER bytes (fewer when the
// file is shorter), its size and its last two bytes. Fills info with what the
// header says and returns the faults found, in words for the operator; an
// empty list means a whole, well-formed file.
std::vector<std::string> kvd_check(const uint8_t *head, size_t head_len, uint64_t size, const uint8_t tail[2],
                                   KvdInfo *info);

// Reads the file at path and checks it as above; a file that cannot be read
// gives one fault saying why.
std::vector<std::string> kvd_check_file(const std::string &path, KvdInfo *info);
