// Shared helpers: word packers, 32-bit conversion, hexadecimal text, time
// text, and the line readers driven by scripted keys.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "platform.h"
#include "utilities.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// ---- Packers ----

TEST(Packers, ByteOrders) {
  const unsigned char in[2] = {0x55, 0xAA};
  uint32_t w = 0xDEADBEEF;
  EXPECT_EQ(bpack(&w, in, 1), in + 2);
  EXPECT_EQ(w, 0x55AAu);
  EXPECT_EQ(brpack(&w, in, 1), in + 2);
  EXPECT_EQ(w, 0xAA55u);
}

TEST(Packers, UnpackUsesOnlyTheLow16Bits) {
  const uint32_t in[2] = {0xFFFF1234, 0x00ABCDEF};
  unsigned char out[5] = {0, 0, 0, 0, 0x77};
  EXPECT_EQ(bunpack(out, in, 2), out + 4);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x34);
  EXPECT_EQ(out[2], 0xCD);
  EXPECT_EQ(out[3], 0xEF);
  EXPECT_EQ(out[4], 0x77);  // nothing past the last word
  EXPECT_EQ(brunpack(out, in, 2), out + 4);
  EXPECT_EQ(out[0], 0x34);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[2], 0xEF);
  EXPECT_EQ(out[3], 0xCD);
}

TEST(Packers, NothingConvertedReturnsThePointerPassed) {
  unsigned char b[2] = {1, 2};
  uint32_t w[1] = {0x1234};
  EXPECT_EQ(bpack(w, b, 0), b);
  EXPECT_EQ(brpack(w, b, -3), b);
  EXPECT_EQ(bunpack(b, w, 0), b);
  EXPECT_EQ(brunpack(b, w, -1), b);
  EXPECT_EQ(w[0], 0x1234u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[1], 2);
}

TEST(Packers, RoundTripManyWords) {
  unsigned char bytes[64], back[64];
  for (int i = 0; i < 64; i++) bytes[i] = (unsigned char)(i * 37 + 5);
  uint32_t words[32];
  bpack(words, bytes, 32);
  bunpack(back, words, 32);
  EXPECT_EQ(memcmp(bytes, back, 64), 0);
  brpack(words, bytes, 32);
  for (int i = 0; i < 32; i++) ASSERT_LE(words[i], 0xFFFFu);  // zero-extended
  brunpack(back, words, 32);
  EXPECT_EQ(memcmp(bytes, back, 64), 0);
}

TEST(Packers, LongToCharAndBack) {
  unsigned char b[4];
  long2char(b, 0x12345678);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[1], 0x34);
  EXPECT_EQ(b[2], 0x56);
  EXPECT_EQ(b[3], 0x78);
  EXPECT_EQ(char2long(b), 0x12345678u);
  long2char(b, 0xFEDCBA98);
  EXPECT_EQ(char2long(b), 0xFEDCBA98u);  // the top bit survives
}

// ---- Hexadecimal text ----

TEST(Str2hex, PairsOddLengthAndEmpty) {
  unsigned char out[4] = {0x99, 0x99, 0x99, 0x99};
  EXPECT_EQ(str2hex(out, "1A2"), 2);
  EXPECT_EQ(out[0], 0x1A);
  EXPECT_EQ(out[1], 0x20);
  EXPECT_EQ(out[2], 0x99);
  EXPECT_EQ(str2hex(out, "ff"), 1);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0x20);
  EXPECT_EQ(str2hex(out, ""), 0);
  EXPECT_EQ(out[0], 0xFF);
}

TEST(Str2hex, CaseDoesNotMatter) {
  unsigned char lo[3], up[3];
  EXPECT_EQ(str2hex(lo, "abcdef"), 3);
  EXPECT_EQ(str2hex(up, "ABCDEF"), 3);
  EXPECT_EQ(memcmp(lo, up, 3), 0);
  EXPECT_EQ(lo[0], 0xAB);
  EXPECT_EQ(lo[2], 0xEF);
}

// ---- Time text ----

TEST(TimeText, EpochAndUnpaddedDay) {
  int32_t t = 0;
  EXPECT_STREQ(long2timestr(&t), "00:00:00 1-Jan-1970 UTC");
  t = 1315555503;  // 2011-09-09 08:05:03
  EXPECT_EQ(long2timestr(&t), TSTR);
  EXPECT_STREQ(TSTR, "08:05:03 9-Sep-2011 UTC");
  t = INT32_MAX;
  EXPECT_STREQ(long2timestr(&t), "03:14:07 19-Jan-2038 UTC");
}

TEST(TimeText, Before1970IsBadAndLeavesTheBufferAlone) {
  int32_t t = 86400;
  long2timestr(&t);
  std::string before = TSTR;
  t = -1;
  EXPECT_STREQ(long2timestr(&t), "-- bad time code --");
  t = INT32_MIN;
  EXPECT_STREQ(long2timestr(&t), "-- bad time code --");
  EXPECT_EQ(before, TSTR);
}

// ---- Line input with scripted keys ----

namespace {

std::deque<int> keys;   // what the "keyboard" will give
int keys_overrun;       // getch calls after the script ran out

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
  std::string type(std::initializer_list<int> k, char *buf, int len) {
    keys.assign(k);
    CaptureStderr();
    EXPECT_EQ(getl(buf, len), 0);
    return GetCapturedStderr();
  }
};

}  // namespace

TEST_F(LineInput, StopsAtTheLimitWithAZeroAfterIt) {
  char buf[100];
  memset(buf, '#', sizeof buf);
  keys.assign(85, 'x');
  CaptureStderr();
  getl(buf, 80);
  std::string shown = GetCapturedStderr();
  EXPECT_EQ(keys.size(), 5u);  // returned at the 80th key, without Enter
  EXPECT_EQ(std::string(buf), std::string(80, 'x'));
  EXPECT_EQ(buf[81], '#');     // nothing written past len + 1 bytes
  EXPECT_EQ(shown, std::string(80, 'x'));
}

TEST_F(LineInput, BackspaceEditing) {
  char buf[81];
  EXPECT_EQ(type({8, 'a', '\r'}, buf, 80), "a");  // nothing held: nothing shown
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(type({'a', 'b', 8, 'c', '\r'}, buf, 80), "ab\b \bc");
  EXPECT_STREQ(buf, "ac");
  EXPECT_EQ(type({'a', 8, 8, '\r'}, buf, 80), "a\b \b");
  EXPECT_STREQ(buf, "");
}

TEST_F(LineInput, EnterAndLineFeedEndWithoutBeingKept) {
  char buf[81];
  keys.assign({'o', 'k', '\n', 'z'});
  CaptureStderr();
  getl(buf, 80);
  EXPECT_EQ(GetCapturedStderr(), "ok");
  EXPECT_STREQ(buf, "ok");
  EXPECT_EQ(keys.size(), 1u);  // the key after Enter is left for the menu
  keys.clear();
  EXPECT_EQ(type({'\r'}, buf, 80), "");
  EXPECT_STREQ(buf, "");
}

TEST_F(LineInput, OtherControlCodesAreKeptAndShown) {
  char buf[81];
  EXPECT_EQ(type({1, 27, '\t', 127, '\r'}, buf, 80), "\x01\x1b\t\x7f");
  EXPECT_STREQ(buf, "\x01\x1b\t\x7f");
}

TEST_F(LineInput, FilenameOfMissingAndExistingFiles) {
  char dir[] = "/tmp/k3util-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string missing = std::string(dir) + "/nosuch";
  std::string present = std::string(dir) + "/here";
  FILE *f = fopen(present.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fclose(f);

  char buf[81];
  keys.assign(missing.begin(), missing.end());
  keys.push_back('\r');
  CaptureStderr();
  EXPECT_EQ(getfname(buf, 80, "rb"), 1);
  EXPECT_EQ(GetCapturedStderr(), " Filename?\t\t\t" + missing + "\n");
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0);  // not created by the look

  keys.assign(present.begin(), present.end());
  keys.push_back('\n');
  CaptureStderr();
  EXPECT_EQ(getfname(buf, 80, "rb"), 0);
  EXPECT_EQ(GetCapturedStderr(), " Filename?\t\t\t" + present + "\n");
  EXPECT_EQ(std::string(buf), present);

  unlink(present.c_str());
  rmdir(dir);
}
