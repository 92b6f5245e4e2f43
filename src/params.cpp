// The EEPROM parameter store and its text form: walking the records from
// 0x6002 to the end marker, parameter text files in both directions, and the
// bad-block records rewritten from the bad-block table file.
#include "params.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "host.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "utilities.h"

#define PARAM_PIECE 64                                   // bytes of a record per EEPROM write
#define BADBLK_LINE 79                                   // characters of a bad-block table line that are read
#define PARAM_MAXCHIPS (PARAM_ID_END - PARAM_ID_BADBLK)  // ids 0xE0 to 0xFE

// Set by writenextparam when it passed over a record of more than 250 words,
// so that params2eeprom does not take its result 0 for the end of the file.
static int SKIPPED_BIG;

int readnextparam(int addr, int32_t rec[PARAM_RECLEN]) {
  MessRec m;
  if (addr == 0) addr = EE_PARAMS;
  rec[0] = -1;
  // Records only move forward and must fit the EEPROM, so a walk over a
  // corrupt store ends at its top instead of wrapping to address 0.
  if (addr < 0 || addr + 2 > EEPROM_SIZE) {
    fprintf(stderr, " Error: no end marker in the parameter store\n");
    return 0;
  }
  if (eepromread(addr, 2, &m)) return 0;
  int id = m.data[0], n = m.data[1];
  if (id == PARAM_ID_END) {
    rec[0] = id;
    return 0;
  }
  if (addr + 2 + 2 * n > EEPROM_SIZE) {
    fprintf(stderr, " Error: parameter record at 0x%04x runs past the end of the EEPROM\n", addr);
    return 0;
  }
  if (n > 0) {
    if (eepromread(addr + 2, 2 * n, &m)) return 0;
    bpack((uint32_t *)&rec[2], m.data, n);
  }
  rec[0] = id;
  rec[1] = n;
  return addr + 2 + 2 * n;
}

int params2file(const char *path) {
  if (eeprom_isinstalled() == 0) {
    fprintf(stderr, "No parameters installed in EEPROM - need to initialize\n");
    return 1;
  }
  FILE *f = fopen(path, "wt");
  if (!f) {
    fprintf(stderr, "Unable to open file %s for writing\n", path);
    return 1;
  }
  int32_t rec[PARAM_RECLEN];
  int addr = EE_PARAMS;
  while ((addr = readnextparam(addr, rec)) != 0) {
    if (rec[0] > PARAM_ID_LAST_TEXT) continue;
    fprintf(f, "%d,%d", (int)rec[0], (int)rec[1]);
    for (int i = 0; i < rec[1]; i++) fprintf(f, ",%d", (int)rec[2 + i]);
    fprintf(f, "\n");
  }
  int bad = ferror(f);
  if (fclose(f) || bad) {
    fprintf(stderr, " Error: writing %s failed\n", path);
    return 1;
  }
  // A walk that ended on a failure has left the file short: say so.
  return rec[0] == PARAM_ID_END ? 0 : 1;
}

int writeparam(int addr, int id, int n, const int32_t *words) {
  unsigned char buf[2 * PARAM_MAXWORDS + 4];
  if (n < 0 || n > PARAM_MAXWORDS) return 0;
  int len = 2 * n + 4;
  if (addr < EE_PARAMS || addr + len > EEPROM_SIZE) {
    fprintf(stderr, " Error: parameter record at 0x%04x lies outside the parameter store\n", addr);
    return 1;
  }
  buf[0] = (unsigned char)id;
  buf[1] = (unsigned char)n;
  for (int i = 0; i < n; i++) {
    buf[2 + 2 * i] = (unsigned char)(words[i] >> 8);
    buf[3 + 2 * i] = (unsigned char)words[i];
  }
  buf[len - 2] = buf[len - 1] = PARAM_ID_END;
  for (int off = 0; off < len; off += PARAM_PIECE) {
    fprintf(stderr, ".");
    if (eepromwrite(addr + off, buf + off, len - off < PARAM_PIECE ? len - off : PARAM_PIECE)) {
      fprintf(stderr, " failed writing parameter to eeprom\n");
      return 1;
    }
  }
  return addr + len - 2;
}

// Reads one number as "%d" does (blanks, a sign, digits) without overflow:
// *val clamped to the int range, *low16 the low 16 bits of the exact value.
// 1 read; 0 no number there.
static int readnum(FILE *f, int *val, uint32_t *low16) {
  int c, neg = 0;
  while ((c = getc(f)) != EOF && isspace(c)) {
  }
  if (c == '-' || c == '+') {
    neg = c == '-';
    c = getc(f);
  }
  if (c == EOF || !isdigit(c)) {
    if (c != EOF) ungetc(c, f);
    return 0;
  }
  long long mag = 0;
  uint32_t lo = 0;
  for (; c != EOF && isdigit(c); c = getc(f)) {
    if (mag <= INT_MAX) mag = mag * 10 + (c - '0');
    lo = (lo * 10 + (uint32_t)(c - '0')) & 0xFFFF;
  }
  if (c != EOF) ungetc(c, f);
  if (mag > INT_MAX) mag = INT_MAX;
  *val = neg ? -(int)mag : (int)mag;
  *low16 = neg ? (0x10000 - lo) & 0xFFFF : lo;
  return 1;
}

int writenextparam(int addr, FILE *file) {
  int32_t words[PARAM_RECLEN - 2];
  int c, id, n, v;
  uint32_t lo;
  SKIPPED_BIG = 0;
  while ((c = getc(file)) != EOF && !isdigit(c)) {
  }
  if (c == EOF) return 0;
  ungetc(c, file);
  if (!readnum(file, &id, &lo) || getc(file) != ',' || !readnum(file, &n, &lo)) {
    fprintf(stderr, "error reading parameter file\n");
    return 1;
  }
  if (id < 0 || id > 255 || n < 0 || n > 255) {
    fprintf(stderr, "parameter id or size too big (%d:%d)\n", id, n);
    return 1;
  }
  for (int i = 0; i < n; i++) {
    if (getc(file) != ',' || !readnum(file, &v, &lo)) {
      fprintf(stderr, "error reading parameter file\n");
      return 1;
    }
    words[i] = (int32_t)lo;
  }
  if (n > PARAM_MAXWORDS) {
    SKIPPED_BIG = 1;
    return 0;
  }
  return writeparam(addr, id, n, words);
}

int params2eeprom(const char *path, int flag) {
  (void)flag;  // always 0: the search below always runs
  int32_t rec[PARAM_RECLEN];
  int addr = EE_PARAMS;
  // The ordinary parameters start at the first record with an id of 192 or
  // less, or at the end marker. A record that cannot be read leaves that
  // start unknown, so nothing is written.
  for (;;) {
    int next = readnextparam(addr, rec);
    if (rec[0] < 0) return 1;
    if (rec[0] == PARAM_ID_END || rec[0] <= PARAM_ID_SEARCH) break;
    addr = next;
  }
  if (addr == EE_PARAMS) {
    fprintf(stderr, "Error: no bad block table in eeprom\n");
    return 1;
  }
  FILE *f = fopen(path, "rt");
  if (!f) {
    fprintf(stderr, "unable to open parameter file %s for reading\n", path);
    return 1;
  }
  int wrote = 0, r;
  for (;;) {
    r = writenextparam(addr, f);
    if (r == 0 && feof(f) && !SKIPPED_BIG) break;
    if (r == 0 || r == 1) break;
    addr = r;
    wrote = 1;
    if (feof(f)) break;
  }
  if (r == 1 || (r == 0 && !feof(f)) || SKIPPED_BIG) {
    fprintf(stderr, "Error writing parameter to eeprom\n");
    fclose(f);
    return 1;
  }
  // A file without records (cut short, or the wrong file) is no new set of
  // parameters: the store keeps the ones it has.
  if (!wrote) {
    fprintf(stderr, "Error: %s holds no parameters: nothing written\n", path);
    fclose(f);
    return 1;
  }
  fprintf(stderr, "\n");
  fclose(f);
  return 0;
}

int edit_params(void) { return params2eeprom(PARAMSTEMP, 0); }

// Reads one line of f, keeping its first 79 characters and passing over the
// rest. 1 read; 0 at the end of the file.
static int getline79(FILE *f, char line[BADBLK_LINE + 1]) {
  int c;
  if (!fgets(line, BADBLK_LINE + 1, f)) return 0;
  if (!strchr(line, '\n'))
    while ((c = getc(f)) != EOF && c != '\n') {
    }
  return 1;
}

// 1 when line is a data line "chip,block" of the bad-block table file.
static int badblkline(const char *line, long *chip, long *block) {
  char *end;
  if (line[0] == '%') return 0;
  *chip = strtol(line, &end, 10);
  if (end == line || *end != ',') return 0;
  const char *p = end + 1;
  *block = strtol(p, &end, 10);
  return end != p;
}

int badblkwrite(void) {
  uint32_t id[5];
  char name[BADBLK_FNAME_LEN], line[BADBLK_LINE + 1];
  int32_t blocks[PARAM_MAXWORDS];
  if (getboardid(id)) return 1;
  int nchips = getnchips();
  if (nchips <= 0) {
    fprintf(stderr, "\n Error: cannot read number of chips in device\n");
    return 1;
  }
  if (nchips > PARAM_MAXCHIPS) {
    fprintf(stderr, "\n Error: %d chips, more than the EEPROM table can hold (%d)\n", nchips, PARAM_MAXCHIPS);
    return 1;
  }
  badblk_fname(name, id);
  FILE *f = fopen(name, "rt");
  if (!f) {
    fprintf(stderr, "\n Error: unable to find the bad block file\n");
    return 1;
  }
  // A file without its closing line was cut short: the chips it lacks would
  // get empty records, and their bad blocks would be recorded into.
  int complete = 0;
  while (!complete && getline79(f, line)) complete = strncmp(line, "%ENDDATA", 8) == 0;
  if (!complete) {
    fprintf(stderr, "\n Error: %s ends before its %%ENDDATA line: nothing written\n", name);
    fclose(f);
    return 1;
  }
  rewind(f);
  int addr = eepromwriteparammagic();
  long held = -1, heldblock = 0;  // chip of a data line read ahead (-1: none)
  for (int c = 0; addr && c < nchips; c++) {
    int n = 0, more = held < c;
    if (held == c) {
      blocks[n++] = (int32_t)(heldblock & 0xFFFF);
      held = -1;
      more = 1;
    }
    long chip, block;
    while (more && getline79(f, line)) {
      if (!badblkline(line, &chip, &block) || chip < c) continue;
      if (chip > c) {
        held = chip;
        heldblock = block;
        break;
      }
      if (n == PARAM_MAXWORDS) {
        fprintf(stderr, "\n Error: chip %d has more than %d bad blocks in %s\n", c, PARAM_MAXWORDS, name);
        fclose(f);
        return 1;
      }
      blocks[n++] = (int32_t)(block & 0xFFFF);
    }
    addr = writeparam(addr, PARAM_ID_BADBLK + c, n, blocks);
    if (addr == 1) addr = 0;
  }
  fclose(f);
  return addr ? 0 : 1;
}

void badblk_fname(char *name, const uint32_t id[5]) {
  snprintf(name, BADBLK_FNAME_LEN, "badblocks_%04X_%04X.txt", (unsigned)(id[2] & 0xFFFF), (unsigned)(id[3] & 0xFFFF));
}
