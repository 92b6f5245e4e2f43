// Recording file reader for kvdcheck and the field station (see kvdread.h).
#include "kvdread.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>

#include "crc16v3.h"
#include "offrec.h"

const char *const KVD_VERDICT[7] = {"good",    "EMPTY",      "DIFFERS FROM RECORD", "STOPPED",
                                    "DAMAGED", "UNREADABLE", "NOT A FILE"};

static uint32_t be(const uint8_t *p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) v = v << 8 | p[i];
  return v;
}

static std::string fmt(const char *f, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
  char buf[160];
  snprintf(buf, sizeof buf, f, a, b, c, d);
  return buf;
}

// The page data and the block count of a closed file with its trailer
// against each other and the flash range. A completed block holds at least
// one page of one 16-bit word, and the range holds at most 65536 blocks a
// chip. (How much data a block holds at most is not checked: the header
// does not say the geometry.)
static void check_blocks(const KvdInfo &k, std::vector<std::string> *faults) {
  char b[200];
  unsigned long long data = k.data_bytes;
  bool ordered = k.end_chip > k.start_chip || (k.end_chip == k.start_chip && k.end_block >= k.start_block);
  unsigned long long range = ((unsigned long long)k.end_chip - k.start_chip) * 65536 + k.end_block - k.start_block + 1;
  if (data % 2) {
    snprintf(b, sizeof b, "page data is %llu bytes, an odd number: the tag sends whole 16-bit words", data);
    faults->push_back(b);
  }
  if (k.blocks > 0 && data == 0) {
    faults->push_back(fmt("%u blocks completed but no page data", k.blocks));
  } else if (ordered && k.blocks > range) {
    snprintf(b, sizeof b,
             "header says %lu blocks completed, but chip %d block %d to chip %d block %d is only %llu blocks",
             (unsigned long)k.blocks, k.start_chip, k.start_block, k.end_chip, k.end_block, range);
    faults->push_back(b);
  } else if (k.blocks > data / 2) {
    snprintf(b, sizeof b, "header says %lu blocks completed, but %llu bytes of page data cannot hold that many",
             (unsigned long)k.blocks, data);
    faults->push_back(b);
  }
}

std::vector<std::string> kvd_check(const uint8_t *head, size_t head_len, uint64_t size, const uint8_t tail[2],
                                   KvdInfo *info) {
  std::vector<std::string> faults;
  KvdInfo k;
  k.readable = true;
  if (head_len < KVD_IDENT_LEN || memcmp(head, KVD_IDENT, KVD_IDENT_LEN) != 0) {
    faults.push_back("not a recording file: it does not start with \"" KVD_IDENT "\"");
    *info = k;
    return faults;
  }
  if (head_len < KVD_HEADER) {
    // The offload stopped before the tag's identity was read.
    faults.push_back(fmt("header cut short: %u of %u bytes", (unsigned)head_len, KVD_HEADER));
    *info = k;
    return faults;
  }
  k.header = true;
  k.started = be(head + KVD_AT_STARTED, 4);
  k.time2 = be(head + KVD_AT_TIME2, 4);
  for (int i = 0; i < 5; i++) k.id[i] = (uint16_t)be(head + KVD_AT_ID + 2 * i, 2);
  k.start_chip = head[KVD_AT_STARTCHIP];
  k.start_block = (int)be(head + KVD_AT_STARTBLOCK, 2);
  k.end_chip = head[KVD_AT_ENDCHIP];
  k.end_block = (int)be(head + KVD_AT_ENDBLOCK, 2);
  k.blocks = be(head + KVD_AT_BLOCKS, 4);
  k.crc = (uint16_t)be(head + KVD_AT_CRC, 2);
  k.crc_want = (uint16_t)crc16b(head, KVD_AT_CRC);
  static const uint8_t zero[KVD_CLOSING_LEN] = {};
  k.closed = memcmp(head + KVD_AT_CLOSING, zero, KVD_CLOSING_LEN) != 0;
  // A header that was never completed means the offload did not finish,
  // whatever the last bytes are: page data may end in AA AA by chance.
  bool trailer =
      k.closed && size >= KVD_HEADER + KVD_TRAILER && tail[0] == KVD_TRAILER_BYTE && tail[1] == KVD_TRAILER_BYTE;
  k.data_bytes = size - KVD_HEADER - (trailer ? KVD_TRAILER : 0);

  if (be(head + KVD_AT_ZERO1, 2) != 0 || be(head + KVD_AT_ZERO2, 2) != 0)
    faults.push_back("header bytes 8-9 or 14-15 are not zero");
  if (!k.closed) {
    faults.push_back("unfinished: the offload did not complete (header not closed)");
  } else {
    if (k.crc != k.crc_want) faults.push_back(fmt("header CRC is %04X, should be %04X", k.crc, k.crc_want));
    if (!trailer) faults.push_back("no trailer: the file does not end in AA AA");
    if (k.end_chip < k.start_chip || (k.end_chip == k.start_chip && k.end_block < k.start_block))
      faults.push_back(fmt("ends at chip %u block %u, before its start at chip %u block %u", (unsigned)k.end_chip,
                           (unsigned)k.end_block, (unsigned)k.start_chip, (unsigned)k.start_block));
    if (trailer) check_blocks(k, &faults);
  }
  *info = k;
  return faults;
}

// The last line of the offload record in the file's folder that names it,
// into k. Any fault it shows is added.
static void check_record(const std::string &path, KvdInfo *k, std::vector<std::string> *faults) {
  std::filesystem::path p(path);
  std::string dir = p.parent_path().string(), name = p.filename().string();
  if (!dir.empty()) dir += '/';
  FILE *f = offrec_open(dir.c_str());
  if (!f) return;
  offrec r;
  while (offrec_next(f, &r) == 0)
    if (name == r.file) {
      k->recorded = true;
      k->rec_outcome = r.outcome;
      k->rec_range = r.range;
      k->rec_written = r.written;
      k->rec_bytes = r.bytes;
    }
  fclose(f);
  if (!k->recorded) return;
  char b[200];
  if (k->rec_outcome != OFF_COMPLETE) {
    snprintf(b, sizeof b, "%s: the offload record says it %s after %d of %u blocks",
             k->rec_outcome == OFF_STOPPED ? "stopped" : "failed",
             k->rec_outcome == OFF_STOPPED ? "was stopped by a key" : "failed", (int)k->rec_written,
             (unsigned)k->rec_range);
    faults->push_back(b);
    if (k->verdict < KVD_STOPPED) k->verdict = KVD_STOPPED;
    return;
  }
  uint64_t size = k->data_bytes + KVD_HEADER + KVD_TRAILER;
  if (size != k->rec_bytes || (int32_t)k->blocks != k->rec_written) {
    snprintf(b, sizeof b, "differs from the offload record: %llu bytes and %u blocks, recorded %llu bytes and %d",
             (unsigned long long)size, (unsigned)k->blocks, (unsigned long long)k->rec_bytes, (int)k->rec_written);
    faults->push_back(b);
    if (k->verdict < KVD_DIFFERS) k->verdict = KVD_DIFFERS;
  }
}

std::vector<std::string> kvd_check_file(const std::string &path, KvdInfo *info) {
  *info = KvdInfo();
  std::error_code ec;
  auto st = std::filesystem::status(path, ec);
  // Opening a FIFO or a device would wait for a writer, or read for ever.
  if (!ec && st.type() != std::filesystem::file_type::regular) {
    info->verdict = KVD_NOTFILE;
    return {std::filesystem::is_directory(st) ? "it is a directory"
                                              : "not a regular file (a device, a pipe or a socket)"};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return {"cannot open the file: " + std::string(strerror(errno))};
  uint8_t head[KVD_HEADER] = {}, tail[KVD_TRAILER] = {};
  in.read((char *)head, KVD_HEADER);
  size_t got = (size_t)in.gcount();
  in.clear();
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) return {"cannot read the file"};
  if (size >= KVD_HEADER + KVD_TRAILER) {
    in.seekg(size - KVD_TRAILER);
    in.read((char *)tail, KVD_TRAILER);
    if (in.gcount() != KVD_TRAILER) return {"cannot read the end of the file"};
  }
  std::vector<std::string> faults = kvd_check(head, got, (uint64_t)size, tail, info);
  info->verdict = faults.empty() ? KVD_GOOD : KVD_DAMAGED;
  if (faults.empty() && info->blocks == 0) {
    faults.push_back("empty: it holds no completed block");
    info->verdict = KVD_EMPTY;
  }
  if (info->header && info->closed) check_record(path, info, &faults);
  return faults;
}
