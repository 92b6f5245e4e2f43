// The tag's flash: how many chip positions it has, each chip's geometry and
// its bad blocks, the pages themselves (read, write, erase), the recording
// directory and the free memory. The chips are configuration
// (TagConfig::chips), not state kept between runs. A position whose flashid
// is 0 has no chip fitted: it reports a geometry of zeros and no bad blocks.
//
// The flash is never held whole. A page reads, in this order: the bytes a
// write put there; 0xFF when its block was erased since; a pattern generated
// from its position when its block lies in a directory entry that is not a
// bad-block entry; 0xFF otherwise (never used). A bad block answers every
// read with first and last page 0xFFFF and no data, which tells the host to
// skip it; writing or erasing it changes nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <sstream>

#include "k3proto.h"
#include "tag.h"

static const int DESC_BYTES = 10;    // chip, block, first page, last page, error count
static const int ERASE_MAX = 20;     // blocks one erase request may name
static const int DIR_ENTRY = 22;     // bytes of one directory entry
static const uint16_t TYPE_BAD = 2;  // directory entry of bad blocks
static const uint32_t FW_MARKER = 0x76C3;
static const uint32_t FW_MODIFIED = 1772446500;  // 2026-03-02 10:15:00 UTC
static const uint32_t FW_LOADED = 1773064800;    // 2026-03-09 14:00:00 UTC

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

// ---- Pages ----

// A fitted chip whose pages fit one reply, or null.
static const SimChip *usable(const Tag &t, int chip) {
  if (chip < 0 || chip >= (int)t.cfg.chips.size()) return nullptr;
  const SimChip *c = &t.cfg.chips[(size_t)chip];
  bool ok = c->flashid && c->nblocks && c->npages && c->nwords && 2 * c->nwords + DESC_BYTES <= PAYLOAD_MAX;
  return ok ? c : nullptr;
}

static size_t page_bytes(const SimChip *c) { return (size_t)c->nwords * 2; }
static uint64_t block_bytes(const SimChip *c) { return (uint64_t)c->npages * page_bytes(c); }

static bool is_bad(const SimChip *c, int block) {
  return std::find(c->bad.begin(), c->bad.end(), block) != c->bad.end();
}

static uint64_t page_key(int chip, int block, int page) {
  return (uint64_t)chip << 32 | (uint64_t)block << 16 | (uint64_t)page;
}

static uint32_t block_key(int chip, int block) { return (uint32_t)chip << 16 | (uint32_t)block; }

// Chip and block as one ordered number, to compare positions across chips.
static long at(int chip, int block) { return (long)chip << 16 | block; }

static bool covers(const SimRecording &e, int chip, int block) {
  return at(chip, block) >= at(e.startchip, e.startblock) && at(chip, block) <= at(e.endchip, e.endblock);
}

// The first and last block of an entry on chip c (nblocks blocks), clipped
// to the chip; false when the entry has none there.
static bool span_on(const SimRecording &e, int c, int nblocks, int *first, int *last) {
  if (c < e.startchip || c > e.endchip) return false;
  *first = c == e.startchip ? e.startblock : 0;
  *last = c == e.endchip ? std::min((int)e.endblock, nblocks - 1) : nblocks - 1;
  return *first <= *last;
}

// A cheap, well-spread hash of 32 bits.
static inline uint32_t mix32(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// The recorded contents of a page: each 4-byte group, most significant byte
// first, is a hash of the page's position and the group's index.
static void generate(int chip, int block, int page, uint8_t *out, size_t n) {
  uint32_t seed = mix32(mix32(mix32((uint32_t)chip + 0x9E3779B9u) ^ (uint32_t)block) ^ (uint32_t)page);
  size_t i = 0;
  for (uint32_t k = 0; i + 4 <= n; i += 4, k++) {
    uint32_t v = mix32(seed + k * 0x9E3779B9u);
    out[i] = (uint8_t)(v >> 24);
    out[i + 1] = (uint8_t)(v >> 16);
    out[i + 2] = (uint8_t)(v >> 8);
    out[i + 3] = (uint8_t)v;
  }
  uint32_t v = mix32(seed + (uint32_t)(n / 4) * 0x9E3779B9u);
  for (int s = 24; i < n; i++, s -= 8) out[i] = (uint8_t)(v >> s);
}

// Whether the unwritten pages of a good block hold a recording (else 0xFF).
static bool recorded(const Tag &t, int chip, int block) {
  if (t.flash_erased.count(block_key(chip, block))) return false;
  for (const SimRecording &e : t.flash_dir)
    if (e.type != TYPE_BAD && covers(e, chip, block)) return true;
  return false;
}

// One page of a good block into out (page_bytes of the chip).
static void fill_page(const Tag &t, int chip, int block, int page, bool rec, uint8_t *out, size_t n) {
  if (!t.flash_pages.empty()) {
    auto it = t.flash_pages.find(page_key(chip, block, page));
    if (it != t.flash_pages.end()) {
      memcpy(out, it->second.data(), n);
      return;
    }
  }
  if (rec)
    generate(chip, block, page, out, n);
  else
    memset(out, 0xFF, n);
}

std::vector<uint8_t> tag_flash_page(const Tag &t, int chip, int block, int page) {
  const SimChip *c = usable(t, chip);
  if (!c || block < 0 || block >= c->nblocks || page < 0 || page >= c->npages || is_bad(c, block)) return {};
  std::vector<uint8_t> b(page_bytes(c));
  fill_page(t, chip, block, page, recorded(t, chip, block), b.data(), b.size());
  return b;
}

// A flashlocn payload, decoded.
struct Locn {
  int chip, block, page, count;
  const SimChip *c;
};

// Decodes a flashlocn naming a block the tag has; false when it is not one.
static bool locn(const Tag &t, const uint8_t *p, int len, Locn *l) {
  if (len != 8) return false;
  l->chip = (p[0] << 8) | p[1];
  l->block = (p[2] << 8) | p[3];
  l->page = (p[4] << 8) | p[5];
  l->count = (p[6] << 8) | p[7];
  l->c = usable(t, l->chip);
  return l->c && l->block < l->c->nblocks;
}

static const Fault *fault(const Tag &t, FaultKind kind) {
  if (t.cur_faults)
    for (const Fault &f : *t.cur_faults)
      if (f.kind == kind) return &f;
  return nullptr;
}

// Reply: chip, block, first and last page returned, error count, then the
// pages: as many as were asked for, up to the end of the block and what one
// frame carries.
static void req_read(Tag &t, const uint8_t *p, int len) {
  Locn l;
  if (!locn(t, p, len, &l) || l.page >= l.c->npages || l.count == 0) return tag_nack(t);
  size_t pb = page_bytes(l.c);
  int n = std::min({l.count, l.c->npages - l.page, (int)((PAYLOAD_MAX - DESC_BYTES) / pb)});
  if (const Fault *f = fault(t, FAULT_FEWPAGES)) n = std::min(n, std::max(f->arg, 1));
  bool skip = is_bad(l.c, l.block) || fault(t, FAULT_SKIPBLOCK);
  int shift = fault(t, FAULT_WRONGPAGE) && !skip ? 1 : 0;
  const Fault *errors = fault(t, FAULT_PAGEERRORS);
  std::vector<uint8_t> r;
  r.reserve(DESC_BYTES + (skip ? 0 : n * pb));
  put16(r, (uint32_t)l.chip);
  put16(r, (uint32_t)(l.block + (fault(t, FAULT_WRONGBLOCK) ? 1 : 0)));
  put16(r, skip ? 0xFFFF : (uint32_t)(l.page + shift));
  put16(r, skip ? 0xFFFF : (uint32_t)(l.page + n - 1 + shift));
  put16(r, errors ? (uint32_t)errors->arg : 0);
  if (!skip) {
    bool rec = recorded(t, l.chip, l.block);
    r.resize(DESC_BYTES + n * pb);
    for (int i = 0; i < n; i++) fill_page(t, l.chip, l.block, l.page + i, rec, r.data() + DESC_BYTES + i * pb, pb);
  }
  tag_reply(t, REQ_FLREAD, r);
}

// Position (count 1), then one page. A bad block takes it and keeps nothing.
static void req_write(Tag &t, const uint8_t *p, int len) {
  Locn l;
  if (len < 8 || !locn(t, p, 8, &l) || l.page >= l.c->npages || (size_t)len != 8 + page_bytes(l.c)) return tag_nack(t);
  if (!is_bad(l.c, l.block)) {
    t.flash_pages[page_key(l.chip, l.block, l.page)].assign(p + 8, p + len);
    tag_save(t);
  }
  tag_ack(t);
}

// Whether every good block of a directory entry has been erased; an entry
// that has none, or that runs past the chips, is never wiped.
static bool wiped(const Tag &t, const SimRecording &e) {
  bool any = false;
  for (int c = e.startchip; c <= e.endchip; c++) {
    const SimChip *ch = usable(t, c);
    int first, last;
    if (!ch || (c == e.endchip && e.endblock >= ch->nblocks)) return false;
    if (!span_on(e, c, ch->nblocks, &first, &last)) continue;
    for (int b = first; b <= last; b++) {
      if (is_bad(ch, b)) continue;
      if (!t.flash_erased.count(block_key(c, b))) return false;
      any = true;
    }
  }
  return any;
}

// Chip, first block, 0, count (1 to 20). The blocks read 0xFF afterwards,
// and an entry of the directory goes once all its blocks have been erased.
static void req_erase(Tag &t, const uint8_t *p, int len) {
  Locn l;
  if (!locn(t, p, len, &l) || l.count < 1 || l.count > ERASE_MAX || l.block + l.count > l.c->nblocks)
    return tag_nack(t);
  for (int b = l.block; b < l.block + l.count; b++) {
    if (is_bad(l.c, b)) continue;
    t.flash_erased.insert(block_key(l.chip, b));
    t.flash_pages.erase(t.flash_pages.lower_bound(page_key(l.chip, b, 0)),
                        t.flash_pages.lower_bound(page_key(l.chip, b + 1, 0)));
  }
  long lo = at(l.chip, l.block), hi = at(l.chip, l.block + l.count - 1);
  auto gone = [&](const SimRecording &e) {
    return hi >= at(e.startchip, e.startblock) && lo <= at(e.endchip, e.endblock) && wiped(t, e);
  };
  t.flash_dir.erase(std::remove_if(t.flash_dir.begin(), t.flash_dir.end(), gone), t.flash_dir.end());
  tag_save(t);
  tag_ack(t);
}

// ---- Directory and free memory ----

// Size of an entry in kB (1000 bytes): the blocks it covers on the chips the
// tag has, times their size.
static uint32_t entry_kb(const Tag &t, const SimRecording &e) {
  uint64_t bytes = 0;
  for (int c = e.startchip; c <= e.endchip; c++) {
    const SimChip *ch = usable(t, c);
    int first, last;
    if (ch && span_on(e, c, ch->nblocks, &first, &last)) bytes += (uint64_t)(last - first + 1) * block_bytes(ch);
  }
  return (uint32_t)std::min<uint64_t>(bytes / 1000, INT32_MAX);
}

// 22 bytes an entry; when they do not all fit (dir_max, or one frame), the
// first ones and a 0xFF byte.
static void req_dir(Tag &t, const uint8_t *, int) {
  size_t room = (size_t)std::clamp(t.cfg.dir_max, 0, (PAYLOAD_MAX - 1) / DIR_ENTRY);
  size_t n = std::min(t.flash_dir.size(), room);
  std::vector<uint8_t> r;
  r.reserve(n * DIR_ENTRY + 1);
  for (size_t i = 0; i < n; i++) {
    const SimRecording &e = t.flash_dir[i];
    put16(r, e.startchip);
    put16(r, e.startblock);
    put32(r, e.starttime);
    put16(r, e.endchip);
    put16(r, e.endblock);
    put32(r, e.endtime);
    put32(r, entry_kb(t, e));
    put16(r, e.type);
  }
  if (n < t.flash_dir.size()) r.push_back(0xFF);
  tag_reply(t, REQ_DIR, r);
}

// Free MB: the good blocks of the fitted chips that no entry other than a
// bad-block entry covers.
static uint32_t free_mb(const Tag &t) {
  uint64_t bytes = 0;
  for (int c = 0; c < (int)t.cfg.chips.size(); c++) {
    const SimChip *ch = usable(t, c);
    if (!ch) continue;
    std::vector<char> used((size_t)ch->nblocks, 0);
    for (uint16_t b : ch->bad)
      if (b < ch->nblocks) used[b] = 1;
    for (const SimRecording &e : t.flash_dir) {
      int first, last;
      if (e.type != TYPE_BAD && span_on(e, c, ch->nblocks, &first, &last))
        std::fill(used.begin() + first, used.begin() + last + 1, 1);
    }
    bytes += (uint64_t)std::count(used.begin(), used.end(), 0) * block_bytes(ch);
  }
  return (uint32_t)(bytes / 1000000);
}

static void req_free(Tag &t, const uint8_t *, int) {
  std::vector<uint8_t> r;
  put32(r, t.cfg.mbfree == -2 ? free_mb(t) : t.cfg.mbfree == -1 ? 0xFFFF0000u : (uint32_t)t.cfg.mbfree);
  tag_reply(t, REQ_FREEMEM, r);
}

static const TagRequest FLASH_REQUESTS[] = {
    {REQ_CHIPCOUNT, req_chipcount},
    {REQ_FLGEOM, req_geometry},
    {REQ_FLBAD, req_badblocks},
    {REQ_FLREAD, req_read},
    {REQ_FLWRITE, req_write},
    {REQ_FLERASE, req_erase},
    {REQ_DIR, req_dir},
    {REQ_FREEMEM, req_free},
    {0, nullptr},
};

// ---- Power-on and the state file ----

// The configured directory, and the firmware header in page 0 of chip 0
// block 0 over the first bytes of the image (a generated pattern): marker,
// load time, modification time, name length L (even), the name padded to L.
static void flash_init(Tag &t) {
  t.flash_pages.clear();
  t.flash_erased.clear();
  t.flash_dir = t.cfg.recordings;
  const SimChip *c = usable(t, 0);
  if (t.cfg.firmware_name.empty() || !c) return;
  std::vector<uint8_t> pg(page_bytes(c));
  generate(0, 0, 0, pg.data(), pg.size());
  std::vector<uint8_t> h;
  put16(h, FW_MARKER);
  put32(h, FW_LOADED);
  put32(h, FW_MODIFIED);
  size_t name = std::min(t.cfg.firmware_name.size(), (size_t)253), L = (name + 1) & ~(size_t)1;
  put16(h, (uint32_t)L);
  h.insert(h.end(), t.cfg.firmware_name.begin(), t.cfg.firmware_name.begin() + (long)name);
  h.resize(12 + L, 0);
  std::copy(h.begin(), h.begin() + (long)std::min(h.size(), pg.size()), pg.begin());
  t.flash_pages[page_key(0, 0, 0)] = pg;
}

// Splits text at ':' and '-' into n whole decimal numbers of at most max.
static bool numbers(const std::string &text, uint32_t *v, int n, uint32_t max) {
  const char *s = text.c_str();
  for (int i = 0; i < n; i++) {
    char *end = nullptr;
    if (*s < '0' || *s > '9') return false;
    unsigned long long x = strtoull(s, &end, 10);
    if (x > max || (i + 1 < n ? (*end != ':' && *end != '-') : *end != '\0')) return false;
    v[i] = (uint32_t)x;
    s = end + (i + 1 < n);
  }
  return true;
}

// Key "flash.dir": SC:SB:EC:EB:START:END:TYPE per entry.
static bool load_dir(const std::string &s, std::vector<SimRecording> *dir) {
  std::istringstream in(s);
  std::string tok;
  uint32_t v[7];
  while (in >> tok) {
    if (!numbers(tok, v, 7, 0xFFFFFFFF) || v[0] > 0xFFFF || v[1] > 0xFFFF || v[2] > 0xFFFF || v[3] > 0xFFFF ||
        v[6] > 0xFFFF)
      return false;
    dir->push_back(
        SimRecording{(uint16_t)v[0], (uint16_t)v[1], (uint16_t)v[2], (uint16_t)v[3], v[4], v[5], (uint16_t)v[6]});
  }
  return true;
}

// Key "flash.erased": CHIP:FIRST-LAST per run of erased blocks.
static bool load_erased(const Tag &t, const std::string &s, std::set<uint32_t> *erased) {
  std::istringstream in(s);
  std::string tok;
  uint32_t v[3];
  while (in >> tok) {
    const SimChip *c = numbers(tok, v, 3, 0xFFFF) ? usable(t, (int)v[0]) : nullptr;
    if (!c || v[1] > v[2] || v[2] >= c->nblocks) return false;
    for (uint32_t b = v[1]; b <= v[2]; b++) erased->insert(block_key((int)v[0], (int)b));
  }
  return true;
}

// Key "flash.pages": CHIP:BLOCK:PAGE:HEX per written page.
static bool load_pages(const Tag &t, const std::string &s, std::map<uint64_t, std::vector<uint8_t>> *pages) {
  std::istringstream in(s);
  std::string tok;
  uint32_t v[3];
  while (in >> tok) {
    size_t colon = tok.rfind(':');
    const SimChip *c =
        colon != std::string::npos && numbers(tok.substr(0, colon), v, 3, 0xFFFF) ? usable(t, (int)v[0]) : nullptr;
    if (!c || v[1] >= c->nblocks || v[2] >= c->npages || tok.size() - colon - 1 != 2 * page_bytes(c)) return false;
    std::vector<uint8_t> &pg = (*pages)[page_key((int)v[0], (int)v[1], (int)v[2])];
    pg.clear();
    if (!tag_unhex(tok, colon + 1, &pg)) return false;
  }
  return true;
}

// Each key replaces the power-on contents it stands for; a missing key, or
// one that does not read back whole, leaves them.
static void flash_load(Tag &t, TagStateMap &kv) {
  std::vector<SimRecording> dir;
  std::set<uint32_t> erased;
  std::map<uint64_t, std::vector<uint8_t>> pages;
  auto it = kv.find("flash.dir");
  if (it != kv.end() && load_dir(it->second, &dir)) t.flash_dir = dir;
  it = kv.find("flash.erased");
  if (it != kv.end() && load_erased(t, it->second, &erased)) t.flash_erased = erased;
  it = kv.find("flash.pages");
  if (it != kv.end() && load_pages(t, it->second, &pages)) t.flash_pages = pages;
  for (const char *k : {"flash.dir", "flash.erased", "flash.pages"}) kv.erase(k);
}

static void flash_save(const Tag &t, TagStateMap &kv) {
  std::string s;
  char b[80];
  for (const SimRecording &e : t.flash_dir) {
    snprintf(b, sizeof b, "%s%u:%u:%u:%u:%lu:%lu:%u", s.empty() ? "" : " ", e.startchip, e.startblock, e.endchip,
             e.endblock, (unsigned long)e.starttime, (unsigned long)e.endtime, e.type);
    s += b;
  }
  kv["flash.dir"] = s;
  s.clear();
  for (auto i = t.flash_erased.begin(); i != t.flash_erased.end();) {
    uint32_t first = *i, last = *i;
    while (++i != t.flash_erased.end() && *i == last + 1 && (*i >> 16) == (first >> 16)) last = *i;
    snprintf(b, sizeof b, "%s%u:%u-%u", s.empty() ? "" : " ", first >> 16, first & 0xFFFF, last & 0xFFFF);
    s += b;
  }
  kv["flash.erased"] = s;
  s.clear();
  for (const auto &pg : t.flash_pages) {
    snprintf(b, sizeof b, "%s%u:%u:%u:", s.empty() ? "" : " ", (unsigned)(pg.first >> 32),
             (unsigned)(pg.first >> 16 & 0xFFFF), (unsigned)(pg.first & 0xFFFF));
    s += b;
    tag_hex(s, pg.second.data(), pg.second.size());
  }
  kv["flash.pages"] = s;
}

const TagSubsystem TAG_FLASH = {"flash", FLASH_REQUESTS, flash_init, flash_load, flash_save};
