// The one place the program takes the libusb 0.1 API from.
//
// Every module includes this header, never <usb.h> directly, so that a build
// can choose which declaration of the API to use: the system's libusb 0.1
// header on Linux (for both the real library and the virtual bus), or the
// header named by K3_USB_HEADER (libusb-win32's 0.1 header on Windows).
#pragma once

#if defined(K3_USB_HEADER)
#include K3_USB_HEADER
#elif defined(_WIN32)
#error "set K3_USB_HEADER to the libusb 0.1 API header for this platform"
#else
#include <usb.h>
#endif
