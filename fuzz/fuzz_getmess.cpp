// Fuzzes the receive path end to end: the emulated tag delivers the input as
// one bulk transfer on the virtual bus, getmess reads and checks it, and a
// good frame is dispatched through INMENU (handlers print to stderr).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "host.h"
#include "k3host.h"
#include "k3proto.h"
#include "vbus.h"

static int tag = -1;

// One KOVA-3 on the bus, opened and claimed once for the whole run.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vbus_reset();
  TagConfig cfg;
  tag = vbus_attach(cfg);
  usb_init();
  int state = -1;
  struct usb_device *dev = device_init(&state);
  if (dev == nullptr || state != 1) abort();
  usb_handle = claimif(dev, 0);
  if (usb_handle == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Keep within one transfer the bus can hand over (int length).
  if (size > 4 * FRAME_MAX) return 0;
  vbus_tag_send_raw(tag, data, (int)size);

  MessRec rec = {nullptr, 0, 0};
  int r = getmess(&rec, TMO_REPLY);
  if (r != RX_GOOD && r != RX_BAD && r != RX_NONE) __builtin_trap();
  if (r == RX_GOOD) {
    if (rec.data != RXBUFF + FRAME_HDR || rec.len < 0 || rec.len > PAYLOAD_MAX)
      __builtin_trap();
    dispatch(&rec);
  }

  // Take whatever the transfer left behind, so each input starts afresh,
  // and keep the bus's log of transfers from growing.
  for (int i = 0; i < 8 && getmess(&rec, TMO_DRAIN_AFTER) != RX_NONE; i++) {
  }
  vbus_clear_events();
  return 0;
}
