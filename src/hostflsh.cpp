// The tag's flash recorder store: flash locations typed by the operator, the
// chip count, each chip's geometry and bad blocks, the bad-block table (a
// text file on the host and the bad-block records in the EEPROM), the data
// directory, the recording directory, offloads into recording files, erases,
// recordings picked by number, and the firmware image in flash.
//
// A bad-block list is only ever as long as the reply that brought it: a count
// word that claims more blocks than the words the tag sent after it is cut
// down to those words, so no user of the list reads past what arrived.
#include "hostflsh.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "crc16v3.h"
#include "host.h"
#include "host_eeprom.h"
#include "kvdlayout.h"
#include "offrec.h"
#include "params.h"
#include "platform.h"
#include "utilities.h"

#define TYPED_LINE 80  // characters of a typed chip, block and page line

// ======================================================================
// Requests
// ======================================================================

// First word of a reply's payload, 0 when the payload is shorter than a word.
static unsigned firstword(const MessRec *rec) {
  return rec->len < 2 ? 0 : (unsigned)((rec->data[0] << 8) | rec->data[1]);
}

// askreq with a flashlocn payload that names only the chip.
static int askchip(int code, int chip, MessRec *rec, const char *what) {
  const uint32_t loc[4] = {(uint32_t)chip & 0xFFFF, 0, 0, 0};
  bunpack(getbuff(), loc, 4);
  return askreq(code, LOCN_LEN, rec, what, 0);
}

// The chip count exchange: 0 with *n the number of chips the tag reports;
// 1 failed (message printed).
static int chipcount(int *n) {
  MessRec rec;
  if (askreq(REQ_CHIPCOUNT, 0, &rec, "ID request", 0)) return 1;
  if (rec.cmd != REQ_CHIPCOUNT || rec.len != 2) {
    if (rec.len == 0)
      fprintf(stderr, " Bad Flash ID response 0x%04x no data\n", (unsigned)rec.cmd);
    else
      fprintf(stderr, " Bad Flash ID response 0x%04x : 0x%04x\n", (unsigned)rec.cmd, firstword(&rec));
    return 1;
  }
  *n = rec.data[1];  // the first byte carries nothing for the host
  return 0;
}

// The chip count exchange and the check that chip is one of the chips (a
// negative number never is). 0 it is; 1 not (message printed).
static int chipexists(int chip) {
  int n;
  if (chipcount(&n)) return 1;
  if (n == 0) {
    fprintf(stderr, " Error: the tag reports no flash chips\n");
    return 1;
  }
  if ((unsigned)chip >= (unsigned)n) {
    fprintf(stderr, " Error: requested chip doesn't exist\n");
    return 1;
  }
  return 0;
}

// ======================================================================
// Flash locations, chips and bad blocks
// ======================================================================

int getflashlocn(flashlocn *loc, int n) {
  static const char *const PROMPT[3] = {" Enter Chip\t\t", " Enter Chip Block?\t\t", " Enter Chip Block Page?\t\t"};
  if (n < 1) n = 1;
  if (n > 3) n = 3;
  char line[TYPED_LINE + 1];
  fprintf(stderr, "%s", PROMPT[n - 1]);
  getl(line, TYPED_LINE);
  int v[3];
  if (scanints(line, v, n) < n) {
    fprintf(stderr, "Input values must be numbers\n");
    return 1;
  }
  loc->chip = v[0];
  if (n > 1) loc->block = v[1];
  if (n > 2) loc->page = v[2];
  return 0;
}

int getnchips(void) {
  int n;
  return chipcount(&n) ? -1 : n;
}

int getchiptype(int chip, chipgeom *geom) {
  MessRec rec;
  if (chipexists(chip) || askchip(REQ_FLGEOM, chip, &rec, "ID request")) return 1;
  if (rec.cmd != REQ_FLGEOM || rec.len != 10) {
    if (rec.len == 0)
      fprintf(stderr, " Bad Flash ID response, no information\n");
    else
      fprintf(stderr, " Bad Flash ID response 0x%04x\n", firstword(&rec));
    return 1;
  }
  uint32_t w[5];
  bpack(w, rec.data, 5);
  geom->flashid = (int32_t)w[0];
  geom->nblocks = (int32_t)w[1];
  geom->npages = (int32_t)w[2];
  geom->nwords = (int32_t)w[3];
  geom->reserved = (int32_t)w[4];
  return 0;
}

int getbadblocks(int chip, int32_t list[BADBLK_LIST]) {
  MessRec rec;
  if (chipexists(chip) || askchip(REQ_FLBAD, chip, &rec, "bad block request")) return 1;
  // Without a whole count word there is no list at all.
  if (rec.cmd != REQ_FLBAD || rec.len < 2) {
    fprintf(stderr, " Bad Flash bad block response 0x%04x:%04x\n", (unsigned)rec.cmd, firstword(&rec));
    return 1;
  }
  if (rec.len > BADBLK_REPLY_MAX) {
    fprintf(stderr, " Too many bad blocks (%d)\n", rec.len / 2);
    return 1;
  }
  int nw = rec.len / 2;  // a stray odd byte at the end is no word
  uint32_t w[BADBLK_LIST];
  bpack(w, rec.data, nw);
  for (int i = 0; i < nw; i++) list[i] = (int32_t)w[i];
  if (list[0] > nw - 1) list[0] = nw - 1;
  return 0;
}

int hflsid_req(void) {
  flashlocn loc = {0, 0, 0, 0};
  chipgeom g;
  if (getflashlocn(&loc, 1) || getchiptype(loc.chip, &g)) return 1;
  fprintf(stderr, "\n Flash ID: %04x, nblocks: %d, npages: %d, nwords: %d\n", (unsigned)g.flashid, (int)g.nblocks,
          (int)g.npages, (int)g.nwords);
  return 0;
}

int hflsbadblocks_req(void) {
  flashlocn loc = {0, 0, 0, 0};
  int32_t list[BADBLK_LIST];
  if (getflashlocn(&loc, 1) || getbadblocks(loc.chip, list)) return 1;
  fprintf(stderr, "\n Found %d bad blocks:\n", (int)list[0]);
  for (int i = 1; i <= list[0]; i++) {
    fprintf(stderr, " %d,", (int)list[i]);
    if (i % 10 == 0) fprintf(stderr, "\n");
  }
  fprintf(stderr, "\n");
  return 0;
}

// ======================================================================
// The bad-block table
// ======================================================================

// An EEPROM write of the table failed: closes and removes the unfinished
// file; 1.
static int tablefail(FILE *f, const char *part) {
  if (f) {
    fclose(f);
    remove(part);
  }
  fprintf(stderr, " Error writing bad block table to EEPROM\n");
  return 1;
}

// The five header lines of the table file: what it is, the board identity,
// when it was made and the tag's clock then (0: unknown).
static void tablehead(FILE *f, const uint32_t id[5], int32_t devtime) {
  int32_t now = (int32_t)time(NULL);
  fprintf(f, "%%NAME badblock table\n");
  fprintf(f, "%%DEVID %04x %04x %04x %04x %04x\n", (unsigned)id[0], (unsigned)id[1], (unsigned)id[2], (unsigned)id[3],
          (unsigned)id[4]);
  fprintf(f, "%%HOSTTIME %s\n", long2timestr(&now));
  if (devtime == 0)
    fprintf(f, "%%DEVTIME unknown\n");
  else
    fprintf(f, "%%DEVTIME %s\n", long2timestr(&devtime));
  fprintf(f, "%%DATA chip,badblock\n");
}

int hflsbadblockfile(void) { return hflsbadblocktable(1) ? 1 : 0; }

int hflsbadblocktable(int magic) {
  uint32_t id[5];
  int32_t devtime = 0;
  int nchips;
  if (getboardid(id)) return 1;
  if (getboardtime(&devtime)) devtime = 0;
  if (chipcount(&nchips)) return 1;
  if (nchips == 0) {
    fprintf(stderr, " Error: the tag reports no flash chips\n");
    return 1;
  }
  if (nchips > BADBLK_MAXCHIPS) {
    fprintf(stderr, " Error: too many flash chips for a bad block table (%d)\n", nchips);
    return 1;
  }

  // The table is written beside the old file, which it replaces only once
  // it is complete: a failure on the way never costs the last good table.
  char name[BADBLK_FNAME_LEN], part[BADBLK_FNAME_LEN + 4];
  badblk_fname(name, id);
  snprintf(part, sizeof part, "%s.new", name);
  FILE *f = fopen(part, "wt");
  if (!f) fprintf(stderr, "\n Error: unable to open a file for writing\n");
  if (f) tablehead(f, id, devtime);

  // The EEPROM table is made whether or not the file can be: the tag needs
  // it, and its bad blocks are read from the tag, not from the file.
  static const unsigned char MAGIC[2] = {EE_MAGIC_HI, EE_MAGIC_LO};
  if (magic && eepromwrite(EE_MAGIC_ADDR, MAGIC, 2)) return tablefail(f, part);
  int addr = EE_PARAMS;
  for (int c = 0; c < nchips; c++) {
    int32_t list[BADBLK_LIST];
    if (getbadblocks(c, list)) {
      if (f) {
        fclose(f);
        remove(part);
      }
      return 1;
    }
    int n = list[0];
    if (f) fprintf(f, "%%COMMENT chip %d, nbad %d\n", c, n);
    fprintf(stderr, ".");
    // The chip's record: id, size, the blocks as words.
    unsigned char rec[2 + 2 * (BADBLK_LIST - 1)];
    rec[0] = (unsigned char)(PARAM_ID_BADBLK + c);
    rec[1] = (unsigned char)n;
    for (int i = 1; i <= n; i++) {
      if (f) fprintf(f, "%d,%d\n", c, (int)list[i]);
      rec[2 * i] = (unsigned char)(list[i] >> 8);
      rec[2 * i + 1] = (unsigned char)list[i];
    }
    if (eepromwrite(addr, rec, 2 + 2 * n)) return tablefail(f, part);
    addr += 2 + 2 * n;
  }
  // A file cut short (a full disk) must not pass for the table: the records
  // rewritten from it later would miss bad blocks.
  int written = 0;
  if (f) {
    fprintf(f, "%%ENDDATA\n");
    written = plat_syncfile(f) == 0;
    if (fclose(f) != 0) written = 0;
  }

  static const unsigned char END[2] = {PARAM_ID_END, PARAM_ID_END};
  if (eepromwrite(addr, END, 2)) {
    if (written) remove(part);
    return tablefail(NULL, part);
  }
  if (written && plat_replace(part, name) != 0) written = 0;
  if (!written) {
    if (f) {
      remove(part);
      fprintf(stderr, "\n Error: unable to write the bad block file %s\n", name);
    }
    return 2;
  }
  fprintf(stderr, "\n.");
  return 0;
}

// ======================================================================
// The data directory
// ======================================================================

char DATA_DIR[DATA_DIR_LEN];

int checkdatadir(void) {
  size_t n = strlen(DATA_DIR);
  if (n == 0) return 0;
  if (DATA_DIR[n - 1] != '/' && DATA_DIR[n - 1] != '\\' && n + 1 < DATA_DIR_LEN) {
    DATA_DIR[n] = '/';
    DATA_DIR[n + 1] = 0;
  }
  // Only a missing parent folder matters: an existing folder is the usual case.
  if (plat_mkdir(DATA_DIR) == ENOENT) {
    fprintf(stderr, " Cannot find or make directory '%s'\n", DATA_DIR);
    DATA_DIR[0] = 0;
  }
  return 0;
}

// Whether files can be made in DATA_DIR: 0 yes; otherwise the error number.
static int dirwritable(void) {
  char probe[DATA_DIR_LEN + 16];
  snprintf(probe, sizeof probe, "%s_k3probe.tmp", DATA_DIR);
  errno = 0;
  FILE *f = fopen(probe, "wb");
  if (!f) return errno ? errno : EACCES;
  fclose(f);
  remove(probe);
  return 0;
}

int setdatadir(void) {
  // One character more than a name may have, to know when it has too many.
  char typed[DATA_DIR_MAX + 2], before[DATA_DIR_LEN];
  fprintf(stderr, " Enter data directory name\t\t");
  getl(typed, DATA_DIR_MAX + 1);
  fprintf(stderr, "\n");
  if (strlen(typed) > DATA_DIR_MAX) {
    // Cut short, it would name another folder.
    fprintf(stderr, " Error: a folder name may have at most %d characters; the data directory is unchanged\n",
            DATA_DIR_MAX);
    return 0;
  }
  memcpy(before, DATA_DIR, sizeof before);
  strcpy(DATA_DIR, typed);
  checkdatadir();
  // Better refused now than found out at the end of the first offload.
  int e = DATA_DIR[0] ? dirwritable() : 0;
  if (e) {
    fprintf(stderr, " Cannot write to directory '%s': %s; the data directory is unchanged\n", DATA_DIR, strerror(e));
    memcpy(DATA_DIR, before, sizeof before);
  }
  return 0;
}

int loaddatadir(void) {
  FILE *f = fopen(DATA_DIR_FILE, "rt");
  if (!f) return 1;
  char name[DATA_DIR_MAX + 4];
  size_t n = fread(name, 1, sizeof name - 1, f);
  fclose(f);
  // An editor ends the line it saves: the line break is no part of the name.
  while (n > 0 && (name[n - 1] == '\n' || name[n - 1] == '\r')) n--;
  if (n > DATA_DIR_MAX) {
    fprintf(stderr, " Error: the data directory in %s is longer than %d characters and is not used\n", DATA_DIR_FILE,
            DATA_DIR_MAX);
    return 0;
  }
  memcpy(DATA_DIR, name, n);
  DATA_DIR[n] = 0;
  return checkdatadir();
}

int savedatadir(void) {
  FILE *f = fopen(DATA_DIR_FILE, "wt");
  if (!f) return 1;
  size_t n = strlen(DATA_DIR);
  // The name sits in the stream's buffer until the close: a full disk shows there.
  int bad = fwrite(DATA_DIR, 1, n, f) < n;
  if (fclose(f) != 0) bad = 1;
  if (bad) fprintf(stderr, " Problem saving a settings file\n");
  return 0;
}

// ======================================================================
// The recording directory
// ======================================================================

diritem *HFLS_dirtab;
int HFLS_nrecs = -1;
int HFLS_flag;
int32_t mbfree = -1;

int freedirtab(void) {
  HFLS_flag = 0;
  HFLS_nrecs = -1;
  free(HFLS_dirtab);
  HFLS_dirtab = NULL;
  mbfree = -1;
  return 0;
}

// Places four zero words, the payload of the directory and free-memory
// requests.
static void zeropayload(void) {
  static const uint32_t zero[4] = {0, 0, 0, 0};
  bunpack(getbuff(), zero, 4);
}

int reqdirtab(void) {
  freedirtab();
  zeropayload();
  int s = sendreq(REQ_DIR, LOCN_LEN);
  if (s) {
    fprintf(stderr, " Error: write to device failed with flag %04x\n", s);
    return 1;
  }
  MessRec rec = {NULL, 0, 0};
  s = getmess(&rec, TMO_DIR);
  if (s) {
    int d0 = rec.data ? rec.data[0] : 0, d1 = rec.data ? rec.data[1] : 0;
    fprintf(stderr, " Error: failed dir request with flag %04x, %d %d %d %d\n", s, rec.cmd, rec.len, d0, d1);
    return 1;
  }
  if (rec.cmd != REQ_DIR) {
    fprintf(stderr, " Bad dir response 0x%04xd\n", (unsigned)rec.cmd);
    return 1;
  }
  if (rec.len == 0) {
    HFLS_nrecs = 0;
    return 0;
  }
  int n = rec.len / DIRITEM_BYTES;
  if (n == 0) {
    fprintf(stderr, " Bad dir message received from host\n");
    return 1;
  }
  HFLS_dirtab = (diritem *)calloc((size_t)n, sizeof(diritem));
  if (!HFLS_dirtab) {
    fprintf(stderr, " Error: no memory for %d directory entries\n", n);
    return 1;
  }
  const unsigned char *p = rec.data;
  for (int i = 0; i < n; i++) {
    uint32_t w[11];
    p = bpack(w, p, 11);
    diritem *d = &HFLS_dirtab[i];
    d->startchip = w[0];
    d->startblock = w[1];
    d->starttime = (w[2] << 16) | w[3];
    d->endchip = w[4];
    d->endblock = w[5];
    d->endtime = (w[6] << 16) | w[7];
    d->size = (int32_t)((w[8] << 16) | w[9]);
    d->type = w[10];
  }
  HFLS_nrecs = n;
  // One byte 0xFF after the entries: the tag had more than it sent. Any
  // other surplus is an entry cut off part-way, which must not go unsaid.
  if (rec.len > n * DIRITEM_BYTES) HFLS_flag = rec.data[n * DIRITEM_BYTES] == 0xFF ? DIR_CUT : DIR_PARTIAL;
  return 0;
}

int mbfree_req(void) {
  MessRec rec;
  zeropayload();
  if (askreq(REQ_FREEMEM, LOCN_LEN, &rec, "ID request", 0)) return 1;
  if (rec.cmd != REQ_FREEMEM || rec.len != 4) {
    fprintf(stderr, " Bad Flash MBFREE response 0x%04xd:%d\n", (unsigned)rec.cmd, rec.len);
    return 1;
  }
  uint32_t w[2];
  bpack(w, rec.data, 2);
  mbfree = w[0] == 0xFFFF ? -1 : (int32_t)((w[0] << 16) | w[1]);
  return 0;
}

diritem *getdiritem(int n) { return n < 0 || n >= HFLS_nrecs ? NULL : &HFLS_dirtab[n]; }

// One listing row's size: kB below 1000, else MB; a negative size shows as 0.
static double sizeunits(int32_t size, const char **unit) {
  *unit = "kB";
  if (size < 0) return 0;
  if (size >= 1000) {
    *unit = "MB";
    return size / 1000.0;
  }
  return size;
}

int showdirtab(int flag) {
  if (HFLS_nrecs < 0 && reqdirtab()) return 1;
  if (mbfree < 0 && mbfree_req()) return 1;
  if (HFLS_nrecs == 0) {
    fprintf(stderr, " No files on device\n");
    fprintf(stderr, " %ld MB free\n", (long)mbfree);
    return 0;
  }
  if (flag)
    fprintf(stderr, " File\tStarts\tEnds\tTime code\t\t\tSize\n");
  else
    fprintf(stderr, " File\tStart time\t\t\tEnd time\t\tSize\n");
  int skipped = 0;
  for (int i = 1; i <= HFLS_nrecs; i++) {
    const diritem *d = &HFLS_dirtab[i - 1];
    const char *unit;
    double size = sizeunits(d->size, &unit);
    if (flag) {
      fprintf(stderr, " %03d\t%d:%04d\t%d:%04d", i, (int)d->startchip, (int)d->startblock, (int)d->endchip,
              (int)d->endblock);
      fprintf(stderr, "\t%08x - %08x\t%3.1f %s", (unsigned)d->starttime, (unsigned)d->endtime, size, unit);
      if (d->type == 1)
        fprintf(stderr, "\n");
      else if (d->type == 0)
        fprintf(stderr, "\tfragment\n");
      else if (d->type == 2)
        fprintf(stderr, "\tbad block\n");
      else
        fprintf(stderr, "\tunknown file type\n");
    } else if (d->type == 1) {
      int32_t t = (int32_t)d->starttime;
      fprintf(stderr, " %03d\t%s", i, long2timestr(&t));
      t = (int32_t)d->endtime;
      fprintf(stderr, " - %s\t%3.1f %s\n", long2timestr(&t), size, unit);
    } else {
      skipped++;
    }
  }
  fprintf(stderr, " %ld MB free\n", (long)mbfree);
  if (!flag && skipped) fprintf(stderr, " Warning: file system contains fragments - use EXPERT mode\n");
  if (HFLS_flag == DIR_CUT) fprintf(stderr, " Too many files on device - unable to show all\n");
  if (HFLS_flag == DIR_PARTIAL)
    fprintf(stderr,
            " Warning: the directory from the device ends part-way through an entry: the listing is incomplete\n");
  return HFLS_nrecs;
}

// ======================================================================
// Offload into recording files
// ======================================================================
//
// A recording file (kvdlayout.h): the header, the page data of every read
// reply in order, and the trailer. The header is written open and closed
// when the offload ends; a file whose offload failed keeps the open header
// and has no trailer, so it cannot pass for a whole one.

#define KVD_FILEBUF (1 << 20)  // stdio buffer of a recording file
#define READ_DESC 10           // chip, block, first page, last page, errors
#define BACK8 "\b\b\b\b\b\b\b\b"

// A recording file that did not reach the disk whole. 1.
static int savefail(void) {
  fprintf(stderr, "\n\n *** Fatal error saving file - check disk space ***\n");
  return 1;
}

void updatetimetogo(int32_t remaining, int first) {
  if (!first) fprintf(stderr, BACK8);
  // An estimate used up is no finished offload: only the end says done.
  if (remaining <= 0) remaining = 0;
  int32_t secs = remaining / TIMETOGO_RATE, hours = secs / 3600, mins = (secs - hours * 3600) / 60;
  fprintf(stderr, "%02d:%02d:%02d", (int)hours, (int)mins, (int)(secs - hours * 3600 - mins * 60));
}

// Writes the header as kvdheader does, with the tag's identity into id.
static int writeheader(FILE *f, const flashlocn *pos, uint32_t id[5]) {
  unsigned char h[KVD_HEADER];
  memset(h, 0, sizeof h);
  memcpy(h, KVD_IDENT, KVD_IDENT_LEN);
  fwrite(h, 1, KVD_IDENT_LEN, f);
  long2char(h + KVD_AT_STARTED, (uint32_t)time(NULL));
  // The tag's clock is read (a failed read is reported and does no harm);
  // the second time field holds the host's local time of 31 December 1999
  // 00:00:00, the reference point the file format keeps there.
  int32_t devtime;
  getboardtime(&devtime);
  struct tm y2k;
  memset(&y2k, 0, sizeof y2k);
  y2k.tm_year = 100;
  y2k.tm_mday = 0;
  y2k.tm_isdst = 0;
  long2char(h + KVD_AT_TIME2, (uint32_t)mktime(&y2k));
  if (getboardid(id)) return 1;
  bunpack(h + KVD_AT_ID, id, 5);
  h[KVD_AT_STARTCHIP] = (unsigned char)pos->chip;
  h[KVD_AT_STARTBLOCK] = (unsigned char)(pos->block >> 8);
  h[KVD_AT_STARTBLOCK + 1] = (unsigned char)pos->block;
  fwrite(h + KVD_IDENT_LEN, 1, KVD_HEADER - KVD_IDENT_LEN, f);
  return 0;
}

int kvdheader(FILE *f, const flashlocn *pos) {
  uint32_t id[5];
  return writeheader(f, pos, id);
}

// Back to the start of a recording file. 0 there; 1 failed (message printed).
static int seekhead(FILE *f) {
  if (fseek(f, 0, SEEK_SET) == 0) return 0;
  fprintf(stderr, " error seeking to file header\n");
  return 1;
}

int kvdtrailer(FILE *f, const flashlocn *pos, int32_t blocks, unsigned trailer) {
  const unsigned char tail[KVD_TRAILER] = {(unsigned char)(trailer >> 8), (unsigned char)trailer};
  fwrite(tail, 1, KVD_TRAILER, f);
  // Page data that never reached the disk shows here, before the seek.
  if (fflush(f) != 0 || ferror(f)) return savefail();
  if (seekhead(f)) return 1;
  unsigned char h[KVD_HEADER];
  memset(h, 0, sizeof h);
  // never rewrite a header that could not be read
  if (fread(h, 1, KVD_AT_CLOSING, f) != KVD_AT_CLOSING) return savefail();
  h[KVD_AT_ENDCHIP] = (unsigned char)pos->chip;
  h[KVD_AT_ENDBLOCK] = (unsigned char)(pos->block >> 8);
  h[KVD_AT_ENDBLOCK + 1] = (unsigned char)pos->block;
  long2char(h + KVD_AT_BLOCKS, (uint32_t)blocks);
  uint32_t crc = crc16b(h, KVD_AT_CRC);
  h[KVD_AT_CRC] = (unsigned char)(crc >> 8);
  h[KVD_AT_CRC + 1] = (unsigned char)crc;
  if (seekhead(f)) return 1;
  fwrite(h, 1, KVD_HEADER, f);
  // A file reported saved must survive a power cut straight after.
  if (plat_syncfile(f)) return savefail();
  return 0;
}

// One flash read exchange for the chip, block, first page and page count in
// loc: 0 with the reply in rec and its descriptor (chip, block, first page,
// last page, error count) in d; 1 failed (message printed).
static int flashread(const uint32_t loc[4], MessRec *rec, uint32_t d[5]) {
  bunpack(getbuff(), loc, 4);
  int s = sendreq(REQ_FLREAD, LOCN_LEN);
  if (s) {
    fprintf(stderr, " Error: write to device failed with flag %04x\n", s);
    return 1;
  }
  s = getmess(rec, TMO_REPLY);
  if (s) {
    fprintf(stderr, " Error: failed read request with flag %04x\n", s);
    return 1;
  }
  if (rec->cmd != REQ_FLREAD || rec->len < READ_DESC) {
    fprintf(stderr, " Error: incorrect response for flash read 0x%04x, %d\n", (unsigned)rec->cmd, rec->len);
    return 1;
  }
  bpack(d, rec->data, 5);
  return 0;
}

// Pages one read request asks for on a chip of this geometry; 0 when its
// pages could not be offloaded at all (no pages, or a page larger than a
// reply can carry). Prints why.
static uint32_t pagesperreq(uint32_t chip, const chipgeom *g) {
  if (g->nwords <= 0 || g->nwords > KVD_PAGEWORDS || g->npages <= 0) {
    fprintf(stderr, " Error: chip %u reports %d pages of %d words, which cannot be offloaded\n", (unsigned)chip,
            (int)g->npages, (int)g->nwords);
    return 0;
  }
  return (uint32_t)(KVD_PAGEWORDS / g->nwords);
}

// The blocks from the start of range to its end, on chips of nblocks blocks.
static uint32_t rangeblocks(const diritem *r, int32_t nblocks) {
  uint64_t n = (uint64_t)(r->endchip - r->startchip) * (uint32_t)nblocks + r->endblock - r->startblock + 1;
  return n > UINT32_MAX ? UINT32_MAX : (uint32_t)n;
}

void (*offload_progress)(long long bytes);

// An exchange of an offload failed: stopped when the tag has left the bus
// (it was pulled out: the file keeps what arrived), otherwise failed.
static int readfail(offloadinfo *info) {
  if (!tag_vanished()) return OFF_FAILED;
  info->gone = 1;
  return OFF_STOPPED;
}

// Where a walk over a flash range stands: the chip and block, and that
// chip's geometry.
struct flashwalk {
  uint32_t chip, block;
  int needgeom;  // the chip's geometry is still to be fetched
  chipgeom g;
};

// Moves the walk on by count blocks, to block 0 of the next chip when they
// reach the end of this one.
static void walkon(flashwalk *w, uint32_t count) {
  w->block += count;
  if (w->block < (uint32_t)w->g.nblocks) return;
  w->block = 0;
  w->chip++;
  w->needgeom = 1;
}

// Where an offload stands: the walk, the page in the block, and the counts
// kept on the way.
struct offloadpos {
  flashwalk w;
  uint32_t page;
  uint32_t ppr;       // pages one read request asks for on this chip
  int32_t errs;       // unrecoverable page errors in the block being read
  int32_t errblocks;  // completed blocks that had some
  int32_t remaining;  // size units still to read, for the time to go
};

// What a step of an offload leaves to do.
enum {
  STEP_READ,     // read pages from where the offload stands
  STEP_AGAIN,    // round again: the chip was passed over
  STEP_BLOCK,    // the block is done, or the tag passed over it: on to the next
  STEP_END,      // the range's last block is done, or the file can no longer be
                 // written: the trailer closes the file
  STEP_NOREPLY,  // an exchange with the tag failed (message printed)
  STEP_REFUSED,  // the flash cannot be saved as the tag gives it (message printed)
};

// The geometry of the chip the offload has reached, and the range's size in
// blocks when not yet known. An unpopulated chip is passed over, from the
// same block number.
static int chipstart(offloadpos *p, const diritem *range, offloadinfo *info) {
  flashwalk *w = &p->w;
  if (getchiptype((int)w->chip, &w->g)) return STEP_NOREPLY;
  if (info->range == 0) info->range = rangeblocks(range, w->g.nblocks);
  if (w->g.flashid == 0) {
    printf(" skipping unpopulated chip %d\n", (int)w->chip);
    fflush(stdout);
    return ++w->chip <= range->endchip ? STEP_AGAIN : STEP_REFUSED;
  }
  if ((p->ppr = pagesperreq(w->chip, &w->g)) == 0) return STEP_REFUSED;
  w->needgeom = 0;
  return STEP_READ;
}

// One read request from where the offload stands, and its reply: the pages
// appended to f. STEP_READ when the block has pages still to read.
static int readstep(FILE *f, offloadpos *p, const diritem *range, offloadinfo *info) {
  const flashwalk *w = &p->w;
  uint32_t count = (uint32_t)w->g.npages - p->page;
  if (count > p->ppr) count = p->ppr;
  const uint32_t loc[4] = {w->chip & 0xFFFF, w->block & 0xFFFF, p->page & 0xFFFF, count};
  MessRec rec;
  uint32_t d[5];
  if (flashread(loc, &rec, d)) return STEP_NOREPLY;
  if (d[0] != (w->chip & 0xFFFF) || d[1] != (w->block & 0xFFFF)) {
    fprintf(stderr, " Error: bad file descriptor received\n");
    return STEP_REFUSED;
  }
  p->errs += (int32_t)d[4];
  bool lastblock = w->chip >= range->endchip && w->block >= range->endblock;
  // The tag skips this block (a bad one): nothing to write or count.
  if (d[2] == 0xFFFF) return lastblock ? STEP_END : STEP_BLOCK;
  if (d[2] != p->page || d[3] < d[2]) {
    fprintf(stderr, " Error: out of sequence page received\n");
    return STEP_REFUSED;
  }
  // Page data that does not fill the pages the reply names would shift
  // every later page in the file: refuse it rather than save it.
  if ((int64_t)(rec.len - READ_DESC) != ((int64_t)d[3] - d[2] + 1) * w->g.nwords * 2) {
    fprintf(stderr, " Error: flash read reply holds %d bytes for pages %u to %u\n", rec.len - READ_DESC, (unsigned)d[2],
            (unsigned)d[3]);
    return STEP_REFUSED;
  }
  // Straight from the receive buffer into the file's buffer.
  fwrite(rec.data + READ_DESC, 1, (size_t)(rec.len - READ_DESC), f);
  // A write error (a full disk) stays set: stop reading flash that can no
  // longer be saved; the trailer reports it.
  if (ferror(f)) return STEP_END;
  p->remaining -= (rec.len - READ_DESC) / 1000;
  if (d[3] + 1 < (uint32_t)w->g.npages) {
    p->page = d[3] + 1;
    return STEP_READ;
  }
  info->blocks++;
  if (p->errs > 0) p->errblocks++;
  p->errs = 0;
  if (lastblock) return STEP_END;
  if (offload_progress)
    offload_progress(ftell(f) - KVD_HEADER);
  else
    updatetimetogo(p->remaining, 0);
  return STEP_BLOCK;
}

// Reads the flash of range into the open file f (header written): the
// outcome, with the blocks completed and the range's size in *info. The file
// is closed with its trailer unless an exchange failed or the flash was
// refused.
static int offloadloop(FILE *f, const diritem *range, offloadinfo *info) {
  offloadpos p;
  memset(&p, 0, sizeof p);
  p.w.chip = range->startchip, p.w.block = range->startblock, p.w.needgeom = 1;
  p.remaining = range->size;
  int outcome = OFF_COMPLETE;
  for (;;) {
    // A key press ends the offload between replies; the menu reads the key.
    if (plat_stopkey()) {
      outcome = OFF_STOPPED;
      break;
    }
    int step = p.w.needgeom ? chipstart(&p, range, info) : STEP_READ;
    if (step == STEP_READ) step = readstep(f, &p, range, info);
    if (step == STEP_NOREPLY) return readfail(info);
    if (step == STEP_REFUSED) return OFF_FAILED;
    if (step == STEP_END) break;
    if (step == STEP_BLOCK) {
      p.page = 0;
      walkon(&p.w, 1);
    }
  }
  const flashlocn pos = {(int32_t)p.w.chip, (int32_t)p.w.block, 0, 0};
  if (kvdtrailer(f, &pos, info->blocks, KVD_TRAILER_WORD)) return OFF_FAILED;
  if (p.errblocks > 0) fprintf(stderr, "\n Warning: %d blocks with unrecoverable errors\n", (int)p.errblocks);
  return outcome;
}

// The name an offload writes to while a file of the same name is kept.
static int partname(char *part, size_t size, const char *path) {
  int n = snprintf(part, size, "%s.part", path);
  return n < 0 || (size_t)n >= size;
}

// What the file's line ends with: done, or how much of the range the file
// holds when the offload was stopped or failed.
static void offloadend(const char *path, const offloadinfo *info) {
  // The field station shows its own progress line in place of the time to go.
  const char *back = offload_progress ? "" : BACK8;
  if (info->outcome == OFF_COMPLETE) {
    if (!offload_progress) fprintf(stderr, BACK8 "  done  ");
    return;
  }
  char blocks[64];
  if (info->range > 0)
    snprintf(blocks, sizeof blocks, "%d of %u blocks", (int)info->blocks, (unsigned)info->range);
  else
    snprintf(blocks, sizeof blocks, "%d blocks", (int)info->blocks);
  if (info->outcome == OFF_STOPPED && info->gone)
    fprintf(stderr, "%sstopped \n Offload stopped, the tag left the bus: %s holds %s (%.1f MB) of the recording\n",
            back, path, blocks, info->bytes / 1e6);
  else if (info->outcome == OFF_STOPPED)
    fprintf(stderr, "%sstopped \n Offload stopped by a key: %s holds %s (%.1f MB) of the recording\n", back, path,
            blocks, info->bytes / 1e6);
  else
    fprintf(stderr, "\n Offload failed after %s: %s holds %.1f MB and is not a whole recording\n", blocks, path,
            info->bytes / 1e6);
}

int offloadrange(const char *path, const diritem *range, int recno, offloadinfo *info) {
  memset(info, 0, sizeof *info);
  info->outcome = OFF_FAILED;
  // A file already there is replaced only when the new one is whole: until
  // then the offload writes beside it.
  char part[RECNAME_LEN + 8];
  const char *to = path;
  long long before;
  if (plat_filesize(path, &before) == 0) {
    if (partname(part, sizeof part, path)) {
      fprintf(stderr, "Cannot write header to file %s: the name is too long\n", path);
      return OFF_FAILED;
    }
    to = part;
  }
  errno = 0;
  FILE *f = fopen(to, "w+b");
  if (!f) {
    fprintf(stderr, "Cannot write header to file %s: %s\n", to, strerror(errno ? errno : EIO));
    return OFF_FAILED;
  }
  setvbuf(f, NULL, _IOFBF, KVD_FILEBUF);
  const flashlocn start = {(int32_t)range->startchip, (int32_t)range->startblock, 0, 0};
  if (writeheader(f, &start, info->id)) {
    fclose(f);
    remove(to);  // a stub of 8 bytes is no recording
    fprintf(stderr, "Cannot write header to file %s: the tag's identity could not be read\n", to);
    return OFF_FAILED;
  }
  if (!offload_progress) {
    fprintf(stderr, "\n Offloading to %s\t", path);
    updatetimetogo(range->size, 1);
  }
  info->outcome = offloadloop(f, range, info);
  if (fclose(f) != 0 && info->outcome != OFF_FAILED) {
    savefail();
    info->outcome = OFF_FAILED;
  }
  const char *kept = to;
  if (to != path && info->outcome == OFF_COMPLETE) {
    int e = plat_replace(to, path);
    if (e) {
      fprintf(stderr, "\n Error: cannot put %s in place of %s: %s\n", to, path, strerror(e));
      info->outcome = OFF_FAILED;
    } else {
      kept = path;
    }
  }
  if (plat_filesize(kept, &info->bytes)) info->bytes = 0;
  // The record says what the file holds before the screen does.
  offrec r;
  memset(&r, 0, sizeof r);
  time_t now = time(NULL);
  int32_t t = (int32_t)now;
  snprintf(r.finished, sizeof r.finished, "%s", long2timestr(&t));
  memcpy(r.id, info->id, sizeof r.id);
  r.recno = recno;
  r.startchip = range->startchip, r.startblock = range->startblock;
  r.endchip = range->endchip, r.endblock = range->endblock;
  r.starttime = range->starttime, r.endtime = range->endtime;
  size_t dl = strlen(DATA_DIR);
  snprintf(r.file, sizeof r.file, "%s", strncmp(kept, DATA_DIR, dl) == 0 ? kept + dl : kept);
  r.range = info->range;
  r.written = info->blocks;
  r.bytes = (uint64_t)info->bytes;
  r.outcome = info->outcome;
  offrec_append(DATA_DIR, &r);
  offloadend(kept, info);
  if (kept != path && info->outcome != OFF_COMPLETE) fprintf(stderr, " The earlier %s is kept as it was\n", path);
  return info->outcome;
}

int hflsoffload(const char *path, const diritem *range) {
  offloadinfo info;
  return offloadrange(path, range, 0, &info) == OFF_FAILED;
}

// Asks before a file already there is replaced. 1 when it may be (or there
// is none); 0 not.
static int mayreplace(const char *path) {
  if (plat_findfile(path, NULL, 0, NULL) != 0) return 1;
  fprintf(stderr, "\n %s exists: replace? y/n ", path);
  int c = plat_getch();
  fprintf(stderr, "\n");
  return c == 'y';
}

// Reads a typed chip and block into *chip and *block. 0 read; 1 not numbers
// (message printed).
static int typedlocn(const char *prompt, int len, uint32_t *chip, uint32_t *block) {
  char line[TYPED_LINE + 1];
  fprintf(stderr, "%s", prompt);
  getl(line, len < TYPED_LINE ? len : TYPED_LINE);
  int v[2];
  if (scanints(line, v, 2) < 2) {
    fprintf(stderr, "\n Input values must be numbers\n");
    return 1;
  }
  *chip = (uint32_t)v[0];
  *block = (uint32_t)v[1];
  return 0;
}

// 1 when a flash range's end lies before its start (chips compared unsigned).
static int endsbefore(const diritem *r) {
  return r->endchip < r->startchip || (r->endchip == r->startchip && r->endblock < r->startblock);
}

// Asks for the start and end of a flash range. 0 read; 1 refused (message
// printed).
static int typedrange(int len, diritem *r) {
  if (typedlocn("\n Enter start chip block\t\t", len, &r->startchip, &r->startblock) ||
      typedlocn("\n Enter end chip block\t\t", len, &r->endchip, &r->endblock))
    return 1;
  if (endsbefore(r)) {
    fprintf(stderr, "\n Error: end location must be after start location\n");
    return 1;
  }
  return 0;
}

int hflsoffload_req(void) {
  char path[TYPED_LINE + 1];
  diritem r;
  memset(&r, 0, sizeof r);
  fprintf(stderr, " Enter filename\t\t");
  getl(path, TYPED_LINE);
  if (typedrange(TYPED_LINE, &r)) return 1;
  // The size estimate only drives the time-to-go display.
  chipgeom g;
  if (getchiptype((int)r.startchip, &g)) {
    fprintf(stderr, "\n Error trying to get memory information\n");
    return 1;
  }
  int64_t blockbytes = (int64_t)g.npages * g.nwords * 2;
  int64_t size = ((g.nblocks - (int64_t)r.startblock) * blockbytes) / 1024;
  if (r.endchip == r.startchip) {
    size -= ((g.nblocks - (int64_t)r.endblock) * blockbytes) / 1024;
  } else {
    if (getchiptype((int)r.endchip, &g)) {
      fprintf(stderr, "\n Error trying to get memory information\n");
      return 1;
    }
    size += ((int64_t)g.nblocks * g.npages * g.nwords * 2) / 1024;
  }
  r.size = size > INT32_MAX ? INT32_MAX : (int32_t)size;
  if (!mayreplace(path)) {
    fprintf(stderr, " Nothing offloaded\n");
    return 1;
  }
  return hflsoffload(path, &r);
}

// ======================================================================
// Erase
// ======================================================================

#define ERASE_MAXBLOCKS 20  // blocks one erase request may cover
#define ERASE_LINE 16       // characters of a typed chip and block

// Where a key stopped an erase: the first block not erased.
struct erasestop {
  int stopped;
  uint32_t chip, block;
};

// One erase request for count blocks from chip and block, and its
// acknowledge. 0 erased; 1 failed (message printed).
static int eraserequest(uint32_t chip, uint32_t block, uint32_t count) {
  const uint32_t loc[4] = {chip & 0xFFFF, block & 0xFFFF, 0, count};
  bunpack(getbuff(), loc, 4);
  int s = sendreq(REQ_FLERASE, LOCN_LEN);
  if (s) {
    fprintf(stderr, "\n Error: write to device failed with flag %04x\n", s);
    return 1;
  }
  MessRec rec;
  s = getmess(&rec, TMO_REPLY);
  if (s) {
    fprintf(stderr, "\n Error: failed erase request with flag %04x\n", s);
    return 1;
  }
  if (rec.cmd != MSG_ACK) {
    fprintf(stderr, "\n Error: incorrect response for flash clear 0x%04x\n", (unsigned)rec.cmd);
    return 1;
  }
  return 0;
}

// The share of the range erased, drawn over the one before: two digits until
// the end, as 100% is for a range erased whole.
static void erasepercent(uint32_t done, uint32_t total) {
  uint64_t pct = (uint64_t)done * 100 / total;
  fprintf(stderr, "\b\b\b%02d%%", pct > 99 ? 99 : (int)pct);
}

// Erases the blocks of range as eraseflash does; when a key stops it, *stop
// says so and where. 0 erased or stopped; 1 failed (message printed).
static int eraseblocks(const diritem *range, erasestop *stop) {
  flashwalk w;
  memset(&w, 0, sizeof w);
  w.chip = range->startchip, w.block = range->startblock, w.needgeom = 1;
  uint32_t total = 0, done = 0;
  stop->stopped = 0;
  // A directory entry is the tag's word: one that ends before it starts
  // would have the count below run past its end onto other recordings.
  if (endsbefore(range)) {
    fprintf(stderr, "\n Error: the flash range ends before it starts\n");
    return 1;
  }
  fprintf(stderr, "00%%");
  for (;;) {
    // A key press ends the erase; the menu reads the key.
    if (plat_stopkey()) {
      fprintf(stderr, " stopped");
      stop->stopped = 1;
      stop->chip = w.chip;
      stop->block = w.block;
      return 0;
    }
    if (w.needgeom) {
      if (getchiptype((int)w.chip, &w.g)) return 1;
      w.needgeom = 0;
      if (total == 0) total = rangeblocks(range, w.g.nblocks);
    }
    uint32_t count = w.chip == range->endchip ? range->endblock - w.block + 1 : (uint32_t)w.g.nblocks - w.block;
    if (count > ERASE_MAXBLOCKS) count = ERASE_MAXBLOCKS;
    if (eraserequest(w.chip, w.block, count)) return 1;
    done += count;
    if (w.chip >= range->endchip && w.block + count > range->endblock) {
      fprintf(stderr, "\b\b\b100%%");
      return 0;
    }
    erasepercent(done, total);
    walkon(&w, count);
  }
}

int eraseflash(const diritem *range) {
  erasestop stop;
  return eraseblocks(range, &stop);
}

int eraseflash_stop(const diritem *range, int *stopped) {
  erasestop stop;
  int r = eraseblocks(range, &stop);
  *stopped = stop.stopped;
  return r;
}

int hflsclear_req(void) {
  diritem r;
  memset(&r, 0, sizeof r);
  if (typedrange(ERASE_LINE, &r)) return 1;
  fprintf(stderr, "\n Erasing\t");
  erasestop stop;
  if (eraseblocks(&r, &stop)) return 1;
  fprintf(stderr, "\n");
  if (stop.stopped)
    fprintf(stderr, " Erase stopped by a key: chip %u block %u to chip %u block %u is not erased\n",
            (unsigned)stop.chip, (unsigned)stop.block, (unsigned)r.endchip, (unsigned)r.endblock);
  freedirtab();
  return stop.stopped;
}

// ======================================================================
// Recordings by number
// ======================================================================

void settags(int first, int last, int value) {
  if (last <= 0 || last > HFLS_nrecs) {
    fprintf(stderr, "File number out of range\n");
    return;
  }
  if (first <= 0 || first > last) first = last;
  for (int i = first; i <= last; i++) HFLS_dirtab[i - 1].tag = (uint32_t)value;
}

// A number being typed: digits beyond the range of int stay out of range
// instead of wrapping round onto a real entry.
#define SELECT_TOOBIG 2147483647LL
static long long adddigit(long long n, int digit) {
  n = n * 10 + digit;
  return n > SELECT_TOOBIG ? SELECT_TOOBIG + 1 : n;
}

static int isblank_(int c) { return c == ' ' || c == '\t'; }

// The number at *p, blanks around it passed over; -1 when there is none.
static long long readnum(const char **p) {
  while (isblank_(**p)) (*p)++;
  if (**p < '0' || **p > '9') return -1;
  long long n = 0;
  for (; **p >= '0' && **p <= '9'; (*p)++) n = adddigit(n, **p - '0');
  while (isblank_(**p)) (*p)++;
  return n;
}

// 1 when text, blanks around it aside, is word in any case.
static int isword(const char *text, const char *word) {
  while (isblank_(*text)) text++;
  size_t n = strlen(word);
  for (size_t i = 0; i < n; i++)
    if (tolower((unsigned char)text[i]) != word[i]) return 0;
  for (text += n; isblank_(*text); text++) {
  }
  return *text == 0;
}

// How scanlist treats the items of a list.
enum { SCAN_CHECK, SCAN_REPORT, SCAN_MARK };

// Reads a list of numbers and ascending ranges separated by commas, and
// reports (SCAN_REPORT) the items outside 1..count, or marks (SCAN_MARK) the
// items. The number of items outside; -1 when the text is no such list.
static int scanlist(const char *text, int count, int value, int how) {
  int outside = 0;
  for (const char *p = text;;) {
    long long first = readnum(&p), last = first;
    if (first < 0) return -1;
    if (*p == '-') {
      p++;
      last = readnum(&p);
      if (last < first) return -1;  // no number, or a range that runs backwards
    }
    if (first < 1 || last > count) {
      outside++;
      if (how == SCAN_REPORT) fprintf(stderr, "File number out of range\n");
    } else if (how == SCAN_MARK) {
      settags((int)first, (int)last, value);
    }
    if (*p == 0) return outside;
    if (*p++ != ',') return -1;
  }
}

int parsenums(const char *text, int count, int value) {
  const char *t = text;
  while (isblank_(*t)) t++;
  if (*t == 0 || isword(t, "x") || isword(t, "none")) return 0;
  if (isword(t, "a") || isword(t, "all")) {
    settags(1, count, value);
    return count > 0 ? count : 0;
  }
  // The selection is taken whole or not at all: a typing slip must never
  // pick (or erase) recordings nobody meant.
  int outside = scanlist(t, count, value, SCAN_CHECK);
  if (outside < 0) {
    fprintf(stderr,
            " Selection not understood, nothing picked: type numbers and ranges such as 1-6,8-10, "
            "'a' for all, 'x' for none\n");
    return 0;
  }
  if (outside > 0) {
    scanlist(t, count, value, SCAN_REPORT);
    if (count > 0) fprintf(stderr, " Nothing picked: the recordings are numbered 1 to %d\n", count);
    return 0;
  }
  scanlist(t, count, value, SCAN_MARK);
  int n = 0;
  for (int i = 0; i < count && i < HFLS_nrecs; i++)
    if (HFLS_dirtab[i].tag == (uint32_t)value) n++;
  return n;
}

int selectfiles(int value, int count) {
  char line[SELECT_LINE + 1];
  fprintf(stderr, "\n Select files (e.g., 1-6,8-10, 'a' for all, 'x' for none) ... ");
  getl(line, SELECT_LINE);
  fprintf(stderr, "\n");
  settags(1, count, 0);
  return parsenums(line, count, value);
}

// What became of each recording of the listing in an offload or erase by
// record (indexed by number, from 1).
enum { PICK_NO, PICK_YES, PICK_DONE, PICK_KEPT, PICK_UNSAFE, PICK_STOPPED, PICK_FAILED, PICK_LEFT };
static unsigned char PICKS[PAYLOAD_MAX / DIRITEM_BYTES + 2];

void hostflsh_reset(void) {
  freedirtab();
  DATA_DIR[0] = 0;
  memset(PICKS, 0, sizeof PICKS);
  offload_progress = NULL;
}

// Prints lead, then the numbers whose state is want as ranges ("1-3, 7"),
// then tail.
static void printpicks(const char *lead, int want, const char *tail) {
  fprintf(stderr, "%s", lead);
  const char *sep = "";
  for (int i = 1; i <= HFLS_nrecs; i++) {
    if (PICKS[i] != want) continue;
    int j = i;
    while (j < HFLS_nrecs && PICKS[j + 1] == want) j++;
    if (j > i)
      fprintf(stderr, "%s%d-%d", sep, i, j);
    else
      fprintf(stderr, "%s%d", sep, i);
    sep = ", ";
    i = j;
  }
  fprintf(stderr, "%s", tail);
}

// The data directory as the operator knows it.
static const char *dirshown(void) { return DATA_DIR[0] ? DATA_DIR : "the working folder"; }

// Lists the directory and asks which recordings to take: how many were
// picked (0 when there is nothing to pick). Says which were picked, and in
// the user form which of them its listing does not show.
static int pickrecordings(int mode) {
  if (showdirtab(mode) == 0 || HFLS_nrecs == 0) return 0;
  int n = selectfiles(1, HFLS_nrecs);
  if (n <= 0) return n;
  int hidden = 0;
  for (int i = 1; i <= HFLS_nrecs; i++) {
    const diritem *d = getdiritem(i - 1);
    PICKS[i] = d->tag == 1 ? PICK_YES : PICK_NO;
    if (PICKS[i] == PICK_YES && mode == 0 && d->type != 1) hidden++;
  }
  printpicks(" Picked: ", PICK_YES, "\n");
  for (int i = 1; hidden && i <= HFLS_nrecs; i++) {
    const diritem *d = getdiritem(i - 1);
    if (PICKS[i] == PICK_YES && d->type != 1)
      fprintf(stderr, " Note: %d is %s, which this listing does not show\n", i,
              d->type == 0   ? "a fragment"
              : d->type == 2 ? "a bad block"
                             : "of an unknown type");
  }
  return n;
}

// The file name of recording i: DATA_DIR, the base and the number. 0 it
// fits; 1 not (message printed).
static int recname(char *name, const char *base, int i) {
  int n = snprintf(name, RECNAME_LEN, "%s%s%03d.kvd", DATA_DIR, base, i);
  if (n < 0 || n >= RECNAME_LEN) {
    fprintf(stderr, "\n Error: the file name for recording %d would be %d characters, more than %d\n", i, n,
            RECNAME_LEN - 1);
    return 1;
  }
  return 0;
}

int hflsoffloadrec_req(int mode) {
  if (pickrecordings(mode) <= 0) return 0;
  char base[TYPED_LINE + 1], name[RECNAME_LEN];
  fprintf(stderr, " Enter filename base\t\t");
  getl(base, TYPED_LINE);
  // Every name is made, and every file already there asked about, before
  // anything is read: the operator need not wait at the tag for a question.
  for (int i = 1; i <= HFLS_nrecs; i++)
    if (PICKS[i] == PICK_YES && recname(name, base, i)) return 1;
  for (int i = 1; i <= HFLS_nrecs; i++)
    if (PICKS[i] == PICK_YES && recname(name, base, i) == 0 && !mayreplace(name)) PICKS[i] = PICK_KEPT;
  int picked = 0, saved = 0, ended = 0;
  long long bytes = 0;
  offloadinfo info;
  memset(&info, 0, sizeof info);
  for (int i = 1; i <= HFLS_nrecs; i++) {
    if (PICKS[i] == PICK_NO) continue;
    picked++;
    if (PICKS[i] != PICK_YES) continue;
    // After a stop or a failure no further file is made.
    if (ended) {
      PICKS[i] = PICK_LEFT;
      continue;
    }
    recname(name, base, i);
    int out = offloadrange(name, getdiritem(i - 1), i, &info);
    PICKS[i] = out == OFF_COMPLETE ? PICK_DONE : out == OFF_STOPPED ? PICK_STOPPED : PICK_FAILED;
    if (out == OFF_COMPLETE) {
      saved++;
      bytes += info.bytes;
    } else {
      ended = i;
    }
  }
  fprintf(stderr, "\n Saved %d of %d picked recordings whole (%.1f MB) in %s\n", saved, picked, bytes / 1e6,
          dirshown());
  if (ended) {
    char of[32] = "";
    if (info.range) snprintf(of, sizeof of, " of %u", (unsigned)info.range);
    fprintf(stderr, " Not saved: %d (%s after %d%s blocks)\n", ended,
            PICKS[ended] != PICK_STOPPED ? "the offload failed"
            : info.gone                  ? "stopped, the tag left the bus"
                                         : "stopped by a key",
            (int)info.blocks, of);
    for (int i = ended + 1; i <= HFLS_nrecs; i++)
      if (PICKS[i] == PICK_LEFT) {
        printpicks(" Not saved: ", PICK_LEFT, " (not offloaded: the offload before them did not finish)\n");
        break;
      }
  }
  for (int i = 1; i <= HFLS_nrecs; i++)
    if (PICKS[i] == PICK_KEPT) {
      printpicks(" Not saved: ", PICK_KEPT, " (the file already there was kept)\n");
      break;
    }
  return saved < picked;
}

int hflsclearrec_req(int mode) {
  if (pickrecordings(mode) <= 0) return 0;
  // Only recordings known to be on the disk whole go without a second word.
  uint32_t id[5];
  int known = getboardid(id) == 0, unsafe = 0;
  for (int i = 1; i <= HFLS_nrecs; i++)
    if (PICKS[i] == PICK_YES && !(known && offrec_saved(DATA_DIR, id, getdiritem(i - 1)))) {
      PICKS[i] = PICK_UNSAFE;
      unsafe++;
    }
  if (unsafe) {
    fprintf(stderr,
            " Not saved whole in %s (no complete offload in its record, or the file is gone or changed): ", dirshown());
    printpicks("", PICK_UNSAFE, "\n Erase them anyway? y/n ");
    int c = plat_getch();
    fprintf(stderr, "\n");
    if (c != 'y') {
      fprintf(stderr, " Nothing erased\n");
      return 0;
    }
  }
  int r = 0;
  erasestop stop = {0, 0, 0};
  for (int i = 1; i <= HFLS_nrecs; i++) {
    if (PICKS[i] == PICK_NO) continue;
    if (r || stop.stopped) {
      PICKS[i] = PICK_LEFT;
      continue;
    }
    fprintf(stderr, "\n Erasing file %d\t", i);
    r = eraseblocks(getdiritem(i - 1), &stop);
    if (stop.stopped) fprintf(stderr, "\n Recording %d is partly erased: the erase was stopped by a key", i);
  }
  fprintf(stderr, "\n");
  for (int i = 1; i <= HFLS_nrecs; i++)
    if (PICKS[i] == PICK_LEFT) {
      printpicks(" Not erased: ", PICK_LEFT, "\n");
      break;
    }
  // The flash has changed (or may have): the next listing asks the tag.
  freedirtab();
  return r || stop.stopped;
}

// ======================================================================
// Firmware in flash
// ======================================================================

#define FW_FNAME FNAME_LINE  // characters of a typed firmware file name
#define FW_NAME_LONGEST 254  // longest name a header's 8-bit length can carry

// Fills the first page's firmware header at p: six words, then the name
// zero-padded to its even length. The bytes used.
static int fwheader(unsigned char *p, unsigned marker, uint32_t loaded, uint32_t modified, const char *name,
                    int namelen) {
  const uint32_t w[6] = {marker & 0xFFFF, loaded >> 16,      loaded & 0xFFFF,
                         modified >> 16,  modified & 0xFFFF, (uint32_t)namelen};
  bunpack(p, w, 6);
  memset(p + FW_HEADER, 0, (size_t)namelen);
  memcpy(p + FW_HEADER, name, strlen(name) < (size_t)namelen ? strlen(name) : (size_t)namelen);
  return FW_HEADER + namelen;
}

// Ends a flash write early: closes the file; the result given.
static int writefail(FILE *f, int r) {
  fclose(f);
  return r;
}

int hflswrite(const char *path, flashlocn pos, unsigned marker) {
  FILE *f = fopen(path, "rb");
  if (!f) return 1;
  chipgeom g;
  if (getchiptype(pos.chip, &g)) {
    fprintf(stderr, "ERROR: unable to obtain FLASH chip information\n");
    return writefail(f, 1);
  }
  fprintf(stderr, "\n writing to FLASH");
  char name[FW_NAME_LONGEST + 1];
  time_t modified;
  if (plat_findfile(path, name, sizeof name, &modified)) {
    fprintf(stderr, "\n Error: cannot look up %s\n", path);
    return writefail(f, 1);
  }
  // The name's length with room for a terminator, made even: at most 254.
  int namelen = (int)((strlen(name) + 1) & ~(size_t)1);
  int pagebytes = g.nwords * 2;
  if (g.nwords <= 0 || 8 + pagebytes > PAYLOAD_MAX || pagebytes < FW_HEADER + namelen) {
    fprintf(stderr, "\n Error: a flash page of %d words cannot hold the firmware header\n", (int)g.nwords);
    return writefail(f, 1);
  }
  uint32_t loaded = (uint32_t)time(NULL);
  for (int first = 1;; first = 0) {
    fprintf(stderr, ".");
    const uint32_t loc[4] = {(uint32_t)pos.chip & 0xFFFF, (uint32_t)pos.block & 0xFFFF, (uint32_t)pos.page & 0xFFFF, 1};
    unsigned char *p = bunpack(getbuff(), loc, 4);
    int used = first ? fwheader(p, marker, loaded, (uint32_t)modified, name, namelen) : 0;
    size_t want = (size_t)(pagebytes - used), got = fread(p + used, 1, want, f);
    if (ferror(f)) {
      fprintf(stderr, "\n Error: cannot read %s\n", path);
      return writefail(f, 1);
    }
    int end = got < want;
    if (end) memset(p + used + got, 0, want - got);
    int s = sendreq(REQ_FLWRITE, LOCN_LEN + pagebytes);
    if (s) return writefail(f, s);
    pos.page++;
    MessRec rec;
    s = getmess(&rec, TMO_REPLY);
    if (s) {
      fprintf(stderr, " Error in response with flag %04x\n", s);
      return writefail(f, 1);
    }
    if (rec.cmd != MSG_ACK) {
      fprintf(stderr, " Bad response 0x%04x\n", (unsigned)rec.cmd);
      return writefail(f, 1);
    }
    if (end) {
      fclose(f);
      fprintf(stderr, "\n");
      return 0;
    }
  }
}

int hflswrite_req(void) {
  char name[FW_FNAME + 1];
  flashlocn pos = {0, 0, 0, 1};
  if (getfname(name, FW_FNAME, "rb") || getflashlocn(&pos, 3)) return 1;
  pos.count = 1;
  return hflswrite(name, pos, FW_MARKER);
}

int sendcode(void) {
  char name[FW_FNAME + 1];
  if (getfname(name, FW_FNAME, "rb")) {
    fprintf(stderr, " Unable to open file %s\n", name);
    return 1;
  }
  // The code space is block 0 of chip 0: an image it cannot hold would be
  // cut short after the old firmware was already erased.
  chipgeom g;
  char own[FW_NAME_LONGEST + 1];
  long long size;
  if (getchiptype(0, &g)) return 1;
  if (plat_findfile(name, own, sizeof own, NULL) == 0 && plat_filesize(name, &size) == 0) {
    long long room = (long long)g.npages * g.nwords * 2 - FW_HEADER - (long long)((strlen(own) + 1) & ~(size_t)1);
    if (size > room) {
      fprintf(stderr, " Error: %s is %lld bytes and the code space holds %lld: nothing erased or written\n", name, size,
              room < 0 ? 0 : room);
      return 1;
    }
  }
  fprintf(stderr, " Erasing code space ");
  diritem code;
  memset(&code, 0, sizeof code);
  erasestop stop;
  if (eraseblocks(&code, &stop)) return 1;
  if (stop.stopped) {
    // Pages written over an erase that never happened would not hold the image.
    fprintf(stderr, "\n Firmware not written: the erase was stopped\n");
    return 1;
  }
  const flashlocn pos = {0, 0, 0, 1};
  return hflswrite(name, pos, FW_MARKER);
}

unsigned char *hfls_pageread(flashlocn *pos, int *len) {
  pos->count = 1;
  const uint32_t loc[4] = {(uint32_t)pos->chip & 0xFFFF, (uint32_t)pos->block & 0xFFFF, (uint32_t)pos->page & 0xFFFF,
                           1};
  MessRec rec;
  uint32_t d[5];
  if (flashread(loc, &rec, d)) return NULL;
  if (d[0] != loc[0] || d[1] != loc[1] || d[2] == 0xFFFF) {
    fprintf(stderr, " Error: bad file descriptor received\n");
    return NULL;
  }
  *len = rec.len - READ_DESC;
  return rec.data + READ_DESC;
}

int checkcode(void) {
  flashlocn pos = {0, 0, 0, 1};
  int len;
  unsigned char *p = hfls_pageread(&pos, &len);
  if (!p) return 1;
  uint32_t w[6] = {0, 0, 0, 0, 0, 0};
  bpack(w, p, len < FW_HEADER ? len / 2 : 6);
  if (w[0] != FW_MARKER) {
    fprintf(stderr, "No executable firmware loaded\n");
    return 0;
  }
  // The name must lie within the page that arrived, whatever its length says.
  if (len < FW_HEADER || w[5] > FW_NAME_MAX || FW_HEADER + (int)w[5] > len) {
    fprintf(stderr, "Corrupt firmware\n");
    return 0;
  }
  // The terminator goes at most one byte past the page: onto the reply's
  // check value, still inside the receive buffer.
  p[FW_HEADER + w[5]] = 0;
  fprintf(stderr, "Current firmware:\t%s\n", (const char *)p + FW_HEADER);
  int32_t t = (int32_t)((w[3] << 16) | w[4]);
  fprintf(stderr, "File last modified:\t%s\n", long2timestr(&t));
  t = (int32_t)((w[1] << 16) | w[2]);
  fprintf(stderr, "Loaded:\t\t\t%s\n", long2timestr(&t));
  return 0;
}
