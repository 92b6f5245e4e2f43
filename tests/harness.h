// In-process session tests: the real modules on the virtual bus, against the
// emulated tag, with the keyboard scripted, the clock virtual and the console
// captured.
//
// Each test runs in a fresh empty working directory (removed afterwards) with
// the program's globals reset. Standard error and standard output go to
// files of the harness; err() and out() return what was written since the
// previous call. Death tests (EXPECT_EXIT) work inside a Harness test.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "usbapi.h"
#include "vbus.h"

// Thrown by the scripted keyboard when the program wants a key and the
// script has none left (getch), or keeps polling for one long after the last
// (kbhit), so that a session test ends instead of hanging.
struct KeysExhausted : std::exception {
  const char *what() const noexcept override { return "keys exhausted"; }
};

typedef std::vector<uint8_t> Bytes;

// How many times needle stands in hay.
size_t count(const std::string &hay, const std::string &needle);

// Bytes as lower-case hexadecimal pairs, without separators.
std::string hex(const std::vector<uint8_t> &b);

// A new, empty folder in the system's temporary folder: its path.
std::string make_tempdir(const char *prefix);
// How many descriptors are open (0 on Windows): a file left open shows as one more.
int open_files();

// Sets the TZ variable (null: removes it) and makes the runtime read it.
void set_tz(const char *tz);

// Text as a file written in text mode holds it on this system: Windows ends
// each line with CR LF.
std::string textmode(const std::string &s);

// exit(-1) as the parent sees it: all of it on Windows, its low 8 bits on
// POSIX systems.
#ifdef _WIN32
const int EXIT_MINUS_1 = -1;
#else
const int EXIT_MINUS_1 = 255;
#endif

// A well-formed frame (sync, code, length, payload, check value), as the
// emulated tag builds its replies.
std::vector<uint8_t> make_frame(int code, const std::vector<uint8_t> &payload);

// Every module's state as at program start (each module's _reset).
void reset_modules();

struct Harness : ::testing::Test {
  void SetUp() override;
  void TearDown() override;
  int files_ = -1;            // descriptors open once set up (checked at the tear-down)
  bool own_handles_ = false;  // the test opens devices itself (else none may be left open)

  // A new start within a test: an empty bus, no keys, the program's globals
  // reset and the working directory emptied.
  void fresh();

  // vbus_attach; the tag's id.
  int attach(const TagConfig &cfg = TagConfig()) { return vbus_attach(cfg); }

  // Keys available at once, and keys that become available when the bus
  // clock reaches ms. A blocking getch jumps the clock to the next key's time.
  void keys(const std::string &k);
  void keys_at(unsigned long ms, const std::string &k);

  // What the program wrote to standard error / standard output since SetUp
  // or the previous call of the same function.
  std::string err();
  std::string out();

  // Searches the bus (usb_find_busses, usb_find_devices) and returns the
  // device record of the tag in the bus list, or null when it is not there.
  struct usb_device *find(int tag);

  std::vector<std::vector<uint8_t>> frames(int tag) { return vbus_frames_received(tag); }
  // The payloads of the request frames with this code that the tag received.
  std::vector<std::vector<uint8_t>> payloads(int tag, int code);

  // Opens and claims the tag as the session does and sets usb_handle, for
  // tests that call the modules' operations directly; released in TearDown.
  void claim(int tag);
  // A fresh bus with one tag of cfg on it, claimed: its id. For a case table
  // that wants a new tag per row.
  int open(const TagConfig &cfg = TagConfig());

  // The tag's EEPROM: n bytes from addr, and bytes put at addr.
  Bytes ee(int tag, int addr, int n);
  void ee_put(int tag, int addr, const Bytes &b);

  // A file of the working directory, whole; "<none>" when it cannot be read.
  // Writing "<none>" removes it.
  static std::string file(const std::string &name);
  static void file(const std::string &name, const std::string &text);

  // vbus_fault in one line: request code at its nth occurrence (0: every).
  void fault(int tag, int code, int nth, FaultKind kind, int arg = 0, const std::string &text = "") {
    vbus_fault(tag, Fault{code, nth, kind, arg, text});
  }

  // Runs f; when the key script runs dry, adds the failure "keys exhausted"
  // and returns -99.
  int run(std::function<int()> f);

  // The test's working directory.
  const std::string &dir() const { return tmpdir_; }

 private:
  std::string tmpdir_, oldcwd_;
};
