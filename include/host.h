// The session with a tag in host state: message transport, board commands,
// identification, the menus and the session loop.
#pragma once

#include <stdint.h>

#include "k3proto.h"
#include "usbapi.h"

// ---- Message transport ----

extern unsigned char REQBUFF[FRAME_MAX];  // the one request buffer
// The one receive buffer. A transfer fills at most FRAME_MAX bytes, but a
// transfer too short to be a frame leaves MessRec.len as its first two bytes
// (up to 0xFFFF) with data just after them: the buffer holds that many, and
// one more for a terminator, so no use of such a len can leave it.
#define RXBUFF_SIZE (2 + 0xFFFF + 1)
extern unsigned char RXBUFF[RXBUFF_SIZE];
extern usb_dev_handle *usb_handle;  // the claimed tag

// Result of the last library call that failed in sendreq, sendbuff or
// getmess (a negative errno), or 0; lets callers tell a vanished tag apart.
extern int usb_lasterr;

// 1 when the last library call failed because the tag left the bus (on
// libusb-win32, which has no number for it, a new search of the bus tells);
// then usb_lasterr is -ENODEV. Else 0.
int tag_gone(void);
// 1 when a search of the bus no longer lists the tag the session opened,
// whatever the last failure was (Linux's library first reads nothing from
// a tag that has just left, and only then says -ENODEV); then usb_lasterr
// is -ENODEV. Else 0. For a long transfer that failed, not for the idle
// poll (it searches the bus).
int tag_vanished(void);

// Payload area of REQBUFF (offset 6), where a request is built.
unsigned char *getbuff(void);

// Frames the n payload bytes already in REQBUFF under code and sends them.
// 0 sent; 1 failed, message printed.
int sendreq(int code, int n);

// Sends raw bytes on the request endpoint. 0 sent; 1 failed, message printed.
int sendbuff(const unsigned char *bytes, int count);

// Reads one frame within tmo ms. 0 good (rec filled); 1 bad frame, its check
// flag printed; 32 nothing usable arrived (rec->cmd holds the library result).
int getmess(MessRec *rec, int tmo);

// Check flag (0 good, 1 sync, 2 length, 4 check value) of a frame in memory;
// fills rec (when given) on success. Prints nothing.
int checkmess(const unsigned char *frame, int count, MessRec *rec);

// Sends a good frame to its INMENU handler: the handler's result, or 1 after
// printing the unknown-code message.
int dispatch(MessRec *rec);

// Reads one frame within tmo ms and dispatches it: getmess's status when
// non-zero, else the handler's result.
int in_service(int tmo);

// Resynchronises with the tag: drain, sync request until acknowledged, drain.
// The status that ended the final drain (non-zero); SYNC_ABANDONED when the
// operator pressed a key or the tag left the bus, message printed.
#define SYNC_ABANDONED (-1)
int sync_if(void);

typedef int (*menuhandler)(MessRec *rec);
struct menuentry {
  int code;
  menuhandler handler;
};
extern const menuentry INMENU[];

// Protocol handlers: 0 handled, 1 reported an error.
int ack_resp(MessRec *rec);
int nack_resp(MessRec *rec);
int err_resp(MessRec *rec);
int mess_resp(MessRec *rec);

// ---- Board commands ----

// Sends request code with the n payload bytes already in place and reads its
// reply within TMO_REPLY into rec: 0 with rec filled; 1 failed, reported as
// " Error: write to device failed with flag %04x" (unless quiet_send: the
// transport has spoken already) or " Error: failed <what> with flag %04x".
int askreq(int code, int n, MessRec *rec, const char *what, int quiet_send);

int getboardid(uint32_t id[5]);       // 0 good, 1 failed (printed)
int boardid_resp(MessRec *rec);       // 0 printed, 1 bad length
int boardadcread_resp(MessRec *rec);  // 0 printed, 1 bad length
int getboardtime(int32_t *t);         // 0 good, 1 failed (printed)
int boardtimeshow(void);              // 0 shown, 1 failed
int timeset_req(void);                // 0 request sent, 1 send failed
int board_soc_read(uint32_t soc[3]);  // 0 good, 1 failed (printed)
int board_soc(void);                  // 0 shown, 1 failed
int send_reboot(void);                // 0 acknowledged, 1 otherwise; silent
uint32_t short_id(const uint32_t id[5]);

// ---- Session ----

// Menu modes: the value of mode.
enum { MODE_USER = 0, MODE_EXPERT = 1, MODE_SETUP = 2 };

extern int mode;        // MODE_USER (also any unknown value), MODE_EXPERT or MODE_SETUP
extern int devtype;     // index into DEVTYPES, -1 unknown
extern uint32_t tagid;  // short board id of the tag identified in this session, 0 none
extern const char *const DEVTYPES[5];

// Runs a session with the tag: 1 quit, 0 restart (or the session could not
// be held: the bus is searched again), -1 the tag did not answer and the
// operator chose to leave.
int host(struct usb_device *dev);

// Board identity and battery state: 0 identified, 1 failed (printed). Ends
// the program with status 1 for device type 3.
int identify_device(void);

// Results of a menu key handler.
enum { MENU_IGNORED = 0, MENU_HANDLED = 1, MENU_QUIT = -1, MENU_RESTART = -2 };

// One key of the user or expert menu. Its line is drawn in that menu (only
// on a KOVA-3 when kova3_line is set; the key acts on every tag); the key
// calls run, when there is one, and its handler returns result (run's own
// result is reported by run itself).
struct MenuKey {
  int menu;  // MODE_USER or MODE_EXPERT
  char key;  // lower case; the user menu takes either case
  const char *label;
  int (*run)(void);
  int result;  // MENU_HANDLED, MENU_QUIT or MENU_RESTART
  int kova3_line;
};
// Both menus' keys in the order drawn (the expert menu two to a line); ends
// with a row whose label is null.
extern const MenuKey MENUKEYS[];

void opt_display_user(void);
void opt_display_expert(void);
// Read the pressed key and act: MENU_HANDLED, MENU_IGNORED, MENU_QUIT or
// MENU_RESTART (expert menu only).
int out_service_user(void);
int out_service_expert(void);

// Asks whether to erase recordings: 1 for "y", else 0.
int verifyclear(void);

// Puts this module's state back as at program start (for tests and fuzzers).
void host_reset(void);
