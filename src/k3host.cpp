// Program entry and the outer loop: find a tag on the USB bus, send the boot
// image to a tag still in its boot loader, and run a session with a tag in
// host state until the operator quits. Also the open-and-claim and
// release-and-close helpers that the upload and the session share.
#include "k3host.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "boot.h"
#include "host.h"
#include "k3proto.h"
#include "platform.h"

const int VIDPID[2][2] = {
    {0x0451, 0x9001},  // boot loader: takes the boot image
    {0x0C55, 0x1235},  // host firmware: takes the message protocol
};

// A tag on the bus that this user may not open: set by claimif when the
// library refused for lack of permission (the device node not writable:
// the udev rule missing, or the user not in its group).
static int denied;
static int told;  // the permission hint: given once a run

void k3host_reset(void) { denied = told = 0; }
static int no_permission(int r);

int ask_again(const char *question) {
  while (plat_stopkey()) plat_getch();  // keys typed before the question; piped ones are its answers
  fputs(question, stderr);
  return plat_getch() != 'n';
}

int k3host_main(void) {
  plat_console_init();
  fprintf(stderr, " K3 USB Host V1.1\t\t       for KOVA recording tags\n");
  fprintf(stderr, "\n Searching for device...\n");
  usb_set_debug(0);
  usb_init();
  int uploaded = 0;  // the last tag found was sent the boot image
  for (;;) {
    int state;
    struct usb_device *dev = device_init(&state);
    if (!dev) {
      if (!ask_again("K3 not found: try again? y/n\n")) exit(-1);
      continue;
    }
    if (state == 0) {
      // A tag still in its boot loader after an upload did not take the
      // image (an empty one, say): uploading again may never end.
      if (uploaded && !ask_again(" Tag is still in its boot loader: try again? y/n\n")) return -1;
      if (boot(dev) != 0) return 0;
      uploaded = 1;
      continue;  // the tag comes back in host state
    }
    uploaded = 0;
    int r = host(dev);
    if (r < 0) return -1;
    if (r != 0) return 0;
  }
}

struct usb_device *device_init(int *state) {
  denied = 0;
  usb_find_busses();
  usb_find_devices();
  for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
    for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
      for (int row = 0; row < 2; row++) {
        if (dev->descriptor.idVendor != VIDPID[row][0] || dev->descriptor.idProduct != VIDPID[row][1]) continue;
        usb_dev_handle *h = claimif(dev, 1);
        if (!h) continue;
        usb_release_interface(h, USB_IFACE);
        usb_close(h);
        *state = row;
        return dev;
      }
    }
  }
  *state = -1;
  if (denied && !told) {
    told = 1;
    fprintf(stderr,
            " A K3 is connected, but this user may not open it: install the udev rule 60-k3host.rules\n"
            " and join the group plugdev (README, \"Without root\"), then plug the tag in again\n");
  }
  return NULL;
}

// Whether a library result says the user lacks permission.
static int no_permission(int r) { return r == -EPERM || r == -EACCES; }

usb_dev_handle *claimif(struct usb_device *dev, int quiet) {
  usb_dev_handle *h = usb_open(dev);
  if (!h) {
    if (no_permission(-errno)) denied = 1;  // the library's open leaves errno set
    if (!quiet) fprintf(stderr, " USB error: cannot open device\n\n");
    return NULL;
  }
  int r = usb_set_configuration(h, USB_CONFIG);
  if (r < 0) {
    if (no_permission(r)) denied = 1;
    if (!quiet) fprintf(stderr, " USB error in set configuration: %d\n", r);
    usb_close(h);
    return NULL;
  }
  r = usb_claim_interface(h, USB_IFACE);
  if (r < 0) {
    if (no_permission(r)) denied = 1;
    if (!quiet) fprintf(stderr, " USB error in claim interface: %d\n", r);
    usb_close(h);
    return NULL;
  }
  return h;
}

int releaseif(usb_dev_handle *h, int quiet) {
  if (usb_release_interface(h, USB_IFACE) < 0 && !quiet) fprintf(stderr, "Failed on releasing USB interface\n");
  if (usb_close(h) < 0 && !quiet) fprintf(stderr, "Failed on closing USB interface\n");
  return 0;
}
