// The field station's report: a CSV file in the station's folder, one row
// per recording handled, appended (and put on the disk) as each recording
// finishes, so that a run cut short still leaves a true report; and beside
// it one self-contained HTML page drawn from the CSV: per tag a timeline of
// its recordings in SVG, coloured by what became of them, sizes and totals,
// and what was not saved with the reason.
//
// The CSV's first line names its columns:
//   tag        the board identity, "0003-0102-4b33-0a17-0001" (also the tag's folder)
//   recording  the number in the tag's directory
//   start,end  the recording's start and end, "2026-03-10T06:00:00Z"
//   file       the recording file, relative to the station's folder ("" none)
//   bytes      the file's size
//   blocks     the blocks the file holds, of the blocks the recording spans ("12/35")
//   outcome    saved, held (saved whole by an earlier offload), stopped, failed,
//              left (not offloaded)
//   verified   yes, no, or - (nothing to verify)
//   erased     yes, no, stopped (partly erased), or - (not asked for)
//   note       why a recording was not saved, not verified or not erased
#pragma once

#include <stdint.h>

#include "offrec.h"

#define REPORT_NAME 64       // "station-20261207T084800Z.csv" and its terminator
#define REPORT_NOTE 120      // a note with its terminator
#define REPORT_MAXRECS 3000  // recordings of one tag the page draws (more are listed only in the CSV)

// The outcomes of a row.
enum { RPT_SAVED, RPT_HELD, RPT_STOPPED, RPT_FAILED, RPT_LEFT };
extern const char *const RPT_OUTCOME[5];

struct reportrow {
  uint32_t id[5];
  int recno;
  uint32_t starttime, endtime;
  char file[OFFREC_NAME];
  long long bytes;
  int32_t blocks;
  uint32_t range;
  int outcome;   // RPT_*
  int verified;  // 1 yes, 0 no, -1 nothing to verify
  int erased;    // 1 yes, 0 no, 2 stopped part-way, -1 not asked for
  char note[REPORT_NOTE];
};

// Starts this run's report in folder dir (ending in a separator): a new
// CSV named by the time now (UTC), never one already there, with its
// column line. 0 made; 1 failed (message printed).
int report_start(const char *dir);
// Appends one row to the CSV and puts it on the disk. 0 written; 1 failed
// (message printed once per run).
int report_row(const reportrow *r);
// Writes the HTML page beside the CSV from what the CSV holds now. 0
// written; 1 failed (message printed).
int report_page(void);
// The CSV's and the page's paths ("" before report_start).
const char *report_csv(void);
const char *report_html(void);

// Puts this module's state back as at program start (for tests and fuzzers).
void stnreport_reset(void);
