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
//
// Seeds: with K3_FUZZ_RECORD=prefix, a tag target runs on the emulated tag
// and writes its keys with the replies the tag gave, as answers, to prefixN.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "crc16v3.h"
#include "host.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kovacfg.h"
#include "kvdread.h"
#include "msp.h"
#include "offrec.h"
#include "params.h"
#include "platform.h"
#include "station.h"
#include "stnreport.h"
#include "tag.h"
#include "utilities.h"
#include "vbus.h"

namespace {

typedef std::vector<uint8_t> Bytes;
struct SessionEnd {};  // the program exited, or wants keys long after the last

const unsigned long TIME_CAP = 5UL * 60 * 1000;  // virtual ms a run may take
const int READ_CAP = 1000;                       // reads a run may make
const unsigned long KEY_GAP = 500;               // ms between typed keys

const uint8_t *at, *end;  // the input not yet taken
std::string KEYS;
unsigned long nkey, dry, key_at;
int tag, reads, running;
const char *RECORD;
Bytes RECORDED;

Bytes take(size_t k) { return k = k < (size_t)(end - at) ? k : (size_t)(end - at), at += k, Bytes(at - k, at); }
int byte() { return at < end ? *at++ : 0; }

// A frame as the emulated tag builds it (a payload cut to the largest).
Bytes frame(int code, const Bytes &f) { return tag_frame(code, f.data(), (int)f.size()); }

Bytes answer(int code, const Bytes &) {
  if (at == end) return {};
  int s = byte() & 3, len = byte() << 8;
  Bytes b = take((size_t)(len | byte()));
  if (s == 1 && b.size() >= 2) return frame((b[0] << 8) | b[1], Bytes(b.begin() + 2, b.end()));
  return s == 0 ? frame(code, b) : s == 2 ? b : Bytes();
}

// Keys arrive KEY_GAP apart; 20 s after the last, Enter and q lead out of any
// line or menu, and a program that still wants keys after that is stopped.
int fz_getch(void) {
  if (nkey >= KEYS.size()) return ++dry > 200 ? throw SessionEnd() : dry % 2 ? '\r' : 'q';
  if (vbus_now_ms() < key_at) vbus_advance_ms(key_at - vbus_now_ms());
  key_at = vbus_now_ms() + KEY_GAP;
  return (unsigned char)KEYS[nkey++];
}
const PlatHooks HOOKS = {[] { return (int)(vbus_now_ms() >= key_at + (nkey < KEYS.size() ? 0 : 20000)); }, fz_getch,
                         [](int) {}, vbus_now_ms, vbus_advance_ms};

void reset_modules() {
  host_reset(), hostflsh_reset(), k3host_reset(), kovacfg_reset(), msp_reset();
  station_reset(), stnreport_reset(), utilities_reset();
}

// A fresh bus with a KOVA-3 of small flash chips (so that seeds stay small),
// claimed; when hostile, the keys and the tag's answers come from the input.
void start(bool hostile) {
  const uint8_t *from = at;
  Bytes keys = hostile ? take((size_t)byte()) : Bytes();
  KEYS.assign(keys.begin(), keys.end());
  for (char &c : KEYS) c = c == '/' || c == '\\' ? '_' : c;  // every file stays in the working directory
  nkey = dry = key_at = 0;
  reads = 0;
  reset_modules();
  vbus_reset();
  TagConfig cfg;
  cfg.chips = {{0xD3, 64, 4, 16, {5}}, {0xD3, 64, 4, 16, {7}}};
  cfg.recordings = {{0, 1, 0, 2, 1773122400, 1773122530, 1},
                    {0, 5, 0, 5, 1773122530, 1773122532, 2},
                    {0, 6, 1, 3, 1773122532, 1773123600, 1},
                    {1, 9, 1, 9, 1773212400, 1773212490, 0}};
  tag = vbus_attach(cfg);
  if (hostile && !RECORD) vbus_tag_hostile(tag, answer);
  RECORDED.assign(from, at);
  int state;
  usb_handle = claimif(device_init(&state), 1);
}
void file(const char *name, const uint8_t *d, size_t n) {
  FILE *f = fopen(name, "wb");
  if (f) fwrite(d, 1, n, f), fclose(f);
}
std::string text(const uint8_t *d, size_t n) { return std::string((const char *)d, n).c_str(); }

// A row: the name, how the run starts (0 bare, 'b' on the bus with the tag's
// own replies, 'h' hostile), the file the input is written to first ("" none),
// and what it drives.
struct Target {
  const char *name;
  char bus;
  const char *file;
  void (*run)(const uint8_t *d, size_t n);
};
// clang-format off
const Target TARGETS[] = {
  {"checkmess", 0, "", [](auto d, auto n) {
     if (n > FRAME_MAX) return;
     Bytes f(d, d + n);  // exactly the input's size, so a read past it is caught
     MessRec rec = {nullptr, -1, -1};
     int flag = checkmess(f.data(), (int)n, &rec);
     if (flag != checkmess(f.data(), (int)n, nullptr)) __builtin_trap();
     if (flag == 0 && (rec.len + FRAME_OVERHEAD != (int)n || rec.data != f.data() + FRAME_HDR)) __builtin_trap();
     if (flag == 0) dispatch(&rec); }},
  {"getmess", 'b', "", [](auto d, auto n) {
     vbus_tag_send_raw(tag, d, (int)(n < 4 * FRAME_MAX ? n : 4 * FRAME_MAX));
     MessRec rec = {nullptr, 0, 0};
     int r = getmess(&rec, TMO_REPLY);
     if (r == RX_GOOD && (rec.data != RXBUFF + FRAME_HDR || rec.len < 0 || rec.len > PAYLOAD_MAX)) __builtin_trap();
     if (r == RX_GOOD) dispatch(&rec); }},
  {"board", 'h', "", [](auto, auto) {
     uint32_t v[5];
     int32_t t;
     getboardid(v), board_soc_read(v), getboardtime(&t), boardtimeshow(); }},
  {"eeprom", 'h', "", [](auto, auto) {
     const uint32_t w[2] = {0x6000, 16};
     bunpack(getbuff(), w, 2);
     if (sendreq(REQ_EEREAD, 4) == 0) in_service(TMO_REPLY);  // the reply's handler prints it
     MessRec m;
     eepromread(0x6000, 8, &m);
     static int32_t rec[PARAM_RECLEN];
     for (int a = 0, i = 0; i < 300 && (a = readnextparam(a, rec)) != 0;) i++; }},
  {"badblocks", 'h', "", [](auto, auto) {
     chipgeom g;
     static int32_t list[BADBLK_LIST];
     for (int c = 0, nc = getnchips(); c < nc && c < 4; c++) getchiptype(c, &g), getbadblocks(c, list); }},
  {"directory", 'h', "", [](auto, auto) { if (reqdirtab() == 0) showdirtab(1); showdirtab(0); }},
  {"flashread", 'h', "", [](auto, auto) {
     flashlocn pos = {0, 3, 7, 1};
     int len;
     hfls_pageread(&pos, &len);
     const diritem range = {0, 1, 0, 0, 2, 0, 1000, 1, 0};
     hflsoffload("off.kvd", &range); }},
  {"firmware", 'h', "", [](auto, auto) { checkcode(); }},
  {"msp", 'h', "", [](auto, auto) {
     unsigned char buf[255];
     MspSensors s;
     mspread(MSPREG_TAGAPP, buf, 255), mspsensors(&s), msprxtest(); }},
  {"msphdr", 'h', "", [](auto, auto) { msp_readhdr(); }},
  {"session", 'h', "", [](auto, auto) {
     int state = releaseif(usb_handle, 1);  // host claims the tag itself
     for (int i = 0; i < 3 && vbus_present(tag) && host(device_init(&state)) == 0;) i++; }},
  // The file readers, on their own: what they accept must be what the writers can take.
  {"titxt", 0, "img.txt", [](auto, auto) {
     FILE *f = fopen("img.txt", "rb");
     MspImage img;
     if (f && msp_readimage(f, "img.txt", &img) == 0)
       for (const ImageLine &l : img.lines)
         if (l.n > MSP_LINEBYTES || l.addr + l.n > 0x10000 || l.off + std::max(l.n, 0) > (int)img.data.size())
           __builtin_trap();
     if (f) fclose(f); }},
  {"params", 0, "p.txt", [](auto, auto) {
     FILE *f = fopen("p.txt", "rt");
     ParamFile pf;
     if (f && paramfile_read(f, &pf) == PARAM_END)
       for (size_t i = 0; i < pf.recs.size(); i += 2 + (size_t)pf.recs[i + 1])
         if (pf.recs[i] > 255 || pf.recs[i + 1] > PARAM_MAXWORDS || pf.line < 1) __builtin_trap();
     if (f) fclose(f); }},
  {"badblkfile", 0, "b.txt", [](auto d, auto n) {  // the first byte also sets the chip count
     FILE *f = fopen("b.txt", "rt");
     static BadBlockFile t;
     if (f && badblkfile_read(f, "b.txt", n ? d[0] % PARAM_MAXCHIPS + 1 : 1, &t) == 0)
       for (int c = 0; c < PARAM_MAXCHIPS; c++)
         if (t.n[c] > PARAM_MAXWORDS) __builtin_trap();
     if (f) fclose(f); }},
  {"kvd", 0, "r.kvd", [](auto, auto) { KvdInfo info; kvd_check_file("r.kvd", &info); }},
  {"offrec", 0, OFFREC_FILE, [](auto, auto) {  // the record, edited by hand or cut short by a full disk
     const uint32_t id[5] = {3, 0x102, 0x4B33, 0x0A17, 1};
     const diritem d = {0, 1, 0x69AFB360, 0, 4, 0x69AFB3E2, 1024, 1, 0};
     KvdInfo info;
     offrec_saved("", id, &d), kvd_check_file("rec001.kvd", &info); }},
  {"selection", 0, "", [](auto d, auto n) {
     int count = n ? d[0] : 0;
     HFLS_dirtab = (diritem *)calloc((size_t)count + 1, sizeof(diritem));
     HFLS_nrecs = count;
     parsenums(text(d + (n > 0), n - (n > 0)).c_str(), count, 1); }},
  {"getarg", 0, "", [](auto d, auto n) { int32_t v[8]; getarg(text(d, n).c_str(), v, 8); }},
  {"scanints", 0, "", [](auto d, auto n) { int v[8]; scanints(text(d, n).c_str(), v, 8); }},
};
// clang-format on
const Target *T;

}  // namespace

// The program's reads pass here first: the hostile tag's answers replace the
// tag's replies, and a run that goes on too long loses its tag. When recording,
// a frame read is kept as its code and payload (selector 1), other bytes raw.
extern "C" int __real_usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout);
extern "C" int __wrap_usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout) {
  if (++reads > READ_CAP || vbus_now_ms() > TIME_CAP) vbus_detach(tag);
  vbus_hostile_swap();
  int r = __real_usb_bulk_read(h, ep, bytes, size, timeout);
  MessRec m;
  if (!RECORD || r <= 0) return r;
  int f = checkmess((unsigned char *)bytes, r, &m) == 0, k = f ? r - 8 : r;
  RECORDED.insert(RECORDED.end(), {(uint8_t)(2 - f), (uint8_t)(k >> 8), (uint8_t)k});
  if (f) RECORDED.insert(RECORDED.end(), bytes + 2, bytes + 4);
  RECORDED.insert(RECORDED.end(), bytes + 6 * f, bytes + r - 4 * f);
  return r;
}
// The program ending itself (an unsupported tag) ends the run.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (running) throw SessionEnd();
  __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  std::string self = *argc > 0 ? (*argv)[0] : "";
  for (const Target &t : TARGETS) T = self.substr(self.rfind('_') + 1) == t.name ? &t : T;
  // Corpus, input and artifact paths are taken as absolute before the chdir.
  static std::vector<std::string> args((size_t)*argc);
  for (int i = 1; i < *argc; i++) {
    std::string a = (*argv)[i], key = a.rfind("-artifact_prefix=", 0) == 0 ? "-artifact_prefix=" : "";
    if (a[0] == '-' && key.empty()) continue;
    args[i] = key + std::filesystem::absolute(a.substr(key.size())).string(), (*argv)[i] = &args[i][0];
  }
  static char dir[] = "/tmp/k3fuzz-XXXXXX";
  if (!T || !mkdtemp(dir) || chdir(dir) != 0) abort();
  atexit([] { rmdir(dir); });
  RECORD = getenv("K3_FUZZ_RECORD");
  plat_sethooks(&HOOKS);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  at = data, end = data + size, running = 1;
  try {
    if (T->bus) start(T->bus == 'h');
    if (*T->file) file(T->file, data, size);
    T->run(data, size);
  } catch (const SessionEnd &) {
  }
  running = 0;
  static int seeds;
  if (RECORD && size) file((RECORD + std::to_string(seeds++)).c_str(), RECORDED.data(), RECORDED.size());
  if (usb_handle) releaseif(usb_handle, 1);
  reset_modules(), vbus_tag_hostile(tag, nullptr), vbus_reset(), RECORDED.clear();
  std::error_code ec;  // the run's files go; the working directory is the scratch one
  for (const auto &e : std::filesystem::directory_iterator(".", ec)) std::filesystem::remove_all(e.path(), ec);
  return 0;
}
