// The virtual bus and the emulated tag, driven through the libusb calls with
// hand-made frames, for what the session tests cannot show: claims and
// vanishing, the boot loader, zero-length packets, the state directory and
// the simulator's options.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "harness.h"
#include "k3proto.h"
#include "sim_options.h"

namespace {

struct Vbus : Harness {
  // Opens, configures and claims the tag's current device record.
  usb_dev_handle *open_tag(int tag) {
    usb_dev_handle *h = find(tag) ? usb_open(find(tag)) : nullptr;
    if (h && usb_set_configuration(h, USB_CONFIG) == 0 && usb_claim_interface(h, USB_IFACE) == 0) return h;
    if (h) usb_close(h);
    return nullptr;
  }
  int write(usb_dev_handle *h, const std::vector<uint8_t> &f) {
    return usb_bulk_write(h, EP_OUT, (const char *)f.data(), (int)f.size(), TMO_WRITE);
  }
  // One read of up to a whole frame.
  std::vector<uint8_t> recv(usb_dev_handle *h) {
    std::vector<uint8_t> b(FRAME_MAX);
    b.resize(std::max(0, usb_bulk_read(h, EP_IN, (char *)b.data(), (int)b.size(), TMO_REPLY)));
    return b;
  }
  // A request of fewer than 64 bytes and its reply.
  std::vector<uint8_t> exchange(usb_dev_handle *h, int code, const std::vector<uint8_t> &payload = {}) {
    EXPECT_EQ(write(h, make_frame(code, payload)), 10 + (int)payload.size());
    return recv(h);
  }
};

int code_of(const std::vector<uint8_t> &f) { return f.size() >= 4 ? (f[2] << 8) | f[3] : -1; }

// One claim of a tag's interface at a time, and only its holder releases
// it. (A tag held by another program: the session and boot-upload tests.)
TEST_F(Vbus, OneClaimAtATime) {
  int b = attach();
  usb_dev_handle *h1 = open_tag(b), *h2 = usb_open(find(b));
  ASSERT_TRUE(h1 && h2);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), -EBUSY) << "the interface is claimed through h1";
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), 0);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), 0);
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), -EINVAL) << "h1 no longer holds it";
}

// A detached tag gives -ENODEV on its open handle, and its record no longer
// opens or is found.
TEST_F(Vbus, DetachedTagGivesEnodevAndCannotBeOpened) {
  int t = attach();
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  struct usb_device *d = usb_device(h);
  vbus_detach(t);
  char buf[64];
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, buf, 10, TMO_WRITE), -ENODEV);
  EXPECT_EQ(usb_bulk_read(h, EP_IN, buf, sizeof buf, TMO_REPLY), -ENODEV);
  EXPECT_EQ(usb_claim_interface(h, USB_IFACE), -ENODEV);
  EXPECT_EQ(usb_release_interface(h, USB_IFACE), -ENODEV);
  EXPECT_EQ(usb_close(h), 0);
  EXPECT_EQ(usb_open(d), nullptr) << "a stale record does not open";
  EXPECT_EQ(find(t), nullptr);
}

// A boot loader records the image, restarts when released and comes back
// after reenum_ms as a new host-code device that answers requests.
TEST_F(Vbus, BootImageIsRecordedAndTheTagComesBackAsANewHostDevice) {
  TagConfig cfg;
  cfg.bootloader = 1;
  cfg.reenum_ms = 700;
  int t = attach(cfg);
  struct usb_device *boot = find(t);
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(std::make_tuple(+boot->descriptor.idVendor, +boot->descriptor.idProduct), std::make_tuple(0x0451, 0x9001));
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  std::vector<char> img(130);
  for (size_t i = 0; i < img.size(); i++) img[i] = (char)(i * 7);
  for (int at : {0, 64, 128})
    EXPECT_EQ(usb_bulk_write(h, EP_BOOT, img.data() + at, at < 128 ? 64 : 2, TMO_BOOTCHUNK), at < 128 ? 64 : 2);
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, img.data(), 10, TMO_WRITE), -ENOENT) << "no request endpoint yet";
  EXPECT_EQ(vbus_tag_state(t), 0) << "restarts only when the host lets go";
  usb_release_interface(h, USB_IFACE);
  usb_close(h);
  EXPECT_EQ(vbus_boot_chunks(t), (std::vector<int>{64, 64, 2}));
  EXPECT_EQ(vbus_boot_image(t), std::vector<uint8_t>(img.begin(), img.end()));
  EXPECT_EQ(vbus_tag_state(t), -1);
  EXPECT_EQ(usb_open(boot), nullptr);
  vbus_advance_ms(699);
  EXPECT_EQ(find(t), nullptr);
  vbus_advance_ms(1);
  struct usb_device *host = find(t);
  ASSERT_NE(host, nullptr);
  EXPECT_NE(host, boot);
  EXPECT_EQ(std::make_tuple(+host->descriptor.idVendor, +host->descriptor.idProduct), std::make_tuple(0x0C55, 0x1235));
  EXPECT_EQ(boot->descriptor.idProduct, 0x9001) << "the old record is still allocated";
  EXPECT_EQ(vbus_tag_state(t), 1);
  h = open_tag(t);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(exchange(h, REQ_SYNC), make_frame(MSG_ACK, {}));
}

// Released without an image, a boot loader stays one.
TEST_F(Vbus, ABootLoaderThatGotNothingStaysABootLoader) {
  TagConfig cfg;
  cfg.bootloader = 1;
  int t = attach(cfg);
  struct usb_device *d = find(t);
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  usb_release_interface(h, USB_IFACE);
  usb_close(h);
  vbus_advance_ms(60000);
  EXPECT_EQ(vbus_tag_state(t), 0);
  EXPECT_EQ(find(t), d);
}

// A frame of whole packets reaches the tag with its zero-length packet;
// without one the next write runs into the same transfer and is refused.
TEST_F(Vbus, WholePacketFrameWaitsForItsZeroLengthPacket) {
  int t = attach();
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> f = make_frame(REQ_BOARDID, std::vector<uint8_t>(54, 0));
  ASSERT_EQ(write(h, f), 64);
  char b[64];
  EXPECT_EQ(usb_bulk_read(h, EP_IN, b, 64, 100), -ETIMEDOUT) << "no reply before the transfer ends";
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, "", 0, TMO_WRITE), 0);
  EXPECT_EQ(code_of(recv(h)), REQ_BOARDID);

  // Without it the next write runs on into the same transfer.
  EXPECT_EQ(write(h, f), 64);
  EXPECT_EQ(exchange(h, REQ_SYNC), make_frame(MSG_NACK, {}));
  ASSERT_EQ(frames(t).size(), 2u);
  EXPECT_EQ(frames(t)[1].size(), 74u);
}

// The state directory keeps EEPROM, settings and clock between attaches,
// skips values that do not parse and keeps keys it does not know.
TEST_F(Vbus, StateDirectoryKeepsTheTagBetweenAttaches) {
  std::string sd = dir() + "/state/k3";
  TagConfig cfg;
  cfg.statedir = sd;
  cfg.devtype = 2;
  cfg.boardid[4] = 0xBEEF;
  int t = attach(cfg);
  ASSERT_TRUE(std::filesystem::exists(sd + "/tag.txt")) << "written at attach";
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  uint32_t v = (uint32_t)time(NULL) + 1000;
  std::vector<uint8_t> set = {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v, 0, 0, 0, 0};
  EXPECT_EQ(code_of(exchange(h, REQ_TIMESET, set)), MSG_ACK);
  EXPECT_EQ(code_of(exchange(h, REQ_EEWRITE, {0x60, 0x01, 0x00, 0x12, 0xFF, 0x34})), MSG_ACK);
  std::ofstream(sd + "/tag.txt", std::ios::app) << "flash_future=kept\nbattery_mv=oops\nmsp.mem=4000:zz\n";
  vbus_reset();

  TagConfig plain;
  plain.statedir = sd;
  int t2 = attach(plain);
  EXPECT_EQ(ee(t2, 0x6000, 6), Bytes({0x5A, 0x00, 0x12, 0xFF, 0x34, 0x05})) << "the EEPROM, 0xFF bytes and all";
  const TagConfig &u = vbus_tag_config(t2);
  EXPECT_EQ(u.devtype, 2);
  EXPECT_EQ(u.boardid[4], 0xBEEF);
  EXPECT_NEAR(u.clock_offset, 1000, 2);
  EXPECT_EQ(u.battery_mv * 1000 + u.msp.mem[0x1000], 3712001) << "a value that does not parse is ignored";
  std::ifstream in(sd + "/tag.txt");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("flash_future=kept\n"), std::string::npos) << "keys of later subsystems survive";
  EXPECT_EQ(vbus_tag_config(attach(TagConfig())).devtype, 4) << "no state directory: configuration only";
}

Bytes loc(int c, int b, int p, int n) {  // a flashlocn payload
  return {(uint8_t)(c >> 8), (uint8_t)c, (uint8_t)(b >> 8), (uint8_t)b, (uint8_t)(p >> 8), (uint8_t)p, 0, (uint8_t)n};
}
Bytes operator+(Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; }
const Bytes W = [] {  // a page to write
  Bytes w(4096);
  for (size_t i = 0; i < w.size(); i++) w[i] = (uint8_t)(i * 7 + 1);
  return w;
}();
bool all_ff(const Bytes &b) { return std::count(b.begin(), b.end(), 0xFF) == (long)b.size(); }

// The flash requests with hand-made frames, one fresh default tag (two chips of 64 pages of 4096 bytes) per row;
// the reply to the row's last request (which gets the row's fault) is checked.
TEST_F(Vbus, FlashRequestsAnswerFromTheTagsFlash) {
  const int P = 4096, NO = FAULT_DELAY;  // a delay of 0: no fault
  struct Row {
    const char *what;
    std::vector<std::pair<int, Bytes>> reqs;
    int code, len;  // of the last reply; len -1: any
    Bytes head;     // its payload starts so
    int kind = NO, arg = 0;
    void (*cfg)(TagConfig &) = nullptr;
    std::function<bool(int, const Bytes &)> ok = nullptr;  // more about the tag and the payload
  } rows[] = {
      // clang-format off
      {"erased, written page and all", {{REQ_FLWRITE, loc(0, 1, 3, 1) + W}, {REQ_FLERASE, loc(0, 1, 0, 2)},
       {REQ_FLREAD, loc(0, 1, 3, 1)}}, REQ_FLREAD, 10 + P, {}, NO, 0, nullptr, [](int t, const Bytes &r) {
         return all_ff(Bytes(r.begin() + 10, r.end())) && vbus_flash_dir(t).size() == 7 &&
                !all_ff(vbus_flash_page(t, 0, 3, 0));
       }},
      {"entry erased whole, bad-block entry kept", {{REQ_FLERASE, loc(0, 1, 0, 5)}}, MSG_ACK, 0, {}, NO, 0, nullptr,
       [](int t, const Bytes &) { return vbus_flash_dir(t).size() == 6 && vbus_flash_dir(t)[0].type == 2; }},
      {"erased but its bad block", {{REQ_FLERASE, loc(0, 1020, 0, 3)}}, MSG_ACK, 0, {}, NO, 0,
       [](TagConfig &c) { c.recordings = {{0, 1020, 0, 1022, 1, 2, 1}, {0, 1023, 0, 1023, 1, 2, 1}}; },
       [](int t, const Bytes &) { return vbus_flash_dir(t).size() == 1 && vbus_flash_dir(t)[0].startblock == 1023; }},
      {"read: page 64", {{REQ_FLREAD, loc(0, 1, 64, 1)}}, MSG_NACK, 0, {}},
      {"erase: count 21", {{REQ_FLERASE, loc(0, 50, 0, 21)}}, MSG_NACK, 0, {}},
      // clang-format on
  };
  for (const Row &r : rows) {
    vbus_reset();
    TagConfig cfg;
    if (r.cfg) r.cfg(cfg);
    int t = attach(cfg);
    usb_dev_handle *h = open_tag(t);
    fault(t, r.reqs.back().first, 0, (FaultKind)r.kind, r.arg);
    Bytes f;
    for (const auto &q : r.reqs) f = exchange(h, q.first, q.second);
    Bytes p = f.size() >= 10 ? Bytes(f.begin() + 6, f.end() - 4) : Bytes();
    EXPECT_EQ(code_of(f), r.code) << r.what;
    if (r.len >= 0) {
      EXPECT_EQ((int)p.size(), r.len) << r.what;
    }
    EXPECT_EQ(Bytes(p.begin(), p.begin() + std::min(p.size(), r.head.size())), r.head) << r.what;
    if (r.ok) {
      EXPECT_TRUE(r.ok(t, p)) << r.what;
    }
  }
}

// Erases, writes and the directory stay with the state directory; a value
// that does not read back leaves the power-on contents for its key, and a
// state file from before the flash was kept loads as a new tag's flash.
TEST_F(Vbus, FlashStaysInTheStateDirectory) {
  std::string sd = dir() + "/state";
  TagConfig cfg;
  cfg.statedir = sd;
  usb_dev_handle *h = open_tag(attach(cfg));
  EXPECT_EQ(code_of(exchange(h, REQ_FLERASE, loc(0, 1, 0, 4))), MSG_ACK);
  EXPECT_EQ(code_of(exchange(h, REQ_FLWRITE, loc(1, 7, 2, 1) + W)), MSG_ACK);
  for (int round = 0; round < 3; round++) {
    vbus_reset();
    if (round == 1) std::ofstream(sd + "/tag.txt", std::ios::app) << "flash.pages=1:7:2:zz\n";
    if (round == 2) std::ofstream(sd + "/tag.txt") << "clock_offset=5\n";
    int t = attach(cfg);
    EXPECT_EQ(vbus_flash_dir(t).size(), round < 2 ? 6u : 7u) << round;
    EXPECT_EQ(all_ff(vbus_flash_page(t, 0, 2, 0)), round < 2) << round;
    EXPECT_EQ(vbus_flash_page(t, 1, 7, 2) == W, round == 0) << round;
    EXPECT_EQ(vbus_flash_page(t, 0, 0, 0)[1], 0xC3) << round << ": the firmware";
  }
}

// sim_parse over the arguments after the program name; its result.
int parse(std::vector<const char *> args, SimOptions *o, std::string *e) {
  args.insert(args.begin(), "k3host-sim");
  return sim_parse((int)args.size(), args.data(), o, e);
}

SimOptions parse_ok(std::vector<const char *> args) {
  SimOptions o;
  std::string e;
  EXPECT_EQ(parse(args, &o, &e), 0) << e;
  return o;
}

// The simulator's defaults (state under XDG_STATE_HOME or HOME) and every
// option parsed.
TEST(SimOptions, DefaultsAndEveryOption) {
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", "/home/u", 1);
  setenv("XDG_STATE_HOME", "/x/state", 1);
  EXPECT_EQ(parse_ok({}).tag.statedir, "/x/state/k3host-sim");
  setenv("XDG_STATE_HOME", "", 1);  // empty counts as unset
  SimOptions d = parse_ok({});
  setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(d.tag.statedir, "/home/u/.local/state/k3host-sim");
  EXPECT_EQ(std::make_tuple(d.tag.devtype, d.tag.battery_mv, d.tag.bootloader, d.no_tag, d.help, d.set_offset),
            std::make_tuple(4, 3712, 0, false, false, false));

  SimOptions o = parse_ok({"--type", "7", "--boot", "--held", "--battery=3300", "--charging", "--clock-offset", "-3600",
                           "--state", "/tmp/s", "--fault", "0x301:2:text:a:b", "--fault", "eewrite:0:delay:250", "--new-tag",
                           "--message", "1500:hello: there"});
  EXPECT_EQ(std::make_tuple(o.tag.devtype, o.set_offset, o.tag.bootloader, o.tag.held, o.tag.battery_status & 1,
                            o.tag.battery_mv, o.tag.clock_offset, o.tag.statedir),
            std::make_tuple(7, true, 1, 1, 1, 3300, -3600, std::string("/tmp/s")));
  ASSERT_EQ(o.faults.size(), 2u);
  EXPECT_EQ(std::make_tuple(o.faults[0].code, o.faults[0].nth, o.faults[0].kind, o.faults[0].text),
            std::make_tuple(0x301, 2, FAULT_TEXT, std::string("a:b")));
  EXPECT_EQ(std::make_tuple(o.faults[1].code, o.faults[1].kind, o.faults[1].arg), std::make_tuple(0x102, FAULT_DELAY, 250));
  EXPECT_EQ(o.tag.eeprom_blank, 1);
  ASSERT_EQ(o.messages.size(), 1u);
  EXPECT_EQ(std::make_pair(o.messages[0].ms, o.messages[0].text), std::make_pair(1500ul, std::string("hello: there")));
  EXPECT_EQ(parse_ok({"--fault", "flread:0:pageerrors:4"}).faults.at(0).kind, FAULT_PAGEERRORS);
  EXPECT_EQ(parse_ok({"--no-state"}).tag.statedir, "");
  EXPECT_TRUE(parse_ok({"--no-tag", "--help"}).no_tag);
}

// Each bad option or value is refused, some with a reason named.
TEST(SimOptions, BadOptionsAreRefusedWithAReason) {
  struct { std::vector<const char *> args; const char *reason; } cases[] = {  // reason: part of the message
      {{"--type", "8"}, "'8'"}, {{"--type"}, "needs a value"}, {{"--frobnicate"}, "--frobnicate"},
      {{"--type", "-1"}, nullptr}, {{"--type", " 4"}, nullptr}, {{"--battery", "3.7"}, nullptr},
      {{"--battery", "70000"}, nullptr}, {{"--clock-offset", "soon"}, nullptr}, {{"--boot=1"}, nullptr},
      {{"--state", "/a", "--no-state"}, nullptr}, {{"--fault", "2:1"}, nullptr}, {{"--fault", "2:1:explode"}, nullptr}, {{"--fault", "eeprom:1:nack"}, "request name"},
      {{"--fault", "0x10000:1:nack"}, nullptr}, {{"--fault", "2:x:nack"}, nullptr}, {{"--fault", "2:1:delay"}, nullptr},
      {{"--fault", "2:1:error:lots"}, nullptr}, {{"--message", "hello"}, nullptr}, {{"--message", "-5:hello"}, nullptr},
      {{"--fault", "flread:1:fewpages"}, "needs an argument"}, {{"--fault", "flread:1:pageerrors"}, "needs an argument"},
      {{"--fault", "flread:1:fewpages:0"}, "bad argument"},
  };
  for (const auto &c : cases) {
    SimOptions o;
    std::string e;
    EXPECT_EQ(parse(c.args, &o, &e), 1) << c.args[0] << (c.args.size() > 1 ? c.args[1] : "");
    if (c.reason) {
      EXPECT_NE(e.find(c.reason), std::string::npos) << e;
    }
  }
}

}  // namespace
