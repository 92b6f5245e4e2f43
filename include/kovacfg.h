// Setting up a KOVA-3 for deployment: the settings held in the MSP's
// registers (release, burn, salinity trigger, VHF beacon, audio and
// sensors), their transfer, and the tag setup menu.
#pragma once

#include <stdint.h>

#include "msp.h"

// Audio and sensor options, register 32 in packed form.
struct TagApp {
  uint8_t gain1;  // 0 low, 1 high
  uint8_t gain2;
  uint8_t sample_rate;    // index into AUD_FS
  uint8_t sensor_seq;     // index into SENS_SEQ
  uint8_t vhf_on_demand;  // 1 on
};

struct TagParams {
  int32_t loaded;              // 1 once read from the MSP in this run
  uint32_t release_by;         // seconds since 1970 UTC, 0 not set
  uint32_t release_after;      // seconds
  int32_t burn_time;           // seconds; the low 16 bits reach the tag
  int32_t salinity_threshold;  // 0 to 1023; the low 10 bits reach the tag
  uint8_t vhf_pulse_rate;      // 0 slow
  uint8_t vhf_pulse_length;    // 0 short
  uint8_t command[2];          // written to register 0
  MspSensors sensors;
  TagApp app;
  uint32_t tag;  // short board id of the tag they belong to
};

extern TagParams k3p;
extern const char *const AUD_FS[3];
extern const char *const SENS_SEQ[4];
extern const int32_t HMS[4];

void unpackTagApp(TagApp *app, uint32_t word);
void packTagApp(uint32_t *word, const TagApp *app);
void showTagApp(const TagApp *app);
// Applies one option key (f, g, h, m, v; others change nothing).
void changeTagApp(TagApp *app, int key);
int getTagApp(TagApp *app);        // 0 read, 1 failed
int setTagApp(const TagApp *app);  // mspwrite's result

// Reads the settings from the MSP once per run (for each tag; another tag
// starts from the values a fresh run starts from): 0 read now or before, 1 a
// read failed, and loaded stays 0 until every register has been read.
// Writes them, and the command pair last: 0 or 1, and 1 (printed) when the
// MSP refused a write with a non-zero status.
int update_params(TagParams *p);
int set_params(TagParams *p);

// Seconds to days, hours, minutes, seconds; and the last count of those
// (count 1 to 4) back to seconds (0 for count above 4).
void dhms(int32_t out[4], uint32_t seconds);
uint32_t dtos(const int32_t *values, int count);

// The tag setup menu: draws the screen; handles one key and returns the
// next menu mode (MODE_SETUP stay, MODE_USER). Escape or x leave it for the user
// menu writing nothing; q sets the clock, asks whether to arm and writes
// everything, but only settings read from this tag.
void opt_display_kova3(void);
int out_service_kova3(void);

// Up to max whole numbers from text (separated by blanks; '-' starts a
// negative one): how many were read.
int getarg(const char *text, int32_t *values, int max);
// The time value of the last count of year, month, day, hour, minute,
// second read as UTC, the leading ones from today's UTC date; 0 (printed)
// when the PC's time cannot be read or the time cannot be held in 32 bits
// (the setup menu then keeps the date it had).
uint32_t cfgtime(const int32_t *values, int count);

// Puts this module's state back as at program start (for tests and fuzzers).
void kovacfg_reset(void);
