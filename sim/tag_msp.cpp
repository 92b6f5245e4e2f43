// The KOVA-3's MSP co-processor, reached through the tag: the register space
// of its running program (transmit, receive), the WIO line test, the sensor
// readings, and its boot loader, one frame per request. Everything it holds
// lives in TagConfig::msp (see SimMsp in vbus.h), so a test can preset it
// before attach and look at it afterwards.
//
// Every MSP byte travels as one 16-bit word, the byte in its low half; the
// high half is not looked at.
#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

#include "k3proto.h"
#include "tag.h"

static const size_t REG_SPACE = 256;
static const size_t MEM_SIZE = 0x10000;
static const int INFO_REG = 128;          // reads from here on come from memory at INFO_ADDR
static const int INFO_ADDR = 0x1000;      // the firmware information record
static const int PROGRAM_ADDR = 0xF000;   // the factory program
static const int PASSWORD_ADDR = 0xFFE0;  // 32 bytes, the last of them the reset vector
static const int PASSWORD_LEN = 32;
static const int RESET_VECTOR = 0xFFFE;

// Status words of the register and sensor replies besides SimMsp::status.
static const uint16_t ST_BADREQUEST = 1;  // a transmit without a register address
static const uint16_t ST_NOPROGRAM = 2;   // no program runs to answer

// The boot loader's frames and answers.
// Relay words before the data: count, answer size, header, command, L1, L2,
// address, length.
static const int BSL_HEAD = 10;
static const uint8_t BSL_HEADER = 0x80;
static const uint8_t BSL_ACK = 0x90, BSL_REFUSED = 0xA0;
enum { BSL_PASSWORD = 0x10, BSL_WRITE = 0x12, BSL_ERASE = 0x18, BSL_START = 0x1A };

// The MSP's state, with its register space and memory at their full size
// whatever a test left there, so that no index below can run off them.
static SimMsp &msp(Tag &t) {
  SimMsp &m = t.cfg.msp;
  if (m.regs.size() != REG_SPACE) m.regs.resize(REG_SPACE, 0);
  if (m.mem.size() != MEM_SIZE) m.mem.resize(MEM_SIZE, 0xFF);
  return m;
}

// A program runs unless the boot loader has the MSP or the reset vector is erased.
static bool running(const SimMsp &m) {
  return !m.in_bsl && !(m.mem[RESET_VECTOR] == 0xFF && m.mem[RESET_VECTOR + 1] == 0xFF);
}

// Reply of a register request: the status word, then the bytes one word each.
static void reply_bytes(Tag &t, int code, uint16_t status, const std::vector<uint8_t> &bytes) {
  std::vector<uint8_t> r;
  r.reserve(2 + 2 * bytes.size());
  put16(r, status);
  for (uint8_t b : bytes) put16(r, b);
  tag_reply(t, code, r);
}

static bool refuse_fault(const Tag &t);

// Register address, then the bytes stored from there on (wrapping within the
// space). The address becomes the one the next receive reads from. A refuse
// fault stands for an MSP that answers but does not take the write.
static void req_transmit(Tag &t, const uint8_t *p, int len) {
  if (!t.cfg.msp.fitted) return tag_nack(t);
  SimMsp &m = msp(t);
  if (len < 2 || len % 2) return reply_bytes(t, REQ_MSPTX, ST_BADREQUEST, {});
  if (!running(m) || refuse_fault(t)) return reply_bytes(t, REQ_MSPTX, ST_NOPROGRAM, {});
  uint8_t addr = p[1];
  for (int i = 2; i + 1 < len; i += 2) m.regs[(uint8_t)(addr + i / 2 - 1)] = p[i + 1];
  m.ptr = addr;
  if (len > 2) tag_save(t);
  reply_bytes(t, REQ_MSPTX, m.status, {});
}

// Count in the low byte of one word; the bytes from the read address on,
// which advances and wraps within the space.
static void req_receive(Tag &t, const uint8_t *p, int len) {
  if (!t.cfg.msp.fitted || len < 2) return tag_nack(t);
  SimMsp &m = msp(t);
  if (!running(m)) return reply_bytes(t, REQ_MSPRX, ST_NOPROGRAM, {});
  std::vector<uint8_t> b(p[1]);
  for (uint8_t &v : b) {
    v = m.ptr >= INFO_REG ? m.mem[(size_t)(INFO_ADDR + m.ptr - INFO_REG)] : m.regs[m.ptr];
    m.ptr++;
  }
  reply_bytes(t, REQ_MSPRX, m.status, b);
}

// The WIO line driven low (0) or high (1) by the running program.
static void req_wio(Tag &t, const uint8_t *p, int len) {
  if (!t.cfg.msp.fitted) return tag_nack(t);
  SimMsp &m = msp(t);
  if (!running(m) || len != 2 || p[0] != 0 || p[1] > 1) return tag_nack(t);
  m.wio = p[1];
  tag_ack(t);
}

// Status, battery, salinity, the third reading; zeros when no program runs.
static void req_sensors(Tag &t, const uint8_t *, int) {
  if (!t.cfg.msp.fitted) return tag_nack(t);
  SimMsp &m = msp(t);
  bool run = running(m);
  std::vector<uint8_t> r;
  put16(r, run ? m.status : ST_NOPROGRAM);
  put16(r, run ? m.battery_mv : 0);
  put16(r, run ? m.salinity : 0);
  put16(r, run ? m.aux : 0);
  tag_reply(t, REQ_MSPSENS, r);
}

// One boot-loader frame, carried a byte per word: w0 the frame bytes that
// follow (8 + data), w1 the answer bytes wanted (not looked at), then header,
// command, L1, L2 (both 4 + data), address and length (low byte first), the
// data.
static uint8_t bsl_frame(SimMsp &m, const uint8_t *p, int len) {
  int nw = len / 2;
  if (len % 2 || nw < BSL_HEAD) return BSL_REFUSED;
  auto b = [p](int i) { return p[2 * i + 1]; };
  int ndata = nw - BSL_HEAD;
  if (b(0) != nw - 2 || b(2) != BSL_HEADER || b(4) != b(5) || b(4) != 4 + ndata) return BSL_REFUSED;
  int addr = b(6) | b(7) << 8, length = b(8) | b(9) << 8;
  switch (b(3)) {
    case BSL_ERASE:
      std::fill(m.mem.begin(), m.mem.end(), 0xFF);
      m.unlocked = false;
      return BSL_ACK;
    case BSL_PASSWORD:
      if (ndata != PASSWORD_LEN) return BSL_REFUSED;
      for (int i = 0; i < PASSWORD_LEN; i++)
        if (b(BSL_HEAD + i) != m.mem[(size_t)(PASSWORD_ADDR + i)]) return BSL_REFUSED;
      m.unlocked = true;
      return BSL_ACK;
    case BSL_WRITE:
      if (!m.unlocked || length != ndata || addr + ndata > (int)MEM_SIZE) return BSL_REFUSED;
      for (int i = 0; i < ndata; i++) m.mem[(size_t)(addr + i)] = b(BSL_HEAD + i);
      return BSL_ACK;
    case BSL_START:
      if (!m.unlocked) return BSL_REFUSED;
      m.started_at = addr;
      m.in_bsl = false;
      m.unlocked = false;
      return BSL_ACK;
  }
  return BSL_REFUSED;
}

static bool refuse_fault(const Tag &t) {
  if (t.cur_faults)
    for (const Fault &f : *t.cur_faults)
      if (f.kind == FAULT_REFUSE) return true;
  return false;
}

// Any frame puts the MSP in its boot loader, well-formed or not; only a
// start takes it out. An injected refusal changes nothing.
static void req_bsl(Tag &t, const uint8_t *p, int len) {
  if (!t.cfg.msp.fitted) return tag_nack(t);
  SimMsp &m = msp(t);
  uint8_t answer = BSL_REFUSED;
  if (!refuse_fault(t)) {
    bool entered = !m.in_bsl;
    m.in_bsl = true;
    answer = bsl_frame(m, p, len);
    if (entered || answer == BSL_ACK) tag_save(t);
  }
  tag_reply(t, REQ_MSPBSL, {0, answer});
}

static const TagRequest MSP_REQUESTS[] = {
    {REQ_MSPBSL, req_bsl}, {REQ_MSPTX, req_transmit},  {REQ_MSPRX, req_receive},
    {REQ_MSPWIO, req_wio}, {REQ_MSPSENS, req_sensors}, {0, nullptr},
};

// ---- Power-on and the state file ----

static void put_le(std::vector<uint8_t> &v, size_t at, uint32_t x, int n) {
  for (int i = 0; i < n; i++) v[at + (size_t)i] = (uint8_t)(x >> (8 * i));
}

// Registers: zeros but the timing and trigger block at 20 (release after 0,
// release by 0, burn time 600 s, salinity threshold 523 with the pulse bits
// clear; 16-bit words, low byte first) and the option word at 32. Memory: a
// short factory program at 0xF000, its reset vector, and the information
// record at 0x1000: version, load time, modification time, name length and
// name, low byte first. Fields a test has filled are left as they are.
static void msp_init(Tag &t) {
  SimMsp &m = t.cfg.msp;
  if (m.regs.empty()) {
    m.regs.assign(REG_SPACE, 0);
    put_le(m.regs, 20 + 8, 600, 2);
    put_le(m.regs, 20 + 10, 523, 2);
    put_le(m.regs, 32, 0x0110, 2);
  }
  if (m.mem.empty()) {
    m.mem.assign(MEM_SIZE, 0xFF);
    static const uint8_t PROGRAM[16] = {0x31, 0x40, 0x00, 0x04, 0xB2, 0x40, 0x80, 0x5A,
                                        0x20, 0x01, 0x32, 0xD0, 0xF0, 0x00, 0xFE, 0x3F};
    std::copy(PROGRAM, PROGRAM + sizeof PROGRAM, m.mem.begin() + PROGRAM_ADDR);
    put_le(m.mem, RESET_VECTOR, PROGRAM_ADDR, 2);
    static const char NAME[] = "kova3_msp_1_07.txt";
    put_le(m.mem, INFO_ADDR, 0x5A01, 2);
    put_le(m.mem, INFO_ADDR + 2, 1773064800, 4);  // 2026-03-09 14:00:00 UTC
    put_le(m.mem, INFO_ADDR + 6, 1772445600, 4);  // 2026-03-02 10:00:00 UTC
    put_le(m.mem, INFO_ADDR + 10, sizeof NAME - 1, 2);
    std::copy(NAME, NAME + sizeof NAME - 1, m.mem.begin() + INFO_ADDR + 12);
  }
  msp(t);
}

// A whole decimal number within [lo, hi].
static bool decimal(const std::string &s, long lo, long hi, long *out) {
  if (s.empty() || s.size() > 12) return false;
  char *end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (*end != '\0' || !(isdigit((unsigned char)s[0]) || s[0] == '-') || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Each key that reads back whole replaces its power-on value; a garbled one
// leaves it.
static void msp_load(Tag &t, TagStateMap &kv) {
  SimMsp &m = t.cfg.msp;
  auto get = [&kv](const char *key, std::string *val) {
    auto it = kv.find(key);
    if (it == kv.end()) return false;
    *val = it->second;
    kv.erase(it);
    return true;
  };
  std::string s;
  std::vector<uint8_t> b;
  long v;
  if (get("msp.regs", &s) && tag_unhex(s, 0, &b) && b.size() == REG_SPACE) m.regs = b;
  if (get("msp.mem", &s)) tag_load_runs(s, MEM_SIZE, &m.mem);
  if (get("msp.started_at", &s) && decimal(s, -1, (long)MEM_SIZE - 1, &v)) m.started_at = (int)v;
  if (get("msp.in_bsl", &s) && decimal(s, 0, 1, &v)) m.in_bsl = v;
  if (get("msp.unlocked", &s) && decimal(s, 0, 1, &v)) m.unlocked = v;
}

static void msp_save(const Tag &t, TagStateMap &kv) {
  const SimMsp &m = t.cfg.msp;
  std::string s;
  tag_hex(s, m.regs.data(), m.regs.size());
  kv["msp.regs"] = s;
  kv["msp.mem"] = tag_runs(m.mem);
  kv["msp.started_at"] = std::to_string(m.started_at);
  kv["msp.in_bsl"] = m.in_bsl ? "1" : "0";
  kv["msp.unlocked"] = m.unlocked ? "1" : "0";
}

const TagSubsystem TAG_MSP = {"msp", MSP_REQUESTS, msp_init, msp_load, msp_save};
