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

#define PARAM_PIECE 64  // bytes of a record per EEPROM write
#define BADBLK_LINE 79  // characters of a bad-block table line that are read

int paramread(int *addr, int32_t rec[PARAM_RECLEN]) {
  MessRec m;
  int at = *addr ? *addr : EE_PARAMS;
  rec[0] = -1;
  // Records only move forward and must fit the EEPROM, so a walk over a
  // corrupt store ends at its top instead of wrapping to address 0.
  if (at < 0 || at + 2 > EEPROM_SIZE) {
    fprintf(stderr, " Error: no end marker in the parameter store\n");
    return PARAM_FAILED;
  }
  if (eepromread(at, 2, &m)) return PARAM_FAILED;
  int id = m.data[0], n = m.data[1];
  if (id == PARAM_ID_END) {
    rec[0] = id;
    return PARAM_END;
  }
  if (at + 2 + 2 * n > EEPROM_SIZE) {
    fprintf(stderr, " Error: parameter record at 0x%04x runs past the end of the EEPROM\n", at);
    return PARAM_FAILED;
  }
  if (n > 0) {
    if (eepromread(at + 2, 2 * n, &m)) return PARAM_FAILED;
    bpack((uint32_t *)&rec[2], m.data, n);
  }
  rec[0] = id;
  rec[1] = n;
  *addr = at + 2 + 2 * n;
  return PARAM_DONE;
}

int readnextparam(int addr, int32_t rec[PARAM_RECLEN]) { return paramread(&addr, rec) == PARAM_DONE ? addr : 0; }

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
  int addr = EE_PARAMS, r;
  while ((r = paramread(&addr, rec)) == PARAM_DONE) {
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
  return r == PARAM_END ? 0 : 1;
}

int paramwrite(int *addr, int id, int n, const int32_t *words) {
  unsigned char buf[2 * PARAM_MAXWORDS + 4];
  if (n < 0 || n > PARAM_MAXWORDS) return PARAM_TOOBIG;
  int at = *addr, len = 2 * n + 4;
  if (at < EE_PARAMS || at + len > EEPROM_SIZE) {
    fprintf(stderr, " Error: parameter record at 0x%04x lies outside the parameter store\n", at);
    return PARAM_FAILED;
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
    if (eepromwrite(at + off, buf + off, len - off < PARAM_PIECE ? len - off : PARAM_PIECE)) {
      fprintf(stderr, " failed writing parameter to eeprom\n");
      return PARAM_FAILED;
    }
  }
  *addr = at + len - 2;
  return PARAM_DONE;
}

int writeparam(int addr, int id, int n, const int32_t *words) {
  int r = paramwrite(&addr, id, n, words);
  return r == PARAM_DONE ? addr : r == PARAM_TOOBIG ? 0 : 1;
}

// getc and ungetc that keep *line, the line of the file being read.
static int getcl(FILE *f, int *line) {
  int c = getc(f);
  if (c == '\n') ++*line;
  return c;
}
static void ungetcl(int c, FILE *f, int *line) {
  if (c == EOF) return;
  if (c == '\n') --*line;
  ungetc(c, f);
}

// Reads one number as "%d" does (blanks, a sign, digits) without overflow:
// *val clamped to the int range, *low16 the low 16 bits of the exact value.
// 1 read; 0 no number there.
static int readnum(FILE *f, int *line, int *val, uint32_t *low16) {
  int c, neg = 0;
  while ((c = getcl(f, line)) != EOF && isspace(c)) {
  }
  if (c == '-' || c == '+') {
    neg = c == '-';
    c = getcl(f, line);
  }
  if (c == EOF || !isdigit(c)) {
    ungetcl(c, f, line);
    return 0;
  }
  long long mag = 0;
  uint32_t lo = 0;
  for (; c != EOF && isdigit(c); c = getcl(f, line)) {
    if (mag <= INT_MAX) mag = mag * 10 + (c - '0');
    lo = (lo * 10 + (uint32_t)(c - '0')) & 0xFFFF;
  }
  ungetcl(c, f, line);
  if (mag > INT_MAX) mag = INT_MAX;
  *val = neg ? -(int)mag : (int)mag;
  *low16 = neg ? (0x10000 - lo) & 0xFFFF : lo;
  return 1;
}

int paramfile_next(FILE *f, int *line, int32_t rec[PARAM_RECLEN]) {
  int c, id, n, v;
  uint32_t lo;
  while ((c = getcl(f, line)) != EOF && !isdigit(c)) {
  }
  if (c == EOF) return PARAM_END;
  ungetcl(c, f, line);
  if (!readnum(f, line, &id, &lo) || getcl(f, line) != ',' || !readnum(f, line, &n, &lo)) {
    fprintf(stderr, "error reading parameter file\n");
    return PARAM_FAILED;
  }
  if (id < 0 || id > 255 || n < 0 || n > 255) {
    fprintf(stderr, "parameter id or size too big (%d:%d)\n", id, n);
    return PARAM_FAILED;
  }
  for (int i = 0; i < n; i++) {
    if (getcl(f, line) != ',' || !readnum(f, line, &v, &lo)) {
      fprintf(stderr, "error reading parameter file\n");
      return PARAM_FAILED;
    }
    rec[2 + i] = (int32_t)lo;
  }
  rec[0] = id;
  rec[1] = n;
  return n > PARAM_MAXWORDS ? PARAM_TOOBIG : PARAM_DONE;
}

int paramfile_read(FILE *f, ParamFile *pf) {
  int32_t rec[PARAM_RECLEN];
  long bytes = 0;  // what the records kept take in the EEPROM
  pf->recs.clear();
  pf->count = 0;
  pf->line = 1;
  for (;;) {
    int r = paramfile_next(f, &pf->line, rec);
    if (r != PARAM_DONE) return r;
    pf->count++;
    // Records past the top of the EEPROM could never be written: the first
    // of them is kept, for the write to stop at.
    if (bytes > EEPROM_SIZE) continue;
    bytes += 2 + 2 * rec[1];
    pf->recs.insert(pf->recs.end(), rec, rec + 2 + rec[1]);
  }
}

int writenextparam(int addr, FILE *file) {
  int32_t rec[PARAM_RECLEN];
  int line = 1;
  int r = paramfile_next(file, &line, rec);
  if (r == PARAM_FAILED) return 1;
  return r == PARAM_DONE ? writeparam(addr, rec[0], rec[1], rec + 2) : 0;
}

int params2eeprom(const char *path, int flag) {
  (void)flag;  // always 0: the search below always runs
  int32_t rec[PARAM_RECLEN];
  int addr = EE_PARAMS, next = EE_PARAMS, r;
  // The ordinary parameters start at the first record with an id of 192 or
  // less, or at the end marker. A record that cannot be read leaves that
  // start unknown, so nothing is written.
  while ((r = paramread(&next, rec)) == PARAM_DONE && rec[0] > PARAM_ID_SEARCH) addr = next;
  if (r == PARAM_FAILED) return 1;
  if (addr == EE_PARAMS) {
    fprintf(stderr, "Error: no bad block table in eeprom\n");
    return 1;
  }
  FILE *f = fopen(path, "rt");
  if (!f) {
    fprintf(stderr, "unable to open parameter file %s for reading\n", path);
    return 1;
  }
  // The whole file is read before anything is written: a fault part-way
  // through never leaves the store half replaced.
  ParamFile pf;
  r = paramfile_read(f, &pf);
  fclose(f);
  if (r != PARAM_END) {
    fprintf(stderr, "Error writing parameter to eeprom\n");
    return 1;
  }
  // A file without records (cut short, or the wrong file) is no new set of
  // parameters: the store keeps the ones it has.
  if (pf.count == 0) {
    fprintf(stderr, "Error: %s holds no parameters: nothing written\n", path);
    return 1;
  }
  for (size_t i = 0; i < pf.recs.size(); i += 2 + (size_t)pf.recs[i + 1]) {
    if (paramwrite(&addr, pf.recs[i], pf.recs[i + 1], pf.recs.data() + i + 2) != PARAM_DONE) {
      fprintf(stderr, "Error writing parameter to eeprom\n");
      return 1;
    }
  }
  fprintf(stderr, "\n");
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

int badblkfile_read(FILE *f, const char *name, int nchips, BadBlockFile *t) {
  char line[BADBLK_LINE + 1];
  t->line = 0;
  // A file without its closing line was cut short: the chips it lacks would
  // get empty records, and their bad blocks would be recorded into.
  int complete = 0;
  while (!complete && getline79(f, line)) {
    t->line++;
    complete = strncmp(line, "%ENDDATA", 8) == 0;
  }
  if (!complete) {
    fprintf(stderr, "\n Error: %s ends before its %%ENDDATA line: nothing written\n", name);
    return 1;
  }
  rewind(f);
  t->line = 0;
  // Each chip's lines are read on from where the chip before stopped: lines
  // of an earlier chip are passed over, and a line of a later chip ends the
  // chip and is that chip's first.
  if (nchips > PARAM_MAXCHIPS) nchips = PARAM_MAXCHIPS;
  for (int c = 0; c < nchips; c++) t->n[c] = 0;
  for (int c = 0; c < nchips && getline79(f, line);) {
    long chip, block;
    t->line++;
    if (!badblkline(line, &chip, &block) || chip < c) continue;
    c = (int)(chip < nchips ? chip : nchips);
    if (c == nchips) break;
    if (t->n[c] == PARAM_MAXWORDS) {
      fprintf(stderr, "\n Error: chip %d has more than %d bad blocks in %s\n", c, PARAM_MAXWORDS, name);
      return 1;
    }
    t->blocks[c][t->n[c]++] = (int32_t)(block & 0xFFFF);
  }
  return 0;
}

int badblkwrite(void) {
  uint32_t id[5];
  char name[BADBLK_FNAME_LEN];
  static BadBlockFile table;
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
  // The whole file is read before anything is written: a fault part-way
  // through never leaves the table half rewritten.
  int bad = badblkfile_read(f, name, nchips, &table);
  fclose(f);
  if (bad) return 1;
  int addr = eepromwriteparammagic();
  if (!addr) return 1;
  for (int c = 0; c < nchips; c++)
    if (paramwrite(&addr, PARAM_ID_BADBLK + c, table.n[c], table.blocks[c]) != PARAM_DONE) return 1;
  return 0;
}

void badblk_fname(char *name, const uint32_t id[5]) {
  snprintf(name, BADBLK_FNAME_LEN, "badblocks_%04X_%04X.txt", (unsigned)(id[2] & 0xFFFF), (unsigned)(id[3] & 0xFFFF));
}
