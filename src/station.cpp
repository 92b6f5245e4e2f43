// The field station (see station.h): the search for the next tag, and for
// each tag the offload, verification and erase of its recordings, with a
// progress line, a summary line and a report row for every recording.
#include "station.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "boot.h"
#include "host.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kvdread.h"
#include "offrec.h"
#include "platform.h"
#include "stnreport.h"

void (*station_tagdone)(void);
stationstats STATION_STATS;

#define STATION_PATH (DATA_DIR_LEN + RECNAME_LEN)
#define STATION_SUMMARY 400  // the "not saved" part of a tag's summary line

// What the station does with each entry of the tag's directory (by number, from 1).
enum { DO_SKIP, DO_OFFLOAD, DO_HELD };
static unsigned char TODO[PAYLOAD_MAX / DIRITEM_BYTES + 2];

static struct {
  char dir[DATA_DIR_LEN];  // the station's folder, with its separator
  int erase;
  // The device last let go of, passed over by the search until it leaves the bus.
  int skip;
  char skipbus[LIBUSB_PATH_MAX + 1], skipdev[LIBUSB_PATH_MAX + 1];
  int booted;  // the last device found was sent the boot image
  // The tag in hand.
  uint32_t id[5];
  char name[STATION_FOLDER];
  int total, done;               // recordings to offload; finished
  long long totalkb, donebytes;  // their size as the directory gives it; the bytes of those finished
  unsigned long start, shown;    // when its first offload began; the progress line last drawn (ms)
} ST;

void station_reset(void) {
  station_tagdone = NULL;
  STATION_STATS = stationstats();
  memset(TODO, 0, sizeof TODO);
  memset(&ST, 0, sizeof ST);
}

// ======================================================================
// The progress line
// ======================================================================

static void showprogress(long long current) {
  unsigned long now = plat_clock_ms();
  ST.shown = now;
  double done = (ST.donebytes + current) / 1e6, total = ST.totalkb / 1000.0;
  if (total < done) total = done;
  double secs = (now - ST.start) / 1000.0, rate = secs > 0 ? done / secs : 0;
  char togo[24] = "--:--:--";  // until a rate is known
  if (rate > 0) {
    long s = (long)((total - done) / rate + 0.5);
    snprintf(togo, sizeof togo, "%02ld:%02ld:%02ld", s / 3600 % 100000, s / 60 % 60, s % 60);
  }
  fprintf(stderr, "\r %d of %d recordings  %.1f of %.1f MB  %.2f MB/s  %s to go  ", ST.done, ST.total, done, total,
          rate, togo);
}

// The offload's progress hook: redraws now and then.
static void onprogress(long long bytes) {
  if (plat_clock_ms() - ST.shown >= STATION_SHOW_MS) showprogress(bytes);
}

// ======================================================================
// Names and folders
// ======================================================================

int station_filename(char *name, size_t size, int recno, uint32_t starttime, int attempt) {
  time_t t = (time_t)starttime;
  struct tm *g = gmtime(&t);
  char when[24] = "unknown";
  if (g) strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", g);
  int n = attempt <= 1 ? snprintf(name, size, "rec%03d_%s.kvd", recno, when)
                       : snprintf(name, size, "rec%03d_%s_%d.kvd", recno, when, attempt);
  return n < 0 || (size_t)n >= size;
}

// 1 when something (a file, a folder) is at path.
static int taken(const char *path) {
  FILE *f = fopen(path, "rb");
  if (f) fclose(f);
  return f != NULL || plat_findfile(path, NULL, 0, NULL) == 0;
}

// A name in the tag's folder (DATA_DIR) that nothing has yet: the path into
// path, the name relative to the station's folder into file. 0 found; 1 not.
static int newname(const diritem *d, int recno, char path[STATION_PATH], char file[OFFREC_NAME]) {
  char name[RECNAME_LEN];
  for (int i = 1; i <= STATION_NAMES; i++) {
    if (station_filename(name, sizeof name, recno, d->starttime, i)) return 1;
    int n = snprintf(path, STATION_PATH, "%s%s", DATA_DIR, name);
    if (n < 0 || n >= RECNAME_LEN) return 1;  // longer than an offload takes
    if (taken(path)) continue;
    snprintf(file, OFFREC_NAME, "%s/%s", ST.name, name);
    return 0;
  }
  return 1;
}

// The tag's folder in the station's folder becomes DATA_DIR, where the
// offloads write their files and their record. 0 ready; 1 not (message printed).
static int tagfolder(void) {
  snprintf(ST.name, sizeof ST.name, "%04x-%04x-%04x-%04x-%04x", (unsigned)ST.id[0], (unsigned)ST.id[1],
           (unsigned)ST.id[2], (unsigned)ST.id[3], (unsigned)ST.id[4]);
  // stationdir left room for the folder's name.
  if (snprintf(DATA_DIR, sizeof DATA_DIR, "%s%s/", ST.dir, ST.name) >= (int)sizeof DATA_DIR) return 1;
  int e = plat_mkdir(DATA_DIR);
  if (e && e != EEXIST) {
    fprintf(stderr, " Error: cannot make the tag's folder %s: %s\n", DATA_DIR, strerror(e));
    return 1;
  }
  return 0;
}

// The station's folder: dir with a separator, made when missing. 0 ready;
// 1 not (message printed).
static int stationdir(const char *dir) {
  size_t n = strlen(dir);
  // Room for a tag's folder and the longest file name behind it.
  if (n == 0 || n + STATION_FOLDER + 40 >= DATA_DIR_LEN) {
    fprintf(stderr, " Error: the station's folder name must have 1 to %d characters\n",
            DATA_DIR_LEN - STATION_FOLDER - 41);
    return 1;
  }
  snprintf(ST.dir, sizeof ST.dir, "%s%s", dir, dir[n - 1] == '/' || dir[n - 1] == '\\' ? "" : "/");
  int e = plat_mkdir(ST.dir);
  if (e && e != EEXIST) {
    fprintf(stderr, " Error: cannot make the folder %s: %s\n", ST.dir, strerror(e));
    return 1;
  }
  return 0;
}

// ======================================================================
// One recording
// ======================================================================

// Checks the file as kvdcheck does, and that the offload record of the
// tag's folder names it complete and that it holds this tag's recording.
// 1 verified; 0 not, with the reason in the row's note.
static int verify(const char *path, const diritem *d, reportrow *row) {
  KvdInfo k;
  std::vector<std::string> faults = kvd_check_file(path, &k);
  int mine = 1;
  for (int i = 0; i < 5; i++) mine &= k.id[i] == (uint16_t)ST.id[i];
  mine &= k.start_chip == (int)d->startchip && k.start_block == (int)d->startblock;
  if (k.verdict == KVD_GOOD && k.recorded && mine) return 1;
  const char *why = !faults.empty() ? faults[0].c_str()
                    : !k.recorded   ? "the offload record does not name it"
                                    : "it holds another tag's or another range's data";
  snprintf(row->note, sizeof row->note, "not verified (%s): %s", KVD_VERDICT[k.verdict], why);
  fprintf(stderr, "\n Recording %d: %s\n", row->recno, row->note);
  return 0;
}

// Erases a verified recording. 0 erased; 1 failed; -1 stopped by a key
// (partly erased). The row says which.
static int eraserec(const diritem *d, int recno, reportrow *row) {
  fprintf(stderr, "\n Erasing recording %d\t", recno);
  int stopped = 0;
  if (eraseflash_stop(d, &stopped)) {
    row->erased = 0;
    snprintf(row->note, sizeof row->note, "the erase failed");
    return 1;
  }
  if (stopped) {
    row->erased = 2;
    snprintf(row->note, sizeof row->note, "the erase was stopped: partly erased");
    return -1;
  }
  row->erased = 1;
  return 0;
}

// The row of recording recno before anything is done with it.
static void newrow(reportrow *row, const diritem *d, int recno) {
  memset(row, 0, sizeof *row);
  memcpy(row->id, ST.id, sizeof row->id);
  row->recno = recno;
  row->starttime = d->starttime;
  row->endtime = d->endtime;
  row->verified = -1;
  row->erased = -1;
}

// How a tag's handling ended.
enum { TAG_DONE, TAG_GONE, TAG_ENDED };

// Offloads (or finds held) recording i and verifies and erases it; the row
// filled. The tag's state: TAG_DONE to go on, TAG_GONE, TAG_ENDED.
static int onerecording(int i, reportrow *row) {
  const diritem *d = getdiritem(i - 1);
  char path[STATION_PATH];
  newrow(row, d, i);
  if (TODO[i] == DO_HELD) {
    row->outcome = RPT_HELD;
    char file[OFFREC_NAME] = "";
    offrec_find(DATA_DIR, ST.id, d, file);
    // A name too long to show whole is shown cut; the path is what counts.
    if (snprintf(row->file, sizeof row->file, "%s/%s", ST.name, file) < 0) row->file[0] = 0;
    if (snprintf(path, sizeof path, "%s%s", DATA_DIR, file) >= (int)sizeof path) path[0] = 0;
    if (plat_filesize(path, &row->bytes)) row->bytes = 0;
  } else {
    ST.shown = 0;
    if (newname(d, i, path, row->file)) {
      row->outcome = RPT_FAILED;
      snprintf(row->note, sizeof row->note, "no free file name in the tag's folder");
      fprintf(stderr, "\n Recording %d not saved: %s\n", i, row->note);
      return TAG_DONE;
    }
    offloadinfo info;
    int out = offloadrange(path, d, i, &info);
    row->bytes = info.bytes;
    row->blocks = info.blocks;
    row->range = info.range;
    ST.done++;
    ST.donebytes += info.bytes;
    showprogress(0);
    if (out == OFF_STOPPED) {
      row->outcome = RPT_STOPPED;
      snprintf(row->note, sizeof row->note, info.gone ? "stopped: the tag left the bus" : "stopped by the operator");
      return info.gone ? TAG_GONE : TAG_ENDED;
    }
    if (out == OFF_FAILED) {
      row->outcome = RPT_FAILED;
      snprintf(row->note, sizeof row->note, "the offload failed");
      if (tag_vanished()) return TAG_GONE;
      // The next exchange must not take a late reply of this one.
      return sync_if() == SYNC_ABANDONED ? TAG_GONE : TAG_DONE;
    }
    row->outcome = RPT_SAVED;
  }
  row->verified = verify(path, d, row);
  if (!ST.erase) return TAG_DONE;
  if (!row->verified) {
    row->erased = 0;
    return TAG_DONE;
  }
  int e = eraserec(d, i, row);
  if (e < 0) return TAG_ENDED;
  if (e > 0 && tag_vanished()) return TAG_GONE;
  return TAG_DONE;
}

// ======================================================================
// One tag
// ======================================================================

// Adds " n (why)" to the summary's list of what was not saved, while it fits.
static void notsaved(char *list, const reportrow *row) {
  size_t n = strlen(list);
  if (n + 8 >= STATION_SUMMARY || (n >= 4 && strcmp(list + n - 4, " ...") == 0)) return;
  int w = snprintf(list + n, STATION_SUMMARY - n, "%s %d (%s)", n ? "," : "", row->recno,
                   row->note[0] ? row->note : RPT_OUTCOME[row->outcome]);
  if (w < 0 || (size_t)w >= STATION_SUMMARY - n)
    snprintf(list + (n < STATION_SUMMARY - 5 ? n : STATION_SUMMARY - 5), 5, " ...");
}

// Sets the tag's clock and reads the acknowledge. 0 set; 1 not (message printed).
static int setclock(void) {
  MessRec rec;
  if (timeset_req() == 0 && getmess(&rec, TMO_REPLY) == RX_GOOD && rec.cmd == MSG_ACK) return 0;
  fprintf(stderr, " Error: the tag's clock was not set\n");
  return 1;
}

// Works through the directory held: TAG_DONE, TAG_GONE or TAG_ENDED.
static int offloadtag(void) {
  ST.total = ST.done = 0;
  ST.totalkb = ST.donebytes = 0;
  int held = 0;
  for (int i = 1; i <= HFLS_nrecs; i++) {
    const diritem *d = getdiritem(i - 1);
    // A bad-block entry marks flash that holds no recording.
    TODO[i] = d->type == 2 ? DO_SKIP : offrec_saved(DATA_DIR, ST.id, d) ? DO_HELD : DO_OFFLOAD;
    held += TODO[i] == DO_HELD;
    if (TODO[i] == DO_OFFLOAD) {
      ST.total++;
      ST.totalkb += d->size > 0 ? d->size : 0;
    }
  }
  fprintf(stderr, " Tag %s: %d recordings to offload (%.1f MB), %d saved before\n", ST.name, ST.total,
          ST.totalkb / 1000.0, held);
  if (HFLS_flag) fprintf(stderr, " Warning: the tag's directory is incomplete: recordings it did not list are left\n");
  ST.start = plat_clock_ms();
  if (ST.total) showprogress(0);
  int state = TAG_DONE, saved = 0, verified = 0, erased = 0;
  long long bytes = 0;
  char list[STATION_SUMMARY] = "";
  for (int i = 1; i <= HFLS_nrecs; i++) {
    if (TODO[i] == DO_SKIP) continue;
    reportrow row;
    if (state != TAG_DONE) {
      newrow(&row, getdiritem(i - 1), i);
      row.outcome = RPT_LEFT;
      snprintf(row.note, sizeof row.note, "not offloaded: %s",
               state == TAG_GONE ? "the tag left the bus" : "the run was ended");
    } else {
      state = onerecording(i, &row);
    }
    report_row(&row);
    if (row.outcome == RPT_SAVED) {
      STATION_STATS.saved++;
      STATION_STATS.bytes += row.bytes;
    }
    if (row.outcome <= RPT_HELD) {
      saved += row.outcome == RPT_SAVED;
      bytes += row.bytes;
    } else {
      notsaved(list, &row);
    }
    verified += row.verified == 1;
    erased += row.erased == 1;
  }
  fprintf(stderr, "\n");
  int clock = state == TAG_DONE ? setclock() : 1;
  fprintf(stderr, " Tag %s: %d saved (%.1f MB), %d held from before, %d verified, %d erased%s%s\n", ST.name, saved,
          bytes / 1e6, held, verified, erased, list[0] ? "; not saved:" : "", list);
  report_page();
  if (state == TAG_DONE)
    fprintf(stderr, " Tag %s done%s: may be unplugged\n", ST.name, clock ? " (clock not set)" : "");
  else if (state == TAG_GONE)
    fprintf(stderr, " Tag %s left the bus before it was done: plug it in again to finish it\n", ST.name);
  return state;
}

// Remembers dev so that the search passes over it until it leaves the bus.
static void letgo(struct usb_device *dev) {
  ST.skip = 1;
  snprintf(ST.skipbus, sizeof ST.skipbus, "%s", dev->bus ? dev->bus->dirname : "");
  snprintf(ST.skipdev, sizeof ST.skipdev, "%s", dev->filename);
}

// The session with one tag in host state. -1 the operator ended the run; else 0.
static int dotag(struct usb_device *dev) {
  letgo(dev);
  usb_handle = claimif(dev, 0);
  if (!usb_handle) return 0;
  usb_lasterr = 0;
  int state = TAG_GONE;
  unsigned long t0 = 0;
  int known = sync_if() != SYNC_ABANDONED && getboardid(ST.id) == 0;
  if (known) {
    t0 = plat_clock_ms();
    STATION_STATS.tags++;
  }
  if (known && tagfolder() == 0 && reqdirtab() == 0)
    state = offloadtag();
  else if (!tag_vanished() && !plat_interrupted())
    fprintf(stderr, " The tag could not be read: unplug it and plug it in again\n");
  releaseif(usb_handle, tag_gone());
  usb_handle = NULL;
  freedirtab();
  if (known) STATION_STATS.inhand_ms += plat_clock_ms() - t0;
  int ended = state == TAG_ENDED || plat_interrupted();
  if (station_tagdone && !ended) station_tagdone();
  return ended ? -1 : 0;
}

// ======================================================================
// The search
// ======================================================================

// The first tag on the bus that can be claimed, other than the one let go
// of, with its state (0 boot loader, 1 host) in *state; or null.
static struct usb_device *findtag(int *state) {
  usb_find_busses();
  usb_find_devices();
  struct usb_device *found = NULL;
  int seen = 0;
  for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
    for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
      for (int row = 0; row < 2; row++) {
        if (dev->descriptor.idVendor != VIDPID[row][0] || dev->descriptor.idProduct != VIDPID[row][1]) continue;
        if (ST.skip && strcmp(bus->dirname, ST.skipbus) == 0 && strcmp(dev->filename, ST.skipdev) == 0) {
          seen = 1;
          continue;
        }
        if (found) continue;
        usb_dev_handle *h = claimif(dev, 1);
        if (!h) continue;
        usb_release_interface(h, USB_IFACE);
        usb_close(h);
        found = dev;
        *state = row;
      }
  if (!seen) ST.skip = 0;
  return found;
}

// Waits for the next tag: its device, or null when the operator ends the run.
static struct usb_device *nexttag(int *state) {
  for (int said = 0;; said = 1) {
    if (plat_interrupted()) return NULL;
    struct usb_device *dev = findtag(state);
    if (dev) return dev;
    if (!said) fprintf(stderr, "\n Waiting for the next tag (q ends the run)...\n");
    if (plat_kbhit()) {
      int c = plat_getch();
      if (c == 'q' || c == 'Q' || c == 3) return NULL;
    }
    plat_sleep_ms(STATION_POLL_MS);
  }
}

int station_main(const char *dir, int erase) {
  plat_console_init();
  memset(&ST, 0, sizeof ST);
  memset(&STATION_STATS, 0, sizeof STATION_STATS);
  fprintf(stderr, " K3 USB Host V1.1\t\t       for KOVA recording tags\n");
  if (stationdir(dir) || report_start(ST.dir)) return 1;
  ST.erase = erase;
  fprintf(stderr, " Field station: files go to %s, the report to %s\n", ST.dir, report_csv());
  fprintf(stderr, erase ? " Recordings are erased from each tag once their file is verified\n"
                        : " Nothing is erased from the tags\n");
  usb_set_debug(0);
  usb_init();
  plat_catch_interrupt();
  offload_progress = onprogress;
  for (;;) {
    int state = 0;
    struct usb_device *dev = nexttag(&state);
    if (!dev) break;
    if (state == 1) {
      ST.booted = 0;
      if (dotag(dev)) break;
      continue;
    }
    // A tag still in its boot loader after an upload did not take the image.
    if (ST.booted || boot(dev) != 0) {
      fprintf(stderr, " The tag stays in its boot loader: unplug it\n");
      letgo(dev);
      ST.booted = 0;
    } else {
      ST.booted = 1;
    }
  }
  offload_progress = NULL;
  if (plat_interrupted()) fprintf(stderr, "\n Interrupted\n");
  plat_release_interrupt();
  report_page();
  fprintf(stderr, "\n Field station ended: %d tags, %d recordings saved (%.1f MB) in %.1f s with tags in hand\n",
          STATION_STATS.tags, STATION_STATS.saved, STATION_STATS.bytes / 1e6, STATION_STATS.inhand_ms / 1000.0);
  fprintf(stderr, " The report is in %s and %s\n", report_csv(), report_html());
  return 0;
}
