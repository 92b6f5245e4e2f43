// Upload of the host firmware to a tag in boot-loader state.
#pragma once

#include "usbapi.h"

#define BOOTFILE "_boot.bin"

// Sends BOOTFILE in 64-byte chunks on endpoint 6, then waits for the tag to
// restart. 0 sent (" rebooting..." printed); 1 failed, message printed.
int boot(struct usb_device *dev);

// Waits until ms milliseconds of elapsed time have passed. Always 0.
int waitfor(int ms);
