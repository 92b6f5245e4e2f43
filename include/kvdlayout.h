// The recording file (.kvd): a 42-byte header, the flash pages as the tag
// sent them, and a 2-byte trailer. Numbers are big-endian. The header is
// written open at the start of an offload, its closing fields (end location,
// block count, CRC) zero, and closed when the offload ends; a file whose
// offload failed keeps the open header and has no trailer.
//
// The offload writes this layout (hostflsh.cpp); kvdcheck and the field
// station read it (kvdread.cpp).
#pragma once

#define KVD_IDENT "KOVA 3.0"  // bytes 0 to 7
#define KVD_IDENT_LEN 8
#define KVD_AT_ZERO1 8        // 2 bytes, always zero
#define KVD_AT_STARTED 10     // 4 bytes: the host's clock at the start, seconds since 1970
#define KVD_AT_ZERO2 14       // 2 bytes, always zero
#define KVD_AT_TIME2 16       // 4 bytes: the host's local time of 31 December 1999 00:00:00
#define KVD_AT_ID 20          // 5 words: the tag's board identity
#define KVD_AT_STARTCHIP 30   // 1 byte
#define KVD_AT_STARTBLOCK 31  // 2 bytes
#define KVD_AT_CLOSING 33     // the closing fields, zero while the header is open:
#define KVD_AT_ENDCHIP 33     //   1 byte
#define KVD_AT_ENDBLOCK 34    //   2 bytes
#define KVD_AT_BLOCKS 36      //   4 bytes: blocks completed
#define KVD_AT_CRC 40         //   2 bytes: crc16b of bytes 0 to 39
#define KVD_HEADER 42
#define KVD_CLOSING_LEN (KVD_HEADER - KVD_AT_CLOSING)

#define KVD_TRAILER 2
#define KVD_TRAILER_WORD 0xAAAA  // the trailer, 0xAA 0xAA
#define KVD_TRAILER_BYTE 0xAA
