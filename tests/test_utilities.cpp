// Shared helpers: frame checksums, word packers, 32-bit conversion,
// hexadecimal text, typed numbers, time text, the line readers driven by
// scripted keys, typed well and badly; and the recording-file checker.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <fcntl.h>
#endif

#include "crc16v3.h"
#include "harness.h"
#include "kovacfg.h"
#include "kvdread.h"
#include "platform.h"
#include "utilities.h"

using namespace std::string_literals;

// The check value of each CRC (the two-lane frame check: even offsets high,
// odd offsets low); a mistyped entry of either table, which may show in no
// check value: each equals the bit-by-bit computation.
TEST(Crc, CheckValuesAndTables) {
  // clang-format off
  struct { uint32_t (*fn)(const unsigned char *, int); const char *in; int len; uint32_t want; } cases[] = {
      {crc16byte1, "123456789", 9, 0x29B1}, {crc16b, "123456789", 9, 0x6F91},
      {crc16byte2, "abcd", 4, 0x79D15C65}};
  // clang-format on
  for (const auto &c : cases)
    EXPECT_EQ(c.fn(reinterpret_cast<const unsigned char *>(c.in), c.len), c.want) << c.in << " length " << c.len;
  for (unsigned i = 0; i < 256; i++) {
    uint32_t m = i << 8, l = i;
    for (int b = 0; b < 8; b++) m = (m << 1) ^ (m & 0x8000 ? 0x1021 : 0), l = (l >> 1) ^ (l & 1 ? 0x8408 : 0);
    EXPECT_EQ(CRCtab[i], m & 0xFFFF) << "table entry " << i;
    EXPECT_EQ(fcstab[i], l) << "table entry " << i;
  }
  // The fast paths take several bytes per step and leave the rest to a tail:
  // each function equals a byte-at-a-time run over the tables (the two-lane
  // check leaving an odd last byte out), at every length to 70, the empty and
  // odd ones included, and over a maximum frame (length 71 below), at four
  // starts.
  static unsigned char buf[30730 + 3];
  uint32_t x = 1;
  for (auto &c : buf) c = (unsigned char)((x = x * 1103515245u + 12345u) >> 16);
  auto msb = [](const unsigned char *p, int n, int st) {
    uint32_t r = 0xFFFF;
    for (int i = 0; i < n; i++) r = ((r << 8) ^ CRCtab[(r >> 8) ^ p[i * st]]) & 0xFFFF;
    return r;
  };
  for (int off = 0; off < 4; off++)
    for (int len = 0; len <= 71; len++) {
      const unsigned char *p = buf + off;
      int n = len < 71 ? len : 30730;
      uint32_t r = 0xFFFF;
      for (int i = 0; i < n; i++) r = (r >> 8) ^ fcstab[(r ^ p[i]) & 0xFF];
      EXPECT_EQ(crc16byte2(p, n), msb(p, n / 2, 2) << 16 | msb(p + 1, n / 2, 2)) << "start " << off << " length " << n;
      EXPECT_EQ(crc16byte1(p, n), msb(p, n, 1)) << "start " << off << " length " << n;
      EXPECT_EQ(crc16b(p, n), r) << "start " << off << " length " << n;
    }
}

// The 16-bit packers with the low byte first over two words, the pointers
// they return, nothing done for no words; the 32-bit conversion keeps the top
// bit. (The packers most significant byte first: every frame of the session
// tests.)
TEST(Codecs, PackersConversionHexAndTimeText) {
  const unsigned char in[4] = {0x55, 0xAA, 0x12, 0x34};
  uint32_t w[3] = {0, 0, 0xDEAD};
  EXPECT_EQ(brpack(w, in, 2), in + 4);
  EXPECT_EQ(std::vector<uint32_t>(w, w + 3), (std::vector<uint32_t>{0xAA55, 0x3412, 0xDEAD}));
  EXPECT_EQ(brpack(w, in, -3), in);
  EXPECT_EQ(w[0], 0xAA55u) << "changed with no words";
  const uint32_t words[2] = {0xFFFF1234, 0x00ABCDEF};  // only the low 16 bits count
  unsigned char out[5] = {0, 0, 0, 0, 0x77};
  auto bytes = [&](int n) { return hex(Bytes(out, out + n)); };
  EXPECT_EQ(brunpack(out, words, 2), out + 4);
  EXPECT_EQ(bytes(5), "3412efcd77");
  EXPECT_EQ(brunpack(out, words, -1), out);
  EXPECT_EQ(bytes(1), "34") << "changed with no words";
  long2char(out, 0xFEDCBA98);
  EXPECT_EQ(bytes(4), "fedcba98");
  EXPECT_EQ(char2long(out), 0xFEDCBA98u);
  // Hex text to bytes: pairs in either case, an odd last digit as a high
  // half, empty text touching nothing.
  EXPECT_EQ((memset(out, 0x99, 4), str2hex(out, "1A2")), 2);
  EXPECT_EQ(bytes(3), "1a2099");
  EXPECT_EQ(str2hex(out, "abcDEF"), 3);
  EXPECT_EQ(bytes(3), "abcdef");
  EXPECT_EQ(str2hex(out, ""), 0);
  EXPECT_EQ(bytes(1), "ab");
  // Time text in UTC, from the first second to the last an int32 holds; a
  // negative time is a bad time code and leaves the buffer alone. (Other
  // times: the directory and firmware tests.)
  const int32_t times[] = {0, INT32_MAX, -1, INT32_MIN};
  const char *want[] = {"00:00:00 1-Jan-1970 UTC", "03:14:07 19-Jan-2038 UTC", "-- bad time code --"};
  for (int i = 0; i < 4; i++) {
    EXPECT_STREQ(long2timestr(&times[i]), want[i < 2 ? i : 2]) << i;
    EXPECT_STREQ(TSTR, want[i < 2 ? i : 1]) << i;
  }
}

// Typed numbers as "%d %d" reads them, letters and lone signs ending the
// scan, and a number too large for an int ending it instead of wrapping.
TEST(TypedNumbers, ScanLikeScanfWithoutWrapping) {
  // clang-format off
  struct { const char *text; int got, first, second; } cases[] = {
      {"24576 2", 2, 24576, 2}, {" -5 x", 1, -5, 0}, {"+7,8", 1, 7, 0}, {"x 3", 0, 0, 0}, {"", 0, 0, 0},
      {"- 5", 0, 0, 0}, {"--5", 0, 0, 0}, {"0x1F", 1, 0, 0}, {"2147483647 -2147483648", 2, 2147483647, INT32_MIN},
      {"12abc", 1, 12, 0}, {"2147483648", 0, 0, 0}, {"-2147483649", 0, 0, 0}, {"1 99999999999999999999", 1, 1, 0}};
  // clang-format on
  int v[3];
  for (const auto &c : cases) {
    EXPECT_EQ((v[0] = v[1] = 0, v[2] = 0x5A5A, scanints(c.text, v, 2)), c.got) << c.text;
    EXPECT_EQ(std::vector<int>(v, v + 3), (std::vector<int>{c.first, c.second, 0x5A5A})) << c.text;
  }
  // Typed durations: the last 1 to 4 of days, hours, minutes, seconds; five numbers are none.
  const int32_t d[5] = {2, 1, 0, 30, 9}, m[2] = {1, 30}, h[3] = {2, 0, 0};
  EXPECT_EQ(std::vector<uint32_t>({dtos(m, 2), dtos(h, 3), dtos(d, 4), dtos(d + 3, 1), dtos(d, 5)}),
            std::vector<uint32_t>({90, 7200, 2 * 86400 + 3600 + 30, 30, 0}));
}

static std::u32string keys;  // what the "keyboard" will give, from at on
static size_t at;

// Runs read (getl or getfname) over the keys, the console captured: what it
// showed.
static std::string type(const std::u32string &k, const std::function<void()> &read) {
  keys = k, at = 0;
  // Enter once the keys have run out, so that a faulty reader cannot hang.
  const PlatHooks h = {nullptr, [] { return at < keys.size() ? (int)keys[at++] : '\r'; }, nullptr, nullptr, nullptr};
  plat_sethooks(&h), testing::internal::CaptureStderr(), read(), plat_sethooks(nullptr);
  return testing::internal::GetCapturedStderr();
}

// getl over one line per row, with room for len characters: what it shows,
// what it keeps (never more than len, with its zero, and nothing written
// past it), and the keys it leaves unread (after a line feed the next key is
// the menu's). A line longer than the room is cut there and the rest of it,
// up to Enter, dropped rather than left for the menu to take as commands,
// Backspace still erasing at the limit. getfname prompts, reads the name as
// getl does and gives 1 for a file that cannot be opened: missing, no name
// at all, or a folder (sending code would erase the code space before
// finding that out).
TEST(LineInput, EditingLimitEndOfLineAndFileNames) {
  // clang-format off
  struct { std::u32string keys; int len; std::string shown, kept; size_t left; } cases[] = {
      {U"\ba\r", 80, "a", "a", 0} /* nothing held: backspace shows nothing */, {U"ab\bc\r", 80, "ab\b \bc", "ac", 0},
      {U"a\b\b\r", 80, "a\b \b", "", 0}, {U"\x01\t\xe9\r", 80, "\x01\t\xe9", "\x01\t\xe9", 0} /* other codes kept */,
      {U"\x100" U"a\x1b\x7f\0b\x100\r"s, 80, "ab", "ab", 0},  // Escape, DEL, NUL, special keys: unseen
      {U"\x1b\x100\b\0\r"s, 80, "", "", 0}, {U"a\x100\b\r", 80, "a\b \b", "", 0},  // and count for nothing
      {U"10\r", 1, "1", "1", 2} /* a one-key answer */, {U"12345\r", 5, "12345", "12345", 0}, {U"1234567e\r", 5, "12345", "12345", 0},
      {U"12345\b9\r", 5, "12345\b \b9", "12349", 0}, {U"ok\nz", 80, "ok", "ok", 1}};
  // clang-format on
  char buf[100];
  for (const auto &c : cases) {
    EXPECT_EQ(type(c.keys, [&] { EXPECT_EQ(getl((char *)memset(buf, '#', sizeof buf), c.len), 0); }), c.shown);
    EXPECT_EQ(buf, c.kept);
    EXPECT_EQ(buf[c.len + 1], '#') << "written past the line";
    EXPECT_EQ(keys.size() - at, c.left) << "keys left";
  }
  const std::string here = K3_SOURCE_DIR "/tests/test_utilities.cpp";
  for (const std::string &name : {here + ".nosuch", here, ""s, "/tmp"s}) {
    int fd = open_files();
    std::string shown = type(std::u32string(name.begin(), name.end()) + U"\r",
                             [&] { EXPECT_EQ(getfname(buf, 80, "rb"), name == here ? 0 : 1) << name; });
    EXPECT_EQ(shown, " Filename?\t\t\t" + name + "\n");
    EXPECT_EQ(buf, name);
    EXPECT_EQ(open_files(), fd) << name;
  }
}

// The recording-file checker against the committed sample (a whole file:
// chip 1 blocks 5 to 9, 4 blocks completed, 16 data bytes) damaged byte by
// byte: each way a file can be damaged, or left unfinished by a failed
// offload, is told apart.
typedef std::vector<uint8_t> B;
// The header CRC made to match the header, as a writer would.
static void recrc(B &f) {
  uint32_t crc = crc16b(f.data(), KVD_AT_CRC);
  f[KVD_AT_CRC] = (uint8_t)(crc >> 8), f[KVD_AT_CRC + 1] = (uint8_t)crc;
}
static void unfinished(B &f) {  // as a failed offload leaves it
  std::fill(f.begin() + KVD_AT_CLOSING, f.begin() + KVD_HEADER, 0);
}

// The whole file reads back; each damage gives exactly one fault, which
// names it. (Files on disk, and one that cannot be opened: InDir.CommandLines.)
TEST(Kvdcheck, EachDamageIsNamed) {
  // clang-format off
  const struct { const char *what; void (*damage)(B &); const char *fault; } cases[] = {
      {"whole", [](B &) {}, nullptr}, {"not a recording", [](B &f) { f[5] = '4'; }, "not a recording file"},
      {"identity never read", [](B &f) { f.resize(8); }, "header cut short: 8 of 42"},
      {"failed offload", [](B &f) { unfinished(f), f.resize(f.size() - 2); }, "unfinished"},
      {"failed offload, data ending in AA AA", [](B &f) { unfinished(f); }, "unfinished"},
      {"header byte", [](B &f) { f[25] ^= 1; }, "header CRC is"}, {"cut end", [](B &f) { f.pop_back(); }, "no trailer"},
      {"reserved bytes", [](B &f) { f[9] = 1, recrc(f); }, "bytes 8-9 or 14-15"},
      {"end before start", [](B &f) { f[35] = 4, recrc(f); }, "ends at chip 1 block 4, before its start at chip 1"},
      {"odd page data", [](B &f) { f.insert(f.end() - 2, 0x10); }, "17 bytes, an odd number"},
      {"past the range", [](B &f) { f[39] = 6, recrc(f); }, "6 blocks completed, but chip 1 block 5 to chip 1 block 9"},
      {"all blocks", [](B &f) { f[36] = f[37] = f[38] = f[39] = 0xFF, recrc(f); }, "4294967295 blocks completed, but"},
      {"past the data", [](B &f) { f[35] = 0x40, f[39] = 9, recrc(f); }, "9 blocks completed, but 16 bytes"},
      {"no data", [](B &f) { f.erase(f.begin() + KVD_HEADER, f.end() - 2); }, "blocks completed but no page data"}};
  // clang-format on
  std::ifstream in(K3_SOURCE_DIR "/tests/data/sample.kvd", std::ios::binary);
  const B whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const auto &c : cases) {
    B f = whole;
    KvdInfo k;
    uint8_t tail[2] = {(c.damage(f), f[f.size() - 2]), f.back()};
    std::vector<std::string> faults = kvd_check(f.data(), std::min(f.size(), (size_t)KVD_HEADER), f.size(), tail, &k);
    if (!c.fault) {
      EXPECT_EQ(faults, std::vector<std::string>()) << c.what;
      EXPECT_TRUE(k.closed);
      EXPECT_EQ(k.time2, 0x386BF670u);
    } else {
      ASSERT_EQ(faults.size(), 1u) << c.what << ": " << testing::PrintToString(faults);
      EXPECT_NE(faults[0].find(c.fault), std::string::npos) << c.what << ": " << faults[0];
    }
  }
  // On disk: whole and good; whole but without a block; a folder (the offload record's verdicts: the by-record
  // session tests).
  B empty = whole;
  std::fill(empty.begin() + KVD_AT_BLOCKS, empty.begin() + KVD_AT_CRC, 0), recrc(empty);
  std::string dir = make_tempdir("k3kvd");
  std::ofstream(dir + "/good.kvd", std::ios::binary).write((const char *)whole.data(), whole.size());
  std::ofstream(dir + "/empty.kvd", std::ios::binary).write((const char *)empty.data(), empty.size());
  std::ofstream(dir + "/short.kvd", std::ios::binary).write((const char *)whole.data(), 8);
  const std::tuple<std::string, KvdVerdict, std::string> files[] = {
      {"good.kvd", KVD_GOOD, "{}"},
      {"empty.kvd", KVD_EMPTY, "{ \"empty: it holds no completed block\" }"},
      {"short.kvd", KVD_DAMAGED, "{ \"header cut short: 8 of 42 bytes\" }"},
      {"", KVD_NOTFILE, "{ \"it is a directory\" }"}};
  for (const auto &[name, verdict, why] : files) {
    KvdInfo k;
    EXPECT_EQ(testing::PrintToString(kvd_check_file(dir + "/" + name, &k)), why) << name;
    EXPECT_EQ(k.verdict, verdict) << name;
  }
  std::filesystem::remove_all(dir);
}

#ifndef _WIN32
// Ctrl-C (or a SIGTERM) caught for a run: it becomes the key that ends, and
// afterwards the handlers the program found are back and nothing is pending.
TEST(PlatInterrupt, CaughtForARunThenPutBack) {
  static volatile sig_atomic_t theirs;
  struct sigaction sa = {}, was_int, was_term;
  sa.sa_handler = [](int) { theirs = theirs + 1; };
  sigaction(SIGINT, &sa, &was_int), sigaction(SIGTERM, &sa, &was_term);
  for (int sig : {SIGINT, SIGTERM}) {
    plat_catch_interrupt();
    EXPECT_EQ(plat_interrupted(), 0);
    raise(sig);
    ASSERT_EQ(plat_interrupted(), 1) << sig;  // else the key read below would wait on the real console
    EXPECT_EQ(std::vector<int>({plat_kbhit(), plat_getch()}), std::vector<int>({1, 3}));
    plat_release_interrupt();
    EXPECT_EQ(plat_interrupted(), 0);
  }
  raise(SIGINT), raise(SIGTERM);
  EXPECT_EQ(theirs, 2);
  sigaction(SIGINT, &was_int, nullptr), sigaction(SIGTERM, &was_term, nullptr);
}
#endif
