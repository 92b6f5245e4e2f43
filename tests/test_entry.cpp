// The program's outer loop: discovery in bus order, the retry question, the
// boot-image upload and re-enumeration, and restart.
#include <stdio.h>

#include <fstream>

#include "boot.h"
#include "harness.h"
#include "host.h"
#include "k3host.h"

namespace {

void write_file(const char *name, size_t n) {
  std::ofstream f(name, std::ios::binary);
  for (size_t i = 0; i < n; i++) f.put((char)(i * 13 + 1));
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

struct Entry : Harness {};

TEST_F(Entry, FirstClaimableDeviceInBusOrderWins) {
  TagConfig held;
  held.held = 1;
  held.bus = 1;
  attach(held);
  TagConfig loader;
  loader.bootloader = 1;
  loader.bus = 2;
  int l = attach(loader);
  TagConfig hosted;
  hosted.bus = 3;
  attach(hosted);
  usb_init();
  int state = 7;
  struct usb_device *dev = device_init(&state);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(dev, find(l));
  EXPECT_EQ(err(), "") << "the held tag is skipped silently";
}

TEST_F(Entry, HostStateTagFirstOnTheBus) {
  TagConfig hosted;
  hosted.bus = 1;
  int h = attach(hosted);
  TagConfig loader;
  loader.bootloader = 1;
  loader.bus = 1;
  attach(loader);
  usb_init();
  int state = 7;
  EXPECT_EQ(device_init(&state), find(h));
  EXPECT_EQ(state, 1);
  // Discovery leaves the tag released and closed.
  int claims = 0, releases = 0, opens = 0, closes = 0;
  for (const BusEvent &e : vbus_events()) {
    claims += e.kind == EV_CLAIM;
    releases += e.kind == EV_RELEASE;
    opens += e.kind == EV_OPEN;
    closes += e.kind == EV_CLOSE;
  }
  EXPECT_EQ(claims, releases);
  EXPECT_EQ(opens, closes);
}

TEST_F(Entry, NothingClaimableGivesStateMinusOne) {
  TagConfig held;
  held.held = 1;
  attach(held);
  usb_init();
  int state = 7;
  EXPECT_EQ(device_init(&state), nullptr);
  EXPECT_EQ(state, -1);
}

TEST_F(Entry, RetryQuestionDiscardsEarlyKeysAndLowerCaseNExits) {
  keys("ab");
  keys_at(1000, "N");
  keys_at(2000, "n");
  EXPECT_EXIT(k3host_main(), ::testing::ExitedWithCode(255),
              "^ K3 USB Host V1\\.1\t\t       [^\n]*\n\n Searching for device\\.\\.\\.\n"
              "K3 not found: try again\\? y/n\nK3 not found: try again\\? y/n\n$");
}

TEST_F(Entry, BootImageIsSentInChunksAndTheTagComesBackForASession) {
  write_file(BOOTFILE, 130);
  TagConfig loader;
  loader.bootloader = 1;
  int t = attach(loader);
  keys("q");
  EXPECT_EQ(run([] { return k3host_main(); }), 0);
  EXPECT_EQ(vbus_boot_chunks(t), (std::vector<int>{64, 64, 2}));
  std::vector<uint8_t> img = vbus_boot_image(t);
  ASSERT_EQ(img.size(), 130u);
  for (size_t i = 0; i < img.size(); i++) ASSERT_EQ(img[i], (uint8_t)(i * 13 + 1));
  EXPECT_EQ(out(), " rebooting...\n");
  std::string e = err();
  EXPECT_NE(e.find("\n Searching for device...\n booting default host code...\n"), std::string::npos);
  EXPECT_NE(e.find("Connected to KOVA-3"), std::string::npos);
  EXPECT_GE(vbus_now_ms(), (unsigned long)WAIT_AFTER_BOOT);
}

TEST_F(Entry, EmptyBootImageSendsNothingAndStillWaits) {
  write_file(BOOTFILE, 0);
  TagConfig loader;
  loader.bootloader = 1;
  int t = attach(loader);
  struct usb_device *dev = find(t);
  unsigned long t0 = vbus_now_ms();
  EXPECT_EQ(boot(dev), 0);
  EXPECT_GE(vbus_now_ms() - t0, (unsigned long)WAIT_AFTER_BOOT);
  EXPECT_TRUE(vbus_boot_chunks(t).empty());
  for (const BusEvent &e : vbus_events()) EXPECT_FALSE(e.kind == EV_WRITE || e.kind == EV_ZLP);
  EXPECT_EQ(out(), " rebooting...\n");
  EXPECT_EQ(err(), " booting default host code...\n");
}

TEST_F(Entry, MissingBootImageEndsTheProgram) {
  TagConfig loader;
  loader.bootloader = 1;
  attach(loader);
  EXPECT_EQ(run([] { return k3host_main(); }), 0);
  std::string e = err();
  EXPECT_NE(e.find(" booting default host code...\n Error: cannot open file _boot.bin\n"), std::string::npos);
  EXPECT_EQ(out(), "");
}

TEST_F(Entry, BootUploadThatCannotClaimFails) {
  write_file(BOOTFILE, 10);
  TagConfig loader;
  loader.bootloader = 1;
  int t = attach(loader);
  struct usb_device *dev = find(t);
  vbus_tag_config(t).held = 1;
  EXPECT_EQ(boot(dev), 1);
  EXPECT_EQ(err(), " booting default host code...\n USB error in claim interface: -16\n");
  EXPECT_EQ(out(), "");
}

TEST_F(Entry, RestartSearchesAgainWithoutANewBanner) {
  attach();
  keys("6x");
  keys_at(100000, "q");
  EXPECT_EQ(run([] { return k3host_main(); }), 0);
  std::string e = err();
  EXPECT_EQ(count(e, "K3 USB Host V1.1"), 1u);
  EXPECT_EQ(count(e, "Searching for device"), 1u);
  EXPECT_EQ(count(e, "Connected to KOVA-3"), 2u);
  EXPECT_EQ(mode, 1);
}

TEST_F(Entry, WaitforMeasuresElapsedTime) {
  unsigned long t0 = vbus_now_ms();
  EXPECT_EQ(waitfor(1234), 0);
  EXPECT_GE(vbus_now_ms() - t0, 1234u);
  EXPECT_LT(vbus_now_ms() - t0, 1234u + 20);
}

}  // namespace
