// The product binary: the program on the system's libusb 0.1. It takes no
// options for its work; it answers --help and --version, and refuses any
// other argument before it goes near the bus.
#include <stdio.h>
#include <string.h>

#include "k3host.h"

int main(int argc, char **argv) {
  if (argc == 1) return k3host_main();
  const char *a = argv[1];
  bool help = strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0, version = strcmp(a, "--version") == 0;
  if (argc == 2 && help) {
    fputs(
        "usage: k3host\n"
        "Works with a KOVA recording tag plugged in over USB: finds it, then acts on single key\n"
        "presses in its menus. It takes no options. The manual: man k3host\n",
        stdout);
    return 0;
  }
  if (argc == 2 && version) {
    printf("k3host %s\n", K3_VERSION);
    return 0;
  }
  fprintf(stderr, "k3host: unexpected argument '%s': the program takes no options (see k3host --help)\n",
          help || version ? argv[2] : a);
  return 2;
}
