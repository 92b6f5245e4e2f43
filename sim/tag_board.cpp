// The tag's main board: sync, identity, ADC, real-time clock, battery and
// reboot. The clock is kept as an offset from the host's wall clock, so it
// runs on by itself between runs of the simulator.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <sstream>

#include "k3proto.h"
#include "tag.h"

static void req_sync(Tag &t, const uint8_t *, int) { tag_ack(t); }

static void req_boardid(Tag &t, const uint8_t *, int) {
  std::vector<uint8_t> p;
  for (uint16_t w : t.cfg.boardid) put16(p, w);
  tag_reply(t, REQ_BOARDID, p);
}

static void req_adc(Tag &t, const uint8_t *, int) {
  std::vector<uint8_t> p;
  for (uint16_t w : t.cfg.adc) put16(p, w);
  tag_reply(t, REQ_ADC, p);
}

static void req_timeread(Tag &t, const uint8_t *, int) {
  std::vector<uint8_t> p;
  put32(p, (uint32_t)vbus_tag_clock(t.id));
  put32(p, 0);
  tag_reply(t, REQ_TIMEREAD, p);
}

static void req_timeset(Tag &t, const uint8_t *p, int len) {
  if (len != 8) {
    tag_nack(t);
    return;
  }
  uint32_t v = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
  long long off = (long long)(int32_t)v - (long long)time(NULL);
  if (off > INT32_MAX) off = INT32_MAX;
  if (off < INT32_MIN) off = INT32_MIN;
  t.cfg.clock_offset = (int32_t)off;
  tag_save(t);
  tag_ack(t);
}

static void req_soc(Tag &t, const uint8_t *, int) {
  std::vector<uint8_t> p;
  put16(p, (uint32_t)t.cfg.devtype);
  put16(p, t.cfg.battery_status);
  put16(p, t.cfg.battery_mv);
  tag_reply(t, REQ_SOC, p);
}

// Acknowledges, then restarts into recording once the host has read the
// acknowledge: from then on the tag is off the bus.
static void req_reboot(Tag &t, const uint8_t *, int) {
  tag_ack(t);
  t.leave_after_reply = true;
}

static const TagRequest BOARD_REQUESTS[] = {
    {REQ_SYNC, req_sync},       {REQ_BOARDID, req_boardid}, {REQ_ADC, req_adc},       {REQ_TIMEREAD, req_timeread},
    {REQ_TIMESET, req_timeset}, {REQ_SOC, req_soc},         {REQ_REBOOT, req_reboot}, {0, nullptr},
};

// ---- State file keys ----

// Parses a whole decimal (or 0x hexadecimal) number within [lo, hi].
static bool parse_num(const std::string &s, long long lo, long long hi, long long *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 0);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Reads n 16-bit hexadecimal words separated by blanks.
static bool parse_words(const std::string &s, uint16_t *w, int n) {
  std::istringstream in(s);
  uint16_t tmp[8];
  for (int i = 0; i < n; i++) {
    std::string tok;
    long long v;
    if (!(in >> tok) || !parse_num("0x" + tok, 0, 0xFFFF, &v)) return false;
    tmp[i] = (uint16_t)v;
  }
  std::string rest;
  if (in >> rest) return false;
  for (int i = 0; i < n; i++) w[i] = tmp[i];
  return true;
}

static std::string words(const uint16_t *w, int n) {
  std::string s;
  char b[8];
  for (int i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%s%04x", i ? " " : "", w[i]);
    s += b;
  }
  return s;
}

// Takes key from kv when present; a value that does not parse is dropped and
// the configured value kept.
static bool take(TagStateMap &kv, const char *key, std::string *val) {
  auto it = kv.find(key);
  if (it == kv.end()) return false;
  *val = it->second;
  kv.erase(it);
  return true;
}

static void board_load(Tag &t, TagStateMap &kv) {
  std::string s;
  long long v;
  if (take(kv, "devtype", &s) && parse_num(s, 0, 7, &v)) t.cfg.devtype = (int)v;
  if (take(kv, "clock_offset", &s) && parse_num(s, INT32_MIN, INT32_MAX, &v)) t.cfg.clock_offset = (int32_t)v;
  if (take(kv, "battery_mv", &s) && parse_num(s, 0, 0xFFFF, &v)) t.cfg.battery_mv = (uint16_t)v;
  if (take(kv, "battery_status", &s) && parse_num(s, 0, 0xFFFF, &v)) t.cfg.battery_status = (uint16_t)v;
  if (take(kv, "boardid", &s)) parse_words(s, t.cfg.boardid, 5);
  if (take(kv, "adc", &s)) parse_words(s, t.cfg.adc, 4);
}

static void board_save(const Tag &t, TagStateMap &kv) {
  kv["devtype"] = std::to_string(t.cfg.devtype);
  kv["clock_offset"] = std::to_string(t.cfg.clock_offset);
  kv["battery_mv"] = std::to_string(t.cfg.battery_mv);
  kv["battery_status"] = std::to_string(t.cfg.battery_status);
  kv["boardid"] = words(t.cfg.boardid, 5);
  kv["adc"] = words(t.cfg.adc, 4);
}

const TagSubsystem TAG_BOARD = {"board", BOARD_REQUESTS, nullptr, board_load, board_save};
