// The virtual bus and the emulated tag, driven through the libusb calls with
// hand-made frames, for what the session tests cannot show: claims, the boot
// loader's restart, zero-length packets, the flash requests' limits, the
// state directory and the simulator's options.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <regex>
#include <set>

#include "harness.h"
#include "k3proto.h"
#include "sim_options.h"
#include "utilities.h"

struct Vbus : Harness {
  Vbus() { own_handles_ = true; }
  // Opens, configures and claims the tag's current device record.
  usb_dev_handle *open_tag(int tag) {
    usb_dev_handle *h = find(tag) ? usb_open(find(tag)) : nullptr;
    return h && usb_set_configuration(h, USB_CONFIG) == 0 && usb_claim_interface(h, USB_IFACE) == 0 ? h : nullptr;
  }
  // Requests (a code below 0: a zero-length packet) and the reply to the
  // last, read whole (empty when none came).
  Bytes exchange(usb_dev_handle *h, const std::vector<std::pair<int, Bytes>> &reqs) {
    Bytes f;
    for (const auto &q : reqs) {
      Bytes req = q.first < 0 ? Bytes() : make_frame(q.first, q.second);
      EXPECT_EQ(usb_bulk_write(h, EP_OUT, (const char *)req.data(), (int)req.size(), TMO_WRITE), (int)req.size());
      f.assign(FRAME_MAX, 0), f.resize(std::max(0, usb_bulk_read(h, EP_IN, (char *)f.data(), FRAME_MAX, TMO_REPLY)));
    }
    return f;
  }
};

static int code_of(const Bytes &f) { return f.size() >= 4 ? (f[2] << 8) | f[3] : -1; }
static Bytes loc(int c, int b, int p, int n) {  // a flashlocn payload
  return {(uint8_t)(c >> 8), (uint8_t)c, (uint8_t)(b >> 8), (uint8_t)b, (uint8_t)(p >> 8), (uint8_t)p, 0, (uint8_t)n};
}
static Bytes operator+(Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; }
const Bytes W = [](Bytes w) { return std::iota(w.begin(), w.end(), 1), w; }(Bytes(4096));  // a page to write
static bool all_ff(const Bytes &b) { return std::count(b.begin(), b.end(), 0xFF) == (long)b.size(); }

// One claim of an interface at a time, released only by its holder; a boot
// loader has no request endpoint, restarts when the host closes it after an
// image and comes back reenum_ms later as a new device record that answers
// (the old one freed by that search); a frame of whole packets reaches the tag
// only with its zero-length packet, and without one the next write runs on
// into the same transfer and is refused. (A held tag, the boot image and the
// device ids: the Entry and Faults tests.)
TEST_F(Vbus, ClaimsBootLoaderRestartAndZeroLengthPackets) {
  int b = attach();
  usb_dev_handle *h1 = open_tag(b), *h2 = usb_open(find(b));
  ASSERT_NE(h1, nullptr);
  ASSERT_NE(h2, nullptr);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), -EBUSY) << "the interface is claimed through h1";
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), 0);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), 0);
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), -EINVAL) << "released already";
  EXPECT_EQ(exchange(h2, {{REQ_BOARDID, Bytes(54, 0)}}), Bytes()) << "no reply before the transfer ends";
  EXPECT_EQ(code_of(exchange(h2, {{-1, {}}})), REQ_BOARDID) << "after the zero-length packet";
  EXPECT_EQ(exchange(h2, {{REQ_BOARDID, Bytes(54, 0)}, {REQ_SYNC, {}}}), make_frame(MSG_NACK, {}));
  ASSERT_EQ(frames(b).size(), 2u);
  EXPECT_EQ(frames(b)[1].size(), 74u) << "one transfer of both";
  TagConfig cfg;
  cfg.bootloader = 1, cfg.reenum_ms = 700;
  int t = attach(cfg);
  struct usb_device *boot = find(t);
  usb_dev_handle *h = open_tag(t);
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, "0123456789", 10, TMO_WRITE), -ENOENT) << "no request endpoint yet";
  EXPECT_EQ(usb_bulk_write(h, EP_BOOT, "image", 5, TMO_BOOTCHUNK), 5);
  EXPECT_EQ((usb_close(h), vbus_tag_state(t)), -1);
  EXPECT_EQ(usb_open(boot), nullptr);
  EXPECT_EQ((vbus_advance_ms(699), find(t)), nullptr);
  EXPECT_EQ(vbus_device_tag(boot), 0) << "the record freed";
  ASSERT_NE((vbus_advance_ms(1), find(t)), nullptr);
  EXPECT_EQ(find(t)->descriptor.idProduct, 0x1235);
  EXPECT_EQ(exchange(open_tag(t), {{REQ_SYNC, {}}}), make_frame(MSG_ACK, {}));
}

// What a read gives, as libusb 0.1 on Linux gives it (each point settled on
// the real library through sim/realusb): transfers of the given sizes
// queued, then reads of the given sizes (0: a whole frame's room) and what
// each returned. A read ends at a short packet, or at the zero-length packet
// a tag may send after a transfer of whole packets; without it the read runs
// on into the next transfer (across the library's 16 KiB pieces too) or
// times out and loses what it held. A transfer larger than the buffer gives
// what fits and the rest at the next read. A stalled endpoint gives 0 at
// once; a tag leaving while a read waits gives 0, then -ENODEV.
TEST_F(Vbus, ReadsAsTheLibraryDoes) {
  enum { STALL = 1, LEAVE = 2 };
  // clang-format off
  struct Row { const char *what; int zlp; std::vector<int> sent, reads, want; int event = 0; } rows[] = {
      {"short transfers, one a read", 1, {100, 10}, {0, 0, 0}, {100, 10, -ETIMEDOUT}},
      {"larger than the buffer", 1, {100}, {64, 0}, {64, 36}},
      {"whole packets, then a zero-length packet", 1, {128, 10}, {0, 0}, {128, 10}},
      {"the buffer full at the end: the zero-length packet next", 1, {128, 10}, {128, 0, 0}, {128, 0, 10}},
      {"whole packets, no zero-length packet: on into the next", 0, {128, 10}, {0}, {138}},
      {"the same across 16 KiB pieces", 0, {16384, 20000}, {0, 0}, {30730, 5654}},
      {"no zero-length packet and nothing after: lost", 0, {128}, {0, 0}, {-ETIMEDOUT, -ETIMEDOUT}},
      {"a read of the exact length needs no zero-length packet", 0, {128, 10}, {128, 0}, {128, 10}},
      {"stalled", 1, {10}, {0, 0}, {0, 0}, STALL},
      {"left while the read waited", 1, {}, {0, 0, 64}, {0, -ENODEV, -ENODEV}, LEAVE},
  };
  // clang-format on
  for (const Row &r : rows) {
    vbus_reset();
    TagConfig cfg;
    cfg.zlp = r.zlp;
    if (r.event == STALL) cfg.read_error = -EPIPE;
    if (r.event == LEAVE) cfg.leave_at_ms = 500;
    int t = attach(cfg);
    usb_dev_handle *h = open_tag(t);
    for (int n : r.sent) vbus_tag_send_raw(t, Bytes((size_t)n, 0x41).data(), n);
    std::vector<int> got;
    Bytes buf(FRAME_MAX);
    for (int n : r.reads) got.push_back(usb_bulk_read(h, EP_IN, (char *)buf.data(), n ? n : FRAME_MAX, TMO_REPLY));
    EXPECT_EQ(got, r.want) << r.what;
  }
}

// Requests on a tag that keeps its state in a directory, each with its reply
// code (pages and counts past the limits refused), and a page read back; then
// the tag attached again: clock, EEPROM (its 0xFF bytes too), board identity,
// erased blocks and the entries of the directory wholly erased (a bad block in
// the range skipped; one partly erased kept), written pages; the saved settings
// win over those of the second attach. (Whole files written, read and erased:
// the recordings tests.)
TEST_F(Vbus, FlashRequestsAndTheStateDirectory) {
  TagConfig cfg, plain;
  cfg.statedir = plain.statedir = dir() + "/state/k3";
  cfg.boardid[4] = 0xBEEF;
  cfg.recordings = {
      {0, 1, 0, 4, 1, 2, 1}, {0, 5, 0, 9, 1, 2, 1}, {0, 1020, 0, 1022, 1, 2, 1}, {0, 1023, 0, 1023, 1, 2, 1}};
  Bytes clock(8);
  long2char(clock.data(), (uint32_t)time(NULL) + 1000);
  usb_dev_handle *h = open_tag(attach(cfg));
  // clang-format off
  const struct { int code; Bytes payload; int reply; } rows[] = {
      {REQ_TIMESET, clock, MSG_ACK}, {REQ_EEWRITE, {0x60, 0x01, 0x00, 0x12, 0xFF, 0x34}, MSG_ACK},
      {REQ_FLWRITE, loc(0, 1, 3, 1) + W, MSG_ACK}, {REQ_FLERASE, loc(0, 1, 0, 6), MSG_ACK},
      {REQ_FLWRITE, loc(1, 7, 2, 1) + W, MSG_ACK}, {REQ_FLERASE, loc(0, 1020, 0, 3), MSG_ACK},
      {REQ_FLREAD, loc(0, 1, 64, 1), MSG_NACK}, {REQ_FLERASE, loc(0, 50, 0, 21), MSG_NACK},
      {REQ_FLWRITE, loc(0, 0, 64, 1) + W, MSG_NACK}};
  // clang-format on
  for (auto &r : rows) EXPECT_EQ(code_of(exchange(h, {{r.code, r.payload}})), r.reply) << std::hex << r.code;
  Bytes f = exchange(h, {{REQ_FLREAD, loc(1, 7, 2, 1)}});
  ASSERT_EQ(f.size(), 20 + W.size());
  EXPECT_EQ(Bytes(f.begin() + 16, f.end() - 4), W);
  int t = (vbus_reset(), attach(plain));
  const std::vector<SimRecording> &d = vbus_flash_dir(t);
  EXPECT_EQ(ee(t, 0x6000, 6), Bytes({0x5A, 0x00, 0x12, 0xFF, 0x34, 0x05}));
  EXPECT_NEAR(vbus_tag_config(t).clock_offset, 1000, 2);
  EXPECT_EQ(std::make_tuple(vbus_tag_config(t).boardid[4], d.size(), d[0].startblock, d[1].startblock,
                            all_ff(vbus_flash_page(t, 0, 3, 0)), all_ff(vbus_flash_page(t, 0, 7, 0)),
                            vbus_flash_page(t, 1, 7, 2) == W, vbus_flash_page(t, 0, 0, 0)[1]),
            std::make_tuple(0xBEEF, 2u, 5, 1023, true, false, true, 0xC3))
      << "the last: the firmware";
}

// On a paced link n bytes cross as ceil(n/64) packets (a zero-length packet
// is one), 19 a millisecond; a reply crosses after the tag's latency and only
// when read, and the link's time leaves out the program's own (a read of
// 10 ms that got nothing, 5 ms before the next).
// Replies from memory are the first ones, even after the page has changed.
TEST_F(Vbus, PacedLinkAndRepliesFromMemory) {
  int t = attach();
  usb_dev_handle *h = open_tag(t);
  auto cost = [](uint64_t packets) { return (packets * 1000 + 18) / 19; };
  auto xfer = [&](const Bytes &w, unsigned long ms = 0) {
    EXPECT_EQ(usb_bulk_write(h, EP_OUT, (const char *)w.data(), (int)w.size(), TMO_WRITE), (int)w.size());
    Bytes r(FRAME_MAX);
    return vbus_advance_ms(ms), r.resize(std::max(0, usb_bulk_read(h, EP_IN, (char *)r.data(), FRAME_MAX, 10))), r;
  };
  vbus_link(1, 300);
  uint64_t t0 = vbus_now_us(), t1;
  EXPECT_EQ(xfer(make_frame(REQ_FLREAD, loc(0, 1, 0, 7))).size(), 28692u);
  EXPECT_EQ((t1 = vbus_now_us()) - t0, cost(1) + 300 + cost(449));
  EXPECT_EQ(xfer(make_frame(REQ_BOARDID, Bytes(54, 0))).size(), 0u);
  EXPECT_EQ(xfer({}, 5).size(), 20u) << "ZLP, then 5 ms";
  EXPECT_EQ(std::make_pair(vbus_now_us() - t1, vbus_link_us()),
            std::make_pair(3 * cost(1) + 15000, 3 * cost(1) + 600 + cost(449) + cost(1)));
  vbus_link(0), vbus_tag_replay(t, 1);
  Bytes first = xfer(make_frame(REQ_FLREAD, loc(0, 1, 0, 1)));
  EXPECT_EQ(code_of(xfer(make_frame(REQ_FLWRITE, loc(0, 1, 0, 1) + W))), MSG_ACK);
  EXPECT_EQ(xfer(make_frame(REQ_FLREAD, loc(0, 1, 0, 1))), first);
  vbus_tag_replay(t, 0);
  Bytes now = xfer(make_frame(REQ_FLREAD, loc(0, 1, 0, 1)));
  EXPECT_EQ(Bytes(now.begin() + 16, now.end() - 4), W);
}

// The state file (in st, or under a regular file f) as found at attach,
// then two changes saved: what is said (once, whatever the changes), what
// the tag starts from (power-on values for what could not be read), what
// tag.txt holds after (a part of it), and whether the file found was set
// aside as tag.txt.bad. A damaged file is never written over unannounced.
TEST_F(Vbus, DamagedStateFileIsSaidOnceAndKeptAside) {
  const std::string D = "<dir>", NO = "<none>", ST = std::filesystem::path("st/tag.txt").make_preferred().string();
  // clang-format off
  struct Row {
    const char *statedir; std::string file, bad, said; int devtype, mv; std::string after; bool aside;
  } rows[] = {
      {"st", "battery_mv=3000\nfuture=kept\n", NO, "", 4, 3000, "future=kept\n", false},  // a later subsystem's key
      {"st", "devtype=2\nbattery_mv=oops\nmsp.mem=4000:zz\nflash.pages=1:7:2:zz\n", NO,
       "the value of battery_mv is garbled; the file is kept as " + ST + ".bad", 2, 3712, "devtype=2\n", true},
      {"st", "devtype=2\n\nnonsense\n", NO, "line 3 is not KEY=VALUE; the file is kept", 2, 3712, "devtype=2\n", true},
      {"st", D, NO, ST + ": Is a directory; the file is kept as " + ST + ".bad", 4, 3712, "devtype=4\n", true},
      {"st", "no line\n", "old\n", "line 1 is not KEY=VALUE; " + ST + ".bad already exists, so the tag's state is not",
       4, 3712, "no line\n", false},
      {"f/st", NO, NO, "k3host-sim: cannot write tag state in f/st: Not a directory;", 4, 3712, NO, false},
  };
  // clang-format on
  auto at = [&](const std::string &name) { return std::filesystem::is_directory(name) ? D : file(name); };
  file("f", "");
  for (const Row &r : rows) {
    vbus_reset(), std::filesystem::remove_all("st"), std::filesystem::create_directory("st");
    file("st/tag.txt.bad", r.bad),
        r.file == D ? (void)std::filesystem::create_directory("st/tag.txt") : file("st/tag.txt", r.file);
    TagConfig cfg;
    cfg.statedir = r.statedir;
    int t = attach(cfg);
    std::string e = (vbus_tag_save(t), vbus_tag_save(t), err());  // two changes saved
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), r.said.empty() ? 0 : 1) << r.file << e;
    EXPECT_NE(e.find(r.said), e.npos) << r.file << e;
    const TagConfig &c = vbus_tag_config(t);
    EXPECT_EQ(std::make_tuple(c.devtype, c.battery_mv, c.msp.mem[0x1000], vbus_flash_dir(t).size(),
                              vbus_flash_page(t, 1, 7, 2).size(),
                              at(r.statedir + std::string("/tag.txt")).find(r.after) != NO.npos, at("st/tag.txt.bad")),
              std::make_tuple(r.devtype, r.mv, 1, 7u, W.size(), true, r.aside ? r.file : r.bad))
        << r.file;
  }
}

// Every option parsed, then each bad option or value refused (1), some with
// a reason named. (Help, version, the default state directory and the
// warnings about it: InDir.CommandLines.)
TEST(SimOptions, EveryOptionAndEachBadOne) {
  SimOptions o;
  std::string e;
  auto parse = [&](std::vector<const char *> args) {
    return e.clear(), args.insert(args.begin(), "k3host-sim"), sim_parse((int)args.size(), args.data(), &o, &e);
  };
  // clang-format off
  ASSERT_EQ(parse({"--type", "7", "--boot", "--held", "--battery=3300", "--charging", "--clock-offset", "-3600",
      "--state", "/tmp/s", "--fault", "0x301:2:text:a:b", "--fault", "eewrite:0:delay:250", "--new-tag",
      "--message", "1500:hello: there", "--fault", "flread:0:pageerrors:4", "--full-speed", "--latency=250",
      "--vanish", "2500", "--no-zlp", "--no-access"}), 0) << e;
  // clang-format on
  ASSERT_EQ(std::make_pair(o.faults.size(), o.messages.size()), std::make_pair((size_t)3, (size_t)1));
  EXPECT_EQ(std::make_tuple(o.tag.devtype, o.set_offset, o.tag.bootloader, o.tag.held, o.tag.battery_status & 1,
                            o.tag.battery_mv, o.tag.clock_offset, o.tag.statedir, o.tag.eeprom_blank, o.faults[0].code,
                            o.faults[0].nth, o.faults[0].kind, o.faults[0].text, o.faults[1].code, o.faults[1].kind,
                            o.faults[1].arg, o.faults[2].kind, o.messages[0].ms, o.messages[0].text, o.full_speed,
                            o.latency_us, o.vanish_ms, o.tag.zlp, o.tag.no_access),
            std::make_tuple(7, true, 1, 1, 1, 3300, -3600, std::string("/tmp/s"), 1, 0x301, 2, FAULT_TEXT,
                            std::string("a:b"), 0x102, FAULT_DELAY, 250, FAULT_PAGEERRORS, 1500ul,
                            std::string("hello: there"), true, 250ul, 2500l, 0, 1));
  // One row for each way the parser refuses (reason: part of the message).
  // clang-format off
  struct { std::vector<const char *> args; const char *reason; } cases[] = {
      {{"--type", "8"}, "'8'"}, {{"--type"}, "needs a value"}, {{"--frobnicate"}, "--frobnicate"},
      {{"--clock-offset", " 4"}, ""}, {{"--battery", "3.7"}, ""}, {{"--battery", "70000"}, ""}, {{"--boot=1"}, ""},
      {{"--version=1"}, ""}, {{"--state", "/", "--no-state"}, ""}, {{"--vanish", "-1"}, "vanish"}, {{"--fault", "2:1"}, ""}, {{"--type", "-1"}, ""},
      {{"--fault", "2:1:explode"}, ""}, {{"--fault", "0x10000:1:nack"}, "request name"}, {{"--fault", "2:1:delay"}, ""},
      {{"--message", "hello"}, ""}, {{"--message", "-5:hello"}, ""}, {{"--fault", "2:x:nack"}, ""},
      {{"--fault", "flread:1:fewpages"}, "needs an argument"}, {{"--fault", "flread:1:pageerrors"}, "needs an"},
      {{"--fault", "flread:1:fewpages:0"}, "bad argument"}, {{"--latency", "5"}, "needs --full-speed"},
      {{"--full-speed", "--latency", "-1"}, "microseconds"}};
  // clang-format on
  for (const auto &c : cases) {
    EXPECT_EQ(parse(c.args), 1) << c.args[0];
    EXPECT_NE(e.find(c.reason), std::string::npos) << c.args[0] << ": " << e;
  }
}

// The man page's options (with '=' for a value), fault kinds (with the
// requests a kind is limited to, and ARG where it takes one) and requests by
// name and code are those of k3host-sim's tables, which --help prints.
TEST(SimOptions, ManPageAgreesWithTheTables) {
  std::set<std::string> table[3], man[3];
  for (int i = 0; i < SIM_NOPTIONS; i++)
    table[0].insert(SIM_OPTIONS[i].name + std::string(SIM_OPTIONS[i].value ? "=" : ""));
  auto name_of = [](int code) {
    for (int i = 0; i < SIM_NREQUESTS; i++)
      if (SIM_REQUESTS[i].code == code) return std::string(SIM_REQUESTS[i].name) + " ";
    return sim_request_code(code) + " ";
  };
  for (int i = 0; i < SIM_NFAULT_KINDS; i++) {
    const SimFaultKind &k = SIM_FAULT_KINDS[i];
    std::string scope;
    for (int code : SIM_FAULT_SCOPES[k.scope].requests) scope += name_of(code);
    table[1].insert(k.name + std::string(" [") + scope + "]" + (k.arg == ARG_NONE ? "" : " ARG"));
  }
  for (int i = 0; i < SIM_NREQUESTS; i++)
    table[2].insert(SIM_REQUESTS[i].name + (" " + sim_request_code(SIM_REQUESTS[i].code)));
  // The OPTIONS section: .TP heads at depth 0, kinds at depth 1 under the
  // requests (.RB) their paragraph names, the requests' table in .TS.
  std::ifstream in(K3_SOURCE_DIR "/man/k3host-sim.1");
  std::string line, prev, scope, kind;
  bool options = false, ts = false;
  int depth = 0;
  const std::regex opt("-{1,2}[a-z][a-z-]*"), rb("^\\.RB \\( (\\w+) \\)"), row("([a-z]+)\t(\\w+)");
  auto end_kind = [&] { kind.empty() ? void() : (void)man[1].insert(kind), kind.clear(); };
  for (; std::getline(in, line); prev = line) {
    for (size_t p; (p = line.find("\\-")) != line.npos;) line.erase(p, 1);
    if (line.rfind(".SH", 0) == 0) options = line == ".SH OPTIONS";
    if (!options) continue;
    std::smatch m;
    if (line.rfind(".TP", 0) == 0 || line == ".PD" || line == ".RE") end_kind();
    depth += line == ".RS" ? 1 : line == ".RE" ? -1 : 0;
    ts = line == ".TS" || (ts && line != ".TE");
    if (ts)
      for (auto i = std::sregex_iterator(line.begin(), line.end(), row); i != std::sregex_iterator(); ++i)
        man[2].insert((*i)[1].str() + " " + (*i)[2].str());
    else if (line == ".IP")
      scope.clear();
    else if (depth == 0 && std::regex_search(line, m, rb))
      scope += m[1].str() + " ";
    else if (depth == 0 && prev == ".TP") {
      std::string names;
      for (auto i = std::sregex_iterator(line.begin(), line.end(), opt); i != std::sregex_iterator(); ++i)
        names += (names.empty() ? "" : ", ") + i->str();
      man[0].insert(names + (line.rfind(".BI", 0) == 0 ? "=" : ""));
    } else if (depth == 1 && prev.rfind(".TP", 0) == 0 && line.rfind(".B ", 0) == 0)
      kind = line.substr(3) + " [" + scope + "]";
    else if (!kind.empty() && line == ".I ARG" && kind.find(" ARG") == kind.npos)
      kind += " ARG";
  }
  const char *what[] = {"options", "fault kinds", "requests"};
  for (int i = 0; i < 3; i++) EXPECT_EQ(man[i], table[i]) << what[i] << ": man/k3host-sim.1, then the tables";
}
