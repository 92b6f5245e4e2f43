// The field station: a season's tags offloaded one after another. Each tag
// found is identified, its directory read, and every recording that the
// offload record of its folder does not already hold complete is offloaded
// into DIR/<board identity>/, each file verified as kvdcheck verifies it
// and, when asked, erased from the tag once verified. The tag's clock is
// set, the operator told it may be unplugged, and the station waits for
// the next tag, until q or Ctrl-C. A CSV report and an HTML page in DIR say
// what became of every recording (stnreport.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "usbapi.h"

#define STATION_POLL_MS 500  // between two searches of the bus while no tag is in hand
#define STATION_SHOW_MS 250  // between two redraws of the progress line
#define STATION_NAMES 100    // file names tried for one recording before it is given up
#define STATION_FOLDER 26    // a tag's folder name with its separator and terminator

// Called after the station has let go of a tag (done with it, or it could
// not be read): the simulator takes that tag off its bus and puts the next
// one on. Null on a real bus, where the operator unplugs it.
extern void (*station_tagdone)(void);

// What the run has done: tags taken in hand, recordings saved and their
// bytes, and the time spent with tags in hand, from each one's
// identification to letting it go (ms), the search for tags apart.
struct stationstats {
  int tags, saved;
  long long bytes;
  unsigned long inhand_ms;
};
extern stationstats STATION_STATS;

// Runs the station into folder dir (created when its parent exists); with
// erase, recordings are erased once their file is verified. 0 when the
// operator ended it; 1 when it could not start (message printed).
int station_main(const char *dir, int erase);

// The file name a recording is saved under in its tag's folder:
// "rec007_20260310T060212Z.kvd" (number and start time, UTC), and from the
// second try on "rec007_20260310T060212Z_2.kvd" and so on. 0 it fits; 1 not.
int station_filename(char *name, size_t size, int recno, uint32_t starttime, int attempt);

// Puts this module's state back as at program start (for tests and fuzzers).
void station_reset(void);
