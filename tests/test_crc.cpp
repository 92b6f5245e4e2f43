// Frame checksums: catalogue check values, the two-lane frame check and its
// treatment of odd and short counts, and the two lookup tables.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include "crc16v3.h"

namespace {

const unsigned char *bytes(const char *s) { return reinterpret_cast<const unsigned char *>(s); }

// The table entries worked out one bit at a time, for comparison.
uint32_t msb_entry(unsigned i) {
  uint32_t r = i << 8;
  for (int b = 0; b < 8; b++) r = (r & 0x8000) ? ((r << 1) ^ 0x1021) : (r << 1);
  return r & 0xFFFF;
}
uint32_t lsb_entry(unsigned i) {
  uint32_t r = i;
  for (int b = 0; b < 8; b++) r = (r & 1) ? ((r >> 1) ^ 0x8408) : (r >> 1);
  return r;
}

}  // namespace

TEST(Crc, SingleLanesGiveCatalogueCheckValues) {
  EXPECT_EQ(crc16byte1(bytes("123456789"), 9), 0x29B1u);
  EXPECT_EQ(crc16b(bytes("123456789"), 9), 0x6F91u);
  EXPECT_EQ(crc16byte1(bytes("abc"), 3), 0x514Au);
  EXPECT_EQ(crc16b(bytes("abc"), 3), 0x61DAu);
}

TEST(Crc, EmptyInputLeavesTheStartValue) {
  EXPECT_EQ(crc16byte1(bytes(""), 0), 0xFFFFu);
  EXPECT_EQ(crc16b(bytes(""), 0), 0xFFFFu);
  EXPECT_EQ(crc16byte2(bytes(""), 0), 0xFFFFFFFFu);
  EXPECT_EQ(crc16byte2(bytes("a"), 1), 0xFFFFFFFFu);  // no whole pair
}

TEST(Crc, TwoLanesCoverEvenAndOddOffsets) {
  EXPECT_EQ(crc16byte2(bytes("abcd"), 4), 0x79D15C65u);
  // Each half is the single lane over its own offsets.
  EXPECT_EQ(crc16byte2(bytes("abcd"), 4) >> 16, crc16byte1(bytes("ac"), 2));
  EXPECT_EQ(crc16byte2(bytes("abcd"), 4) & 0xFFFF, crc16byte1(bytes("bd"), 2));
}

TEST(Crc, OddLastByteIsNotCovered) {
  EXPECT_EQ(crc16byte2(bytes("abc"), 3), 0x9D77AD14u);
  EXPECT_EQ(crc16byte2(bytes("abc"), 3), crc16byte2(bytes("abX"), 2));
}

TEST(Crc, SyncFrameCheckValue) {
  const unsigned char sync[6] = {0x55, 0xAA, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(crc16byte2(sync, 6), 0x79A2B6C1u);
}

TEST(Crc, LongFrameLanesMatchSingleLanes) {
  // A frame as long as the largest reply, so the register is carried through
  // every table entry many times.
  static unsigned char frame[30730], even[15365], odd[15365];
  for (int i = 0; i < (int)sizeof frame; i++) frame[i] = (unsigned char)(i * 7 + (i >> 8));
  for (int k = 0; k < 15365; k++) {
    even[k] = frame[2 * k];
    odd[k] = frame[2 * k + 1];
  }
  uint32_t both = crc16byte2(frame, (int)sizeof frame);
  EXPECT_EQ(both >> 16, crc16byte1(even, 15365));
  EXPECT_EQ(both & 0xFFFF, crc16byte1(odd, 15365));
}

TEST(CrcTables, KnownEntries) {
  EXPECT_EQ(CRCtab[0], 0x0000u);
  EXPECT_EQ(CRCtab[1], 0x1021u);
  EXPECT_EQ(CRCtab[255], 0x1EF0u);
  EXPECT_EQ(fcstab[0], 0x0000u);
  EXPECT_EQ(fcstab[1], 0x1189u);
  EXPECT_EQ(fcstab[128], 0x8408u);
}

TEST(CrcTables, EqualBitByBitComputation) {
  for (unsigned i = 0; i < 256; i++) {
    EXPECT_EQ(CRCtab[i], msb_entry(i)) << "CRCtab[" << i << "]";
    EXPECT_EQ(fcstab[i], lsb_entry(i)) << "fcstab[" << i << "]";
  }
}
