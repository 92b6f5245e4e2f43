// EEPROM access against the emulated tag: the expert read, write and clear
// keys, files written in pieces, the configured check and the configuration
// of a new tag from the session's offer.
#include "harness.h"
#include "host.h"
#include "host_eeprom.h"

namespace {

using Eeprom = Harness;

// Keys 5 and 7 send the typed range; rejected input sends nothing.
TEST_F(Eeprom, ExpertReadAndClearSendTheTypedRange) {
  int tag = open();
  mode = 1;
  keys("524576 2\r724576 2\r5x 2\r7 12\r");
  for (int i = 0; i < 4; i++) run(out_service_expert);
  EXPECT_EQ(payloads(tag, REQ_EEREAD), std::vector<Bytes>{Bytes({0x60, 0x00, 0x00, 0x02})});
  EXPECT_EQ(payloads(tag, REQ_EECLEAR), std::vector<Bytes>{Bytes({0x60, 0x00, 0x00, 0x02})});
  EXPECT_EQ(ee(tag, 0x6000, 3), Bytes({0xFF, 0xFF, 0xE0}));
  EXPECT_EQ(err(),
            "5\n\n Start address and number of bytes?\t\t24576 2\n EEPROM read 2 bytes\n 5a 13\n"
            "7\n\n Start address and number of bytes?\t\t24576 2"
            "5\n\n Start address and number of bytes?\t\tx 2Input values must be numbers - try again\n"
            "7\n\n Start address and number of bytes?\t\t 12Input values must be numbers - try again\n");
}

TEST_F(Eeprom, ReadReplyPrintsSixteenBytesALine) {
  unsigned char data[20];
  for (int i = 0; i < 20; i++) data[i] = (unsigned char)(0xA0 + i);
  MessRec rec = {data, 20, REQ_EEREAD};
  EXPECT_EQ(eepromread_resp(&rec), 0);
  EXPECT_EQ(err(), "\n EEPROM read 20 bytes\n a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af\n b0 b1 b2 b3\n");
}

// Key 6: a file goes in pieces of 64 bytes, each with its address; an odd end
// gets a zero byte, a file of whole pieces ends with an address alone, and a
// file that does not fit below 64 KiB is refused before anything is sent.
TEST_F(Eeprom, FilesAreWrittenInPiecesOf64Bytes) {
  struct Case {
    int size;
    std::string typed;
    std::vector<std::pair<int, int>> pieces;  // address, data bytes
    std::string says;
  } cases[] = {
      {130, "f.bin\r100\r", {{100, 64}, {164, 64}, {228, 2}}, "\n writing to EEPROM...\n"},
      {65, "f.bin\r0\r", {{0, 64}, {64, 2}}, "\n writing to EEPROM..\n"},
      {128, "f.bin\r4096\r", {{0x1000, 64}, {0x1040, 64}, {0x1080, 0}}, "\n writing to EEPROM...\n"},
      {4, "f.bin\r65534\r", {}, "\n Error: f.bin (4 bytes) does not fit in the EEPROM from address 65534\n"},
      {4, "none.bin\r", {}, " Filename?\t\t\tnone.bin\n Error sending command - try again\n"},
      {4, "f.bin\rtop\r", {}, " Start address?\t\t\ttop\n Input values must be numbers - try again\n"},
  };
  for (const Case &c : cases) {
    int tag = open();
    std::string bytes;
    for (int i = 0; i < c.size; i++) bytes += (char)(i * 7 + 1);
    file("f.bin", bytes);
    mode = 1;
    keys("6" + c.typed);
    run(out_service_expert);
    std::vector<std::pair<int, int>> got;
    for (const Bytes &p : payloads(tag, REQ_EEWRITE)) got.push_back({(p[0] << 8) | p[1], (int)p.size() - 2});
    EXPECT_EQ(got, c.pieces) << c.typed;
    std::string e = err();
    EXPECT_NE(e.find(c.says), std::string::npos) << e;
    if (c.pieces.empty()) continue;
    Bytes want(bytes.begin(), bytes.end());
    if (c.size % 2) want.push_back(0);
    EXPECT_EQ(ee(tag, c.pieces[0].first, (int)want.size()), want) << c.typed;
  }
}

TEST_F(Eeprom, ConfiguredCheck) {
  struct Case {
    Bytes at6000;
    int fault;  // FaultKind on the read, or -1
    int want;
    const char *says;
  } cases[] = {
      {{0x5A, 0x13}, -1, 1, ""},
      {{0x13, 0x5A}, -1, 0, ""},
      {{0xFF, 0xFF}, FAULT_NOREPLY, 1, " Error: failed eeprom read request with flag 0020\n"},
      {{0xFF, 0xFF}, FAULT_SHORT, 1, " Bad eeprom read response 0x0101\n"},
  };
  for (const Case &c : cases) {
    int tag = open();
    ee_put(tag, EE_MAGIC_ADDR, c.at6000);
    if (c.fault >= 0) fault(tag, REQ_EEREAD, 1, (FaultKind)c.fault, 1);
    EXPECT_EQ(eeprom_isinstalled(), c.want);
    EXPECT_EQ(err(), c.says);
  }
}

// The session offers to configure a tag without the parameter magic; "y"
// makes the bad-block table and installs the boot code; once configured, no
// offer.
TEST_F(Eeprom, NewTagIsConfiguredFromTheSessionsOffer) {
  struct Case {
    int blank;
    const char *key, *reboot;
    const char *says;
  } cases[] = {
      {1, "n", "BOOT", "\n Device is not yet configured: configure now y/n? \n"},
      {1, "y", "BOOT", "\n Making bad block table..\n.\n Installing boot code...\n\n"},
      {1, "y", "<none>", "\n Making bad block table..\n.\n Installing boot code Error: unable to find file _reboot.bin\n\n"},
      {0, "", "BOOT", "Battery voltage 3.71 V\n\n 0 Board ID"},
  };
  std::string boot(130, 'k');
  for (const Case &c : cases) {
    TagConfig cfg;
    cfg.eeprom_blank = c.blank;
    int tag = attach(cfg);
    file(REBOOTFILE, c.reboot == std::string("BOOT") ? boot : c.reboot);
    file("badblocks_4B33_0A17.txt", "<none>");
    keys(std::string(c.key) + "q");
    mode = 1;
    run([&] { return host(find(tag)); });
    EXPECT_NE(err().find(c.says), std::string::npos) << c.key << c.reboot;
    bool made = *c.key == 'y';
    EXPECT_EQ(ee(tag, EE_MAGIC_ADDR, 2), made || !c.blank ? Bytes({0x5A, 0x13}) : Bytes({0xFF, 0xFF}));
    EXPECT_EQ(ee(tag, 0, 130), made && *c.reboot == 'B' ? Bytes(boot.begin(), boot.end()) : Bytes(130, 0xFF));
    EXPECT_EQ(file("badblocks_4B33_0A17.txt") != "<none>", made);
    vbus_reset();
  }
}

}  // namespace
