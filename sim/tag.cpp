// The emulated tag's firmware core: frame checking, dispatch of requests to
// the subsystems by code, injected faults on the replies, and the state file
// that lets the tag keep its memory between runs.
#include "tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "crc16v3.h"
#include "k3proto.h"

// Every subsystem of the firmware, searched in this order for a request code.
static const TagSubsystem *const SUBSYSTEMS[] = {
    &TAG_BOARD,
    &TAG_EEPROM,
    &TAG_FLASH,
    &TAG_MSP,
};

void tag_hex(std::string &s, const uint8_t *b, size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  for (size_t i = 0; i < n; i++) {
    s += DIGITS[b[i] >> 4];
    s += DIGITS[b[i] & 15];
  }
}

static int hexval(char h) {
  return h >= '0' && h <= '9'   ? h - '0'
         : h >= 'a' && h <= 'f' ? h - 'a' + 10
         : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                : -1;
}

bool tag_unhex(const std::string &s, size_t from, std::vector<uint8_t> *out) {
  if (from > s.size() || (s.size() - from) % 2) return false;
  for (size_t i = from; i < s.size(); i += 2) {
    int hi = hexval(s[i]), lo = hexval(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back((uint8_t)(hi << 4 | lo));
  }
  return true;
}

std::string tag_runs(const std::vector<uint8_t> &m) {
  std::string s;
  char b[8];
  for (size_t a = 0; a < m.size();) {
    if (m[a] == 0xFF) {
      a++;
      continue;
    }
    size_t end = a;
    while (end < m.size() && m[end] != 0xFF) end++;
    snprintf(b, sizeof b, "%s%04x:", s.empty() ? "" : " ", (unsigned)a);
    s += b;
    tag_hex(s, m.data() + a, end - a);
    a = end;
  }
  return s;
}

bool tag_load_runs(const std::string &s, size_t size, std::vector<uint8_t> *m) {
  std::vector<uint8_t> mem(size, 0xFF), addr, bytes;
  std::istringstream in(s);
  std::string run;
  while (in >> run) {
    addr.clear();
    bytes.clear();
    if (run.size() < 7 || run[4] != ':' || !tag_unhex(run.substr(0, 4), 0, &addr) || !tag_unhex(run, 5, &bytes))
      return false;
    size_t at = (size_t)addr[0] << 8 | addr[1];
    if (at + bytes.size() > size) return false;
    std::copy(bytes.begin(), bytes.end(), mem.begin() + (long)at);
  }
  *m = mem;
  return true;
}

void put16(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back((uint8_t)(v >> 8));
  out.push_back((uint8_t)v);
}

void put32(std::vector<uint8_t> &out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

std::vector<uint8_t> tag_frame(int code, const uint8_t *payload, int len) {
  if (len < 0) len = 0;
  if (len > PAYLOAD_MAX) len = PAYLOAD_MAX;
  std::vector<uint8_t> f;
  f.reserve((size_t)len + FRAME_OVERHEAD);
  put16(f, FRAME_SYNC);
  put16(f, (uint32_t)code & 0xFFFF);
  put16(f, (uint32_t)len);
  if (len > 0) f.insert(f.end(), payload, payload + len);
  put32(f, crc16byte2(f.data(), len + FRAME_HDR));
  return f;
}

void tag_reply(Tag &t, int code, const std::vector<uint8_t> &payload) {
  t.replies.push_back(tag_frame(code, payload.data(), (int)payload.size()));
}

void tag_ack(Tag &t) { tag_reply(t, MSG_ACK, {}); }
void tag_nack(Tag &t) { tag_reply(t, MSG_NACK, {}); }

void tag_queue(Tag &t, TagBytes bytes, uint64_t at_us, bool leave_after) {
  TagOutgoing o;
  o.at = at_us;
  o.seq = t.seq++;
  o.bytes = std::move(bytes);
  o.leave_after = leave_after;
  t.outq.push_back(std::move(o));
}

void tag_queue(Tag &t, std::vector<uint8_t> bytes, uint64_t at_us, bool leave_after) {
  tag_queue(t, std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), at_us, leave_after);
}

// ---- Requests ----

static int frame_code(const uint8_t *b, int len) {
  if (len < FRAME_HDR || ((b[0] << 8) | b[1]) != FRAME_SYNC) return -1;
  return (b[2] << 8) | b[3];
}

std::vector<Fault> tag_faults_for(Tag &t, const uint8_t *bytes, int len) {
  std::vector<Fault> out;
  int code = frame_code(bytes, len);
  if (code < 0) return out;
  int n = ++t.seen[code];
  for (const Fault &f : t.faults)
    if (f.code == code && (f.nth == 0 || f.nth == n)) out.push_back(f);
  return out;
}

// Check flag of a request as the host checks a reply: 0 good.
static int check_frame(const std::vector<uint8_t> &f) {
  if (f.size() < FRAME_OVERHEAD) return CHK_LENGTH;
  if (((f[0] << 8) | f[1]) != FRAME_SYNC) return CHK_SYNC;
  int n = (f[4] << 8) | f[5];
  if (f.size() != (size_t)n + FRAME_OVERHEAD) return CHK_LENGTH;
  uint32_t want = ((uint32_t)f[n + 6] << 24) | ((uint32_t)f[n + 7] << 16) | ((uint32_t)f[n + 8] << 8) | f[n + 9];
  if (crc16byte2(f.data(), n + FRAME_HDR) != want) return CHK_CRC;
  return 0;
}

static void dispatch(Tag &t, int code, const uint8_t *payload, int len) {
  for (const TagSubsystem *s : SUBSYSTEMS)
    for (const TagRequest *r = s->requests; r && r->fn; r++)
      if (r->code == code) {
        r->fn(t, payload, len);
        return;
      }
  tag_nack(t);  // a request this firmware does not know
}

// Rewrites the check value of a frame after its contents were changed.
static void refresh_check(std::vector<uint8_t> &f) {
  int n = (int)f.size() - FRAME_OVERHEAD;
  uint32_t c = crc16byte2(f.data(), n + FRAME_HDR);
  for (int i = 0; i < 4; i++) f[n + 6 + i] = (uint8_t)(c >> (24 - 8 * i));
}

static std::vector<uint8_t> text_frame(const std::string &text) {
  return tag_frame(MSG_TEXT, (const uint8_t *)text.data(), (int)text.size());
}

void tag_request(Tag &t, const std::vector<uint8_t> &frame, const std::vector<Fault> &faults) {
  if (vbus_recording()) t.received.push_back(frame);
  if (t.replay && faults.empty()) {
    auto it = t.replayed.find(frame);
    if (it != t.replayed.end()) {
      for (const TagBytes &b : it->second) tag_queue(t, b, vbus_answer_us());
      return;
    }
  }
  t.replies.clear();
  t.leave_after_reply = false;
  if (check_frame(frame) != 0) {
    tag_nack(t);
  } else {
    int n = (frame[4] << 8) | frame[5];
    t.cur_faults = &faults;
    dispatch(t, (frame[2] << 8) | frame[3], frame.data() + FRAME_HDR, n);
    t.cur_faults = nullptr;
  }

  std::vector<std::vector<uint8_t>> out = std::move(t.replies);
  t.replies.clear();
  bool leave = t.leave_after_reply;
  unsigned long delay = 0;
  std::vector<std::vector<uint8_t>> before;
  for (const Fault &f : faults) {
    std::vector<uint8_t> *first = out.empty() ? nullptr : &out[0];
    switch (f.kind) {
      case FAULT_NOREPLY:
        out.clear();
        leave = false;
        break;
      case FAULT_BADSYNC:
        if (first) (*first)[1] ^= 0xFF;  // 0x55 0x55: the sync word is wrong
        break;
      case FAULT_BADLEN:
        if (first) first->push_back(0x00);
        break;
      case FAULT_BADCRC:
        if (first) first->back() ^= 0x01;
        break;
      case FAULT_WRONGCODE:
        if (first) {
          (*first)[2] = (uint8_t)(f.arg >> 8);
          (*first)[3] = (uint8_t)f.arg;
          refresh_check(*first);
        }
        break;
      case FAULT_SHORT:
        if (first) {
          int n = (int)first->size() - FRAME_OVERHEAD;
          int cut = f.arg < 0 ? 0 : (f.arg > n ? n : f.arg);
          *first = tag_frame(((*first)[2] << 8) | (*first)[3], first->data() + FRAME_HDR, n - cut);
        }
        break;
      case FAULT_NACK:
        out.assign(1, tag_frame(MSG_NACK, nullptr, 0));
        leave = false;
        break;
      case FAULT_ERROR: {
        uint8_t p[2] = {(uint8_t)(f.arg >> 8), (uint8_t)f.arg};
        out.assign(1, tag_frame(MSG_ERROR, p, 2));
        leave = false;
        break;
      }
      case FAULT_TEXT:
        before.push_back(text_frame(f.text));
        break;
      case FAULT_DELAY:
        delay += f.arg > 0 ? (unsigned long)f.arg : 0;
        break;
      case FAULT_VANISH:
      case FAULT_STALL:
      case FAULT_WRITEFAIL:
      case FAULT_ZLPFAIL:
        break;  // the bus acts on these when the request is written
      case FAULT_FEWPAGES:
      case FAULT_WRONGPAGE:
      case FAULT_WRONGBLOCK:
      case FAULT_SKIPBLOCK:
      case FAULT_PAGEERRORS:
        break;  // the flash read applies these itself
      case FAULT_REFUSE:
        break;  // the MSP boot loader applies this itself
    }
  }
  uint64_t now = vbus_answer_us();
  for (const auto &b : before) tag_queue(t, b, now);
  bool keep = t.replay && faults.empty() && !leave;
  std::vector<TagBytes> kept;
  for (size_t i = 0; i < out.size(); i++) {
    TagBytes b = std::make_shared<const std::vector<uint8_t>>(std::move(out[i]));
    if (keep) kept.push_back(b);
    tag_queue(t, std::move(b), now + delay * 1000, leave && i + 1 == out.size());
  }
  if (keep) t.replayed[frame] = std::move(kept);
}

// ---- State directory ----
//
// tag.txt is the user's record of the tag, so it is never written over
// unannounced: a file that cannot be read whole is set aside as tag.txt.bad
// (said once, with the reason), and when that name is taken nothing is saved
// this run. A directory that cannot be written is said once, with the reason,
// not at every change; once a write succeeds again a new failure is said again.

static std::set<std::string> g_unsaved;  // state directories not written this run
static std::set<std::string> g_failing;  // state directories whose last write failed

static std::filesystem::path state_file(const Tag &t) { return std::filesystem::path(t.cfg.statedir) / "tag.txt"; }

// The whole file into *text. "" read (or there is no file yet, nor perhaps
// its directory: *text empty; saving says what is wrong with the directory);
// else why it cannot be read.
static std::string read_state(const std::filesystem::path &p, std::string *text) {
  // A folder opens for reading on POSIX systems (the read then fails) but
  // not on Windows, where the reason given would be "Permission denied".
  std::error_code ec;
  if (std::filesystem::is_directory(p, ec)) return strerror(EISDIR);
  FILE *f = fopen(p.string().c_str(), "rb");
  if (!f) return errno == ENOENT || errno == ENOTDIR ? "" : strerror(errno);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  std::string why = ferror(f) ? strerror(errno) : "";
  fclose(f);
  return why;
}

static void load_state(Tag &t) {
  std::filesystem::path p = state_file(t);
  std::string text, line;
  std::string why = read_state(p, &text);
  TagStateMap kv;
  std::istringstream in(text);
  for (int no = 1; std::getline(in, line); no++) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      if (why.empty()) why = "line " + std::to_string(no) + " is not KEY=VALUE";
      continue;
    }
    kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const TagStateMap read = kv;
  for (const TagSubsystem *s : SUBSYSTEMS)
    if (s->load) s->load(t, kv);
  t.kv_other = kv;
  // A subsystem leaves its power-on value for a value it cannot take; such
  // a value shows as one that is not written back as it was read.
  TagStateMap again;
  for (const TagSubsystem *s : SUBSYSTEMS)
    if (s->save) s->save(t, again);
  for (auto e = read.begin(); why.empty() && e != read.end(); ++e)
    if (again.count(e->first) && again[e->first] != e->second) why = "the value of " + e->first + " is garbled";
  if (why.empty()) return;
  std::filesystem::path bad = p;
  bad += ".bad";
  std::error_code ec;
  if (std::filesystem::exists(bad, ec) || ec) {
    g_unsaved.insert(t.cfg.statedir);
    fprintf(stderr, "k3host-sim: %s: %s; %s already exists, so the tag's state is not saved this run\n",
            p.string().c_str(), why.c_str(), bad.string().c_str());
    return;
  }
  std::filesystem::rename(p, bad, ec);
  if (ec) {
    g_unsaved.insert(t.cfg.statedir);
    fprintf(stderr, "k3host-sim: %s: %s; it cannot be set aside (%s), so the tag's state is not saved this run\n",
            p.string().c_str(), why.c_str(), ec.message().c_str());
    return;
  }
  fprintf(stderr, "k3host-sim: %s: %s; the file is kept as %s, the tag starts from what could be read\n",
          p.string().c_str(), why.c_str(), bad.string().c_str());
}

void tag_save(const Tag &t) {
  const std::string &dir = t.cfg.statedir;
  if (dir.empty() || g_unsaved.count(dir)) return;
  TagStateMap kv = t.kv_other;
  for (const TagSubsystem *s : SUBSYSTEMS)
    if (s->save) s->save(t, kv);
  std::string text;
  for (const auto &e : kv) text += e.first + '=' + e.second + '\n';
  // Written aside and renamed, so a program that exits mid-write leaves
  // either the old state or the new one.
  std::filesystem::path tmp = state_file(t);
  tmp += ".new";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string why = ec ? ec.message() : "";
  if (why.empty()) {
    FILE *f = fopen(tmp.string().c_str(), "wb");
    if (!f) {
      why = strerror(errno);
    } else {
      if (fwrite(text.data(), 1, text.size(), f) != text.size()) why = strerror(errno);
      if (fclose(f) != 0 && why.empty()) why = strerror(errno);
    }
  }
  if (why.empty()) {
    std::filesystem::rename(tmp, state_file(t), ec);
    if (ec) why = ec.message();
  }
  if (why.empty()) {
    g_failing.erase(dir);
    return;
  }
  std::filesystem::remove(tmp, ec);
  if (g_failing.insert(dir).second)
    fprintf(stderr, "k3host-sim: cannot write tag state in %s: %s; the tag's changes are not kept\n", dir.c_str(),
            why.c_str());
}

void tag_init(Tag &t) {
  t.state = t.cfg.bootloader ? 0 : 1;
  for (const TagSubsystem *s : SUBSYSTEMS)
    if (s->init) s->init(t);
  if (!t.cfg.statedir.empty()) {
    g_unsaved.erase(t.cfg.statedir);
    g_failing.erase(t.cfg.statedir);
    load_state(t);
    tag_save(t);
  }
}
