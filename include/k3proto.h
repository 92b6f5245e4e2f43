// Frame constants, request codes and the records shared by the modules.
#pragma once

#include <stdint.h>

// Frame layout: sync word, code, payload length, payload, 4-byte check.
#define FRAME_SYNC 0x55AA
#define FRAME_HDR 6    // sync, code and length
#define FRAME_CHECK 4  // the two-lane CRC after the payload
#define FRAME_OVERHEAD (FRAME_HDR + FRAME_CHECK)
#define FRAME_MAX 30730  // largest frame in either direction
#define PAYLOAD_MAX (FRAME_MAX - FRAME_OVERHEAD)

// USB endpoints and set-up.
#define EP_OUT 2    // request frames
#define EP_IN 0x82  // frames from the tag
#define EP_BOOT 6   // raw boot image to a tag in boot-loader state
#define USB_CONFIG 1
#define USB_IFACE 0
#define USB_PACKET 64  // a write of a multiple of this ends with a zero-length packet

// Time-outs, in milliseconds.
#define TMO_WRITE 1000        // request frame, zero-length packet, raw bytes
#define TMO_REPLY 3000        // reply to a request
#define TMO_DIR 32000         // the recording directory
#define TMO_DRAIN 200         // drain before a sync request; idle poll of the session
#define TMO_DRAIN_AFTER 100   // drain after the sync acknowledge
#define TMO_BOOTCHUNK 5000    // one chunk of the boot image
#define WAIT_AFTER_BOOT 2500  // for the tag to come back in host state

// Receive status of getmess.
#define RX_GOOD 0
#define RX_BAD 1
#define RX_NONE 32

// Check flags of a received frame; the first failing check decides.
#define CHK_SYNC 1
#define CHK_LENGTH 2
#define CHK_CRC 4

// Reserved codes of frames from the tag.
#define MSG_ACK 0xFFFE
#define MSG_NACK 0xFFFF
#define MSG_ERROR 0xFFFD
#define MSG_TEXT 0xFFFC

// Request codes the tag answers.
#define REQ_SYNC 0x0000
#define REQ_BOARDID 0x0002
#define REQ_ADC 0x0003
#define REQ_TIMEREAD 0x0004
#define REQ_TIMESET 0x0005
#define REQ_SOC 0x0006
#define REQ_REBOOT 0x0008
#define REQ_CHIPCOUNT 0x0010
#define REQ_EEREAD 0x0101
#define REQ_EEWRITE 0x0102
#define REQ_EECLEAR 0x0103
#define REQ_FLREAD 0x0301
#define REQ_FLWRITE 0x0302
#define REQ_FLERASE 0x0303
#define REQ_FLGEOM 0x0304
#define REQ_FLBAD 0x0305
#define REQ_DIR 0x0306
#define REQ_FREEMEM 0x0307
#define REQ_MSPBSL 0x0409
#define REQ_MSPTX 0x040A
#define REQ_MSPRX 0x040B
#define REQ_MSPWIO 0x040C
#define REQ_MSPSENS 0x040D

// Payload bytes of the board commands' replies (and of the clock set).
#define BOARDID_LEN 10  // five words of board identity
#define ADC_LEN 8       // four ADC readings
#define TIME_LEN 8      // the time, then a zero word
#define SOC_LEN 6       // device type, charging state, battery millivolts

// What getmess reports about one received frame; data points into RXBUFF
// and is stale at the next read.
struct MessRec {
  unsigned char *data;
  int len;
  int cmd;
};

// A flash location: chip, block, page and a page (or block) count; on the
// wire four words, the payload of the location requests.
#define LOCN_LEN 8
struct flashlocn {
  int32_t chip;
  int32_t block;
  int32_t page;
  int32_t count;
};

// The geometry of one flash chip; flashid 0 means no chip is fitted.
struct chipgeom {
  int32_t flashid;
  int32_t nblocks;
  int32_t npages;
  int32_t nwords;
  int32_t reserved;
};

// One entry of the recording directory.
struct diritem {
  uint32_t startchip;
  uint32_t startblock;
  uint32_t starttime;
  uint32_t endchip;
  uint32_t endblock;
  uint32_t endtime;
  int32_t size;
  uint32_t type;
  uint32_t tag;
};
