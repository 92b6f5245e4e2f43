// Frame checksums: two CRC-16 lanes over a frame, and the two single lanes.
#pragma once

#include <stdint.h>

extern const uint32_t CRCtab[256];  // MSB-first table of polynomial 0x1021
extern const uint32_t fcstab[256];  // reflected table of the same polynomial

// Lane over even offsets in the high half, lane over odd offsets in the low
// half; count / 2 bytes per lane, so an odd last byte is not covered.
uint32_t crc16byte2(const unsigned char *bytes, int count);

// MSB-first CRC-16 from 0xFFFF, no final exclusive-or.
uint32_t crc16byte1(const unsigned char *bytes, int count);

// Reflected CRC-16 from 0xFFFF, no final complement.
uint32_t crc16b(const unsigned char *bytes, int count);
