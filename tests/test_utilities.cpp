// Shared helpers: word packers, 32-bit conversion, hexadecimal text, time
// text, and the line readers driven by scripted keys.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "platform.h"
#include "utilities.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using namespace std::string_literals;

// The 16-bit packers in both byte orders, the pointers they return, nothing
// done for no words; the 32-bit conversion keeps the top bit.
TEST(Packers, ByteOrdersAndReturnedPointers) {
  const unsigned char in[2] = {0x55, 0xAA};
  uint32_t w = 0xDEADBEEF;
  EXPECT_EQ(bpack(&w, in, 1), in + 2);
  EXPECT_EQ(w, 0x55AAu);
  EXPECT_EQ(brpack(&w, in, 1), in + 2);
  EXPECT_EQ(w, 0xAA55u);

  const uint32_t words[2] = {0xFFFF1234, 0x00ABCDEF};  // only the low 16 bits count
  unsigned char out[5] = {0, 0, 0, 0, 0x77};
  EXPECT_EQ(bunpack(out, words, 2), out + 4);
  EXPECT_EQ(memcmp(out, "\x12\x34\xCD\xEF\x77", 5), 0);  // nothing past the last word
  EXPECT_EQ(brunpack(out, words, 2), out + 4);
  EXPECT_EQ(memcmp(out, "\x34\x12\xEF\xCD\x77", 5), 0);

  // Nothing to convert: the pointer passed comes back, nothing is touched.
  EXPECT_EQ(bpack(&w, in, 0), in);
  EXPECT_EQ(brpack(&w, in, -3), in);
  EXPECT_EQ(bunpack(out, words, 0), out);
  EXPECT_EQ(brunpack(out, words, -1), out);
  EXPECT_TRUE(w == 0xAA55u && out[0] == 0x34) << "changed with nothing to convert";

  unsigned char b[4];
  long2char(b, 0xFEDCBA98);
  EXPECT_EQ(memcmp(b, "\xFE\xDC\xBA\x98", 4), 0);
  EXPECT_EQ(char2long(b), 0xFEDCBA98u);  // the top bit survives
}

// Hex text to bytes: pairs in either case, an odd last digit as a high half,
// empty text touching nothing.
TEST(Str2hex, PairsOddLengthEmptyAndCase) {
  unsigned char out[4] = {0x99, 0x99, 0x99, 0x99};
  EXPECT_EQ(str2hex(out, "1A2"), 2);
  EXPECT_EQ(memcmp(out, "\x1A\x20\x99", 3), 0);  // the odd digit is the high half
  EXPECT_EQ(str2hex(out, "abcDEF"), 3);
  EXPECT_EQ(memcmp(out, "\xAB\xCD\xEF", 3), 0);
  EXPECT_EQ(str2hex(out, ""), 0);
  EXPECT_EQ(out[0], 0xAB);
}

// Typed numbers as "%d %d" reads them, but a number too large for an int
// ends the scan instead of wrapping round.
TEST(TypedNumbers, ScanLikeScanfWithoutWrapping) {
  struct {
    const char *text;
    int got, first;
  } cases[] = {{"24576 2", 2, 24576}, {" -5 x", 1, -5}, {"+7,8", 1, 7}, {"3 x", 1, 3}, {"x 3", 0, 0},
               {"", 0, 0},            {"12abc", 1, 12}, {"2147483647 -2147483648", 2, 2147483647},
               {"4294967297 1", 0, 0}, {"1 99999999999999999999", 1, 1}};
  for (const auto &c : cases) {
    int v[2] = {0, 0};
    EXPECT_EQ(scanints(c.text, v, 2), c.got) << c.text;
    EXPECT_EQ(v[0], c.first) << c.text;
  }
}

// Time text in UTC with an unpadded day; a negative time is a bad time code
// and leaves the buffer alone.
TEST(TimeText, EpochUnpaddedDayAndBadTime) {
  struct { int32_t t; const char *want; } cases[] = {
      {0, "00:00:00 1-Jan-1970 UTC"}, {1315555503, "08:05:03 9-Sep-2011 UTC"}, {INT32_MAX, "03:14:07 19-Jan-2038 UTC"}};
  for (const auto &c : cases) {
    EXPECT_EQ(long2timestr(&c.t), TSTR);
    EXPECT_STREQ(TSTR, c.want);
  }
  for (int32_t bad : {-1, INT32_MIN}) {
    EXPECT_STREQ(long2timestr(&bad), "-- bad time code --");
    EXPECT_STREQ(TSTR, cases[2].want) << "a bad time leaves the buffer alone";
  }
}

namespace {

std::deque<int> keys;  // what the "keyboard" will give
int keys_overrun;      // getch calls after the script ran out

int script_getch(void) {
  if (keys.empty()) {
    keys_overrun++;
    return '\r';  // end the line so a faulty reader cannot hang the test
  }
  int c = keys.front();
  keys.pop_front();
  return c;
}

class LineInput : public testing::Test {
 protected:
  void SetUp() override {
    keys.clear();
    keys_overrun = 0;
    PlatHooks h = {};
    h.getch = script_getch;
    plat_sethooks(&h);
  }
  void TearDown() override {
    plat_sethooks(nullptr);
    EXPECT_EQ(keys_overrun, 0) << "the reader asked for more keys than typed";
  }
  // Runs getl over the keys and returns what it showed on the console.
  std::string type(const std::u32string &k, char *buf, int len = 80) {
    keys.assign(k.begin(), k.end());
    CaptureStderr();
    EXPECT_EQ(getl(buf, len), 0);
    return GetCapturedStderr();
  }
};

}  // namespace

// getl over one line per row: what it shows, what it keeps (never more than
// the limit, with its zero, and nothing written past it), and the keys it
// leaves unread (at the limit it returns without Enter; after a line feed
// the next key is the menu's).
TEST_F(LineInput, EditingLimitAndEndOfLine) {
  struct {
    std::u32string keys;
    std::string shown, kept;
    size_t left;
  } cases[] = {
      {U"\ba\r", "a", "a", 0},  // nothing held: the backspace shows nothing
      {U"ab\bc\r", "ab\b \bc", "ac", 0}, {U"a\b\b\r", "a\b \b", "", 0}, {U"\r", "", "", 0},
      {U"\x01\t\xe9\r", "\x01\t\xe9", "\x01\t\xe9", 0},  // other codes are kept
      {U"\x100" U"a\x1b\x7f\0b\x100\r"s, "ab", "ab", 0},  // Escape, DEL, NUL, special keys: unseen
      {U"ok\nz", "ok", "ok", 1}, {std::u32string(85, U'x'), std::string(80, 'x'), std::string(80, 'x'), 5}};
  char buf[100];
  for (const auto &c : cases) {
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(type(c.keys, buf), c.shown) << "kept " << c.kept;
    EXPECT_EQ(std::string(buf), c.kept);
    EXPECT_EQ(buf[81], '#') << "written past len + 1 bytes";
    EXPECT_EQ(keys.size(), c.left) << "kept " << c.kept;
  }
  keys.clear();
}

// getfname prompts, reads the name and gives 1 for a file that cannot be
// opened, without creating it.
TEST_F(LineInput, FilenameOfMissingAndExistingFiles) {
  char dir[] = "/tmp/k3util-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string missing = std::string(dir) + "/nosuch", present = std::string(dir) + "/here";
  fclose(fopen(present.c_str(), "wb"));
  char buf[81];
  for (const std::string &name : {missing, present}) {
    keys.assign(name.begin(), name.end());
    keys.push_back('\r');
    CaptureStderr();
    EXPECT_EQ(getfname(buf, 80, "rb"), name == missing ? 1 : 0);
    EXPECT_EQ(GetCapturedStderr(), " Filename?\t\t\t" + name + "\n");
    EXPECT_EQ(std::string(buf), name);
  }
  EXPECT_NE(access(missing.c_str(), F_OK), 0);  // not created by the look
  unlink(present.c_str());
  rmdir(dir);
}
