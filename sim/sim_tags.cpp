// The sequence of tags of k3host-sim --tags (see sim_tags.h).
#include "sim_tags.h"

#include "station.h"

#define SIM_TAGS_DAY0 1773122400u  // 2026-03-10 06:00:00 UTC, the first tag's first recording
#define SIM_TAGS_DAYS 3            // days between two tags' recordings

TagConfig sim_tags_config(int i, const TagConfig &base) {
  TagConfig c = base;
  c.statedir = "";
  c.bootloader = 0;
  c.held = 0;
  c.boardid[3] = (uint16_t)(0x0B00 + i);
  c.boardid[4] = (uint16_t)i;
  c.recordings.clear();
  // Recording k spans 2 to 4 blocks of 256 KiB, from block 10 on (clear of
  // the firmware and the bad blocks), an hour and a half apart.
  uint16_t block = 10;
  for (int k = 0; k < 2 + i % 3; k++) {
    uint16_t blocks = (uint16_t)(2 + (i + k) % 3);
    uint32_t start = SIM_TAGS_DAY0 + (uint32_t)(i - 1) * SIM_TAGS_DAYS * 86400u + (uint32_t)k * 5400u;
    c.recordings.push_back({0, block, 0, (uint16_t)(block + blocks - 1), start, start + 1800u + 600u * (uint32_t)k, 1});
    block = (uint16_t)(block + blocks);
  }
  return c;
}

namespace {

struct {
  int n, next, current;
  TagConfig base;
} SEQ;

void nexttag(void) {
  vbus_detach(SEQ.current);
  if (SEQ.next <= SEQ.n) SEQ.current = vbus_attach(sim_tags_config(SEQ.next++, SEQ.base));
}

}  // namespace

int sim_tags_start(int n, const TagConfig &base) {
  SEQ.n = n;
  SEQ.base = base;
  SEQ.next = 2;
  SEQ.current = vbus_attach(sim_tags_config(1, base));
  station_tagdone = nexttag;
  return SEQ.current;
}
