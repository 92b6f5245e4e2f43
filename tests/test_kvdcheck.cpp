// The recording-file checker against files made byte by byte to the format:
// a whole file reads back field for field, and each way a file can be
// damaged (or left unfinished by a failed offload) is told apart.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "crc16v3.h"
#include "kvdread.h"

namespace {

// Sets the header CRC to match the header, as a writer would.
void recrc(std::vector<uint8_t> &f) {
  uint32_t crc = crc16b(f.data(), 40);
  f[40] = (uint8_t)(crc >> 8);
  f[41] = (uint8_t)crc;
}

// A finished recording file: chip 1 blocks 5 to 9 (4 completed), 16 data bytes.
std::vector<uint8_t> whole_file() {
  std::vector<uint8_t> f = {'K', 'O', 'V', 'A', ' ', '3', '.', '0', 0, 0, 0x6A, 0x00, 0x00, 0x01, 0, 0,
                            0x38, 0x6B, 0xF6, 0x70, 0x00, 0x03, 0x01, 0x02, 0x4B, 0x33, 0x0A, 0x17, 0x00, 0x01,
                            1, 0x00, 0x05, 1, 0x00, 0x09, 0, 0, 0, 4};
  f.resize(KVD_HEADER);
  recrc(f);
  for (int i = 0; i < 16; i++) f.push_back((uint8_t)i);
  f.push_back(0xAA);
  f.push_back(0xAA);
  return f;
}

std::vector<std::string> check(const std::vector<uint8_t> &f, KvdInfo *k) {
  uint8_t tail[2] = {f.size() >= 2 ? f[f.size() - 2] : (uint8_t)0, f.size() >= 2 ? f.back() : (uint8_t)0};
  return kvd_check(f.data(), f.size() < KVD_HEADER ? f.size() : KVD_HEADER, f.size(), tail, k);
}

}  // namespace

// Each kind of damage gives exactly one fault, which names it.
TEST(Kvdcheck, EachDamageIsNamed) {
  struct Case {
    const char *what;
    void (*damage)(std::vector<uint8_t> &);
    const char *fault;
  };
  const Case cases[] = {
      {"not a recording", [](std::vector<uint8_t> &f) { f[5] = '4'; }, "not a recording file"},
      {"identity never read", [](std::vector<uint8_t> &f) { f.resize(8); }, "header cut short: 8 of 42"},
      {"failed offload", [](std::vector<uint8_t> &f) {
         for (int i = 33; i < 42; i++) f[i] = 0;
         f.resize(f.size() - 2);
       }, "unfinished"},
      {"failed offload, data ending in AA AA", [](std::vector<uint8_t> &f) {
         for (int i = 33; i < 42; i++) f[i] = 0;
       }, "unfinished"},
      {"changed header byte", [](std::vector<uint8_t> &f) { f[25] ^= 1; }, "header CRC is"},
      {"cut end", [](std::vector<uint8_t> &f) { f.pop_back(); }, "no trailer"},
      {"reserved bytes", [](std::vector<uint8_t> &f) {
         f[9] = 1;
         recrc(f);
       }, "bytes 8-9 or 14-15"},
      {"end before start", [](std::vector<uint8_t> &f) {
         f[35] = 4;
         recrc(f);
       }, "ends at chip 1 block 4, before its start at chip 1 block 5"},
      {"odd page data", [](std::vector<uint8_t> &f) { f.insert(f.end() - 2, 0x10); }, "17 bytes, an odd number"},
      {"more blocks than the range", [](std::vector<uint8_t> &f) {
         f[39] = 6;
         recrc(f);
       }, "6 blocks completed, but chip 1 block 5 to chip 1 block 9 is only 5 blocks"},
      {"4294967295 blocks", [](std::vector<uint8_t> &f) {
         f[36] = f[37] = f[38] = f[39] = 0xFF;
         recrc(f);
       }, "4294967295 blocks completed, but chip 1 block 5"},
      {"more blocks than the data", [](std::vector<uint8_t> &f) {
         f[35] = 0x40;
         f[39] = 9;
         recrc(f);
       }, "9 blocks completed, but 16 bytes of page data cannot hold"},
  };
  KvdInfo whole;
  EXPECT_TRUE(check(whole_file(), &whole).empty() && whole.closed && whole.time2 == 0x386BF670u);
  for (const Case &c : cases) {
    std::vector<uint8_t> f = whole_file();
    c.damage(f);
    KvdInfo k;
    std::vector<std::string> faults = check(f, &k);
    ASSERT_EQ(faults.size(), 1u) << c.what << ": " << testing::PrintToString(faults);
    EXPECT_NE(faults[0].find(c.fault), std::string::npos) << c.what << ": " << faults[0];
  }
}

// The committed sample file passes; a file that cannot be opened says so.
TEST(Kvdcheck, ReadsFilesFromDisk) {
  KvdInfo k;
  EXPECT_EQ(kvd_check_file(std::string(K3_SOURCE_DIR) + "/tests/data/sample.kvd", &k), std::vector<std::string>{});
  std::vector<uint8_t> f = whole_file();
  EXPECT_EQ(k.data_bytes, f.size() - KVD_HEADER - KVD_TRAILER) << "the sample is the whole file of these tests";
  std::vector<std::string> gone = kvd_check_file("/nonexistent/rec001.kvd", &k);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_FALSE(k.readable);
  EXPECT_NE(gone[0].find("cannot open"), std::string::npos);
}
