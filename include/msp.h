// The KOVA-3's MSP co-processor, reached through the tag's main processor:
// bytes relayed to and from it, its registers and sensors, the expert tests,
// and its firmware installed through its ROM boot loader.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <vector>

// MSP registers.
#define MSPREG_COMMAND 0   // command byte pair, write only
#define MSPREG_TIMING 20   // timing and trigger block, 12 bytes
#define MSPREG_TAGAPP 32   // audio and sensor option word, 2 bytes
#define MSPREG_FWINFO 128  // firmware information record, 64 bytes

#define TMO_MSPDRAIN 100  // a stale frame cleared before a transmit

// The MSP's sensor readings.
struct MspSensors {
  int32_t battery_mv;
  int32_t aux_value;     // read and kept, not shown
  int32_t salinity_raw;  // 0 to 1023
};

// The MSP status word of the last transmit, receive or sensor reply (0: no
// error). The exchange still counts as done when it is not 0; callers that
// must know whether the MSP took a write look here.
extern uint32_t msp_status;

// Sends the nwords MSP-byte words already at the start of the request
// payload. 0 sent and answered; -1 failed (printed).
int msp_tx(int nwords);
// Reads nbytes (0 to 255) bytes from the MSP into dest, storing at most
// nbytes whatever the reply carries: the number stored, or negative on failure.
int msp_rx(unsigned char *dest, int nbytes);
// Register read (address, then receive) and write (address and bytes).
int mspread(int address, unsigned char *dest, int nbytes);
int mspwrite(int address, const unsigned char *data, int nbytes);
// 0 with *rec filled; -1 failed, *rec unchanged.
int mspsensors(MspSensors *rec);

// The expert menu's tests: transmit typed hex bytes, receive a typed count,
// drive the WIO line. 0 or -1.
int msptxtest(void);
int msprxtest(void);
int mspwiotest(void);

// ---- Firmware, through the boot loader ----

// Sends nwords frame words as one relay request and decodes at most maxreply
// reply words into reply: their number, or -1 on failure (printed).
int msp_sendmess(const uint32_t *words, int nwords, uint32_t *reply, int maxreply);
// Boot-loader commands: 1 acknowledged, 0 not.
int msp_erase(void);
int msp_unlock(void);
// frame holds n + 10 words, the data bytes in its last n; the ten leading
// words are filled here.
int msp_write(int address, uint32_t *frame, int n);
int msp_start(int address);
// Writes the firmware information record for the image at path: 0 or 1.
int msp_sendhdr(const char *path);
// Reads the record back and shows it: 0 (also with no record), 1 when the
// register address could not be sent, -1 when the receive failed or the MSP
// did not answer it.
int msp_readhdr(void);

// A firmware image (TI-TXT) as read: its lines in file order, an address line
// (n < 0) or n data bytes at addr, the bytes at data[off].
struct ImageLine {
  int32_t addr, n, off;
};
struct MspImage {
  std::vector<ImageLine> lines;
  std::vector<uint8_t> data;
  int start = 0;  // taken from the data line at the reset vector
};
#define MSP_LINEBYTES 100  // data bytes one image line may hold

// Reads the image file f (path: for the messages) into img, up to its "q"
// line or its end. 0 read; 1 refused (message printed, with the line where
// the fault lies): a line too long, more than 65536 lines, an address line
// without a number or past FFFF, data before the first address line or past
// the end of the MSP's memory, a read error, or no data at all.
int msp_readimage(FILE *f, const char *path, MspImage *img);
// Installs an image typed by the operator: 0 written, 1 failed.
int mspprog(void);

// Puts this module's state back as at program start (for tests and fuzzers).
void msp_reset(void);
