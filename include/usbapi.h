// The one place the program takes the libusb 0.1 API from.
//
// Every module includes this header, never <usb.h> directly, so that a build
// can choose which declaration of the API to use:
//  - the header named by K3_USB_HEADER (libusb-win32's own 0.1 header, when
//    a build is made against its unpacked distribution);
//  - on Windows otherwise, the program's own declarations of libusb0.dll's
//    API (usb01.h), for k3host.exe and for the simulator whose virtual bus
//    defines the functions. MinGW ships an unrelated <usb.h> that must never
//    be picked up;
//  - elsewhere the system's libusb 0.1 header, for both the real library and
//    the virtual bus.
#pragma once

#if defined(K3_USB_HEADER)
#include K3_USB_HEADER
#elif defined(_WIN32)
#include "usb01.h"
#else
#include <usb.h>
#endif

// libusb-win32 reports a time-out as -116 whatever the C runtime's ETIMEDOUT
// is, and a device that has left the bus as -EIO (it has no -ENODEV).
#define USB_ETIMEDOUT_WIN32 116
