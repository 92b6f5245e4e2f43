// The virtual bus and the emulated tag, driven through the libusb calls with
// hand-made frames, for what the session tests cannot show: claims and
// vanishing, the boot loader, zero-length packets, the state directory and
// the simulator's options.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>

#include "harness.h"
#include "k3proto.h"
#include "sim_options.h"

namespace {

struct Vbus : Harness {
  // Opens, configures and claims the tag's current device record.
  usb_dev_handle *open_tag(int tag) {
    struct usb_device *d = find(tag);
    if (!d) return nullptr;
    usb_dev_handle *h = usb_open(d);
    if (!h) return nullptr;
    if (usb_set_configuration(h, USB_CONFIG) != 0 || usb_claim_interface(h, USB_IFACE) != 0) {
      usb_close(h);
      return nullptr;
    }
    return h;
  }
  // Writes a request as the program does: one write, and the zero-length
  // packet after a whole number of packets. The write's result.
  int send(usb_dev_handle *h, const std::vector<uint8_t> &f) {
    int r = usb_bulk_write(h, EP_OUT, (const char *)f.data(), (int)f.size(), TMO_WRITE);
    if (r == (int)f.size() && f.size() % USB_PACKET == 0) usb_bulk_write(h, EP_OUT, "", 0, TMO_WRITE);
    return r;
  }
  // One read of up to a whole frame; *r gets the library result.
  std::vector<uint8_t> recv(usb_dev_handle *h, int tmo, int *r) {
    std::vector<uint8_t> b(FRAME_MAX);
    *r = usb_bulk_read(h, EP_IN, (char *)b.data(), (int)b.size(), tmo);
    b.resize(*r > 0 ? (size_t)*r : 0);
    return b;
  }
  std::vector<uint8_t> exchange(usb_dev_handle *h, int code, const std::vector<uint8_t> &payload = {}) {
    int r;
    EXPECT_EQ(send(h, make_frame(code, payload)), (int)make_frame(code, payload).size());
    return recv(h, TMO_REPLY, &r);
  }
};

int code_of(const std::vector<uint8_t> &f) { return f.size() >= 4 ? (f[2] << 8) | f[3] : -1; }

// ---- Claims, vanishing, the clock ----

TEST_F(Vbus, HeldTagRefusesTheClaimAndOneClaimAtATime) {
  TagConfig held;
  held.held = 1;
  int a = attach(held);
  int b = attach();
  usb_dev_handle *h = usb_open(find(a));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(usb_set_configuration(h, USB_CONFIG), 0);
  EXPECT_EQ(usb_claim_interface(h, USB_IFACE), -EBUSY);
  EXPECT_EQ(usb_close(h), 0);

  usb_dev_handle *h1 = open_tag(b);
  ASSERT_NE(h1, nullptr);
  usb_dev_handle *h2 = usb_open(find(b));
  ASSERT_NE(h2, nullptr);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), -EBUSY) << "the interface is claimed through h1";
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), 0);
  EXPECT_EQ(usb_claim_interface(h2, USB_IFACE), 0);
  EXPECT_EQ(usb_release_interface(h1, USB_IFACE), -EINVAL) << "h1 no longer holds it";
}

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
  EXPECT_EQ(usb_open(d), nullptr) << "a stale record stays readable but does not open";
  EXPECT_EQ(d->descriptor.idProduct, 0x1235);
  EXPECT_EQ(find(t), nullptr);
  EXPECT_EQ(vbus_present(t), 0);
  EXPECT_EQ(vbus_tag_state(t), -1);
}

// ---- Boot loader ----

TEST_F(Vbus, BootImageIsRecordedAndTheTagComesBackAsANewHostDevice) {
  TagConfig cfg;
  cfg.bootloader = 1;
  cfg.reenum_ms = 700;
  int t = attach(cfg);
  struct usb_device *boot = find(t);
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(boot->descriptor.idVendor, 0x0451);
  EXPECT_EQ(boot->descriptor.idProduct, 0x9001);
  EXPECT_EQ(vbus_tag_state(t), 0);
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  std::vector<char> img(130);
  for (size_t i = 0; i < img.size(); i++) img[i] = (char)(i * 7);
  EXPECT_EQ(usb_bulk_write(h, EP_BOOT, img.data(), 64, TMO_BOOTCHUNK), 64);
  EXPECT_EQ(usb_bulk_write(h, EP_BOOT, img.data() + 64, 64, TMO_BOOTCHUNK), 64);
  EXPECT_EQ(usb_bulk_write(h, EP_BOOT, img.data() + 128, 2, TMO_BOOTCHUNK), 2);
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, img.data(), 10, TMO_WRITE), -ENOENT) << "no request endpoint yet";
  EXPECT_EQ(vbus_tag_state(t), 0) << "restarts only when the host lets go";
  EXPECT_EQ(usb_release_interface(h, USB_IFACE), 0);
  EXPECT_EQ(usb_close(h), 0);

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
  EXPECT_EQ(host->descriptor.idVendor, 0x0C55);
  EXPECT_EQ(host->descriptor.idProduct, 0x1235);
  EXPECT_EQ(boot->descriptor.idProduct, 0x9001) << "the old record is still allocated";
  EXPECT_EQ(vbus_tag_state(t), 1);
  h = open_tag(t);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(exchange(h, REQ_SYNC), make_frame(MSG_ACK, {}));
}

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
  EXPECT_TRUE(vbus_boot_chunks(t).empty());
}

// ---- Board requests ----

TEST_F(Vbus, WholePacketFrameWaitsForItsZeroLengthPacket) {
  int t = attach();
  usb_dev_handle *h = open_tag(t);
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> f = make_frame(REQ_BOARDID, std::vector<uint8_t>(54, 0));
  ASSERT_EQ(f.size(), 64u);
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, (const char *)f.data(), 64, TMO_WRITE), 64);
  int r;
  recv(h, 100, &r);
  EXPECT_EQ(r, -ETIMEDOUT) << "no reply before the transfer ends";
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, "", 0, TMO_WRITE), 0);
  EXPECT_EQ(code_of(recv(h, TMO_REPLY, &r)), REQ_BOARDID);
  EXPECT_EQ(vbus_events().back().kind, EV_READ);
  EXPECT_EQ(vbus_events()[vbus_events().size() - 2].kind, EV_ZLP);

  // Without it the next write runs on into the same transfer.
  EXPECT_EQ(usb_bulk_write(h, EP_OUT, (const char *)f.data(), 64, TMO_WRITE), 64);
  EXPECT_EQ(send(h, make_frame(REQ_SYNC, {})), 10);
  EXPECT_EQ(recv(h, TMO_REPLY, &r), make_frame(MSG_NACK, {}));
  ASSERT_EQ(frames(t).size(), 2u);
  EXPECT_EQ(frames(t)[1].size(), 74u);
}

// ---- Faults ----

// ---- State directory ----

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
  EXPECT_EQ(code_of(exchange(h, REQ_TIMESET, {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v, 0, 0, 0, 0})),
            MSG_ACK);
  {
    std::ofstream add(sd + "/tag.txt", std::ios::app);
    add << "flash_future=kept\nbattery_mv=oops\n";
  }
  vbus_reset();

  TagConfig plain;
  plain.statedir = sd;
  int u = attach(plain);
  EXPECT_EQ(vbus_tag_config(u).devtype, 2);
  EXPECT_EQ(vbus_tag_config(u).boardid[4], 0xBEEF);
  EXPECT_NEAR(vbus_tag_config(u).clock_offset, 1000, 2);
  EXPECT_EQ(vbus_tag_config(u).battery_mv, 3712) << "a value that does not parse is ignored";
  std::ifstream in(sd + "/tag.txt");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("flash_future=kept\n"), std::string::npos) << "keys of later subsystems survive";

  TagConfig mem;
  int w = attach(mem);
  EXPECT_EQ(vbus_tag_config(w).devtype, 4) << "no state directory: configuration only";
}

// ---- The harness the session tests stand on ----

// ---- Simulator options ----

SimOptions parse_ok(std::vector<const char *> args) {
  args.insert(args.begin(), "k3host-sim");
  SimOptions o;
  std::string e;
  EXPECT_EQ(sim_parse((int)args.size(), args.data(), &o, &e), 0) << e;
  return o;
}

std::string parse_bad(std::vector<const char *> args) {
  args.insert(args.begin(), "k3host-sim");
  SimOptions o;
  std::string e;
  EXPECT_EQ(sim_parse((int)args.size(), args.data(), &o, &e), 1) << args[1];
  return e;
}

// Sets an environment variable for one scope.
struct EnvVar {
  std::string name, old;
  bool had;
  EnvVar(const char *n, const char *v) : name(n) {
    const char *o = getenv(n);
    had = o != nullptr;
    if (had) old = o;
    if (v)
      setenv(n, v, 1);
    else
      unsetenv(n);
  }
  ~EnvVar() {
    if (had)
      setenv(name.c_str(), old.c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

TEST(SimOptions, DefaultsAndEveryOption) {
  EnvVar home("HOME", "/home/u");
  {
    EnvVar xdg("XDG_STATE_HOME", "/x/state");
    EXPECT_EQ(parse_ok({}).tag.statedir, "/x/state/k3host-sim");
  }
  {
    EnvVar xdg("XDG_STATE_HOME", "");
    EXPECT_EQ(parse_ok({}).tag.statedir, "/home/u/.local/state/k3host-sim");
  }
  SimOptions d = parse_ok({});
  EXPECT_EQ(d.tag.devtype, 4);
  EXPECT_EQ(d.tag.battery_mv, 3712);
  EXPECT_EQ(d.tag.bootloader, 0);
  EXPECT_FALSE(d.no_tag || d.help || d.set_offset);

  SimOptions o = parse_ok({"--type", "7", "--boot", "--held", "--battery=3300", "--charging", "--clock-offset", "-3600",
                           "--state", "/tmp/s", "--fault", "0x301:2:text:a:b", "--fault", "6:0:delay:250",
                           "--message", "1500:hello: there"});
  EXPECT_EQ(o.tag.devtype, 7);
  EXPECT_TRUE(o.set_offset);
  EXPECT_EQ(o.tag.bootloader, 1);
  EXPECT_EQ(o.tag.held, 1);
  EXPECT_EQ(o.tag.battery_mv, 3300);
  EXPECT_EQ(o.tag.battery_status & 1, 1);
  EXPECT_EQ(o.tag.clock_offset, -3600);
  EXPECT_EQ(o.tag.statedir, "/tmp/s");
  ASSERT_EQ(o.faults.size(), 2u);
  EXPECT_EQ(o.faults[0].code, 0x301);
  EXPECT_EQ(o.faults[0].nth, 2);
  EXPECT_EQ(o.faults[0].kind, FAULT_TEXT);
  EXPECT_EQ(o.faults[0].text, "a:b");
  EXPECT_EQ(o.faults[1].kind, FAULT_DELAY);
  EXPECT_EQ(o.faults[1].arg, 250);
  ASSERT_EQ(o.messages.size(), 1u);
  EXPECT_EQ(o.messages[0].ms, 1500u);
  EXPECT_EQ(o.messages[0].text, "hello: there");
  EXPECT_EQ(parse_ok({"--no-state"}).tag.statedir, "");
  EXPECT_TRUE(parse_ok({"--no-tag", "--help"}).no_tag);
}

TEST(SimOptions, BadOptionsAreRefusedWithAReason) {
  EXPECT_NE(parse_bad({"--type", "8"}).find("'8'"), std::string::npos);
  parse_bad({"--type", "-1"});
  parse_bad({"--type", " 4"});
  parse_bad({"--battery", "3.7"});
  parse_bad({"--battery", "70000"});
  parse_bad({"--clock-offset", "soon"});
  EXPECT_NE(parse_bad({"--type"}).find("needs a value"), std::string::npos);
  parse_bad({"--boot=1"});
  EXPECT_NE(parse_bad({"--frobnicate"}).find("--frobnicate"), std::string::npos);
  parse_bad({"--state", "/a", "--no-state"});
  parse_bad({"--fault", "2:1"});
  parse_bad({"--fault", "2:1:explode"});
  parse_bad({"--fault", "0x10000:1:nack"});
  parse_bad({"--fault", "2:x:nack"});
  parse_bad({"--fault", "2:1:delay"});
  parse_bad({"--fault", "2:1:error:lots"});
  parse_bad({"--message", "hello"});
  parse_bad({"--message", "-5:hello"});
}


}  // namespace
