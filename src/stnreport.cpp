// The field station's report (see stnreport.h): the CSV appended row by row,
// and the HTML page made again from the CSV after every tag.
#include "stnreport.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "hostflsh.h"
#include "platform.h"

const char *const RPT_OUTCOME[5] = {"saved", "held", "stopped", "failed", "left"};

#define REPORT_PATH (DATA_DIR_LEN + REPORT_NAME)
#define REPORT_LINE 1024  // longest CSV line read back
#define REPORT_FIELDS 11
#define REPORT_TRIES 100  // report names tried in one second
#define PAGE_WIDTH 760    // the timeline's drawing area, in SVG units
#define PAGE_MARK_MIN 3   // the narrowest mark, so a short recording still shows

static const char COLUMNS[] = "tag,recording,start,end,file,bytes,blocks,outcome,verified,erased,note\n";

static char CSV[REPORT_PATH], HTML[REPORT_PATH];
static int rowfailed;  // a row could not be written: said once

const char *report_csv(void) { return CSV; }
const char *report_html(void) { return HTML; }

// "2026-03-10T06:00:00Z" for a time in seconds since 1970.
static void isotime(char out[24], uint32_t t) {
  time_t tt = (time_t)t;
  struct tm *g = gmtime(&tt);
  if (!g || !strftime(out, 24, "%Y-%m-%dT%H:%M:%SZ", g)) snprintf(out, 24, "-");
}

// Seconds since 1970 from "2026-03-10T06:00:00Z"; 0 when it is not one.
static long long fromiso(const char *s) {
  int y, mo, d, h, mi, se, n = 0;
  if (sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &y, &mo, &d, &h, &mi, &se, &n) != 6 || s[n] || mo < 1 || mo > 12)
    return 0;
  // Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
  y -= mo <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
  long long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1, doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return (era * 146097 + doe - 719468) * 86400 + h * 3600 + mi * 60 + se;
}

int report_start(const char *dir) {
  char stamp[24];
  isotime(stamp, (uint32_t)time(NULL));
  // "2026-12-07T08:48:00Z" as a file name: no colons, which Windows refuses.
  char name[REPORT_NAME];
  int y, mo, d, h, mi, s;
  sscanf(stamp, "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &s);
  for (int i = 1; i <= REPORT_TRIES; i++) {
    if (i == 1)
      snprintf(name, sizeof name, "station-%04d%02d%02dT%02d%02d%02dZ", y, mo, d, h, mi, s);
    else
      snprintf(name, sizeof name, "station-%04d%02d%02dT%02d%02d%02dZ-%d", y, mo, d, h, mi, s, i);
    snprintf(CSV, sizeof CSV, "%s%s.csv", dir, name);
    snprintf(HTML, sizeof HTML, "%s%s.html", dir, name);
    if (plat_findfile(CSV, NULL, 0, NULL) == 0 || plat_findfile(HTML, NULL, 0, NULL) == 0) continue;
    errno = 0;
    FILE *f = fopen(CSV, "wt");
    int bad = !f || fputs(COLUMNS, f) < 0 || plat_syncfile(f);
    if (f && fclose(f) != 0) bad = 1;
    if (!bad) {
      rowfailed = 0;
      return report_page();
    }
    fprintf(stderr, " Error: cannot write the station report %s: %s\n", CSV, strerror(errno ? errno : EIO));
    CSV[0] = HTML[0] = 0;
    return 1;
  }
  fprintf(stderr, " Error: no free name for the station report in %s\n", dir);
  CSV[0] = HTML[0] = 0;
  return 1;
}

// Puts text into a CSV field: the separators of the format become blanks.
static void csvfield(char *out, size_t size, const char *text) {
  snprintf(out, size, "%s", text);
  for (char *p = out; *p; p++)
    if (*p == ',' || *p == '"' || *p == '\n' || *p == '\r') *p = ' ';
}

int report_row(const reportrow *r) {
  char start[24] = "-", end[24] = "-", file[OFFREC_NAME], note[REPORT_NOTE];
  isotime(start, r->starttime);
  isotime(end, r->endtime);
  csvfield(file, sizeof file, r->file);
  csvfield(note, sizeof note, r->note);
  static const char *const YESNO[] = {"no", "yes", "stopped"};
  FILE *f = CSV[0] ? fopen(CSV, "at") : NULL;
  int bad = !f;
  if (f) {
    fprintf(f, "%04x-%04x-%04x-%04x-%04x,%d,%s,%s,%s,%lld,%d/%u,%s,%s,%s,%s\n", (unsigned)r->id[0], (unsigned)r->id[1],
            (unsigned)r->id[2], (unsigned)r->id[3], (unsigned)r->id[4], r->recno, start, end, file, r->bytes,
            (int)r->blocks, (unsigned)r->range, RPT_OUTCOME[r->outcome % 5],
            r->verified < 0 ? "-" : YESNO[r->verified != 0], r->erased < 0 ? "-" : YESNO[r->erased % 3], note);
    if (plat_syncfile(f)) bad = 1;
    if (fclose(f) != 0) bad = 1;
  }
  if (bad && !rowfailed) {
    rowfailed = 1;
    fprintf(stderr, "\n Error: cannot add to the station report %s - check disk space\n", CSV[0] ? CSV : "(none)");
  }
  return bad;
}

// ---- The page ----

// One recording as the page draws it.
struct pagerow {
  char tag[32], start[24], end[24], file[OFFREC_NAME], blocks[24], verified[8], erased[8], note[REPORT_NOTE];
  int recno, outcome;
  long long bytes, t0, t1;
};
static pagerow ROWS[REPORT_MAXRECS];  // the rows of the tag being drawn

void stnreport_reset(void) {
  CSV[0] = HTML[0] = 0;
  rowfailed = 0;
  memset(ROWS, 0, sizeof ROWS);
}

// Copies a field into a buffer of n bytes, cut to fit: the page shows it,
// the CSV keeps it whole.
static void copyfield(char *dst, size_t n, const char *src) {
  size_t l = strlen(src);
  if (l >= n) l = n - 1;
  memcpy(dst, src, l);
  dst[l] = 0;
}

// Splits a CSV line into a row. 0 it is one; 1 not.
static int parserow(char *line, pagerow *r) {
  char *f[REPORT_FIELDS], *s = line;
  line[strcspn(line, "\r\n")] = 0;
  for (int i = 0; i < REPORT_FIELDS; i++) {
    f[i] = s;
    char *c = strchr(s, ',');
    if (!c && i < REPORT_FIELDS - 1) return 1;
    if (c) *c = 0, s = c + 1;
  }
  memset(r, 0, sizeof *r);
  copyfield(r->tag, sizeof r->tag, f[0]);
  copyfield(r->start, sizeof r->start, f[2]);
  copyfield(r->end, sizeof r->end, f[3]);
  copyfield(r->file, sizeof r->file, f[4]);
  copyfield(r->blocks, sizeof r->blocks, f[6]);
  copyfield(r->verified, sizeof r->verified, f[8]);
  copyfield(r->erased, sizeof r->erased, f[9]);
  copyfield(r->note, sizeof r->note, f[10]);
  if (sscanf(f[1], "%d", &r->recno) != 1 || sscanf(f[5], "%lld", &r->bytes) != 1) return 1;
  for (r->outcome = 0; r->outcome < 5 && strcmp(f[7], RPT_OUTCOME[r->outcome]) != 0; r->outcome++) {
  }
  r->t0 = fromiso(r->start);
  r->t1 = fromiso(r->end);
  if (r->t1 < r->t0) r->t1 = r->t0;
  return r->outcome == 5;
}

// Text with the characters HTML gives a meaning to written as references.
static void html(FILE *f, const char *s) {
  for (; *s; s++) {
    if (*s == '<')
      fputs("&lt;", f);
    else if (*s == '>')
      fputs("&gt;", f);
    else if (*s == '&')
      fputs("&amp;", f);
    else if (*s == '"')
      fputs("&quot;", f);
    else
      fputc(*s, f);
  }
}

// What a mark shows: erased wins, since the recording is then only on the disk.
static const char *markclass(const pagerow *r) {
  if (strcmp(r->erased, "yes") == 0) return "erased";
  return RPT_OUTCOME[r->outcome];
}

// The section of one tag: n rows of ROWS.
static void pagetag(FILE *f, int n, int more) {
  long long t0 = ROWS[0].t0, t1 = ROWS[0].t1, bytes = 0;
  int count[5] = {0, 0, 0, 0, 0}, erased = 0, verified = 0, first = 0, last = 0;
  for (int i = 0; i < n; i++) {
    if (ROWS[i].t0 < t0) t0 = ROWS[i].t0, first = i;
    if (ROWS[i].t1 > t1) t1 = ROWS[i].t1, last = i;
    count[ROWS[i].outcome]++;
    if (ROWS[i].outcome <= RPT_HELD) bytes += ROWS[i].bytes;
    erased += strcmp(ROWS[i].erased, "yes") == 0;
    verified += strcmp(ROWS[i].verified, "yes") == 0;
  }
  double span = t1 > t0 ? (double)(t1 - t0) : 1;
  fprintf(f, "<section class=\"tag\"><h2>Tag ");
  html(f, ROWS[0].tag);
  fprintf(f,
          "</h2>\n<p>%d recordings: %d saved, %d held from before, %d stopped, %d failed, %d left; %.1f MB on the "
          "disk; %d verified; %d erased</p>\n",
          n, count[RPT_SAVED], count[RPT_HELD], count[RPT_STOPPED], count[RPT_FAILED], count[RPT_LEFT], bytes / 1e6,
          verified, erased);
  fprintf(f, "<svg class=\"timeline\" width=\"%d\" height=\"52\" viewBox=\"0 0 %d 52\" role=\"img\">\n",
          PAGE_WIDTH + 20, PAGE_WIDTH + 20);
  fprintf(f, "<line x1=\"10\" y1=\"34\" x2=\"%d\" y2=\"34\" stroke=\"#888\"/>\n", PAGE_WIDTH + 10);
  for (int i = 0; i < n; i++) {
    const pagerow *r = &ROWS[i];
    double x = 10 + (double)(r->t0 - t0) / span * PAGE_WIDTH, w = (double)(r->t1 - r->t0) / span * PAGE_WIDTH;
    if (w < PAGE_MARK_MIN) w = PAGE_MARK_MIN;
    if (x + w > PAGE_WIDTH + 10) x = PAGE_WIDTH + 10 - w;
    fprintf(f, "<rect class=\"rec %s\" data-rec=\"%d\" x=\"%.1f\" y=\"8\" width=\"%.1f\" height=\"22\"><title>%d: ",
            markclass(r), r->recno, x, w, r->recno);
    html(f, r->start);
    fprintf(f, " to ");
    html(f, r->end);
    fprintf(f, ", %s</title></rect>\n", markclass(r));
  }
  // The axis: the first start at the left, the last end at the right.
  fprintf(f, "<text x=\"10\" y=\"48\">");
  html(f, ROWS[first].start);
  fprintf(f, "</text><text x=\"%d\" y=\"48\" text-anchor=\"end\">", PAGE_WIDTH + 10);
  html(f, ROWS[last].end);
  fprintf(f, "</text></svg>\n");
  fprintf(f,
          "<table><tr><th>Recording</th><th>Start</th><th>End</th><th>File</th><th>MB</th><th>Blocks</th>"
          "<th>Outcome</th><th>Verified</th><th>Erased</th><th>Note</th></tr>\n");
  for (int i = 0; i < n; i++) {
    const pagerow *r = &ROWS[i];
    fprintf(f, "<tr class=\"%s\"><td>%d</td><td>", markclass(r), r->recno);
    const char *cells[] = {r->start, r->end, r->file};
    for (const char *c : cells) {
      html(f, c);
      fprintf(f, "</td><td>");
    }
    fprintf(f, "%.2f</td><td>", r->bytes / 1e6);
    const char *rest[] = {r->blocks, RPT_OUTCOME[r->outcome], r->verified, r->erased, r->note};
    for (int c = 0; c < 5; c++) {
      html(f, rest[c]);
      fprintf(f, c < 4 ? "</td><td>" : "</td></tr>\n");
    }
  }
  fprintf(f, "</table>\n");
  int notsaved = 0;
  for (int i = 0; i < n; i++)
    if (ROWS[i].outcome > RPT_HELD) {
      if (!notsaved++) fprintf(f, "<p class=\"notsaved\">Not saved:</p><ul>\n");
      fprintf(f, "<li>%d: %s", ROWS[i].recno, RPT_OUTCOME[ROWS[i].outcome]);
      if (ROWS[i].note[0]) fprintf(f, " (");
      html(f, ROWS[i].note);
      fprintf(f, "%s</li>\n", ROWS[i].note[0] ? ")" : "");
    }
  if (notsaved) fprintf(f, "</ul>\n");
  if (more) fprintf(f, "<p>%d more recordings of this tag are in the CSV only.</p>\n", more);
  fprintf(f, "</section>\n");
}

static const char STYLE[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}h1{font-size:1.4em}h2{font-size:1.1em;margin-bottom:.2em}"
    "table{border-collapse:collapse;font-size:.85em}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}"
    "svg text{font-size:11px;fill:#444}.legend span{display:inline-block;padding:0 .5em;margin-right:.5em}"
    "rect.saved,.legend .saved{fill:#2e8b57;background:#2e8b57;color:#fff}"
    "rect.held,.legend .held{fill:#66cdaa;background:#66cdaa}"
    "rect.stopped,.legend .stopped{fill:#ff8c00;background:#ff8c00}"
    "rect.failed,.legend .failed{fill:#d62728;background:#d62728;color:#fff}"
    "rect.left,.legend .left{fill:#aaa;background:#aaa}"
    "rect.erased,.legend .erased{fill:#1f77b4;background:#1f77b4;color:#fff}"
    "tr.stopped td,tr.failed td,tr.left td{background:#fff3e0}.notsaved{font-weight:bold}";

int report_page(void) {
  if (!HTML[0]) return 1;
  FILE *in = fopen(CSV, "rt");
  char tmp[REPORT_PATH + 8];
  snprintf(tmp, sizeof tmp, "%s.new", HTML);
  errno = 0;
  FILE *f = in ? fopen(tmp, "wt") : NULL;
  if (!f) {
    fprintf(stderr, "\n Error: cannot write the station page %s: %s\n", HTML, strerror(errno ? errno : EIO));
    if (in) fclose(in);
    return 1;
  }
  fprintf(f,
          "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Field station report</title>\n<style>%s</style>"
          "</head><body>\n<h1>Field station report</h1>\n<p>",
          STYLE);
  html(f, CSV);
  fprintf(f,
          "</p>\n<p class=\"legend\"><span class=\"saved\">saved</span><span class=\"held\">held from before</span>"
          "<span class=\"erased\">saved and erased</span><span class=\"stopped\">stopped</span>"
          "<span class=\"failed\">failed</span><span class=\"left\">left on the tag</span></p>\n");
  char line[REPORT_LINE + 2];
  int n = 0, more = 0, tags = 0, recs = 0;
  long long bytes = 0;
  pagerow r;
  while (fgets(line, sizeof line, in)) {
    if (strchr(line, '\n') == NULL && !feof(in)) {
      int c;  // longer than any line the station writes: not a row
      while ((c = fgetc(in)) != EOF && c != '\n') {
      }
      continue;
    }
    if (parserow(line, &r)) continue;
    if (n > 0 && strcmp(r.tag, ROWS[0].tag) != 0) {
      pagetag(f, n, more);
      n = more = 0;
    }
    if (n == 0) tags++;
    recs++;
    if (r.outcome <= RPT_HELD) bytes += r.bytes;
    if (n < REPORT_MAXRECS)
      ROWS[n++] = r;
    else
      more++;
  }
  if (n > 0) pagetag(f, n, more);
  if (tags == 0) fprintf(f, "<p>No tag yet.</p>\n");
  fprintf(f, "<p class=\"total\">In all: %d tag visits, %d recordings, %.1f MB on the disk.</p>\n</body></html>\n",
          tags, recs, bytes / 1e6);
  fclose(in);
  int bad = ferror(f) != 0;
  if (fclose(f) != 0) bad = 1;
  int e = bad ? EIO : plat_replace(tmp, HTML);
  if (e) {
    remove(tmp);
    fprintf(stderr, "\n Error: cannot write the station page %s: %s\n", HTML, strerror(e));
    return 1;
  }
  return 0;
}
