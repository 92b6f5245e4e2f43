// The tag's 64 KiB EEPROM: read, write and clear requests. A new tag's bytes
// all read 0xFF; a configured one holds the parameter magic at 0x6000, then
// the bad-block records of its chips, a few ordinary parameters and the end
// marker. The state file keeps the bytes that are not 0xFF as runs.
#include "k3proto.h"
#include "tag.h"

static const int EE_SIZE = 0x10000;

static int word_at(const uint8_t *p) { return (p[0] << 8) | p[1]; }

static void req_read(Tag &t, const uint8_t *p, int len) {
  if (len != 4) return tag_nack(t);
  int addr = word_at(p), n = word_at(p + 2);
  if (addr + n > EE_SIZE || n > PAYLOAD_MAX) return tag_nack(t);
  tag_reply(t, REQ_EEREAD, std::vector<uint8_t>(t.eeprom.begin() + addr, t.eeprom.begin() + addr + n));
}

static void req_write(Tag &t, const uint8_t *p, int len) {
  if (len < 2) return tag_nack(t);
  int addr = word_at(p), n = len - 2;
  if (addr + n > EE_SIZE) return tag_nack(t);
  std::copy(p + 2, p + len, t.eeprom.begin() + addr);
  tag_save(t);
  tag_ack(t);
}

static void req_clear(Tag &t, const uint8_t *p, int len) {
  if (len != 4) return tag_nack(t);
  int addr = word_at(p), n = word_at(p + 2);
  if (addr + n > EE_SIZE) return tag_nack(t);
  std::fill(t.eeprom.begin() + addr, t.eeprom.begin() + addr + n, 0xFF);
  tag_save(t);
  tag_ack(t);
}

static const TagRequest EEPROM_REQUESTS[] = {
    {REQ_EEREAD, req_read}, {REQ_EEWRITE, req_write}, {REQ_EECLEAR, req_clear}, {0, nullptr}};

// The store of a configured tag: magic, one bad-block record per chip (at
// most 250 blocks each, as the host writes them), two ordinary parameters,
// the end marker.
static void configure(Tag &t) {
  std::vector<uint8_t> s = {0x5A, 0x13};
  for (size_t c = 0; c < t.cfg.chips.size() && c < 31; c++) {
    const std::vector<uint16_t> &bad = t.cfg.chips[c].bad;
    size_t n = bad.size() > 250 ? 250 : bad.size();
    s.push_back((uint8_t)(0xE0 + c));
    s.push_back((uint8_t)n);
    for (size_t i = 0; i < n; i++) put16(s, bad[i]);
  }
  const uint8_t params[] = {1, 2, 0x3E, 0x80, 0x00, 0x03, 7, 1, 0x00, 0x3C};
  s.insert(s.end(), params, params + sizeof params);
  s.push_back(0xFF);
  s.push_back(0xFF);
  std::copy(s.begin(), s.end(), t.eeprom.begin() + 0x6000);
}

static void eeprom_init(Tag &t) {
  t.eeprom.assign(EE_SIZE, 0xFF);
  if (!t.cfg.eeprom_blank) configure(t);
}

// State key "eeprom": blank-separated runs ADDR:HEX of the bytes that are
// not 0xFF; a missing key keeps the power-on contents.
// Key "eeprom": runs of the bytes that are not 0xFF; a garbled value keeps
// the power-on contents.
static void eeprom_load(Tag &t, TagStateMap &kv) {
  auto it = kv.find("eeprom");
  if (it == kv.end()) return;
  tag_load_runs(it->second, EE_SIZE, &t.eeprom);
  kv.erase(it);
}

static void eeprom_save(const Tag &t, TagStateMap &kv) { kv["eeprom"] = tag_runs(t.eeprom); }

const TagSubsystem TAG_EEPROM = {"eeprom", EEPROM_REQUESTS, eeprom_init, eeprom_load, eeprom_save};
