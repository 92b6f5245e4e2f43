// Setting up a KOVA-3 for deployment. The settings live in the MSP's
// registers; the host holds a copy in k3p, read once for each tag and
// changed by the operator's keys in the tag setup menu, and writes it back,
// with the arming command last, when the operator finishes.
#include "kovacfg.h"

#include <ctype.h>
#include <stdio.h>
#include <time.h>

#include "host.h"
#include "platform.h"
#include "utilities.h"

TagParams k3p;

void kovacfg_reset(void) { k3p = TagParams(); }
const char *const AUD_FS[3] = {"120kHz", "240kHz", "500kHz"};
const char *const SENS_SEQ[4] = {"A+M", "A+M+G", "Ecg+A+M", "Ecg+A+M+G"};
const int32_t HMS[4] = {0, 24, 60, 60};

// Command pairs for register 0.
#define CMD_ARM 7
#define CMD_DISABLE 9
#define CMD_BEACON 11
#define ARM_RELEASE_BY 11  // second byte when arming with a release-by time
#define ARM_NO_RELEASE_BY 10

#define SETUP_LINE 80
#define BURN_MAX 65535    // seconds: the tag holds 16 bits
#define SALINITY_MAX 100  // percent
// The trigger's level on the tag: SALINITY_RAW_MAX at 0 %, SALINITY_RAW_STEP
// lower for each percent; the salinity sensor reads on the same scale.
#define SALINITY_RAW_MAX 1023
#define SALINITY_RAW_STEP 10

// ---- Options word ----

// One audio or sensor option: its key and line in the setup menu, and its
// bits in the options word. A key steps the option through its values; a
// value read from the tag that is not one of them is taken as 0.
struct AppOption {
  char key;
  const char *label;  // with the tabs that align the value
  uint8_t TagApp::*field;
  int shift;                 // lowest bit in the options word
  uint32_t mask;             // of the bits, shifted down
  uint8_t count;             // values: 0 to count - 1
  const char *const *names;  // shown for the values, or null: the number
};
static const AppOption APPOPTIONS[] = {
    {'f', "AUDIO sampling rate\t\t", &TagApp::sample_rate, 4, 0xF, 3, AUD_FS},
    {'g', "AUDIO gain ch 1 (0=low)\t", &TagApp::gain1, 0, 1, 2, NULL},
    {'h', "AUDIO gain ch 2 (0=low)\t", &TagApp::gain2, 1, 1, 2, NULL},
    {'m', "SENSOR sequence\t\t", &TagApp::sensor_seq, 8, 0xF, 4, SENS_SEQ},
    {'v', "VHF on-demand (1=on)\t\t", &TagApp::vhf_on_demand, 12, 1, 2, NULL},
};
#define N_APPOPTIONS (int)(sizeof APPOPTIONS / sizeof APPOPTIONS[0])

void unpackTagApp(TagApp *app, uint32_t word) {
  for (const AppOption *o = APPOPTIONS; o < APPOPTIONS + N_APPOPTIONS; o++) {
    uint32_t v = (word >> o->shift) & o->mask;
    app->*o->field = v < o->count ? (uint8_t)v : 0;
  }
}

void packTagApp(uint32_t *word, const TagApp *app) {
  *word = 0;
  for (const AppOption *o = APPOPTIONS; o < APPOPTIONS + N_APPOPTIONS; o++)
    *word += (uint32_t)(app->*o->field) << o->shift;
}

void showTagApp(const TagApp *app) {
  for (const AppOption *o = APPOPTIONS; o < APPOPTIONS + N_APPOPTIONS; o++) {
    int v = app->*o->field;
    if (o->names)
      fprintf(stderr, " %c %s%s\n", o->key, o->label, o->names[v % o->count]);
    else
      fprintf(stderr, " %c %s%d\n", o->key, o->label, v);
  }
}

void changeTagApp(TagApp *app, int key) {
  for (const AppOption *o = APPOPTIONS; o < APPOPTIONS + N_APPOPTIONS; o++)
    if (o->key == key) app->*o->field = (uint8_t)((app->*o->field + 1) % o->count);
}

// Reads n bytes of register address. A reply with fewer bytes than asked
// fails too: showing (and later writing back) settings that were never read
// would arm the tag with them. 0 or 1.
static int readreg(int address, unsigned char *b, int n) {
  int got = mspread(address, b, n);
  if (got < 0) return 1;
  if (got < n) {
    fprintf(stderr, " Error: MSP register %d gave %d of %d bytes\n", address, got, n);
    return 1;
  }
  return 0;
}

int getTagApp(TagApp *app) {
  unsigned char b[2];
  if (readreg(MSPREG_TAGAPP, b, 2)) return 1;
  uint32_t word;
  brpack(&word, b, 1);
  unpackTagApp(app, word);
  return 0;
}

int setTagApp(const TagApp *app) {
  uint32_t word;
  unsigned char b[2];
  packTagApp(&word, app);
  brunpack(b, &word, 1);
  return mspwrite(MSPREG_TAGAPP, b, 2);
}

// ---- Transfer ----

int update_params(TagParams *p) {
  uint32_t now = (uint32_t)time(NULL);
  // A different tag found after a restart has settings of its own: nothing
  // of another tag's copy may be shown, or written, as them.
  if (p->tag != tagid) {
    *p = TagParams();
    p->tag = tagid;
  }
  if (p->loaded) return 0;
  p->command[0] = p->command[1] = 0;
  if (mspsensors(&p->sensors) < 0) return 1;
  unsigned char b[12];
  if (readreg(MSPREG_TIMING, b, 12)) return 1;
  uint32_t w[6];
  brpack(w, b, 6);
  p->release_after = w[0] | w[1] << 16;
  p->release_by = w[2] | w[3] << 16;
  if (p->release_by < now) p->release_by = 0;
  p->burn_time = (int32_t)w[4];
  p->vhf_pulse_length = (w[5] >> 14) & 1;
  p->salinity_threshold = (int32_t)(w[5] & 0x3FF);
  p->vhf_pulse_rate = (w[5] >> 15) & 1;
  // Loaded only once the options are in too: settings partly read are
  // never written back.
  if (getTagApp(&p->app)) return 1;
  p->loaded = 1;
  return 0;
}

// Whether the MSP took a register write (result of mspwrite): it must have
// answered, with status 0. 0 or 1.
static int taken(int result, int address, const char *what) {
  if (result < 0) return 1;
  if (msp_status) {
    fprintf(stderr, " Error: the MSP did not take the %s (register %d)\n", what, address);
    return 1;
  }
  return 0;
}

int set_params(TagParams *p) {
  uint32_t after = p->release_after, by = p->release_by;
  uint32_t w[6] = {after & 0xFFFF,
                   after >> 16,
                   by & 0xFFFF,
                   by >> 16,
                   (uint32_t)p->burn_time & 0xFFFF,
                   (uint32_t)p->salinity_threshold & 0x3FF};
  if (p->vhf_pulse_rate) w[5] |= 0x8000;
  if (p->vhf_pulse_length) w[5] |= 0x4000;
  unsigned char b[12];
  brunpack(b, w, 6);
  if (taken(mspwrite(MSPREG_TIMING, b, 12), MSPREG_TIMING, "release and trigger settings")) return 1;
  if (taken(setTagApp(&p->app), MSPREG_TAGAPP, "audio and sensor options")) return 1;
  return taken(mspwrite(MSPREG_COMMAND, p->command, 2), MSPREG_COMMAND, "command");
}

// ---- Durations ----

void dhms(int32_t out[4], uint32_t s) {
  out[0] = (int32_t)(s / 86400);
  out[1] = (int32_t)(s % 86400 / 3600);
  out[2] = (int32_t)(s % 3600 / 60);
  out[3] = (int32_t)(s % 60);
}

// The last count (1 to 4) of days, hours, minutes, seconds as seconds,
// exactly: typed numbers of any size neither wrap nor overflow.
static int64_t seconds(const int32_t *values, int count) {
  int64_t s = 0;
  for (int i = 0; i < count; i++) s = s * HMS[4 - count + i] + values[i];
  return s;
}

uint32_t dtos(const int32_t *values, int count) { return count > 4 ? 0 : (uint32_t)seconds(values, count); }

// ---- Typed numbers and dates ----

static int blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

int getarg(const char *text, int32_t *values, int max) {
  int n = 0;
  const char *s = text;
  while (n < max && *s) {
    while (blank((unsigned char)*s)) s++;
    bool neg = *s == '-';
    if (neg) s++;
    if (!isdigit((unsigned char)*s)) break;
    int64_t v = 0;
    for (; isdigit((unsigned char)*s); s++)
      if (v <= INT32_MAX) v = v * 10 + (*s - '0');  // a longer run stays out of range
    if (v > INT32_MAX) v = INT32_MAX;
    values[n++] = (int32_t)(neg ? -v : v);
  }
  return n;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
static int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

uint32_t cfgtime(const int32_t *values, int count) {
  time_t t = time(NULL);
  struct tm *g = gmtime(&t);
  if (!g) {
    fprintf(stderr, " ERROR: unable to read PC time\n");
    return 0;
  }
  int64_t f[6] = {g->tm_year + 1900, g->tm_mon + 1, g->tm_mday, g->tm_hour, g->tm_min, g->tm_sec};
  if (count > 6) count = 6;
  for (int i = 0; i < count; i++) f[6 - count + i] = values[i];
  // Worked out as UTC directly rather than through the local-time
  // conversion: a zone whose offset has changed since the typed date (or a
  // runtime that cannot convert times before 1970) would shift the result.
  // Fields out of range carry over: minute 75 is an hour and 15 minutes.
  int64_t mon = f[1] - 1, year = f[0] + (mon >= 0 ? mon / 12 : (mon - 11) / 12);
  mon -= (year - f[0]) * 12;
  int64_t secs = (days_from_civil(year, mon + 1, 1) + f[2] - 1) * 86400 + f[3] * 3600 + f[4] * 60 + f[5];
  if (secs < 0 || secs > (int64_t)UINT32_MAX) {
    fprintf(stderr, " ERROR: the tag cannot hold that time\n");
    return 0;
  }
  return (uint32_t)secs;
}

// ---- The menu ----

// The settings' lines of the setup screen.
static void show_salinity(void) {
  fprintf(stderr, " s salinity trigger\t\t%d%% (0=most sensitive)\n",
          (int)((SALINITY_RAW_MAX - (uint32_t)k3p.salinity_threshold) / SALINITY_RAW_STEP));
}

static void show_release_by(void) {
  if (k3p.release_by) {
    fprintf(stderr, " b release by\t\t\t%s\n", utime2timestr(k3p.release_by));
  } else {
    fprintf(stderr, " b release by\t\t\tnot set\n");
  }
}

static void show_release_after(void) {
  int32_t d[4];
  dhms(d, k3p.release_after);
  fprintf(stderr, " r release after\t\t%d:%02d:%02d days:hrs:mins\n", d[0], d[1], d[2]);
}

static void show_burn_time(void) {
  int32_t d[4];
  dhms(d, (uint32_t)k3p.burn_time);
  fprintf(stderr, " t burn time\t\t\t%d:%02d:%02d hrs:mins:secs\n", d[0] * 24 + d[1], d[2], d[3]);
}

static void show_pulse_length(void) { fprintf(stderr, " p VHF pulse length (0=short)\t%d\n", k3p.vhf_pulse_length); }

static void show_pulse_rate(void) { fprintf(stderr, " z VHF pulse rate (0=slow)\t%d\n", k3p.vhf_pulse_rate); }

// Prompts and reads up to max numbers: how many.
static int asknumbers(const char *prompt, int32_t *v, int max) {
  char line[SETUP_LINE + 1];
  fprintf(stderr, "%s", prompt);
  getl(line, SETUP_LINE);
  return getarg(line, v, max);
}

// The settings' keys: each changes its setting (or keeps it, saying why).
static void ask_salinity(void) {
  int32_t v[1];
  if (asknumbers(" enter salinity trigger level (0-100)... ", v, 1) == 0) return;
  if (v[0] < 0 || v[0] > SALINITY_MAX)
    fprintf(stderr, "\n Error: the salinity trigger is 0 to 100; kept as it was\n");
  else
    k3p.salinity_threshold = SALINITY_RAW_MAX - SALINITY_RAW_STEP * v[0];
}

static void ask_release_by(void) {
  int32_t v[6];
  uint32_t t;
  int n = asknumbers(" enter release-by date (yr mon day hr min sec) or 0... ", v, 6);
  // A date the tag cannot hold (cfgtime said why) keeps the one set.
  if (n > 0 && v[0] == 0)
    k3p.release_by = 0;
  else if (n > 0 && (t = cfgtime(v, n)) != 0)
    k3p.release_by = t;
}

static void ask_release_after(void) {
  int32_t v[4];
  int n = asknumbers(" enter release-in time (days hr mins)... ", v, 3);
  if (n == 0) return;
  v[n] = 0;
  int64_t s = seconds(v, n + 1);
  if (s < 0 || s > UINT32_MAX)
    fprintf(stderr, "\n Error: the tag holds a release delay of 0 to 49710 days; kept as it was\n");
  else
    k3p.release_after = (uint32_t)s;
}

static void ask_burn_time(void) {
  int32_t v[3];
  int n = asknumbers(" enter release-on duration (hr min secs)... ", v, 3);
  if (n == 0) return;
  int64_t s = seconds(v, n);
  if (s < 0 || s > BURN_MAX)
    fprintf(stderr, "\n Error: the tag holds a burn time of 0 to 18:12:15 (65535 s); kept as it was\n");
  else
    k3p.burn_time = (int32_t)s;
}

static void toggle_pulse_length(void) { k3p.vhf_pulse_length ^= 1; }

static void toggle_pulse_rate(void) { k3p.vhf_pulse_rate ^= 1; }

// Sets the clock, asks whether to arm, and writes everything: only settings
// read from this tag, never zeros shown for what could not be read.
static void finish(void) {
  if (!k3p.loaded || k3p.tag != tagid) {
    fprintf(stderr, " Error: the settings were not read from this tag: nothing written, the tag not armed\n");
    return;
  }
  // Its acknowledge is cleared by the first MSP transmit.
  if (timeset_req()) fprintf(stderr, " Error: the tag's clock was not set\n");
  fprintf(stderr, "\nArm tag? y/n  ");
  int k = plat_getch();
  k = k < 128 ? tolower(k) : k;
  const char *msg;
  if (k == 's') {
    k3p.command[0] = CMD_BEACON;
    msg = "\nEntering beacon mode... ";
  } else if (k == 'y') {
    k3p.command[0] = CMD_ARM;
    k3p.command[1] = k3p.release_by ? ARM_RELEASE_BY : ARM_NO_RELEASE_BY;
    msg = "\nArming tag... ";
  } else {
    k3p.command[0] = CMD_DISABLE;
    msg = "\nDisabling VHF beacon... ";
  }
  fprintf(stderr, "%s", msg);
  if (set_params(&k3p))
    fprintf(stderr, "\nError: Unable to set parameters\n");
  else
    fprintf(stderr, "done\n");
}

// Leaves the menu for the user menu, writing nothing.
static void leave(void) { fprintf(stderr, " Tag setup left: nothing written, the clock not set, the tag not armed\n"); }

// The setup menu's keys, in either case, in the order their settings are
// shown (the audio and sensor options follow, from APPOPTIONS, lower case
// only). A key without a line is named in the screen's heading.
struct SetupKey {
  char key;
  void (*show)(void);   // the setting's line, or null
  void (*press)(void);  // what the key does
  int next;             // the menu mode to go on in
};
static const SetupKey SETUPKEYS[] = {
    {'s', show_salinity, ask_salinity, MODE_SETUP},
    {'b', show_release_by, ask_release_by, MODE_SETUP},
    {'r', show_release_after, ask_release_after, MODE_SETUP},
    {'t', show_burn_time, ask_burn_time, MODE_SETUP},
    {'p', show_pulse_length, toggle_pulse_length, MODE_SETUP},
    {'z', show_pulse_rate, toggle_pulse_rate, MODE_SETUP},
    {'q', NULL, finish, MODE_USER},
    {'x', NULL, leave, MODE_USER},
};
#define N_SETUPKEYS (int)(sizeof SETUPKEYS / sizeof SETUPKEYS[0])

void opt_display_kova3(void) {
  update_params(&k3p);
  int32_t now = (int32_t)time(NULL);
  fprintf(stderr, "\n TAG Setup\n type a letter to edit parameter or 'q' to end\n");
  fprintf(stderr, " x or Escape: leave, writing nothing to the tag\n");
  for (const SetupKey *k = SETUPKEYS; k < SETUPKEYS + N_SETUPKEYS; k++)
    if (k->show) k->show();
  showTagApp(&k3p.app);
  fprintf(stderr, "\n current time:\t\t\t%s\n", long2timestr(&now));
  int sal = 100 - k3p.sensors.salinity_raw / SALINITY_RAW_STEP;
  fprintf(stderr, " current salinity:\t\t%d%%\n", sal < 0 ? 0 : sal);
  fprintf(stderr, " current battery:\t\t%1.2f V\n", k3p.sensors.battery_mv / 1000.0);
  if (k3p.release_by && k3p.release_by < (uint32_t)now)
    fprintf(stderr, " WARNING: release-by time is prior to current time\n");
  fprintf(stderr, "? ");
}

// Runs key c, echoed: a setting's key in either case, else an audio or
// sensor option's key as typed (any other key changes nothing).
static int press(int c) {
  fprintf(stderr, "%c\n\n", c);
  for (const SetupKey *k = SETUPKEYS; k < SETUPKEYS + N_SETUPKEYS; k++) {
    if (k->key != tolower(c)) continue;
    k->press();
    return k->next;
  }
  changeTagApp(&k3p.app, c);
  return MODE_SETUP;
}

int out_service_kova3(void) {
  int c;
  do {  // control keys, blanks, punctuation below '0' and extended codes pass
    c = plat_getch();
  } while (c != KEY_ESCAPE && (c < '0' || c > 127));
  int next = MODE_USER;
  if (c == KEY_ESCAPE)
    leave();
  else
    next = press(c);
  fprintf(stderr, "\n");
  return next;
}
