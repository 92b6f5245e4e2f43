// Program entry, device discovery, and opening and claiming a tag.
#pragma once

#include "usbapi.h"

// The two USB identities the program accepts, {vendor, product}; the row is
// the device state: 0 boot loader, 1 host firmware.
extern const int VIDPID[2][2];

// The program: banner, search, upload or session, until quit. 0; -1 when
// the operator gives up on a tag that does not answer or stays in its boot
// loader; the process ends through exit(-1) when the operator gives up the
// search.
int k3host_main(void);

// Asks the operator whether to go on after something did not work out
// (the question ends with "y/n"): 0 for 'n', 1 for any other key. Keys
// pressed before the question do not answer it.
int ask_again(const char *question);

// First device in bus order that matches VIDPID and can be claimed, with its
// row in *state; null and *state = -1 when there is none. Prints nothing.
struct usb_device *device_init(int *state);

// Opens the device, sets configuration 1 and claims interface 0. The handle,
// or null after printing the reason (unless quiet).
usb_dev_handle *claimif(struct usb_device *dev, int quiet);

// Releases interface 0 and closes the handle, printing failures unless
// quiet. Always 0.
int releaseif(usb_dev_handle *h, int quiet);

// Puts this module's state back as at program start (for tests and fuzzers).
void k3host_reset(void);
