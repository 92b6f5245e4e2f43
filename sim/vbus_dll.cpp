// The emulated tag as libusb0.dll: the virtual bus behind the names and the
// byte-packed records of libusb-win32's 0.1 API (include/usb01.h), so that
// the production k3host.exe, with this DLL beside it, runs whole sessions
// under wine against the tag k3host-sim would emulate.
//
// The tag is chosen by the environment variable K3_SIM_OPTIONS, which takes
// k3host-sim's options separated by spaces (say "--no-state --boot"); unset,
// it is a KOVA-3 in host state with its state kept where k3host-sim keeps it.
// The bus runs in real time from the program's usb_init.
//
// Failures come back as libusb-win32 reports them, not as the bus's POSIX
// numbers: -116 for a time-out, -EINVAL as itself, and -EIO for everything
// else, a tag that left the bus included (the DLL has no -ENODEV). The
// functions here are exported under the API's names by the .def that CMake
// makes from cmake/libusb0.def.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim_options.h"
#include "usbapi.h"
#include "vbus.h"

#define WIN_ETIMEDOUT 116  // libusb-win32's time-out
#define WIN_EIO 5          // its failure when the Windows error says no more
#define WIN_EINVAL 22

namespace {

int win(int r) {
  if (r >= 0) return r;
  if (r == -ETIMEDOUT) return -WIN_ETIMEDOUT;
  return r == -EINVAL ? -WIN_EINVAL : -WIN_EIO;
}

// The tag of K3_SIM_OPTIONS on the bus; a bad option ends the program,
// since a session with some other tag would test the wrong thing.
void start_tag(void) {
  std::vector<std::string> words{"libusb0.dll"};
  const char *env = getenv("K3_SIM_OPTIONS");
  std::istringstream in(env ? env : "");
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<const char *> argv;
  for (const std::string &w : words) argv.push_back(w.c_str());
  SimOptions opt;
  std::string err;
  if (sim_parse((int)argv.size(), argv.data(), &opt, &err) != 0 || opt.help || opt.version) {
    fprintf(stderr, "libusb0.dll (emulated tag): K3_SIM_OPTIONS: %s\n",
            err.empty() ? "k3host-sim's tag options only" : err.c_str());
    exit(2);
  }
  if (!opt.warning.empty()) fprintf(stderr, "libusb0.dll (emulated tag): %s\n", opt.warning.c_str());
  if (sim_start(opt) < 0) exit(2);  // its state directory in use: said already
}

}  // namespace

#define DLL extern "C"
DLL void k3tag_usb_init(void) {
  static bool started;
  if (!started) start_tag();
  started = true;
  usb_init();
}
DLL void k3tag_usb_set_debug(int level) { usb_set_debug(level); }
DLL int k3tag_usb_find_busses(void) { return usb_find_busses(); }
DLL int k3tag_usb_find_devices(void) { return usb_find_devices(); }
DLL struct usb_bus *k3tag_usb_get_busses(void) { return usb_get_busses(); }
DLL char *k3tag_usb_strerror(void) { return usb_strerror(); }
DLL usb_dev_handle *k3tag_usb_open(struct usb_device *dev) { return usb_open(dev); }
DLL int k3tag_usb_close(usb_dev_handle *h) { return win(usb_close(h)); }
DLL struct usb_device *k3tag_usb_device(usb_dev_handle *h) { return usb_device(h); }
DLL int k3tag_usb_get_string(usb_dev_handle *h, int index, int langid, char *buf, size_t n) {
  return win(usb_get_string(h, index, langid, buf, n));
}
DLL int k3tag_usb_get_string_simple(usb_dev_handle *h, int index, char *buf, size_t n) {
  return win(usb_get_string_simple(h, index, buf, n));
}
DLL int k3tag_usb_get_descriptor_by_endpoint(usb_dev_handle *h, int ep, unsigned char type, unsigned char index,
                                             void *buf, int size) {
  return win(usb_get_descriptor_by_endpoint(h, ep, type, index, buf, size));
}
DLL int k3tag_usb_get_descriptor(usb_dev_handle *h, unsigned char type, unsigned char index, void *buf, int size) {
  return win(usb_get_descriptor(h, type, index, buf, size));
}
DLL int k3tag_usb_bulk_write(usb_dev_handle *h, int ep, const char *bytes, int size, int timeout) {
  return win(usb_bulk_write(h, ep, bytes, size, timeout));
}
DLL int k3tag_usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout) {
  return win(usb_bulk_read(h, ep, bytes, size, timeout));
}
DLL int k3tag_usb_interrupt_write(usb_dev_handle *h, int ep, const char *bytes, int size, int timeout) {
  return win(usb_interrupt_write(h, ep, bytes, size, timeout));
}
DLL int k3tag_usb_interrupt_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout) {
  return win(usb_interrupt_read(h, ep, bytes, size, timeout));
}
DLL int k3tag_usb_control_msg(usb_dev_handle *h, int type, int req, int value, int index, char *bytes, int size,
                              int timeout) {
  return win(usb_control_msg(h, type, req, value, index, bytes, size, timeout));
}
DLL int k3tag_usb_set_configuration(usb_dev_handle *h, int c) { return win(usb_set_configuration(h, c)); }
DLL int k3tag_usb_claim_interface(usb_dev_handle *h, int i) { return win(usb_claim_interface(h, i)); }
DLL int k3tag_usb_release_interface(usb_dev_handle *h, int i) { return win(usb_release_interface(h, i)); }
DLL int k3tag_usb_set_altinterface(usb_dev_handle *h, int a) { return win(usb_set_altinterface(h, a)); }
DLL int k3tag_usb_resetep(usb_dev_handle *h, unsigned int ep) { return win(usb_resetep(h, ep)); }
DLL int k3tag_usb_clear_halt(usb_dev_handle *h, unsigned int ep) { return win(usb_clear_halt(h, ep)); }
DLL int k3tag_usb_reset(usb_dev_handle *h) { return win(usb_reset(h)); }
