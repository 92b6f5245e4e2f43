// The KOVA-3's MSP co-processor. The host never reaches it directly: each
// exchange is a request to the tag's main processor, which relays the bytes
// and returns the MSP's answer. A byte for the MSP travels as one 16-bit
// payload word (0, byte), so n MSP bytes take 2n payload bytes.
//
// Firmware goes in through the MSP's ROM boot loader, one boot-loader frame
// per relay request: mass erase, password, the firmware information record
// at 0x1000, the image's data blocks, then the start of the new program.
#include "msp.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "host.h"
#include "platform.h"
#include "utilities.h"

// ---- Register access ----

uint32_t msp_status;

void msp_reset(void) { msp_status = 0; }

// Puts byte b as the ith MSP-byte word of the request payload.
static void putmspbyte(unsigned char *p, int i, int b) {
  p[2 * i] = 0;
  p[2 * i + 1] = (unsigned char)b;
}

// The reply must carry code and at least minlen payload bytes: otherwise the
// bad-response line, and 1.
static int badreply(const MessRec *rec, int code, int minlen) {
  if (rec->cmd == code && rec->len >= minlen) return 0;
  fprintf(stderr, " MSP response bad %04x:%d\n", rec->cmd & 0xFFFF, rec->len);
  return 1;
}

int msp_tx(int nwords) {
  MessRec rec;
  getmess(&rec, TMO_MSPDRAIN);  // a stale frame (such as a clock-set acknowledge) goes here
  if (askreq(REQ_MSPTX, 2 * nwords, &rec, "MSP request", 0) || badreply(&rec, REQ_MSPTX, 0)) return -1;
  msp_status = 0;
  if (rec.len >= 2) bpack(&msp_status, rec.data, 1);
  if (msp_status) fprintf(stderr, " received %02x\n", msp_status);
  return 0;
}

int msp_rx(unsigned char *dest, int nbytes) {
  putmspbyte(getbuff(), 0, nbytes);
  MessRec rec;
  if (askreq(REQ_MSPRX, 2, &rec, "MSP request", 0) || badreply(&rec, REQ_MSPRX, 0)) return -1;
  if (rec.len < 2) return -1;
  int count = (rec.len - 2) / 2;
  bpack(&msp_status, rec.data, 1);
  if (msp_status) fprintf(stderr, "\n received %d bytes (err %x)\n", count, msp_status);
  // The caller's buffer holds what it asked for, whatever the reply carries.
  if (count > nbytes) count = nbytes;
  for (int i = 0; i < count; i++) dest[i] = rec.data[3 + 2 * i];
  return count;
}

int mspread(int address, unsigned char *dest, int nbytes) {
  putmspbyte(getbuff(), 0, address);
  if (msp_tx(1) < 0) return -1;
  return msp_rx(dest, nbytes);
}

int mspwrite(int address, const unsigned char *data, int nbytes) {
  if (nbytes < 0 || nbytes > 255) {
    fprintf(stderr, " Error: an MSP write of %d bytes does not fit its registers\n", nbytes);
    return -1;
  }
  unsigned char *p = getbuff();
  putmspbyte(p, 0, address);
  for (int i = 0; i < nbytes; i++) putmspbyte(p, i + 1, data[i]);
  return msp_tx(nbytes + 1);
}

int mspsensors(MspSensors *rec) {
  MessRec r;
  if (askreq(REQ_MSPSENS, 0, &r, "MSP request", 0) || badreply(&r, REQ_MSPSENS, 8)) return -1;
  uint32_t w[4];
  bpack(w, r.data, 4);
  msp_status = w[0];
  if (w[0]) fprintf(stderr, " received %02x\n", w[0]);
  rec->battery_mv = (int32_t)w[1];
  rec->salinity_raw = (int32_t)w[2];
  rec->aux_value = (int32_t)w[3];
  return 0;
}

// ---- The expert tests ----

#define TEST_LINE 30  // characters of a typed test input
int msptxtest(void) {
  char line[TEST_LINE + 1];
  unsigned char bytes[(TEST_LINE + 1) / 2];  // what str2hex makes of a line
  fprintf(stderr, " Input characters (enter to end)... ");
  getl(line, TEST_LINE);
  int n = str2hex(bytes, line);
  unsigned char *p = getbuff();
  for (int i = 0; i < n; i++) putmspbyte(p, i, bytes[i]);
  fprintf(stderr, "\n");
  if (n == 0) return 0;
  return msp_tx(n);
}

int msprxtest(void) {
  char line[TEST_LINE + 1];
  unsigned char buf[64];
  fprintf(stderr, " Input number of bytes to read... ");
  getl(line, TEST_LINE);
  int n = 0;
  scanints(line, &n, 1);
  // A negative count would go out as its low byte, far more than the
  // buffer holds: it asks for nothing, as 0 does.
  if (n <= 0) return 0;
  if (n > (int)sizeof buf) n = (int)sizeof buf;
  int count = msp_rx(buf, n);
  if (count < 0) return -1;
  fprintf(stderr, "\n received %d bytes:", count);
  for (int i = 0; i < count; i++) fprintf(stderr, " %02x", buf[i]);
  fprintf(stderr, "\n");
  return 0;
}

int mspwiotest(void) {
  char line[ONE_KEY + 1];
  fprintf(stderr, " Input 0 or 1... ");
  getl(line, ONE_KEY);
  int v = 0;
  scanints(line, &v, 1);
  putmspbyte(getbuff(), 0, v);
  MessRec rec;
  if (askreq(REQ_MSPWIO, 2, &rec, "MSP request", 0) || badreply(&rec, MSG_ACK, 0)) return -1;
  return 0;
}

// ---- Boot loader ----

#define BSL_HDR 0x80
#define BSL_ACK 0x90
#define BSL_MASSERASE 0x18
#define BSL_PASSWORD 0x10
#define BSL_WRITE 0x12
#define BSL_START 0x1A
#define BSL_FRAMEWORDS 10    // relay words before a frame's data
#define MSP_INFOADDR 0x1000  // information memory: the firmware record
#define MSP_HOSTVERSION 0x5A01
#define MSP_PASSWORD 0xFF  // every password byte right after a mass erase

// The ten leading words of a frame: byte counts, header, command, L1 = L2,
// address and length word, each byte in the low half of its word.
static void bslframe(uint32_t *w, int cmd, int address, int length, int ndata) {
  w[0] = 8 + ndata;
  w[1] = 1;  // every command here is answered with one byte
  w[2] = BSL_HDR;
  w[3] = cmd;
  w[4] = w[5] = 4 + ndata;
  w[6] = address & 0xFF;
  w[7] = (address >> 8) & 0xFF;
  w[8] = length & 0xFF;
  w[9] = (length >> 8) & 0xFF;
}

int msp_sendmess(const uint32_t *words, int nwords, uint32_t *reply, int maxreply) {
  if (nwords < 0 || nwords > PAYLOAD_MAX / 2) {
    fprintf(stderr, " Error: a boot-loader frame of %d words does not fit a request\n", nwords);
    return -1;
  }
  bunpack(getbuff(), words, nwords);
  MessRec rec;
  if (askreq(REQ_MSPBSL, 2 * nwords, &rec, "MSP request", 0)) return -1;
  if (rec.cmd != REQ_MSPBSL) {
    fprintf(stderr, " MSP response bad\n");
    return -1;
  }
  int n = rec.len / 2;
  if (n > maxreply) n = maxreply;
  bpack(reply, rec.data, n);
  return n;
}

// Sends a frame answered by one byte: 1 when that byte is the acknowledge.
static int bslcommand(const uint32_t *words, int nwords) {
  uint32_t reply = 0;
  return msp_sendmess(words, nwords, &reply, 1) == 1 && reply == BSL_ACK;
}

int msp_erase(void) {
  uint32_t w[BSL_FRAMEWORDS];
  bslframe(w, BSL_MASSERASE, 0, 0, 0);
  return bslcommand(w, BSL_FRAMEWORDS);
}

int msp_unlock(void) {
  uint32_t w[BSL_FRAMEWORDS + 32];
  bslframe(w, BSL_PASSWORD, 0, 0, 32);
  for (int i = 0; i < 32; i++) w[BSL_FRAMEWORDS + i] = MSP_PASSWORD;
  return bslcommand(w, BSL_FRAMEWORDS + 32);
}

int msp_write(int address, uint32_t *frame, int n) {
  bslframe(frame, BSL_WRITE, address, n, n);
  return bslcommand(frame, BSL_FRAMEWORDS + n);
}

int msp_start(int address) {
  uint32_t w[BSL_FRAMEWORDS];
  bslframe(w, BSL_START, address, 0, 0);
  return bslcommand(w, BSL_FRAMEWORDS);
}

// ---- Firmware information record ----

int msp_sendhdr(const char *path) {
  char name[256];
  time_t mtime;
  if (plat_findfile(path, name, sizeof name, &mtime)) return 1;
  uint32_t now = (uint32_t)time(NULL), mod = (uint32_t)mtime;
  // The name's length rounded up to even, within the 62 bytes the record
  // has room for; an odd name keeps its terminating zero.
  int L = (int)((strlen(name) + 1) & 0x3E);
  uint32_t v[6] = {MSP_HOSTVERSION, now & 0xFFFF, now >> 16, mod & 0xFFFF, mod >> 16, (uint32_t)L};
  unsigned char rec[12 + 64];
  brunpack(rec, v, 6);
  // The record's name is the file's own, without folders, so that its
  // length and its characters describe the same name.
  memset(rec + 12, 0, 64);
  memcpy(rec + 12, name, strnlen(name, L));
  uint32_t frame[BSL_FRAMEWORDS + 12 + 64];
  for (int i = 0; i < 12 + L; i++) frame[BSL_FRAMEWORDS + i] = rec[i];
  if (msp_write(MSP_INFOADDR, frame, 12 + L)) return 0;
  fprintf(stderr, " Write failed\n");
  return 1;
}

int msp_readhdr(void) {
  putmspbyte(getbuff(), 0, MSPREG_FWINFO);
  if (msp_tx(1) < 0) {
    fprintf(stderr, " Write failed\n");
    return 1;
  }
  unsigned char rec[64];
  int n = msp_rx(rec, 64);
  if (n < 0) return -1;
  // Nothing received with an error status: the MSP (in its boot loader, say)
  // did not answer, which says nothing about the record.
  if (n == 0 && msp_status) {
    fprintf(stderr, " Error: the MSP did not answer the firmware information read\n");
    return -1;
  }
  uint32_t v[6] = {0xFFFF, 0, 0, 0, 0, 0};  // nothing received: no record
  if (n > 0 && n < 12) {
    fprintf(stderr, "Corrupt firmware\n");
    return 0;
  }
  if (n >= 12) brpack(v, rec, 6);
  if (v[0] == 0xFFFF) {
    fprintf(stderr, "No firmware information loaded\n");
    return 0;
  }
  if (v[5] > 62) {
    fprintf(stderr, "Corrupt firmware\n");
    return 0;
  }
  // Only the part of the name that arrived is shown.
  int L = (int)v[5] < n - 12 ? (int)v[5] : n - 12;
  char name[64];
  memcpy(name, rec + 12, L);
  name[L] = 0;
  int32_t loaded = (int32_t)(v[1] | v[2] << 16), modified = (int32_t)(v[3] | v[4] << 16);
  fprintf(stderr, "Current firmware:\t%s\n", name);
  fprintf(stderr, "File last modified:\t%s\n", long2timestr(&modified));
  fprintf(stderr, "Loaded:\t\t\t%s\n", long2timestr(&loaded));
  fprintf(stderr, "Using host version\t%04x\n", v[0]);
  return 0;
}

// ---- Firmware image ----

#define IMAGE_LINE_MAX (3 * MSP_LINEBYTES)  // longest line with something to read
#define IMAGE_LINES_MAX 65536

static int hexval(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A hexadecimal number of at most width digits at s, blanks before it
// skipped: its value, or -1 when no digit is there.
static long readhex(const char *s, int width) {
  while (*s == ' ' || *s == '\t' || *s == '\r' || *s == '\n' || *s == '\v' || *s == '\f') s++;
  long v = -1;
  for (int i = 0; i < width && hexval((unsigned char)s[i]) >= 0; i++)
    v = v > 0xFFFFF ? 0x1000000 : (v < 0 ? 0 : v * 16) + hexval((unsigned char)s[i]);  // large stays large
  return v;
}

// The whole image is read before anything is sent, so that a file that
// cannot be programmed never leaves the MSP erased.
int msp_readimage(FILE *f, const char *path, MspImage *img) {
  *img = MspImage();
  char line[IMAGE_LINE_MAX + 2];
  int32_t addr = -1;  // no address line yet
  int nline = 0;
  bool data = false;
  while (fgets(line, sizeof line, f)) {
    nline++;
    size_t len = strlen(line);
    if (len == sizeof line - 1 && line[len - 1] != '\n') {
      int c = fgetc(f);  // the line's end, or more of a line too long to be read whole
      if (c != EOF && c != '\n') {
        fprintf(stderr, " Error: line %d of %s is too long for an image\n", nline, path);
        return 1;
      }
    }
    if (line[0] == 'q') break;
    if (nline > IMAGE_LINES_MAX) {
      fprintf(stderr, " Error: %s has more than %d lines\n", path, IMAGE_LINES_MAX);
      return 1;
    }
    ImageLine l = {addr, -1, (int32_t)img->data.size()};
    if (line[0] == '@') {
      // All the digits count: an address past the MSP's memory read as its
      // first four would put the image at another address.
      long a = readhex(line + 1, IMAGE_LINE_MAX);
      if (a < 0) {
        fprintf(stderr, " Error: line %d of %s has no address\n", nline, path);
        return 1;
      }
      if (a > 0xFFFF) {
        fprintf(stderr, " Error: line %d of %s has an address past FFFF\n", nline, path);
        return 1;
      }
      addr = l.addr = (int32_t)a;
    } else {
      if (addr < 0) {
        fprintf(stderr, " Error: %s has data before its first address line\n", path);
        return 1;
      }
      int n = 0;
      for (size_t pos = 0; n < MSP_LINEBYTES && pos < len; pos += 3, n++) {
        long b = readhex(line + pos, 2);
        if (b < 0) break;
        img->data.push_back((uint8_t)b);
      }
      if (addr + n > 0x10000) {
        fprintf(stderr, " Error: line %d of %s runs past the end of the MSP's memory\n", nline, path);
        return 1;
      }
      if (addr == 0xFFFE && n > 0) img->start = img->data[l.off] + 256 * (n > 1 ? img->data[l.off + 1] : 0);
      l.n = n;
      addr += n;
      data = data || n > 0;
    }
    img->lines.push_back(l);
  }
  if (ferror(f)) {
    fprintf(stderr, " Error: cannot read %s\n", path);
    return 1;
  }
  if (!data) {
    fprintf(stderr, " Error: %s holds no program\n", path);
    return 1;
  }
  return 0;
}

// Erase, password, record, the image's lines, start; a dot for each step.
static int programimage(const MspImage &img, const char *path) {
  fprintf(stderr, " Writing to MSP");
  if (!msp_erase()) {
    fprintf(stderr, " Erase failed\n");
    return 1;
  }
  fprintf(stderr, ".");
  if (!msp_unlock()) {
    fprintf(stderr, " Unlock failed\n");
    return 1;
  }
  fprintf(stderr, ".");
  if (msp_sendhdr(path)) {
    fprintf(stderr, " Info write failed\n");
    return 1;
  }
  uint32_t frame[BSL_FRAMEWORDS + MSP_LINEBYTES];
  for (const ImageLine &l : img.lines) {
    if (l.n >= 0) {
      for (int i = 0; i < l.n; i++) frame[BSL_FRAMEWORDS + i] = img.data[l.off + i];
      if (!msp_write(l.addr, frame, l.n)) {
        fprintf(stderr, " Write failed\n");
        return 1;
      }
    }
    fprintf(stderr, ".");
  }
  if (!msp_start(img.start)) fprintf(stderr, " Start failed\n");
  fprintf(stderr, "\n");
  return 0;
}

int mspprog(void) {
  char path[FNAME_LINE + 1];
  if (getfname(path, FNAME_LINE, "rb")) {
    fprintf(stderr, "Can't find file %s\n", path);
    return 1;
  }
  FILE *f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "Can't find file %s\n", path);
    return 1;
  }
  MspImage img;
  int r = msp_readimage(f, path, &img);
  fclose(f);
  return r ? 1 : programimage(img, path);
}
