// The tag's flash recorder store: flash locations typed by the operator, the
// chip count, each chip's geometry and bad blocks, and the bad-block table
// (a text file on the host and the bad-block records in the EEPROM).
//
// A bad-block list is only ever as long as the reply that brought it: a count
// word that claims more blocks than the words the tag sent after it is cut
// down to those words, so no user of the list reads past what arrived.
#include "hostflsh.h"

#include <stdio.h>
#include <time.h>

#include "host.h"
#include "host_eeprom.h"
#include "params.h"
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
  return askreq(code, 8, rec, what, 0);
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
// negative number never is). 0 it is; 1 not (message printed, except for a
// tag that reports no chips).
static int chipexists(int chip) {
  int n;
  if (chipcount(&n) || n == 0) return 1;
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

// An EEPROM write of the table failed: closes the file when it is open; 1.
static int tablefail(FILE *f) {
  if (f) fclose(f);
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

int hflsbadblockfile(void) {
  uint32_t id[5];
  int32_t devtime = 0;
  int nchips;
  if (getboardid(id)) return 1;
  if (getboardtime(&devtime)) devtime = 0;
  if (chipcount(&nchips) || nchips == 0) return 1;
  if (nchips > BADBLK_MAXCHIPS) {
    fprintf(stderr, " Error: too many flash chips for a bad block table (%d)\n", nchips);
    return 1;
  }

  char name[BADBLK_FNAME_LEN];
  badblk_fname(name, id);
  FILE *f = fopen(name, "wt");
  if (!f) {
    fprintf(stderr, "\n Error: unable to open a file for writing\n");
    return 1;
  }
  tablehead(f, id, devtime);

  static const unsigned char MAGIC[2] = {EE_MAGIC_HI, EE_MAGIC_LO};
  if (eepromwrite(EE_MAGIC_ADDR, MAGIC, 2)) return tablefail(f);
  int addr = EE_PARAMS;
  for (int c = 0; c < nchips; c++) {
    int32_t list[BADBLK_LIST];
    if (getbadblocks(c, list)) {
      fclose(f);
      return 1;
    }
    int n = list[0];
    fprintf(f, "%%COMMENT chip %d, nbad %d\n", c, n);
    fprintf(stderr, ".");
    // The chip's record: id, size, the blocks as words.
    unsigned char rec[2 + 2 * (BADBLK_LIST - 1)];
    rec[0] = (unsigned char)(PARAM_ID_BADBLK + c);
    rec[1] = (unsigned char)n;
    for (int i = 1; i <= n; i++) {
      fprintf(f, "%d,%d\n", c, (int)list[i]);
      rec[2 * i] = (unsigned char)(list[i] >> 8);
      rec[2 * i + 1] = (unsigned char)list[i];
    }
    if (eepromwrite(addr, rec, 2 + 2 * n)) return tablefail(f);
    addr += 2 + 2 * n;
  }
  fprintf(f, "%%ENDDATA\n");
  // A file cut short (a full disk) must not pass for the table: the records
  // rewritten from it later would miss bad blocks.
  int written = !ferror(f);
  if (fclose(f) != 0) written = 0;

  static const unsigned char END[2] = {PARAM_ID_END, PARAM_ID_END};
  if (eepromwrite(addr, END, 2)) return tablefail(NULL);
  if (!written) {
    fprintf(stderr, "\n Error: unable to write the bad block file %s\n", name);
    return 1;
  }
  fprintf(stderr, "\n.");
  return 0;
}
