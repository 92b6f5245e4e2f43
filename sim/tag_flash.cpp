// The tag's flash: how many chip positions it has, each chip's geometry and
// its bad blocks. The chips are configuration (TagConfig::chips), not state
// kept between runs. A position whose flashid is 0 has no chip fitted: it
// reports a geometry of zeros and no bad blocks.
#include <algorithm>

#include "k3proto.h"
#include "tag.h"

// ---- Chips ----

// The chip position a flashlocn payload names; null, with a nack sent, for a
// payload that is not a flashlocn or a position the tag does not have.
static const SimChip *chip_at(Tag &t, const uint8_t *p, int len) {
  size_t c = len == 8 ? (size_t)((p[0] << 8) | p[1]) : t.cfg.chips.size();
  if (c >= t.cfg.chips.size()) {
    tag_nack(t);
    return nullptr;
  }
  return &t.cfg.chips[c];
}

// The count is the second byte; the first carries nothing.
static void req_chipcount(Tag &t, const uint8_t *, int) {
  size_t n = std::min(t.cfg.chips.size(), (size_t)255);
  tag_reply(t, REQ_CHIPCOUNT, {0, (uint8_t)n});
}

// flashid, blocks, pages per block, words per page, a reserved word.
static void req_geometry(Tag &t, const uint8_t *p, int len) {
  const SimChip *c = chip_at(t, p, len);
  if (!c) return;
  bool fitted = c->flashid != 0;
  std::vector<uint8_t> r;
  put16(r, c->flashid);
  put16(r, fitted ? c->nblocks : 0);
  put16(r, fitted ? c->npages : 0);
  put16(r, fitted ? c->nwords : 0);
  put16(r, 0);
  tag_reply(t, REQ_FLGEOM, r);
}

// The count, then every bad block in the configured order. A chip with more
// than fit a 400-byte reply still gets them all (up to what one frame
// carries): it is the host that refuses such a list.
static void req_badblocks(Tag &t, const uint8_t *p, int len) {
  const SimChip *c = chip_at(t, p, len);
  if (!c) return;
  size_t n = c->flashid ? std::min(c->bad.size(), (size_t)PAYLOAD_MAX / 2 - 1) : 0;
  std::vector<uint8_t> r;
  put16(r, (uint32_t)n);
  for (size_t i = 0; i < n; i++) put16(r, c->bad[i]);
  tag_reply(t, REQ_FLBAD, r);
}

static const TagRequest FLASH_REQUESTS[] = {
    {REQ_CHIPCOUNT, req_chipcount},
    {REQ_FLGEOM, req_geometry},
    {REQ_FLBAD, req_badblocks},
    {0, nullptr},
};

const TagSubsystem TAG_FLASH = {"flash", FLASH_REQUESTS, nullptr, nullptr, nullptr};
