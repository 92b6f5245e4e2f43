// Frame checksums: catalogue check values, the two-lane frame check with odd
// and short counts, and the two lookup tables.
#include <gtest/gtest.h>

#include <stdint.h>

#include "crc16v3.h"

namespace {
const unsigned char *bytes(const char *s) { return reinterpret_cast<const unsigned char *>(s); }
}  // namespace

// Catalogue check values of the one-lane CRCs, and the two-lane frame check
// over even, odd, short and empty counts.
TEST(Crc, CheckValues) {
  struct { uint32_t (*fn)(const unsigned char *, int); const char *in; int len; uint32_t want; } cases[] = {
      {crc16byte1, "123456789", 9, 0x29B1}, {crc16b, "123456789", 9, 0x6F91},
      {crc16byte1, "abc", 3, 0x514A},       {crc16b, "abc", 3, 0x61DA},
      {crc16byte1, "", 0, 0xFFFF},          {crc16b, "", 0, 0xFFFF},
      {crc16byte2, "", 0, 0xFFFFFFFF},      {crc16byte2, "a", 1, 0xFFFFFFFF},  // no whole pair
      {crc16byte2, "abcd", 4, 0x79D15C65},  {crc16byte2, "abc", 3, 0x9D77AD14},  // odd last byte left out: the value of "ab"
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.fn(bytes(c.in), c.len), c.want) << "\"" << c.in << "\" length " << c.len;
}

// Over the largest frame the two lanes are the one-lane CRC of the even and
// of the odd bytes.
TEST(Crc, LongFrameLanesMatchSingleLanes) {
  // As long as the largest reply: the upper half is the lane over the even
  // offsets, the lower half the lane over the odd ones.
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

// Every entry of both lookup tables equals the bit-by-bit computation.
TEST(Crc, TablesEqualBitByBitComputation) {
  for (unsigned i = 0; i < 256; i++) {
    uint32_t m = i << 8, l = i;
    for (int b = 0; b < 8; b++) {
      m = (m & 0x8000) ? ((m << 1) ^ 0x1021) : (m << 1);
      l = (l & 1) ? ((l >> 1) ^ 0x8408) : (l >> 1);
    }
    EXPECT_EQ(CRCtab[i], m & 0xFFFF) << "CRCtab[" << i << "]";
    EXPECT_EQ(fcstab[i], l) << "fcstab[" << i << "]";
  }
}
