// Control side of the virtual USB bus and its emulated tags.
//
// The bus implements the libusb 0.1 functions the program calls (usb_init,
// usb_find_busses, usb_open, usb_bulk_read, ...) with the signatures of
// <usb.h> and the return conventions of libusb 0.1 on Linux: byte counts, or
// a negative errno (-ETIMEDOUT, -ENODEV, -EBUSY). This header is what tests
// and the simulator's main use to put tags on the bus, inject faults, drive
// the clock and look at what the program sent.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// One flash chip position of an emulated tag: its geometry as the chip
// geometry request reports it (flashid 0: no chip fitted) and its bad blocks
// in the order the tag reports them.
struct SimChip {
  uint16_t flashid = 0;
  uint16_t nblocks = 0;
  uint16_t npages = 0;
  uint16_t nwords = 0;
  std::vector<uint16_t> bad;
};

// One entry of the emulated tag's recording directory.
struct SimRecording {
  uint16_t startchip = 0, startblock = 0, endchip = 0, endblock = 0;
  uint32_t starttime = 0, endtime = 0;  // seconds since 1970 UTC
  uint16_t type = 1;                    // 0 fragment, 1 recording, 2 bad block, other: unknown
};

// The KOVA-3's MSP co-processor as the emulated tag holds it. It lives in
// TagConfig, so it is both the power-on state and, through
// vbus_tag_config, the live state a test looks at.
//
// The running program presents a 256-byte register space: a transmit
// (request 0x40a) stores its first byte as the register address and the
// rest from there on; a receive (0x40b) returns bytes from the last address
// on. Register 0 holds the last command pair, 20 the 12-byte timing and
// trigger block, 32 the 2-byte option word; a read from 128 returns the 64
// bytes of memory at 0x1000 (the firmware information record).
//
// The boot loader (request 0x409, one frame per request) answers 0x90 or
// 0xA0. It refuses everything but the mass erase until it has been given the
// password, the 32 bytes at 0xFFE0 (all 0xFF right after a mass erase);
// writes go into mem, and a start leaves the boot loader and runs the
// program at the address given. While no program can run (in the boot
// loader, or the reset vector erased) the MSP does not answer its registers:
// transmit, receive and sensor replies carry status 2 and no bytes.
struct SimMsp {
  bool fitted = true;          // false: the MSP requests are nacked
  uint16_t status = 0;         // status word of register and sensor replies while running
  uint16_t battery_mv = 3690;  // sensor readings
  uint16_t salinity = 960;     // raw, 0 to 1023
  uint16_t aux = 0x0123;       // the third reading
  int wio = -1;                // last WIO test value, -1 none yet
  std::vector<uint8_t> regs;   // 256 bytes; empty at attach: power-on defaults
  uint8_t ptr = 0;             // register address of the next receive
  std::vector<uint8_t> mem;    // 64 KiB image; empty at attach: a factory program and record
  bool in_bsl = false;         // in the boot loader since its first frame, until a start
  bool unlocked = false;       // the boot loader has taken the password
  int started_at = -1;         // address the program was last started at, -1 never
};

// Library calls an emulated tag can be made to refuse (TagConfig::refuse).
enum { REFUSE_SETCONF = 1, REFUSE_RELEASE = 2, REFUSE_CLOSE = 4, REFUSE_BOOT = 8 };  // BOOT: image writes

// How one emulated tag starts.
struct TagConfig {
  int bootloader = 0;  // 1: appears as 0451:9001 and takes a boot image
  int devtype = 4;     // word 0 of the battery reply (4 = KOVA-3)
  uint16_t boardid[5] = {0x0003, 0x0102, 0x4B33, 0x0A17, 0x0001};
  uint16_t adc[4] = {812, 1650, 2048, 37};
  uint16_t battery_status = 0;  // bit 0: charging in progress
  uint16_t battery_mv = 3712;
  int32_t clock_offset = 0;        // tag clock minus host clock, in seconds
  int held = 0;                    // another program holds it: claim gives -EBUSY
  int refuse = 0;                  // library calls on it that fail with -EIO: REFUSE_* bits
  int bus = 1;                     // bus number the tag sits on (buses in order)
  unsigned long reenum_ms = 1000;  // boot image received -> back in host state
  int read_error = 0;              // non-zero: its IN endpoint is stalled, so every
                                   // read ends at once with nothing (the library gives 0)
  int zlp = 1;                     // 1: a transfer of a multiple of 64 bytes is ended with
                                   // a zero-length packet; 0: it is not, and a read with
                                   // room left runs on into the next transfer
  int no_access = 0;               // the user may not write to its device node: set
                                   // configuration and claim fail with -EPERM
  long leave_at_ms = -1;           // bus time at which it leaves the bus on its own, -1 never
  std::string statedir;            // where the tag's state is kept; empty: memory only
  // Flash: two 1 GiB chips (4096 blocks of 64 pages of 2048 words), a few
  // bad blocks each.
  std::vector<SimChip> chips = {{0x00D3, 4096, 64, 2048, {5, 1021, 3071}}, {0x00D3, 4096, 64, 2048, {77}}};
  // EEPROM at power-on: 0 configured (parameter magic, the bad-block records
  // of the chips above, a few parameters); 1 a new tag, all bytes erased
  // (0xFF). The state directory, when it has an EEPROM, wins over this.
  int eeprom_blank = 0;
  // Recording directory at power-on: one entry of every type, none touching
  // chip 0 block 0 (the firmware). The recordings' pages are generated from
  // their position (see vbus_flash_page); the one from chip 0 block 2000 to
  // chip 1 block 200 holds about 600 MB and crosses a bad block on each chip.
  std::vector<SimRecording> recordings = {
      {0, 1, 0, 4, 1773122400, 1773122530, 1},       // 2026-03-10 06:00:00 - 06:02:10
      {0, 5, 0, 5, 1773122530, 1773122532, 2},       // the bad block 5
      {0, 6, 0, 40, 1773122532, 1773123600, 1},      // 2026-03-10 06:02:12 - 06:20:00
      {0, 41, 0, 43, 1773212400, 1773212490, 0},     // fragment, 2026-03-11 07:00:00 - 07:01:30
      {0, 2000, 1, 200, 1773466200, 1773485100, 1},  // 2026-03-14 05:30:00 - 10:45:00
      {1, 300, 1, 301, 1773576000, 1773576060, 7},   // unknown type, 2026-03-15 12:00:00 - 12:01:00
      {1, 400, 1, 409, 1773684000, 1773684320, 1},   // 2026-03-16 18:00:00 - 18:05:20
  };
  int dir_max = 1000;   // entries one directory reply carries; past it the reply ends with one 0xFF byte
  int32_t mbfree = -2;  // free-memory reply: -2 worked out from the flash, -1 unknown (0xFFFF), else this
  // Firmware image header in chip 0 block 0 page 0 at power-on (modified
  // 2026-03-02 10:15:00 UTC, loaded 2026-03-09 14:00:00 UTC); empty: that
  // page is erased.
  std::string firmware_name = "kova3_fw_2_14.bin";
  // The MSP co-processor (KOVA-3); see SimMsp.
  SimMsp msp;
};

// What can go wrong with one request; see vbus_fault.
enum FaultKind {
  FAULT_NOREPLY,    // no reply at all (the read times out)
  FAULT_BADSYNC,    // reply with a wrong sync word
  FAULT_BADLEN,     // reply one byte longer than its length field says
  FAULT_BADCRC,     // reply with a corrupted check value
  FAULT_WRONGCODE,  // well-formed reply with code arg instead of the right one
  FAULT_SHORT,      // well-formed reply with its payload cut by arg bytes
  FAULT_NACK,       // negative acknowledge instead of the reply
  FAULT_ERROR,      // error report with the 16-bit code arg instead of the reply
  FAULT_TEXT,       // text message `text` sent just before the reply
  FAULT_VANISH,     // the tag leaves the bus instead of replying
  FAULT_WRITEFAIL,  // the request's bulk write fails with -EIO
  FAULT_ZLPFAIL,    // the zero-length packet after the request fails
  FAULT_DELAY,      // the reply comes arg ms late
  FAULT_STALL,      // no reply, and from then on every read fails at once
                    // with -EPIPE (a stalled endpoint)
  // Flash read (0x301) only; no effect on other requests.
  FAULT_FEWPAGES,    // the reply carries at most arg pages (at least 1)
  FAULT_WRONGPAGE,   // first and last page of the descriptor one more than the truth; data unchanged
  FAULT_WRONGBLOCK,  // the descriptor names the next block
  FAULT_SKIPBLOCK,   // first and last page 0xFFFF, no data: the block is skipped
  FAULT_PAGEERRORS,  // the descriptor's error count is arg
  // MSP boot-loader frame (0x409) and MSP transmit (0x40a) only.
  FAULT_REFUSE,  // the boot loader answers 0xA0 whatever the frame; a
                 // transmit is answered with status 2 and not stored
};

// A fault on request `code`, at its nth occurrence counted from 1 (0: every
// occurrence). arg and text as the kind says.
struct Fault {
  int code = 0;
  int nth = 0;
  FaultKind kind = FAULT_NOREPLY;
  int arg = 0;
  std::string text{};
};

// One thing that crossed the bus, in order, for tests to check the exchange.
enum BusEventKind {
  EV_OPEN,
  EV_CLOSE,
  EV_SETCONF,
  EV_CLAIM,
  EV_RELEASE,
  EV_WRITE,  // bulk write: ep, data, result
  EV_ZLP,    // zero-length bulk write
  EV_READ,   // bulk read: ep, data delivered (empty on time-out), result
};
struct BusEvent {
  BusEventKind kind;
  int tag;  // id from vbus_attach
  int ep;
  std::vector<uint8_t> data;
  int result;       // what the library call returned
  int timeout = 0;  // the time-out the program gave a bulk read or write, ms
};

// ---- The bus ----
//
// Bus notes the tests rely on; reads answer as libusb 0.1 on Linux does:
// - A request frame whose length is a multiple of 64 reaches the tag only
//   with the zero-length packet after it. If the next write comes first, the
//   two arrive as one transfer, which the tag rejects with a nack.
// - Replies are due at once; a read takes due transfers oldest first. It
//   ends at the end of a transfer: a short packet, or the zero-length packet
//   the tag sends after one of a multiple of 64 bytes (TagConfig::zlp; without
//   it the read runs on into the next transfer, and what it held is lost
//   when it times out). A transfer larger than the read's buffer gives what
//   fits; the rest comes with the next read.
// - A stalled endpoint makes every read return 0 at once. A tag that leaves
//   the bus while a read waits makes that read return 0; every later call
//   gives -ENODEV.
// - usb_find_devices frees the records of devices that have left the bus,
//   as the library does: a pointer kept from an earlier search dangles.
// - A time-out of 0 or less makes a read a poll.
// - Requests are counted for faults when their header (sync, code) can be
//   read, whether or not the rest of the frame is good.

void vbus_reset(void);                  // no tags, empty log, clock at 0
int vbus_attach(const TagConfig &cfg);  // puts a tag on the bus; its id
void vbus_detach(int tag);              // the tag vanishes (handles give -ENODEV)
int vbus_present(int tag);              // 1 while the tag is on the bus
int vbus_tag_state(int tag);            // 0 boot loader, 1 host, -1 gone
int vbus_tag_generation(int tag);       // its enumeration now (new at each return to the bus), 0 while gone
// The tag a device record of the bus list belongs to (any enumeration of
// it), or 0 for a pointer that is not one of the bus's records.
struct usb_device;
int vbus_device_tag(const struct usb_device *dev);
// A new search of the bus, then the record of tag in its list; null when it
// is not on the bus.
struct usb_device *vbus_find_tag(int tag);

// ---- Time ----

// Virtual (tests, the default) or real time (the simulator). In virtual
// time a read that waits simply moves the clock on. In real time the clock
// is plat_clock_ms and waits sleep with plat_sleep_ms, so real time must not
// be combined with platform hooks that lead back to the bus clock.
void vbus_realtime(int on);
unsigned long vbus_now_ms(void);
uint64_t vbus_now_us(void);
void vbus_advance_ms(unsigned long ms);

// ---- A full-speed link ----
//
// Off (the default), a transfer takes no time. On, the bus carries
// transfers as a USB full-speed link does: one at a time in either
// direction, n bytes as ceil(n / 64) packets of 64 bytes (a zero-length
// packet is one packet), 19 packets a millisecond. A write returns once its
// bytes have crossed; a reply starts crossing when the program reads, the
// link is free and the tag is ready, latency_us after the request reached
// it, and the read returns once it has crossed. In real time the calls
// sleep for it, so the program meets the link's own pace.
void vbus_link(int on, unsigned long latency_us = 0);
// Time the link has spent carrying transfers, and the tag its latency
// before replies, since vbus_reset (us): the least time the same exchange
// could take.
uint64_t vbus_link_us(void);
// Time n bytes take to cross the link (us).
uint64_t vbus_link_cost_us(int n);

// What a bulk transfer to a tag that has left the bus answers: -ENODEV, as
// the Linux library does (the default), or -EIO, as libusb-win32 does.
void vbus_gone_error(int err);
// Handles opened and not yet closed.
int vbus_open_handles(void);

// ---- Faults and unprompted frames ----

void vbus_fault(int tag, const Fault &f);
void vbus_clear_faults(int tag);

// A frame the tag sends on its own, delivered at the first read at or after
// at_ms on the bus clock (0: at once).
void vbus_tag_send(int tag, int code, const void *payload, int len, unsigned long at_ms = 0);
// Raw bytes delivered as one transfer at or after at_ms, framed or not.
// Frames sent these two ways are the tag's own: they wait while it restarts
// (boot image) and come once it is back; replies in flight are lost then.
void vbus_tag_send_raw(int tag, const void *bytes, int len, unsigned long at_ms = 0);
// Transfers waiting in the tag's IN endpoint, due or not.
int vbus_tag_pending(int tag);

// ---- What happened ----

const std::vector<BusEvent> &vbus_events(void);
void vbus_clear_events(void);
// Keeps the event log and the received frames (on, the default) or not; a
// long simulator session turns it off so they do not grow without end.
void vbus_record(int on);
// The request frames the tag received on endpoint 2, in order.
std::vector<std::vector<uint8_t>> vbus_frames_received(int tag);
// The boot image bytes the tag received on endpoint 6, and the chunk sizes.
std::vector<uint8_t> vbus_boot_image(int tag);
std::vector<int> vbus_boot_chunks(int tag);

// ---- The tag's own state ----

int32_t vbus_tag_clock(int tag);  // the tag's clock now
// The tag's 64 KiB EEPROM, live; throws for no such tag. Changes made here
// are kept in the state directory at the next vbus_tag_save.
std::vector<uint8_t> &vbus_tag_eeprom(int tag);
TagConfig &vbus_tag_config(int tag);  // live settings (battery, type, ...); throws for no such tag
// Writes the tag's persistent state to its state directory now (after the
// live settings were changed); nothing without a state directory.
void vbus_tag_save(int tag);
// The bytes of one page as the tag holds it now (written, erased, recorded or bad: a bad block gives an empty vector);
// throws for no such tag; an out-of-range position gives an empty vector.
// Recorded pages are generated from chip, block and page, so a test can
// compare an offloaded file with them byte for byte.
std::vector<uint8_t> vbus_flash_page(int tag, int chip, int block, int page);
// The tag's directory as it stands now (after erases).
std::vector<SimRecording> vbus_flash_dir(int tag);

// ---- Replies from memory, for measuring the program alone ----

// On, the tag answers a request frame it has answered before (with no
// fault injected) with the very same frames again, kept from that first
// time, without working them out; what it costs the process is then the
// program's and the bus's alone. The tag's memory must not change while it
// is on (no writes, erases or clock to read). Off forgets the frames.
void vbus_tag_replay(int tag, int on);

// ---- The kernel's side, for a bridge from a real library ----

// One IN URB of size bytes on an open handle, of which *got are filled:
// moves what the tag has due into buf after them. 1: the URB is done (full,
// or a transfer ended); 0: it waits for more; -ENODEV: the tag has left the
// bus; -EPIPE: the endpoint is stalled; -ENOENT: no such endpoint.
int vbus_urb_in(struct usb_dev_handle *h, int ep, uint8_t *buf, int size, int *got);

// ---- A hostile tag, for fuzzing ----

#include <functional>

// Replaces the tag's replies: each request frame it receives on endpoint 2
// from now on is answered by answer(code, frame) alone (code -1 when the
// frame has no sync word and code), delivered raw as one transfer, framed or
// not; an empty answer is no reply. A null answer restores the tag's own
// replies. Frames the tag was scripted to send stay. The swap is made by
// vbus_hostile_swap, which the program's reads must pass through first (the
// fuzzer links with -Wl,--wrap=usb_bulk_read and calls it from the wrapper);
// it needs the bus's log (vbus_record on, the default).
typedef std::function<std::vector<uint8_t>(int code, const std::vector<uint8_t> &request)> HostileAnswer;
void vbus_tag_hostile(int tag, HostileAnswer answer);
void vbus_hostile_swap(void);
