// The session with a tag in host state. Three layers live here:
//  - the message transport: frames out on endpoint 2, frames in on 0x82,
//    the dispatch table for frames the tag sends, and resynchronisation;
//  - the board commands: identity, ADC, clock, battery and reboot;
//  - the session itself: identification, the user and expert menus and the
//    loop that runs them between frames from the tag.
#include "host.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "crc16v3.h"
#include "host_eeprom.h"
#include "hostflsh.h"
#include "k3host.h"
#include "kovacfg.h"
#include "msp.h"
#include "params.h"
#include "platform.h"
#include "utilities.h"

unsigned char REQBUFF[FRAME_MAX];
unsigned char RXBUFF[RXBUFF_SIZE];
usb_dev_handle *usb_handle;
int usb_lasterr;

int mode = 0;
uint32_t tagid = 0;
int devtype = -1;
const char *const DEVTYPES[5] = {"MIRO", "MIRO", "??", "??", "KOVA-3"};

#define KOVA3 4
#define DEVTYPE_ENDS 3  // a device type that ends the program

// Bytes of RXBUFF cleared before each read: a read too short to be a frame
// shows zeros there, not the last frame's bytes.
#define RXBUFF_CLEARED 100
// Frames that a drain reads before it counts a failed attempt (a tag that
// floods), and that the user menu's quit discards before the reboot.
#define FLOOD_FRAMES 64

// ======================================================================
// Message transport
// ======================================================================

unsigned char *getbuff(void) { return REQBUFF + FRAME_HDR; }

// Writes count bytes on the request endpoint and, when count is a multiple
// of the packet size, the zero-length packet that ends the transfer.
static int writeout(const unsigned char *bytes, int count) {
  int r = usb_handle ? usb_bulk_write(usb_handle, EP_OUT, (char *)bytes, count, TMO_WRITE) : -ENODEV;
  if (r != count) {
    usb_lasterr = r < 0 ? r : 0;
    fprintf(stderr, " Error in bulk write %d\n", r);
    return 1;
  }
  if (count % USB_PACKET != 0) {
    usb_lasterr = 0;
    return 0;
  }
  r = usb_bulk_write(usb_handle, EP_OUT, (char *)bytes, 0, TMO_WRITE);
  if (r != 0) {
    usb_lasterr = r < 0 ? r : 0;
    fprintf(stderr, " Error in bulk write - retrying\n");
    return 1;
  }
  usb_lasterr = 0;
  return 0;
}

int sendreq(int code, int n) {
  if (n < 0 || n > PAYLOAD_MAX) {
    fprintf(stderr, " Error: request payload of %d bytes does not fit a frame\n", n);
    return 1;
  }
  REQBUFF[0] = FRAME_SYNC >> 8;
  REQBUFF[1] = FRAME_SYNC & 0xFF;
  REQBUFF[2] = (unsigned char)(code >> 8);
  REQBUFF[3] = (unsigned char)code;
  REQBUFF[4] = (unsigned char)(n >> 8);
  REQBUFF[5] = (unsigned char)n;
  long2char(REQBUFF + FRAME_HDR + n, crc16byte2(REQBUFF, n + FRAME_HDR));
  return writeout(REQBUFF, n + FRAME_OVERHEAD);
}

int sendbuff(const unsigned char *bytes, int count) { return writeout(bytes, count); }

int checkmess(const unsigned char *frame, int count, MessRec *rec) {
  if (rec) {
    rec->data = NULL;
    rec->len = 0;
  }
  if (count < 2 || ((frame[0] << 8) | frame[1]) != FRAME_SYNC) return CHK_SYNC;
  if (count < FRAME_HDR) return CHK_LENGTH;
  int len = (frame[4] << 8) | frame[5];
  if (count != len + FRAME_OVERHEAD) return CHK_LENGTH;
  if (char2long(frame + count - FRAME_CHECK) != crc16byte2(frame, len + FRAME_HDR)) return CHK_CRC;
  if (rec) {
    rec->data = (unsigned char *)frame + FRAME_HDR;
    rec->len = len;
    rec->cmd = (frame[2] << 8) | frame[3];
  }
  return 0;
}

// Whether the last frame read was of whole packets, so that the tag may
// still send the zero-length packet that ends it.
static int zlp_may_follow;

// Reads one transfer from the tag into RXBUFF: its first packet, then the
// rest its header announces. The library ends a read only at a short packet
// or when the buffer is full, so a frame of whole packets is read to its
// exact length: it then arrives whether or not the tag ends it with a
// zero-length packet (without one, a larger read would run on into the next
// transfer or time out and lose it). A zero-length packet left over from such
// a frame is skipped. A frame with surplus bytes is read whole, so that its
// length check fails. The byte count, or the library's error.
static int readframe(int tmo) {
  if (!usb_handle) return -ENODEV;
  int r = usb_bulk_read(usb_handle, EP_IN, (char *)RXBUFF, USB_PACKET, tmo);
  if (r == 0 && zlp_may_follow) {
    zlp_may_follow = 0;
    r = usb_bulk_read(usb_handle, EP_IN, (char *)RXBUFF, USB_PACKET, tmo);
  }
  zlp_may_follow = 0;
  if (r != USB_PACKET) return r;  // a short packet ended the transfer, or an error
  int total = ((RXBUFF[4] << 8) | RXBUFF[5]) + FRAME_OVERHEAD;
  int exact = total > USB_PACKET && total % USB_PACKET == 0 && ((RXBUFF[0] << 8) | RXBUFF[1]) == FRAME_SYNC;
  if (total == USB_PACKET && ((RXBUFF[0] << 8) | RXBUFF[1]) == FRAME_SYNC) {
    zlp_may_follow = 1;
    return r;
  }
  int more = exact ? total - USB_PACKET : FRAME_MAX - USB_PACKET;
  int m = usb_bulk_read(usb_handle, EP_IN, (char *)RXBUFF + USB_PACKET, more, tmo);
  if (m < 0) return r;  // cut short: the length check says so
  zlp_may_follow = exact;
  return r + m;
}

int getmess(MessRec *rec, int tmo) {
  memset(RXBUFF, 0, RXBUFF_CLEARED);
  int r = readframe(tmo);
  if (r < FRAME_HDR) {
    usb_lasterr = r < 0 ? r : 0;
    rec->data = RXBUFF + 2;
    rec->len = (RXBUFF[0] << 8) | RXBUFF[1];
    rec->cmd = r;
    return RX_NONE;
  }
  usb_lasterr = 0;
  int flag = checkmess(RXBUFF, r, rec);  // leaves cmd alone on failure
  if (flag) {
    fprintf(stderr, " Error in received message: flag %04x\n", flag);
    return RX_BAD;
  }
  return RX_GOOD;
}

// ---- Handlers of frames the tag sends ----

int ack_resp(MessRec *) { return 0; }

int nack_resp(MessRec *) {
  fprintf(stderr, "\n Error: received negative acknowledge\n");
  return 1;
}

int err_resp(MessRec *rec) {
  if (rec->len == 2) {
    // The report carries one 16-bit code; the second field is kept for the
    // layout operators know and always shows zero.
    fprintf(stderr, "\n Device reports an error code 0x%04x:0x%04x\n", (rec->data[0] << 8) | rec->data[1], 0);
  } else {
    fprintf(stderr, "\n Error message from device has incorrect length %d\n", rec->len);
  }
  return 1;
}

int mess_resp(MessRec *rec) {
  // The text has no terminator; the byte after the payload is still inside
  // the receive buffer (the first byte of the check value).
  rec->data[rec->len] = 0;
  fprintf(stderr, "\n Device message: '%s'\n", (const char *)rec->data);
  return 0;
}

const menuentry INMENU[] = {
    {REQ_BOARDID, boardid_resp}, {REQ_ADC, boardadcread_resp}, {REQ_EEREAD, eepromread_resp}, {MSG_ACK, ack_resp},
    {MSG_NACK, nack_resp},       {MSG_ERROR, err_resp},        {MSG_TEXT, mess_resp},         {0, NULL},
};

int dispatch(MessRec *rec) {
  for (const menuentry *e = INMENU; e->handler; e++)
    if (e->code == rec->cmd) return e->handler(rec);
  fprintf(stderr, "\n Error: unknown incoming command %x\n", rec->cmd);
  return 1;
}

int in_service(int tmo) {
  MessRec rec;
  int s = getmess(&rec, tmo);
  if (s != RX_GOOD) return s;
  return dispatch(&rec);
}

// True when the last library call failed because the tag left the bus.
// Linux's library says so (-ENODEV); libusb-win32 has no such number and
// reports an I/O error (-EIO) like other failures: so after any failure but
// a time-out, the tag is gone when a new search of the bus no longer lists
// the device the session opened. A time-out is a quiet tag, not a search
// (the idle loop times out all the time).
int tag_gone(void) {
  if (usb_lasterr == -ENODEV) return 1;
  if (usb_lasterr >= 0 || usb_lasterr == -ETIMEDOUT || usb_lasterr == -USB_ETIMEDOUT_WIN32) return 0;
  return tag_vanished();
}

int tag_vanished(void) {
  if (usb_lasterr == -ENODEV) return 1;
  if (!usb_handle) return 0;
  // Only compared: the library may have freed the record of a device it no
  // longer finds.
  const struct usb_device *mine = usb_device(usb_handle);
  usb_find_busses();
  usb_find_devices();
  for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
    for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
      if (dev == mine) return 0;
  usb_lasterr = -ENODEV;  // gone for good: the next question needs no search
  return 1;
}

// getmess, but a read that brought nothing and came back before its time-out
// (a library error rather than a quiet tag) waits out the rest, so that the
// loops around it do not spin. A tag that has left the bus is not waited for.
static int getmess_paced(MessRec *rec, int tmo) {
  unsigned long start = plat_clock_ms();
  int s = getmess(rec, tmo);
  if (s == RX_NONE && !tag_gone()) {
    unsigned long gone = plat_clock_ms() - start;
    if (gone < (unsigned long)tmo) plat_sleep_ms((unsigned long)tmo - gone);
  }
  return s;
}

// Counts a failed attempt (a sync without answer, or FLOOD_FRAMES frames of a
// flood).
// The first one tells the operator that a key now stops trying; keys typed
// before that were meant for something else and are dropped, so only a key
// pressed after the notice can abandon.
static void failed_attempt(int *tries) {
  if ((*tries)++ > 0) return;
  while (plat_stopkey()) plat_getch();
  fprintf(stderr, "\n No answer to sync: press a key to stop trying\n");
}

// Whether resynchronisation should stop: the tag has left the bus, or (once
// an attempt has failed) the operator pressed a key. Prints why.
static int sync_stop(int tries) {
  if (tag_gone()) {
    fprintf(stderr, "\n Error: device is no longer connected\n");
    return 1;
  }
  if (tries > 0 && plat_stopkey()) {
    plat_getch();
    fprintf(stderr, "\n Resynchronisation abandoned\n");
    return 1;
  }
  return 0;
}

// Reads and discards frames until a read brings none; its status, or
// SYNC_ABANDONED. A tag that never stops sending counts as failed attempts.
static int drain(int tmo, int *tries) {
  MessRec rec;
  int s, n = 0;
  while ((s = getmess_paced(&rec, tmo)) == RX_GOOD || s == RX_BAD) {
    if (++n % FLOOD_FRAMES == 0) failed_attempt(tries);
    if (sync_stop(*tries)) return SYNC_ABANDONED;
  }
  if (sync_stop(*tries)) return SYNC_ABANDONED;
  return s;
}

int sync_if(void) {
  int tries = 0;
  for (;;) {
    if (drain(TMO_DRAIN, &tries) == SYNC_ABANDONED) return SYNC_ABANDONED;
    MessRec rec;
    if (sendreq(REQ_SYNC, 0) == 0 && getmess_paced(&rec, TMO_REPLY) == RX_GOOD && rec.cmd == MSG_ACK) {
      // Synchronised: a key pressed now is for the menu, unless the tag
      // floods the drain.
      int flood = 0;
      return drain(TMO_DRAIN_AFTER, &flood);
    }
    failed_attempt(&tries);
    if (sync_stop(tries)) return SYNC_ABANDONED;
  }
}

// ======================================================================
// Board commands
// ======================================================================

int askreq(int code, int n, MessRec *rec, const char *what, int quiet_send) {
  int s = sendreq(code, n);
  if (s) {
    if (!quiet_send) fprintf(stderr, " Error: write to device failed with flag %04x\n", s);
    return 1;
  }
  s = getmess(rec, TMO_REPLY);
  if (s) {
    fprintf(stderr, " Error: failed %s with flag %04x\n", what, s);
    return 1;
  }
  return 0;
}

// Decodes a board identity reply into id; a reply of another code or length
// is reported (with its length) and gives 1.
static int boardid_words(const MessRec *rec, int code_ok, uint32_t id[5]) {
  if (!code_ok || rec->len != BOARDID_LEN) {
    fprintf(stderr, " Board ID response length bad (%d:%d)\n", rec->len, BOARDID_LEN);
    return 1;
  }
  bpack(id, rec->data, 5);
  return 0;
}

int getboardid(uint32_t id[5]) {
  MessRec rec;
  if (askreq(REQ_BOARDID, 0, &rec, "ID request", 0)) return 1;
  return boardid_words(&rec, rec.cmd == REQ_BOARDID, id);
}

int boardid_resp(MessRec *rec) {
  uint32_t w[5];
  if (boardid_words(rec, 1, w)) return 1;
  fprintf(stderr, " Board ID: %04x %04x %04x %04x %04x\n", (unsigned)w[0], (unsigned)w[1], (unsigned)w[2],
          (unsigned)w[3], (unsigned)w[4]);
  return 0;
}

int boardadcread_resp(MessRec *rec) {
  if (rec->len != ADC_LEN) {
    fprintf(stderr, " Response length bad (%d:%d)\n", rec->len, ADC_LEN);
    return 1;
  }
  uint32_t w[4];
  bpack(w, rec->data, 4);
  fprintf(stderr, " ADC reads: %d %d %d %d\n", (int)w[0], (int)w[1], (int)w[2], (int)w[3]);
  return 0;
}

int getboardtime(int32_t *t) {
  MessRec rec;
  if (askreq(REQ_TIMEREAD, 0, &rec, "time read request", 0)) return 1;
  if (rec.cmd == REQ_TIMEREAD) {
    if (rec.len == TIME_LEN) {
      *t = (int32_t)char2long(rec.data);
      return 0;
    }
    fprintf(stderr, " Board time response length bad (%d:%d)\n", rec.len, TIME_LEN);
    return 1;
  }
  if (rec.len >= 2)
    fprintf(stderr, " Board time response error code %04x\n", (rec.data[0] << 8) | rec.data[1]);
  else
    fprintf(stderr, " Board time response error %04x\n", rec.cmd);
  return 1;
}

int boardtimeshow(void) {
  int32_t t;
  if (getboardtime(&t)) return 1;
  fprintf(stderr, " device time: %s\n", long2timestr(&t));
  return 0;
}

int timeset_req(void) {
  int32_t now = (int32_t)time(NULL);
  fprintf(stderr, "Setting device clock to: %s\n", long2timestr(&now));
  unsigned char *p = getbuff();
  long2char(p, (uint32_t)now);
  long2char(p + 4, 0);
  return sendreq(REQ_TIMESET, TIME_LEN) ? 1 : 0;
}

int board_soc_read(uint32_t soc[3]) {
  MessRec rec;
  if (askreq(REQ_SOC, 0, &rec, "board soc request", 1)) return 1;
  if (rec.cmd != REQ_SOC || rec.len != SOC_LEN) {
    fprintf(stderr, " Response bad %04x, %d bytes\n", rec.cmd, rec.len);
    return 1;
  }
  bpack(soc, rec.data, 3);
  return 0;
}

int board_soc(void) {
  uint32_t soc[3];
  if (board_soc_read(soc)) return 1;
  fprintf(stderr, " Battery voltage %1.2f V", soc[2] / 1000.0);
  fprintf(stderr, (soc[1] & 1) ? " charging in progress\n" : " charging done\n");
  return 0;
}

int send_reboot(void) {
  if (sendreq(REQ_REBOOT, 0)) return 1;
  MessRec rec;
  if (getmess(&rec, TMO_REPLY)) return 1;
  return rec.cmd != MSG_ACK;
}

uint32_t short_id(const uint32_t id[5]) { return ((id[2] & 0xFFFF) << 16) | (id[3] & 0xFFFF); }

// ======================================================================
// Session
// ======================================================================

int identify_device(void) {
  uint32_t id[5], soc[3];
  tagid = 0;
  if (getboardid(id)) return 1;
  tagid = short_id(id);
  if (board_soc_read(soc)) return 1;
  uint32_t t = soc[0];
  if (t > KOVA3) {
    fprintf(stderr, " Unknown device, id %08lx\n", (unsigned long)short_id(id));
    devtype = -1;
  } else if (t == DEVTYPE_ENDS) {
    exit(1);
  } else {
    fprintf(stderr, "\n Connected to %s id %08lx\n", DEVTYPES[t], (unsigned long)short_id(id));
    devtype = (int)t;
  }
  fprintf(stderr, " Battery voltage %1.2f V\n", soc[2] / 1000.0);
  return 0;
}

// Reads a menu key: the key, echoed, or 0 for a key that menus ignore
// (control codes, blanks and extended-key prefixes).
static int menukey(void) {
  int c = plat_getch();
  if (c < '0' || c > 127) return 0;
  fprintf(stderr, "%c\n\n", c);
  return c;
}

static int invalid(void) {
  fprintf(stderr, "\ninvalid option- try again\n\n");
  return MENU_HANDLED;
}

int verifyclear(void) {
  fprintf(stderr, " Are you sure you want to erase recordings y/n? ");
  int c = plat_getch();
  fprintf(stderr, "\n");
  return c == 'y';
}

// The tag took the reboot request and is leaving the bus: releasing it
// will fail, and that is no news to the operator.
static int rebooted;

// Back to the state at program start: no tag claimed, user menu.
void host_reset(void) {
  memset(REQBUFF, 0, sizeof REQBUFF);
  memset(RXBUFF, 0, sizeof RXBUFF);
  usb_handle = NULL;
  usb_lasterr = 0;
  mode = 0;
  tagid = 0;
  devtype = -1;
  zlp_may_follow = 0;
  rebooted = 0;
}

// The user menu's quit: set the tag's clock and, for tags other than the
// KOVA-3, offer to start the tag's own program at once.
static int quit_user(void) {
  // The clock dates every recording of the next deployment: an operator
  // leaving must know when it was not set.
  if (timeset_req()) fprintf(stderr, " Error: the tag's clock was not set\n");
  if (devtype == KOVA3) return 0;
  fprintf(stderr, "Run immediately? y/n  ");
  if (plat_getch() == 'y') {
    // The clock-set's acknowledge was not read: taken as the reboot's answer
    // it would hide a refused reboot.
    MessRec rec;
    for (int i = 0; i < FLOOD_FRAMES && getmess(&rec, TMO_DRAIN_AFTER) != RX_NONE; i++) {
    }
    if (send_reboot() != 0)
      fprintf(stderr, "\nUnable to send reboot command\n");
    else
      rebooted = 1;
  }
  fprintf(stderr, "\n");
  return 0;
}

// One request answered through the dispatch table: the reply's handler
// prints it. failed is the result of sending the request.
static void exchange(int failed) {
  if (failed) {
    fprintf(stderr, " Error sending command - try again\n");
    return;
  }
  MessRec rec;
  if (getmess(&rec, TMO_REPLY) == RX_GOOD) dispatch(&rec);
}

// ---- Menu actions: the keys that call no other module's action directly ----

// The recordings' keys list in the style of the menu they are pressed in.
static int list_recordings(void) { return showdirtab(mode); }
static int offload_recordings(void) { return hflsoffloadrec_req(mode); }
static int erase_recordings(void) { return verifyclear() ? hflsclearrec_req(mode) : 0; }

static int to_user(void) {
  mode = MODE_USER;
  return 0;
}
static int to_expert(void) {
  mode = MODE_EXPERT;
  return 0;
}
// Tag setup is for the KOVA-3 only; on other tags the key does nothing.
static int to_setup(void) {
  if (devtype == KOVA3) mode = MODE_SETUP;
  return 0;
}

static int ask_boardid(void) {
  exchange(sendreq(REQ_BOARDID, 0));
  return 0;
}
static int ask_adc(void) {
  exchange(sendreq(REQ_ADC, 0));
  return 0;
}
static int set_clock(void) {
  exchange(timeset_req());
  return 0;
}
// An EEPROM request with the address and byte count typed: nothing is sent
// when they were not numbers.
static void ask_eeprom(int code) {
  unsigned char *end = geteepromlocn(2);
  if (end) exchange(sendreq(code, (int)(end - getbuff())));
}
static int ask_eeread(void) {
  ask_eeprom(REQ_EEREAD);
  return 0;
}
static int ask_eeclear(void) {
  ask_eeprom(REQ_EECLEAR);
  return 0;
}

const MenuKey MENUKEYS[] = {
    {MODE_USER, '1', "Get directory", list_recordings, MENU_HANDLED, 0},
    {MODE_USER, '2', "Offload files", offload_recordings, MENU_HANDLED, 0},
    {MODE_USER, '3', "Erase files", erase_recordings, MENU_HANDLED, 0},
    {MODE_USER, '4', "Battery", board_soc, MENU_HANDLED, 0},
    {MODE_USER, '5', "Set data directory", setdatadir, MENU_HANDLED, 0},
    {MODE_USER, '6', "Enter expert mode", to_expert, MENU_HANDLED, 0},
    {MODE_USER, '7', "Download firmware", sendcode, MENU_HANDLED, 0},
    {MODE_USER, '8', "Current firmware", checkcode, MENU_HANDLED, 0},
    {MODE_USER, 'c', "Configure", to_setup, MENU_HANDLED, 1},
    {MODE_USER, 'q', "Quit", quit_user, MENU_QUIT, 0},

    {MODE_EXPERT, '0', "Board ID", ask_boardid, MENU_HANDLED, 0},
    {MODE_EXPERT, '1', "Board ADC read", ask_adc, MENU_HANDLED, 0},
    {MODE_EXPERT, '2', "Board TIME read", boardtimeshow, MENU_HANDLED, 0},
    {MODE_EXPERT, '3', "Board TIME set", set_clock, MENU_HANDLED, 0},
    {MODE_EXPERT, '4', "Battery report", board_soc, MENU_HANDLED, 0},
    {MODE_EXPERT, '5', "EEPROM read", ask_eeread, MENU_HANDLED, 0},
    // Each piece is acknowledged as it is written: no reply is left to read.
    {MODE_EXPERT, '6', "EEPROM write", eepromwrite_req, MENU_HANDLED, 0},
    {MODE_EXPERT, '7', "EEPROM clear", ask_eeclear, MENU_HANDLED, 0},
    {MODE_EXPERT, '8', "Flash chips", hflsid_req, MENU_HANDLED, 0},
    {MODE_EXPERT, '9', "Offload Flash", hflsoffload_req, MENU_HANDLED, 0},
    {MODE_EXPERT, 'a', "Flash write", hflswrite_req, MENU_HANDLED, 0},
    {MODE_EXPERT, 'b', "Flash clear", hflsclear_req, MENU_HANDLED, 0},
    {MODE_EXPERT, 'c', "Get bad blocks", hflsbadblocks_req, MENU_HANDLED, 0},
    {MODE_EXPERT, 'd', "Make bad block file", hflsbadblockfile, MENU_HANDLED, 0},
    {MODE_EXPERT, 'e', "Get directory", list_recordings, MENU_HANDLED, 0},
    {MODE_EXPERT, 'f', "Offload recording", offload_recordings, MENU_HANDLED, 0},
    {MODE_EXPERT, 'g', "Clear recording", erase_recordings, MENU_HANDLED, 0},
    {MODE_EXPERT, 'h', "Set data directory", setdatadir, MENU_HANDLED, 0},
    {MODE_EXPERT, 'i', "User mode", to_user, MENU_HANDLED, 0},
    {MODE_EXPERT, 'w', "re-write bad blocks", badblkwrite, MENU_HANDLED, 0},
    {MODE_EXPERT, 'x', "Restart", NULL, MENU_RESTART, 0},
    {MODE_EXPERT, 'q', "Quit", NULL, MENU_QUIT, 0},
    {MODE_EXPERT, 'v', "get MSP code info", msp_readhdr, MENU_HANDLED, 1},
    {MODE_EXPERT, 'm', "download MSP code", mspprog, MENU_HANDLED, 1},
    {MODE_EXPERT, 'r', "rx test MSP", msprxtest, MENU_HANDLED, 1},
    {MODE_EXPERT, 't', "tx test MSP", msptxtest, MENU_HANDLED, 1},
    {MODE_EXPERT, 's', "MSP WIO test", mspwiotest, MENU_HANDLED, 1},
    {0, 0, NULL, NULL, 0, 0},
};

// How each menu is drawn and read: items to a line, the column (a multiple
// of the tab width) that a line's second item starts at, and whether a key
// is taken in either case.
struct MenuLook {
  int columns;
  int column_width;
  int either_case;
};
static const MenuLook MENULOOK[] = {
    {1, 0, 1},   // MODE_USER
    {2, 40, 0},  // MODE_EXPERT
};
#define TAB_WIDTH 8
#define MENU_LINE_MAX 120  // a drawn line with its leading newline

// Draws a menu from its rows: the lines shown on this tag, then the prompt.
// An item followed by another on its line is padded with tabs to the column.
static void draw_menu(int menu) {
  const MenuLook *look = &MENULOOK[menu];
  char line[MENU_LINE_MAX + 1] = "\n";  // the first line starts the screen
  int len = 1, col = 0, on_line = 0;
  for (const MenuKey *k = MENUKEYS; k->label; k++) {
    if (k->menu != menu || (k->kova3_line && devtype != KOVA3)) continue;
    if (on_line) {
      do {
        if (len < MENU_LINE_MAX) line[len++] = '\t';
        col = (col / TAB_WIDTH + 1) * TAB_WIDTH;
      } while (col < look->column_width);
    }
    int n = snprintf(line + len, sizeof line - len, on_line ? "%c %s" : " %c %s", k->key, k->label);
    n = n < 0 ? 0 : n > MENU_LINE_MAX - len ? MENU_LINE_MAX - len : n;
    len += n;
    col += n;
    if (++on_line < look->columns) continue;
    fprintf(stderr, "%.*s\n", len, line);
    len = col = on_line = 0;
  }
  if (on_line) fprintf(stderr, "%.*s\n", len, line);
  fprintf(stderr, "\n Select an action... ");
}

void opt_display_user(void) { draw_menu(MODE_USER); }

void opt_display_expert(void) { draw_menu(MODE_EXPERT); }

// Reads a key and runs its row of the menu: the row's result, or an invalid
// key's.
static int service(int menu) {
  int c = menukey();
  if (!c) return MENU_IGNORED;
  if (MENULOOK[menu].either_case) c = tolower(c);
  for (const MenuKey *k = MENUKEYS; k->label; k++) {
    if (k->menu != menu || k->key != c) continue;
    if (k->run) k->run();
    return k->result;
  }
  return invalid();
}

int out_service_user(void) { return service(MODE_USER); }

int out_service_expert(void) { return service(MODE_EXPERT); }

static void show_menu(void) {
  if (mode == MODE_EXPERT)
    opt_display_expert();
  else if (mode == MODE_SETUP)
    opt_display_kova3();
  else
    opt_display_user();
}

static int service_key(void) {
  if (mode == MODE_EXPERT) return out_service_expert();
  if (mode == MODE_SETUP) {
    mode = out_service_kova3();
    return MENU_HANDLED;
  }
  return out_service_user();
}

// The keyboard loop: a key runs its action; with no key, wait up to
// TMO_DRAIN for a frame the tag sends on its own. 1 quit, 0 restart or the
// tag has gone.
static int session_loop(void) {
  int a = MENU_HANDLED;
  for (;;) {
    if (a == MENU_HANDLED) {
      show_menu();
      a = MENU_IGNORED;
    }
    if (plat_kbhit()) a = service_key();
    if (a == MENU_IGNORED) {
      MessRec rec;
      int s = getmess_paced(&rec, TMO_DRAIN);
      if (s == RX_GOOD) {
        dispatch(&rec);
      } else if (s == RX_NONE && tag_gone()) {
        fprintf(stderr, "\n Error: device is no longer connected\n");
        return 0;
      }
    }
    if (a == MENU_QUIT) return 1;
    if (a == MENU_RESTART) return 0;
  }
}

// After an abandoned resynchronisation the tag is still on the bus and a new
// search would find it and start over: the operator chooses. 0 search again,
// -1 leave. A tag that left the bus is simply searched for again.
static int ask_retry(void) {
  if (tag_gone()) return 0;
  return ask_again("\n K3 not answering: try again? y/n\n") ? 0 : -1;
}

// A tag whose EEPROM lacks the parameter magic has never been configured:
// offer to do it now.
static void offer_configure(void) {
  if (eeprom_isinstalled() != 0) return;
  fprintf(stderr, "\n Device is not yet configured: configure now y/n? ");
  if (plat_getch() == 'y') eeprom_install();
  fprintf(stderr, "\n");
}

int host(struct usb_device *dev) {
  usb_handle = claimif(dev, 0);
  if (!usb_handle) return 0;  // claimif said why; search the bus again
  usb_lasterr = 0;
  rebooted = 0;
  int result = 0;
  // The data directory is loaded whatever the first resynchronisation gave,
  // because the end of the session saves it back.
  int synced = sync_if() != SYNC_ABANDONED;
  loaddatadir();
  if (synced) {
    identify_device();
    synced = sync_if() != SYNC_ABANDONED;
    if (synced) {
      offer_configure();
      synced = sync_if() != SYNC_ABANDONED;
      if (synced) result = session_loop();
    }
  }
  if (!synced) result = ask_retry();
  releaseif(usb_handle, tag_gone() || rebooted);
  usb_handle = NULL;
  savedatadir();
  return result;
}
