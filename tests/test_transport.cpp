// The message transport against the emulated tag: frames and zero-length
// packets on the wire, receive statuses and check flags, dispatch of frames
// the tag sends on its own, and resynchronisation.
#include <errno.h>
#include <string.h>

#include "harness.h"
#include "host.h"
#include "k3host.h"
#include "platform.h"

namespace {

struct Transport : Harness {
  int tag = -1;
  void SetUp() override {
    Harness::SetUp();
    tag = open();
  }
};

// A frame of a whole number of 64-byte packets, and only such a frame, is
// followed by a zero-length packet.
TEST_F(Transport, ZeroLengthPacketOnlyAfterAWholeNumberOfPackets) {
  vbus_clear_events();
  memset(getbuff(), 0, 64);
  ASSERT_EQ(sendreq(0x7777, 53), 0);
  ASSERT_EQ(sendreq(0x7777, 54), 0);
  ASSERT_EQ(sendreq(0x7777, 55), 0);
  std::vector<size_t> sizes;  // of the writes on the request endpoint, 0 a zero-length packet
  for (const BusEvent &e : vbus_events())
    if (e.kind == EV_WRITE || e.kind == EV_ZLP) sizes.push_back(e.data.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{63, 64, 0, 65}));
  EXPECT_EQ(hex(frames(tag)[0]).substr(0, 12), "55aa77770035") << "sync word, code and length, high byte first";
  EXPECT_EQ(err(), "");
  // A request too large for a frame is refused before anything is written.
  vbus_clear_events();
  EXPECT_EQ(sendreq(0x301, PAYLOAD_MAX + 1), 1);
  EXPECT_EQ(err(), " Error: request payload of " + std::to_string(PAYLOAD_MAX + 1) + " bytes does not fit a frame\n");
  EXPECT_TRUE(vbus_events().empty());
}

// Frames good and spoilt, through checkmess in memory (a bad one with no
// record to fill) and getmess off the bus: the first failed check decides the
// flag; a bad frame leaves the record empty with its code as it was; a good
// one comes whole, up to the largest, the odd last payload byte outside the
// check value, whole packets with or without the zero-length packet after.
TEST_F(Transport, FrameChecksFirstFailureDecides) {
  Bytes good = make_frame(0x0003, {1, 2, 3, 4, 5, 6, 7, 8}), odd = make_frame(MSG_TEXT, {'a', 'b', 'c'});
  Bytes badsync = good, surplus = good, badcrc = good, largest(PAYLOAD_MAX);
  badsync[1] = 0xAB;
  badsync.push_back(0);  // a wrong length as well: the sync check comes first
  surplus.push_back(0);
  badcrc[7] ^= 1;
  odd[8] = 'z';  // the last payload byte
  for (size_t i = 0; i < largest.size(); i++) largest[i] = (uint8_t)(i * 7);
  largest = make_frame(0x0301, largest);
  ASSERT_EQ((int)largest.size(), FRAME_MAX);
  struct {
    const char *what;
    Bytes bytes;
    int flag;
  } cases[] = {{"nothing", {}, CHK_SYNC},
               {"header alone", {0x55, 0xAA, 0x00, 0x00}, CHK_LENGTH},
               {"cut short", {0x55, 0xAA, 0x00, 0x02, 0x00, 0x00, 0x00}, CHK_LENGTH},
               {"bad sync and length", badsync, CHK_SYNC},
               {"a byte too many", surplus, CHK_LENGTH},
               {"bad check value", badcrc, CHK_CRC},
               {"good", good, 0},
               {"odd payload", odd, 0},
               {"largest", largest, 0},
               {"one whole packet", make_frame(REQ_EEREAD, Bytes(54, 1)), 0},
               {"two whole packets", make_frame(REQ_EEREAD, Bytes(118, 2)), 0},
               {"16 KiB", make_frame(REQ_FLREAD, Bytes(16374, 3)), 0}};
  // Each from a tag that ends a transfer of whole packets with a zero-length
  // packet, then from one that does not: the frames come alike.
  for (int zlp : {1, 0})
    for (const auto &c : cases) {
      vbus_tag_config(tag).zlp = zlp;
      const uint8_t *b = c.bytes.data();
      int n = (int)c.bytes.size(), code = n >= 4 ? (b[2] << 8) | b[3] : -1;
      MessRec rec;
      ASSERT_EQ(checkmess(b, n, c.flag ? nullptr : &rec), c.flag) << c.what;
      if (!c.flag) {
        EXPECT_EQ(rec.cmd, code) << c.what;
        EXPECT_EQ(rec.len, n - FRAME_OVERHEAD) << c.what;
        EXPECT_EQ(rec.data, b + FRAME_HDR) << c.what;
      }
      if (n < FRAME_HDR) continue;  // off the bus too short to be a frame: nothing received
      vbus_tag_send_raw(tag, b, n);
      rec.cmd = 0x4242;
      EXPECT_EQ(getmess(&rec, TMO_REPLY), c.flag ? RX_BAD : RX_GOOD) << c.what;
      char shown[64] = "";
      if (c.flag) snprintf(shown, sizeof shown, " Error in received message: flag %04x\n", c.flag);
      EXPECT_EQ(err(), shown) << c.what;
      EXPECT_EQ(rec.cmd, c.flag ? 0x4242 : code) << c.what;
      ASSERT_EQ(rec.len, c.flag ? 0 : n - FRAME_OVERHEAD) << c.what;
      EXPECT_TRUE(c.flag ? rec.data == nullptr : memcmp(rec.data, b + FRAME_HDR, (size_t)rec.len) == 0) << c.what;
    }
}

// The board ID reply late past the time-out, then preceded by a text
// message (not the reply asked for): the late replies are read by the idle
// poll after.
TEST_F(Transport, LateRepliesAreReadAfterwards) {
  fault(tag, REQ_BOARDID, 1, FAULT_DELAY, TMO_REPLY + 1);
  fault(tag, REQ_BOARDID, 2, FAULT_TEXT, 0, "busy");
  uint32_t id[5];
  EXPECT_EQ(getboardid(id), 1);
  EXPECT_EQ(err(), " Error: failed ID request with flag 0020\n");
  EXPECT_EQ(getboardid(id), 1) << "the text comes before the late reply";
  EXPECT_EQ(err(), " Board ID response length bad (4:10)\n");
  for (int late = 0; late < 2; late++) {
    EXPECT_EQ(in_service(TMO_REPLY), 0) << "the two replies still on their way";
    EXPECT_EQ(err(), " Board ID: 0003 0102 4b33 0a17 0001\n");
  }
  EXPECT_EQ(getboardid(id), 0);
  EXPECT_EQ(short_id(id), 0x4B330A17u);
}

// Frames the tag sends on its own, dispatched by code: each handler's result
// and exact text, a text that fills the whole buffer included. A read too
// short to be a frame has its first two bytes taken as the length: whatever a
// handler does with it stays inside the receive buffer.
TEST_F(Transport, ProtocolHandlersPrintTheirMessages) {
  struct Case {
    int code;
    std::vector<uint8_t> payload;
    int result;
    std::string msg;
  };
  Case cases[] = {
      {MSG_TEXT, {'a', 0, 'b'}, 0, "\n Device message: 'a'\n"},
      {MSG_TEXT, Bytes(PAYLOAD_MAX, 'x'), 0, "\n Device message: '" + std::string(PAYLOAD_MAX, 'x') + "'\n"},
      {MSG_ACK, {}, 0, ""},
      {0x0000, {}, 1, "\n Error: unknown incoming command 0\n"},
      {MSG_ERROR, {'a', 'b', 'c'}, 1, "\n Error message from device has incorrect length 3\n"},
      {0x0003, {0, 1, 0, 2, 0xFF, 0xFF, 0, 0}, 0, " ADC reads: 1 2 65535 0\n"},
      {0x0003, {0}, 1, " Response length bad (1:8)\n"},
  };
  for (const Case &c : cases) {
    vbus_tag_send(tag, c.code, c.payload.data(), (int)c.payload.size());
    EXPECT_EQ(in_service(TMO_REPLY), c.result) << c.msg.substr(0, 40);
    EXPECT_EQ(err(), c.msg);
  }
  vbus_tag_send_raw(tag, "\xFF\xFF\x41", 3);
  MessRec rec;
  EXPECT_EQ(getmess(&rec, TMO_REPLY), RX_NONE);
  EXPECT_EQ(rec.len, 0xFFFF);
  rec.cmd = MSG_TEXT;
  EXPECT_EQ(dispatch(&rec), 0);
  EXPECT_EQ(err().substr(0, 20), "\n Device message: 'A");
}

// sync_if against a fresh tag per row that answers at once, refuses once,
// answers late, never answers, fails every read or leaves: its result, the
// time it took, its whole console text, the sync requests sent, and the key
// left for the menu (a key that stops the trying is taken). A sync that
// succeeds leaves nothing to read: stale and late frames were drained.
TEST_F(Transport, SyncRetriesUntilAcknowledgedOrAbandoned) {
  const char *NO_ANSWER = "\n No answer to sync: press a key to stop trying\n";
  struct Case {
    const char *what;
    void (*setup)(Transport &t);
    int result;
    unsigned long until;  // the clock at least this far on
    std::string shown;
    int syncs;  // sync requests sent; -1 not counted
    int key;    // the key left for the menu, 0 none
  } cases[] = {
      {"live tag, a frame 50 ms after the ack",
       [](Transport &t) { vbus_tag_send(t.tag, MSG_TEXT, "late", 4, TMO_DRAIN + 50); }, RX_NONE, 0, "", 1, 0},
      {"refused once, stale text before",
       [](Transport &t) {
         t.fault(t.tag, REQ_SYNC, 1, FAULT_NACK);
         vbus_tag_send(t.tag, MSG_TEXT, "stale", 5);
       },
       RX_NONE, 0, NO_ANSWER, 2, 0},
      {"key typed ahead", [](Transport &t) { t.keys("4"); }, RX_NONE, 0, "", 1, '4'},
      {"flood with a key typed ahead: the notice, then only later keys count",
       [](Transport &t) {
         for (int i = 0; i < 100; i++) vbus_tag_send(t.tag, MSG_TEXT, "x", 1);
         t.keys("4");
       },
       RX_NONE, 0, NO_ANSWER, 1, 0},
      {"key in the drain after a late ack",
       [](Transport &t) {
         // 200 ms drain and 3000 ms unanswered; the second sync is
         // acknowledged at 3400 ms and the key comes in the drain after it.
         t.fault(t.tag, REQ_SYNC, 1, FAULT_NOREPLY);
         t.keys_at(3450, "4");
       },
       RX_NONE, 3450, NO_ANSWER, 2, '4'},
      {"reads fail at once, waited as quiet reads",
       [](Transport &t) {
         vbus_tag_config(t.tag).read_error = -EPIPE;
         t.keys_at(10000, "k");
       },
       SYNC_ABANDONED, 10000, NO_ANSWER + std::string("\n Resynchronisation abandoned\n"), -1, 0},
  };
  for (const Case &c : cases) {
    tag = open();
    c.setup(*this);
    EXPECT_EQ(sync_if(), c.result) << c.what;
    EXPECT_GE(vbus_now_ms(), c.until) << c.what;
    EXPECT_EQ(err(), c.shown) << c.what;
    int syncs = 0;
    for (auto &fr : frames(tag)) syncs += fr.size() == 10 && fr[2] == 0 && fr[3] == 0;
    if (c.syncs >= 0) {
      EXPECT_EQ(syncs, c.syncs) << c.what << ": sync requests";
    }
    ASSERT_EQ(plat_kbhit(), c.key ? 1 : 0) << c.what;
    EXPECT_EQ(c.key ? plat_getch() : 0, c.key) << c.what;
    MessRec rec;
    if (c.result != SYNC_ABANDONED) {
      EXPECT_EQ(getmess(&rec, TMO_REPLY), RX_NONE) << c.what << ": not drained";
    }
  }
}

}  // namespace
