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

// Discovery in bus order, on a fresh bus per row: the first tag that can be
// claimed wins, as a boot loader (state 0) or running host code (state 1);
// a held tag is skipped silently; nothing claimable gives state -1. Every
// tag discovery opened or claimed is left released and closed.
TEST_F(Entry, FirstClaimableDeviceInBusOrderWins) {
  struct Tag {
    int bus, held, bootloader;
  };
  struct {
    const char *what;
    std::vector<Tag> tags;
    int winner;  // index in tags, -1 none
    int state;
  } cases[] = {{"held, then a boot loader, then host code", {{1, 1, 0}, {2, 0, 1}, {3, 0, 0}}, 1, 0},
               {"host code first on one bus", {{1, 0, 0}, {1, 0, 1}}, 0, 1},
               {"only a held tag", {{1, 1, 0}}, -1, -1}};
  for (const auto &c : cases) {
    vbus_reset();
    std::vector<int> ids;
    for (const Tag &t : c.tags) {
      TagConfig cfg;
      cfg.bus = t.bus;
      cfg.held = t.held;
      cfg.bootloader = t.bootloader;
      ids.push_back(attach(cfg));
    }
    usb_init();
    int state = 7;
    struct usb_device *dev = device_init(&state);
    EXPECT_EQ(state, c.state) << c.what;
    EXPECT_EQ(dev, c.winner < 0 ? nullptr : find(ids[c.winner])) << c.what;
    EXPECT_EQ(err(), "") << c.what;
    int opened = 0, claimed = 0;
    for (const BusEvent &e : vbus_events()) {
      opened += (e.kind == EV_OPEN) - (e.kind == EV_CLOSE);
      claimed += (e.kind == EV_CLAIM && e.result == 0) - (e.kind == EV_RELEASE);
    }
    EXPECT_TRUE(opened == 0 && claimed == 0) << c.what << ": left open or claimed";
  }
}

// The retry question takes only keys typed after it, and only a lower-case
// n ends the program (status 255).
TEST_F(Entry, RetryQuestionDiscardsEarlyKeysAndLowerCaseNExits) {
  keys("ab");
  keys_at(1000, "N");
  keys_at(2000, "n");
  EXPECT_EXIT(k3host_main(), ::testing::ExitedWithCode(255),
              "^ K3 USB Host V1\\.1\t\t       [^\n]*\n\n Searching for device\\.\\.\\.\n"
              "K3 not found: try again\\? y/n\nK3 not found: try again\\? y/n\n$");
}

// boot() on a fresh boot loader per row: the image in 64-byte chunks, byte
// for byte (an empty one sends nothing), then the wait for the tag to come
// back; a tag that cannot be claimed fails before anything is sent.
TEST_F(Entry, BootImageIsSentInChunksThenTheTagIsAwaited) {
  struct {
    size_t size;
    int held, result;
    std::vector<int> chunks;
    const char *out, *shown;
    unsigned long waited;
  } cases[] = {{130, 0, 0, {64, 64, 2}, " rebooting...\n", " booting default host code...\n", WAIT_AFTER_BOOT},
               {0, 0, 0, {}, " rebooting...\n", " booting default host code...\n", WAIT_AFTER_BOOT},
               {10, 1, 1, {}, "", " booting default host code...\n USB error in claim interface: -16\n", 0}};
  for (const auto &c : cases) {
    vbus_reset();
    write_file(BOOTFILE, c.size);
    TagConfig loader;
    loader.bootloader = 1;
    int t = attach(loader);
    struct usb_device *dev = find(t);
    vbus_tag_config(t).held = c.held;
    EXPECT_EQ(boot(dev), c.result) << c.size;
    EXPECT_GE(vbus_now_ms(), c.waited) << c.size;
    EXPECT_EQ(vbus_boot_chunks(t), c.chunks) << c.size;
    size_t writes = 0;
    for (const BusEvent &e : vbus_events()) writes += e.kind == EV_WRITE || e.kind == EV_ZLP;
    EXPECT_EQ(writes, c.chunks.size()) << c.size << ": every write a chunk";
    std::vector<uint8_t> img = vbus_boot_image(t);
    ASSERT_EQ(img.size(), c.result ? 0 : c.size);
    for (size_t i = 0; i < img.size(); i++) ASSERT_EQ(img[i], (uint8_t)(i * 13 + 1)) << i;
    EXPECT_EQ(out(), c.out) << c.size;
    EXPECT_EQ(err(), c.shown) << c.size;
  }
}

// Restart (expert key x) searches again without a new banner or search line
// and opens the next session on the expert menu.
TEST_F(Entry, RestartSearchesAgainWithoutANewBanner) {
  attach();
  keys("6x");
  keys_at(100000, "q");
  EXPECT_EQ(run([] { return k3host_main(); }), 0);
  std::string e = err();
  EXPECT_EQ(count(e, "K3 USB Host V1.1"), 1u);
  EXPECT_EQ(count(e, "Searching for device"), 1u);
  EXPECT_EQ(count(e, "Connected to KOVA-3"), 2u);
  EXPECT_EQ(count(e, " 1 Get directory\n"), 1u) << "the user menu only in the first session";
  EXPECT_EQ(count(e, " 0 Board ID\t"), 2u) << "the expert menu after 6, and at the restart";
  EXPECT_EQ(mode, 1);
}

}  // namespace
