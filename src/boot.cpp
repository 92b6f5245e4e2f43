// Upload of the host firmware ("default host code") to a tag that is still
// in its boot loader. The tag takes the raw image on endpoint 6 and then
// comes back on the bus in host state.
#include "boot.h"

#include <stdio.h>

#include "k3host.h"
#include "k3proto.h"
#include "platform.h"

#define BOOT_CHUNK 64

int boot(struct usb_device *dev) {
  fprintf(stderr, " booting default host code...\n");
  FILE *f = fopen(BOOTFILE, "rb");
  if (!f) {
    fprintf(stderr, " Error: cannot open file %s\n", BOOTFILE);
    return 1;
  }
  usb_dev_handle *h = claimif(dev, 0);
  if (!h) {
    fclose(f);
    return 1;
  }
  int failed = 0;
  char chunk[BOOT_CHUNK];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (usb_bulk_write(h, EP_BOOT, chunk, (int)n, TMO_BOOTCHUNK) != (int)n) {
      fprintf(stderr, "Error in USB bulk write\n");
      failed = 1;
      break;
    }
  }
  releaseif(h, 0);
  fclose(f);
  if (failed) return 1;
  printf(" rebooting...\n");
  fflush(stdout);
  waitfor(WAIT_AFTER_BOOT);
  return 0;
}

int waitfor(int ms) {
  // Measures elapsed time, but sleeps in short steps rather than spinning.
  unsigned long start = plat_clock_ms();
  for (;;) {
    unsigned long gone = plat_clock_ms() - start;
    if (ms <= 0 || gone >= (unsigned long)ms) return 0;
    unsigned long left = (unsigned long)ms - gone;
    plat_sleep_ms(left < 10 ? left : 10);
  }
}
