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
    tag = attach();
    usb_handle = claimif(find(tag), 0);
    ASSERT_NE(usb_handle, nullptr);
  }
  void TearDown() override {
    if (usb_handle) releaseif(usb_handle, 1);
    usb_handle = nullptr;
    Harness::TearDown();
  }
  // The writes the program made on the request endpoint, as (size, zlp?) pairs.
  std::vector<int> writes() {
    std::vector<int> sizes;
    for (const BusEvent &e : vbus_events()) {
      if (e.kind == EV_WRITE) sizes.push_back((int)e.data.size());
      if (e.kind == EV_ZLP) sizes.push_back(0);
    }
    return sizes;
  }
};

TEST_F(Transport, SyncRequestIsTheTenKnownBytes) {
  ASSERT_EQ(sendreq(REQ_SYNC, 0), 0);
  std::vector<uint8_t> want = {0x55, 0xAA, 0x00, 0x00, 0x00, 0x00, 0x79, 0xA2, 0xB6, 0xC1};
  ASSERT_FALSE(frames(tag).empty());
  EXPECT_EQ(frames(tag).back(), want);
  MessRec rec;
  ASSERT_EQ(getmess(&rec, TMO_REPLY), RX_GOOD);
  EXPECT_EQ(rec.cmd, MSG_ACK);
  EXPECT_EQ(rec.len, 0);
}

TEST_F(Transport, ZeroLengthPacketOnlyAfterAWholeNumberOfPackets) {
  vbus_clear_events();
  memset(getbuff(), 0, 64);
  ASSERT_EQ(sendreq(0x7777, 53), 0);
  ASSERT_EQ(sendreq(0x7777, 54), 0);
  ASSERT_EQ(sendreq(0x7777, 55), 0);
  EXPECT_EQ(writes(), (std::vector<int>{63, 64, 0, 65}));
  EXPECT_EQ(err(), "");
}

TEST_F(Transport, RefusesAPayloadLargerThanAFrame) {
  EXPECT_EQ(sendreq(0x301, PAYLOAD_MAX + 1), 1);
  EXPECT_NE(err().find("does not fit"), std::string::npos);
  EXPECT_TRUE(frames(tag).empty());
}

TEST_F(Transport, WriteFailuresAreReportedOnce) {
  fault(tag, REQ_BOARDID, 0, FAULT_WRITEFAIL);
  EXPECT_EQ(sendreq(REQ_BOARDID, 0), 1);
  EXPECT_EQ(err(), " Error in bulk write -5\n");

  fault(tag, 0x7777, 0, FAULT_ZLPFAIL);
  EXPECT_EQ(sendreq(0x7777, 54), 1);
  EXPECT_EQ(err(), " Error in bulk write - retrying\n");
}

TEST_F(Transport, TimeOutGivesStatus32WithNothingPrinted) {
  unsigned long t0 = vbus_now_ms();
  MessRec rec;
  rec.cmd = 1234;
  EXPECT_EQ(getmess(&rec, TMO_REPLY), RX_NONE);
  EXPECT_EQ(rec.len, 0);
  EXPECT_EQ(rec.cmd, -ETIMEDOUT);
  EXPECT_EQ(vbus_now_ms() - t0, (unsigned long)TMO_REPLY);
  EXPECT_EQ(err(), "");
}

TEST_F(Transport, CheckFlagsFirstFailureDecides) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char *msg;
  };
  std::vector<uint8_t> good = make_frame(0x0003, {1, 2, 3, 4, 5, 6, 7, 8});
  std::vector<uint8_t> badsync = good;
  badsync[1] = 0xAB;
  badsync.push_back(0);  // a wrong length as well: the sync check comes first
  std::vector<uint8_t> surplus = good;
  surplus.push_back(0);
  std::vector<uint8_t> badcrc = good;
  badcrc[7] ^= 1;
  std::vector<uint8_t> cut = {0x55, 0xAA, 0x00, 0x02, 0x00, 0x00, 0x00};
  Case cases[] = {{badsync, " Error in received message: flag 0001\n"},
                  {surplus, " Error in received message: flag 0002\n"},
                  {badcrc, " Error in received message: flag 0004\n"},
                  {cut, " Error in received message: flag 0002\n"}};
  for (const Case &c : cases) {
    vbus_tag_send_raw(tag, c.bytes.data(), (int)c.bytes.size());
    MessRec rec;
    rec.cmd = 0x4242;
    EXPECT_EQ(getmess(&rec, TMO_REPLY), RX_BAD);
    EXPECT_EQ(rec.cmd, 0x4242) << "cmd keeps what it held";
    EXPECT_EQ(rec.len, 0);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(err(), c.msg);
  }
}

TEST_F(Transport, MisshapenRepliesAreReportedWithTheirFlag) {
  // The tag's reply to the board ID request spoilt three ways, then delayed
  // past the time-out, then preceded by a text message (which is not the
  // reply asked for).
  const FaultKind kinds[] = {FAULT_BADSYNC, FAULT_BADLEN, FAULT_BADCRC, FAULT_DELAY, FAULT_TEXT};
  for (int i = 0; i < 5; i++) fault(tag, REQ_BOARDID, i + 1, kinds[i], TMO_REPLY + 1, "busy");
  uint32_t id[5];
  for (int flag : {1, 2, 4}) {
    EXPECT_EQ(getboardid(id), 1);
    char want[160];
    snprintf(want, sizeof want,
             " Error in received message: flag %04x\n Error: failed ID request with flag 0001\n", flag);
    EXPECT_EQ(err(), want);
  }
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

TEST_F(Transport, OddPayloadLastByteIsNotCovered) {
  std::vector<uint8_t> f = make_frame(MSG_TEXT, {'a', 'b', 'c'});
  f[8] = 'z';  // the last payload byte
  vbus_tag_send_raw(tag, f.data(), (int)f.size());
  MessRec rec;
  ASSERT_EQ(getmess(&rec, TMO_REPLY), RX_GOOD);
  EXPECT_EQ(rec.len, 3);
  EXPECT_EQ(rec.data[2], 'z');
}

TEST_F(Transport, CheckmessOnShortAndGoodFrames) {
  const unsigned char none[1] = {0};
  EXPECT_EQ(checkmess(none, 0, nullptr), CHK_SYNC);
  const unsigned char hdr[4] = {0x55, 0xAA, 0, 0};
  EXPECT_EQ(checkmess(hdr, 4, nullptr), CHK_LENGTH);
  std::vector<uint8_t> f = make_frame(0x0006, {0, 4, 0, 1, 0x0E, 0x80});
  MessRec rec;
  ASSERT_EQ(checkmess(f.data(), (int)f.size(), &rec), 0);
  EXPECT_EQ(rec.cmd, 6);
  EXPECT_EQ(rec.len, 6);
  EXPECT_EQ(rec.data, f.data() + 6);
}

TEST_F(Transport, LargestFrameIsReceivedWhole) {
  std::vector<uint8_t> payload(PAYLOAD_MAX);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (uint8_t)(i * 7);
  std::vector<uint8_t> f = make_frame(0x0301, payload);
  ASSERT_EQ((int)f.size(), FRAME_MAX);
  vbus_tag_send_raw(tag, f.data(), (int)f.size());
  MessRec rec;
  ASSERT_EQ(getmess(&rec, TMO_REPLY), RX_GOOD);
  EXPECT_EQ(rec.len, PAYLOAD_MAX);
  EXPECT_EQ(0, memcmp(rec.data, payload.data(), payload.size()));
}

TEST_F(Transport, ProtocolHandlersPrintTheirMessages) {
  struct Case {
    int code;
    std::vector<uint8_t> payload;
    int result;
    const char *msg;
  };
  Case cases[] = {
      {MSG_TEXT, {'h', 'e', 'l', 'l', 'o'}, 0, "\n Device message: 'hello'\n"},
      {MSG_TEXT, {'a', 0, 'b'}, 0, "\n Device message: 'a'\n"},
      {MSG_ACK, {}, 0, ""},
      {MSG_NACK, {}, 1, "\n Error: received negative acknowledge\n"},
      {MSG_ERROR, {0x00, 0x05}, 1, "\n Device reports an error code 0x0005:0x0000\n"},
      {MSG_ERROR, {1, 2, 3}, 1, "\n Error message from device has incorrect length 3\n"},
      {0x0000, {}, 1, "\n Error: unknown incoming command 0\n"},
      {0x0102, {}, 1, "\n Error: unknown incoming command 102\n"},
      {0x0002, {0, 1, 0, 2, 0xAB, 0xCD, 0x12, 0x34, 0, 5}, 0, " Board ID: 0001 0002 abcd 1234 0005\n"},
      {0x0002, {0, 1}, 1, " Board ID response length bad (2:10)\n"},
      {0x0003, {0, 1, 0, 2, 0xFF, 0xFF, 0, 0}, 0, " ADC reads: 1 2 65535 0\n"},
      {0x0003, {0}, 1, " Response length bad (1:8)\n"},
  };
  for (const Case &c : cases) {
    vbus_tag_send(tag, c.code, c.payload.data(), (int)c.payload.size());
    EXPECT_EQ(in_service(TMO_REPLY), c.result) << c.msg;
    EXPECT_EQ(err(), c.msg);
  }
}

TEST_F(Transport, TextFillingTheWholeBufferIsTerminatedInside) {
  std::vector<uint8_t> text(PAYLOAD_MAX, 'x');
  vbus_tag_send(tag, MSG_TEXT, text.data(), (int)text.size());
  EXPECT_EQ(in_service(TMO_REPLY), 0);
  std::string e = err();
  EXPECT_EQ(e.size(), strlen("\n Device message: ''\n") + PAYLOAD_MAX);
}

TEST_F(Transport, SyncRetriesUntilAcknowledged) {
  fault(tag, REQ_SYNC, 1, FAULT_NACK);
  const char hello[] = "stale";
  vbus_tag_send(tag, MSG_TEXT, hello, 5);  // drained, not shown
  EXPECT_EQ(sync_if(), RX_NONE);
  int syncs = 0;
  for (auto &fr : frames(tag)) syncs += fr.size() == 10 && fr[2] == 0 && fr[3] == 0;
  EXPECT_EQ(syncs, 2);
  std::string e = err();
  EXPECT_EQ(e.find("stale"), std::string::npos);
  EXPECT_NE(e.find("press a key to stop trying"), std::string::npos);
}

TEST_F(Transport, SyncWithALiveTagPrintsNothingAndDrainsAfterTheAck) {
  // The first drain waits 200 ms, the acknowledge comes at once, and a frame
  // 50 ms after it falls in the drain that follows.
  vbus_tag_send(tag, MSG_TEXT, "late", 4, vbus_now_ms() + TMO_DRAIN + 50);
  EXPECT_EQ(sync_if(), RX_NONE);
  MessRec rec;
  EXPECT_EQ(getmess(&rec, TMO_REPLY), RX_NONE);
  EXPECT_EQ(err(), "");
}

TEST_F(Transport, SilentTagSyncIsAbandonedByAKey) {
  fault(tag, REQ_SYNC, 0, FAULT_NOREPLY);
  keys_at(60000, "k");
  EXPECT_EQ(sync_if(), SYNC_ABANDONED);
  EXPECT_GE(vbus_now_ms(), 60000u);
  EXPECT_NE(err().find("\n Resynchronisation abandoned\n"), std::string::npos);
}

TEST_F(Transport, KeysTypedAheadDoNotAbandonAWorkingSync) {
  keys("4");
  EXPECT_EQ(sync_if(), RX_NONE);
  EXPECT_EQ(plat_kbhit(), 1);
}

TEST_F(Transport, KeyPressedAfterASuccessfulSyncIsLeftForTheMenu) {
  fault(tag, REQ_SYNC, 1, FAULT_NOREPLY);
  // First attempt: 200 ms drain, 3000 ms without a reply; the second is
  // acknowledged at 3400 ms and the key comes during the drain after it.
  keys_at(3450, "4");
  EXPECT_EQ(sync_if(), RX_NONE);
  EXPECT_EQ(plat_getch(), '4');
}

TEST_F(Transport, ReadsThatFailAtOnceDoNotMakeSyncSpin) {
  vbus_tag_config(tag).read_error = -EPIPE;
  keys_at(10000, "k");
  EXPECT_EQ(sync_if(), SYNC_ABANDONED);
  EXPECT_GE(vbus_now_ms(), 10000u) << "each failed attempt waited as a quiet read would";
}

TEST_F(Transport, SyncEndsWhenTheTagLeavesTheBus) {
  fault(tag, REQ_SYNC, 0, FAULT_VANISH);
  EXPECT_EQ(sync_if(), SYNC_ABANDONED);
  EXPECT_NE(err().find("\n Error: device is no longer connected\n"), std::string::npos);
}

}  // namespace
