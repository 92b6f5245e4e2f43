// The offload record (see offrec.h): appended after every offload, read
// back by kvdcheck and by the erase by record.
#include "offrec.h"

#include <errno.h>
#include <inttypes.h>
#include <string.h>
#include <time.h>

#include "platform.h"
#include "utilities.h"

const char *const OFF_OUTCOME[3] = {"complete", "stopped", "failed"};

#define OFFREC_PATH 512  // the record's path: a data directory and the name

// The record's path in dir. 0 it fits; 1 not.
static int recpath(char *path, const char *dir) {
  int n = snprintf(path, OFFREC_PATH, "%s%s", dir, OFFREC_FILE);
  return n < 0 || n >= OFFREC_PATH;
}

int offrec_append(const char *dir, const offrec *r) {
  char path[OFFREC_PATH];
  FILE *f = recpath(path, dir) ? NULL : fopen(path, "at");
  if (!f) {
    fprintf(stderr, " Error: cannot write the offload record %s%s: %s\n", dir, OFFREC_FILE, strerror(errno));
    return 1;
  }
  // A new record starts with the names of its fields.
  if (ftell(f) == 0)
    fprintf(f, "# finished\ttag\trecording\tflash\tstart\tend\tfile\trange\twritten\tbytes\toutcome\n");
  char rec[16] = "-", start[16] = "-", end[16] = "-";
  if (r->recno > 0) {
    snprintf(rec, sizeof rec, "%d", r->recno);
    snprintf(start, sizeof start, "%08" PRIx32, r->starttime);
    snprintf(end, sizeof end, "%08" PRIx32, r->endtime);
  }
  fprintf(f, "%s\t%04x %04x %04x %04x %04x\t%s\t%u:%u-%u:%u\t%s\t%s\t%s\t%u\t%d\t%" PRIu64 "\t%s\n", r->finished,
          (unsigned)r->id[0], (unsigned)r->id[1], (unsigned)r->id[2], (unsigned)r->id[3], (unsigned)r->id[4], rec,
          (unsigned)r->startchip, (unsigned)r->startblock, (unsigned)r->endchip, (unsigned)r->endblock, start, end,
          r->file, (unsigned)r->range, (int)r->written, r->bytes, OFF_OUTCOME[r->outcome % 3]);
  int bad = plat_syncfile(f);
  if (fclose(f) != 0) bad = 1;
  if (bad) fprintf(stderr, " Error: the offload record %s could not be saved - check disk space\n", path);
  return bad;
}

FILE *offrec_open(const char *dir) {
  char path[OFFREC_PATH];
  return recpath(path, dir) ? NULL : fopen(path, "rt");
}

// Cuts the next tab-separated field off *s: the field, or null when there is none.
static char *field(char **s) {
  if (!*s) return NULL;
  char *f = *s, *tab = strchr(f, '\t');
  if (tab) {
    *tab = 0;
    *s = tab + 1;
  } else {
    f[strcspn(f, "\r\n")] = 0;
    *s = NULL;
  }
  return f;
}

// Reads one line into r: 0 it is a whole record line; 1 not.
static int parseline(char *line, offrec *r) {
  if (line[0] == '#') return 1;
  char *s = line, *fl[11];
  for (int i = 0; i < 11; i++)
    if (!(fl[i] = field(&s))) return 1;
  if (s || strlen(fl[0]) >= sizeof r->finished || strlen(fl[6]) >= sizeof r->file) return 1;
  memset(r, 0, sizeof *r);
  strcpy(r->finished, fl[0]);
  strcpy(r->file, fl[6]);
  unsigned long long bytes;
  int n = 0;
  if (sscanf(fl[1], "%4x %4x %4x %4x %4x%n", &r->id[0], &r->id[1], &r->id[2], &r->id[3], &r->id[4], &n) != 5 ||
      fl[1][n] || sscanf(fl[3], "%u:%u-%u:%u%n", &r->startchip, &r->startblock, &r->endchip, &r->endblock, &n) != 4 ||
      fl[3][n] || sscanf(fl[7], "%u%n", &r->range, &n) != 1 || fl[7][n] ||
      sscanf(fl[8], "%d%n", &r->written, &n) != 1 || fl[8][n] || sscanf(fl[9], "%llu%n", &bytes, &n) != 1 || fl[9][n])
    return 1;
  r->bytes = bytes;
  if (strcmp(fl[2], "-") != 0 && (sscanf(fl[2], "%d", &r->recno) != 1 || sscanf(fl[4], "%x", &r->starttime) != 1 ||
                                  sscanf(fl[5], "%x", &r->endtime) != 1 || r->recno <= 0))
    return 1;
  for (r->outcome = 0; r->outcome < 3 && strcmp(fl[10], OFF_OUTCOME[r->outcome]) != 0; r->outcome++) {
  }
  return r->outcome == 3;
}

int offrec_next(FILE *f, offrec *r) {
  char line[OFFREC_LINE + 2];
  while (fgets(line, sizeof line, f)) {
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] != '\n' && !feof(f)) {
      // Longer than any line the program writes: not a record; skip the rest of it.
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      continue;
    }
    if (parseline(line, r) == 0) return 0;
  }
  return 1;
}

int offrec_saved(const char *dir, const uint32_t id[5], const diritem *d) { return offrec_find(dir, id, d, NULL); }

int offrec_find(const char *dir, const uint32_t id[5], const diritem *d, char file[OFFREC_NAME]) {
  FILE *f = offrec_open(dir);
  if (!f) return 0;
  offrec r;
  int saved = 0;
  while (!saved && offrec_next(f, &r) == 0) {
    if (r.outcome != OFF_COMPLETE || r.recno == 0 || memcmp(r.id, id, sizeof r.id) != 0 ||
        r.startchip != d->startchip || r.startblock != d->startblock || r.endchip != d->endchip ||
        r.endblock != d->endblock || r.starttime != d->starttime || r.endtime != d->endtime)
      continue;
    char path[OFFREC_PATH];
    long long size;
    if (snprintf(path, sizeof path, "%s%s", dir, r.file) < (int)sizeof path && plat_filesize(path, &size) == 0 &&
        (uint64_t)size == r.bytes) {
      saved = 1;
      if (file) memcpy(file, r.file, OFFREC_NAME);
    }
  }
  fclose(f);
  return saved;
}
