// The fuzz targets, one per executable: fuzz_<name> runs the row <name> of
// TARGETS. They share one set-up: a scratch working directory, a
// KOVA-3 on the virtual bus, the keyboard and clock hooked to the virtual
// clock, and (for the targets that talk to a tag) a hostile tag whose every
// reply comes from the input.
//
// Input of a tag target: a count n, n keys, then the answers, one per request
// the tag receives: a selector byte (low two bits: 0 a frame with the
// request's code, 1 a frame whose code is the first two answer bytes, 2 the
// bytes raw, 3 no reply), a 16-bit length and that many bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crc16v3.h"
#include "host.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kovacfg.h"
#include "kvdread.h"
#include "msp.h"
#include "params.h"
#include "platform.h"
#include "utilities.h"
#include "vbus.h"

namespace {

typedef std::vector<uint8_t> Bytes;
struct SessionEnd {};  // the program exited, or wants keys long after the last

const unsigned long TIME_CAP = 5UL * 60 * 1000;  // virtual ms a run may take
const int READ_CAP = 1000;                       // reads a run may make
const unsigned long KEY_GAP = 500;               // ms between typed keys

struct In {
  const uint8_t *p = nullptr;
  size_t n = 0;
  int byte() { return n ? (n--, *p++) : 0; }
  Bytes take(size_t k) {
    k = k < n ? k : n;
    return p += k, n -= k, Bytes(p - k, p);
  }
} ANS;
std::string KEYS;
size_t nkey, dry;
unsigned long key_at;
int tag, reads, running;
// Seeds: with K3_FUZZ_RECORD=prefix, a tag target runs on the emulated tag
// and writes its keys with the replies the tag gave as answers to prefixN.
const char *RECORD;
Bytes RECORDED;

Bytes frame(int code, const Bytes &payload) {
  size_t n = payload.size() < PAYLOAD_MAX ? payload.size() : PAYLOAD_MAX;
  Bytes f = {0x55, 0xAA, (uint8_t)(code >> 8), (uint8_t)code, (uint8_t)(n >> 8), (uint8_t)n};
  f.insert(f.end(), payload.begin(), payload.begin() + (long)n);
  uint32_t c = crc16byte2(f.data(), (int)f.size());
  for (int i = 0; i < 4; i++) f.push_back((uint8_t)(c >> (24 - 8 * i)));
  return f;
}

Bytes answer(int code, const Bytes &) {
  if (!ANS.n) return {};
  int s = ANS.byte(), len = ANS.byte() << 8;
  Bytes b = ANS.take((size_t)(len | ANS.byte()));
  if ((s & 3) == 1 && b.size() >= 2) return frame((b[0] << 8) | b[1], Bytes(b.begin() + 2, b.end()));
  return (s & 3) == 0 ? frame(code, b) : (s & 3) == 2 ? b : Bytes();
}

// Keys arrive KEY_GAP apart; 20 s after the last, Enter and q lead out of any
// line or menu, and a program that still wants keys after that is stopped.
int fz_kbhit(void) { return vbus_now_ms() >= key_at + (nkey < KEYS.size() ? 0 : 20000); }
int fz_getch(void) {
  if (nkey >= KEYS.size()) {
    if (++dry > 200) throw SessionEnd();
    return dry % 2 ? '\r' : 'q';
  }
  if (vbus_now_ms() < key_at) vbus_advance_ms(key_at - vbus_now_ms());
  key_at = vbus_now_ms() + KEY_GAP;
  return (unsigned char)KEYS[nkey++];
}
void fz_putch(int) {}
const PlatHooks HOOKS = {fz_kbhit, fz_getch, fz_putch, vbus_now_ms, vbus_advance_ms};

// A fresh bus with a KOVA-3 of small flash chips (so that seeds stay small),
// claimed; hostile when asked. Keys from text.
void start(const std::string &keys, bool hostile) {
  vbus_reset();
  TagConfig cfg;
  cfg.chips = {{0xD3, 64, 4, 16, {5}}, {0xD3, 64, 4, 16, {7}}};
  cfg.recordings = {{0, 1, 0, 2, 1773122400, 1773122530, 1},
                    {0, 5, 0, 5, 1773122530, 1773122532, 2},
                    {0, 6, 1, 3, 1773122532, 1773123600, 1},
                    {1, 9, 1, 9, 1773212400, 1773212490, 0}};
  tag = vbus_attach(cfg);
  if (hostile && !RECORD) vbus_tag_hostile(tag, answer);
  RECORDED.clear();
  KEYS = keys;
  for (char &c : KEYS)
    if (c == '/' || c == '\\') c = '_';  // every file stays in the working directory
  nkey = dry = key_at = 0;
  reads = mode = tagid = DATA_DIR[0] = 0, devtype = -1;
  k3p = TagParams();
  int state;
  usb_handle = claimif(device_init(&state), 1);
}
void start_in(const uint8_t *d, size_t n) {
  ANS.p = d, ANS.n = n;
  size_t k = (size_t)ANS.byte();
  Bytes keys = ANS.take(k);
  start(std::string(keys.begin(), keys.end()), true);
}
void file(const char *name, const uint8_t *d, size_t n) {
  FILE *f = fopen(name, "wb");
  if (f) fwrite(d, 1, n, f), fclose(f);
}
std::string text(const uint8_t *d, size_t n) { return std::string((const char *)d, n).c_str(); }

// ---- The targets ----

int t_checkmess(const uint8_t *d, size_t n) {
  if (n > FRAME_MAX) return 0;
  Bytes f(d, d + n);  // exactly the input's size, so a read past it is caught
  MessRec rec = {nullptr, -1, -1};
  int flag = checkmess(f.data(), (int)n, &rec);
  if (flag != checkmess(f.data(), (int)n, nullptr)) __builtin_trap();
  if (flag == 0 && (rec.len + FRAME_OVERHEAD != (int)n || rec.data != f.data() + FRAME_HDR)) __builtin_trap();
  if (flag == 0) dispatch(&rec);
  return 0;
}
int t_getmess(const uint8_t *d, size_t n) {
  start("", false);
  vbus_tag_send_raw(tag, d, (int)(n < 4 * FRAME_MAX ? n : 4 * FRAME_MAX));
  MessRec rec = {nullptr, 0, 0};
  int r = getmess(&rec, TMO_REPLY);
  if (r == RX_GOOD && (rec.data != RXBUFF + FRAME_HDR || rec.len < 0 || rec.len > PAYLOAD_MAX)) __builtin_trap();
  if (r == RX_GOOD) dispatch(&rec);
  return 0;
}
int t_board(const uint8_t *d, size_t n) {
  start_in(d, n);
  uint32_t v[5];
  int32_t t;
  getboardid(v), board_soc_read(v), getboardtime(&t);
  return boardtimeshow();
}
int t_eeprom(const uint8_t *d, size_t n) {
  start_in(d, n);
  const uint32_t at[2] = {0x6000, 16};
  bunpack(getbuff(), at, 2);
  if (sendreq(REQ_EEREAD, 4) == 0) in_service(TMO_REPLY);  // the reply's handler prints it
  MessRec m;
  eepromread(0x6000, 8, &m);
  static int32_t rec[PARAM_RECLEN];
  for (int a = 0, i = 0; i < 300 && (a = readnextparam(a, rec)) != 0; i++) {
  }
  return 0;
}
int t_badblocks(const uint8_t *d, size_t n) {
  start_in(d, n);
  chipgeom g;
  static int32_t list[BADBLK_LIST];
  for (int c = 0, nc = getnchips(); c < nc && c < 4; c++) getchiptype(c, &g), getbadblocks(c, list);
  return 0;
}
int t_directory(const uint8_t *d, size_t n) {
  start_in(d, n);
  if (reqdirtab() == 0) showdirtab(1);
  showdirtab(0);
  return freedirtab();
}
int t_flashread(const uint8_t *d, size_t n) {
  start_in(d, n);
  flashlocn pos = {0, 3, 7, 1};
  int len;
  hfls_pageread(&pos, &len);
  const diritem range = {0, 1, 0, 0, 2, 0, 1000, 1, 0};
  return hflsoffload("off.kvd", &range);
}
int t_firmware(const uint8_t *d, size_t n) { return start_in(d, n), checkcode(); }
int t_msp(const uint8_t *d, size_t n) {
  start_in(d, n);
  unsigned char buf[255];
  MspSensors s;
  mspread(MSPREG_TAGAPP, buf, 255), mspsensors(&s);
  return msprxtest();
}
int t_msphdr(const uint8_t *d, size_t n) { return start_in(d, n), msp_readhdr(); }
int t_session(const uint8_t *d, size_t n) {
  start_in(d, n);
  int state = releaseif(usb_handle, 1);  // host claims the tag itself
  for (int i = 0; i < 3 && vbus_present(tag) && host(device_init(&state)) == 0;) i++;
  return 0;
}
int t_titxt(const uint8_t *d, size_t n) { return start("img.txt\r", false), file("img.txt", d, n), mspprog(); }
int t_params(const uint8_t *d, size_t n) { return start("", false), file("p.txt", d, n), params2eeprom("p.txt", 0); }
int t_badblkfile(const uint8_t *d, size_t n) {
  return start("", false), file("badblocks_4B33_0A17.txt", d, n), badblkwrite();
}
int t_kvd(const uint8_t *d, size_t n) {
  KvdInfo info;
  return file("r.kvd", d, n), (int)kvd_check_file("r.kvd", &info).size();
}
int t_selection(const uint8_t *d, size_t n) {
  int count = n ? d[0] : 0;
  HFLS_dirtab = (diritem *)calloc((size_t)count + 1, sizeof(diritem));
  HFLS_nrecs = count;
  parsenums(text(d + (n > 0), n - (n > 0)).c_str(), count, 1);
  return freedirtab();
}
int t_getarg(const uint8_t *d, size_t n) {
  int32_t v[8];
  return getarg(text(d, n).c_str(), v, 8), 0;
}
int t_scanints(const uint8_t *d, size_t n) {
  int v[8];
  return scanints(text(d, n).c_str(), v, 8), 0;
}

struct Target {
  const char *name;
  int (*run)(const uint8_t *, size_t);
};
// clang-format off
const Target TARGETS[] = {
  {"checkmess", t_checkmess}, {"getmess", t_getmess}, {"board", t_board}, {"eeprom", t_eeprom},
  {"badblocks", t_badblocks}, {"directory", t_directory}, {"flashread", t_flashread}, {"firmware", t_firmware},
  {"msp", t_msp}, {"msphdr", t_msphdr}, {"session", t_session}, {"titxt", t_titxt}, {"params", t_params},
  {"badblkfile", t_badblkfile}, {"kvd", t_kvd}, {"selection", t_selection}, {"getarg", t_getarg},
  {"scanints", t_scanints},
};
// clang-format on
const Target *T;

}  // namespace

// The program's reads pass here first: the hostile tag's answers replace the
// tag's replies, and a run that goes on too long loses its tag.
extern "C" int __real_usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout);
extern "C" int __wrap_usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout) {
  if (++reads > READ_CAP || vbus_now_ms() > TIME_CAP) vbus_detach(tag);
  vbus_hostile_swap();
  int r = __real_usb_bulk_read(h, ep, bytes, size, timeout);
  MessRec m;
  if (RECORD && r > 0 && checkmess((unsigned char *)bytes, r, &m) == 0)
    RECORDED.insert(RECORDED.end(), {1, (uint8_t)((r - 8) >> 8), (uint8_t)(r - 8)}),
        RECORDED.insert(RECORDED.end(), bytes + 2, bytes + 4),
        RECORDED.insert(RECORDED.end(), bytes + 6, bytes + r - 4);
  else if (RECORD && r > 0)
    RECORDED.insert(RECORDED.end(), {2, (uint8_t)(r >> 8), (uint8_t)r}),
        RECORDED.insert(RECORDED.end(), bytes, bytes + r);
  return r;
}
// The program ending itself (an unsupported tag) ends the run.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (running) throw SessionEnd();
  __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  const char *self = *argc > 0 ? strrchr((*argv)[0], '_') : nullptr;
  for (const Target &t : TARGETS)
    if (self && strcmp(t.name, self + 1) == 0) T = &t;
  // Corpus, input and artifact paths are taken as absolute before the chdir.
  static std::vector<std::string> args;
  args.reserve((size_t)*argc);
  for (int i = 1; i < *argc; i++) {
    std::string a = (*argv)[i], key = a.rfind("-artifact_prefix=", 0) == 0 ? "-artifact_prefix=" : "";
    if (a[0] == '-' && key.empty()) continue;
    args.push_back(key + std::filesystem::absolute(a.substr(key.size())).string());
    (*argv)[i] = &args.back()[0];
  }
  static char dir[] = "/tmp/k3fuzz-XXXXXX";
  if (!T || !mkdtemp(dir) || chdir(dir) != 0) abort();
  atexit([] { rmdir(dir); });
  RECORD = getenv("K3_FUZZ_RECORD");
  plat_sethooks(&HOOKS);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  running = 1;
  try {
    T->run(data, size);
  } catch (const SessionEnd &) {
  }
  running = 0;
  static int seeds;
  if (RECORD && !RECORDED.empty() && size && size >= (size_t)data[0] + 1) {
    RECORDED.insert(RECORDED.begin(), data, data + data[0] + 1);
    file((RECORD + std::to_string(seeds++)).c_str(), RECORDED.data(), RECORDED.size());
  }
  if (usb_handle) releaseif(usb_handle, 1);
  usb_handle = nullptr;
  freedirtab();
  vbus_tag_hostile(tag, nullptr);
  vbus_reset();
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(".", ec)) std::filesystem::remove_all(e.path(), ec);
  return 0;
}
