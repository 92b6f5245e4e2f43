// The product binary: the program on the system's libusb 0.1. Without
// arguments it is the interactive program; --station DIR makes it the field
// station (with --erase-saved, recordings are erased once verified). It
// answers --help and --version, and refuses any other argument before it
// goes near the bus.
#include <stdio.h>
#include <string.h>

#include "k3host.h"
#include "station.h"

static const char USAGE[] =
    "usage: k3host\n"
    "       k3host --station DIR [--erase-saved]\n"
    "Works with a KOVA recording tag plugged in over USB: finds it, then acts on single key\n"
    "presses in its menus. The manual: man k3host\n"
    "  --station DIR   field station: offloads every new recording of each tag plugged in, one\n"
    "                  tag after another, into DIR/<board identity>/, verifies every file, sets\n"
    "                  the tag's clock and reports to a CSV file and an HTML page in DIR;\n"
    "                  q or Ctrl-C ends it\n"
    "  --erase-saved   with --station: erases each recording from the tag once its file is verified\n"
    "  -h, --help      shows this and exits\n"
    "  --version       shows the version and exits\n";

int main(int argc, char **argv) {
  if (argc == 1) return k3host_main();
  const char *station = NULL;
  int erase = 0;
  const char *first = argv[1];
  bool help = strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0, version = strcmp(first, "--version") == 0;
  if (argc == 2 && help) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && version) {
    printf("k3host %s\n", K3_VERSION);
    return 0;
  }
  for (int i = help || version ? 2 : 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "--station") == 0 && i + 1 < argc && !station) {
      station = argv[++i];
    } else if (strcmp(a, "--erase-saved") == 0 && !erase) {
      erase = 1;
    } else {
      fprintf(stderr, "k3host: unexpected argument '%s' (see k3host --help)\n", a);
      return 2;
    }
  }
  if (!station) {
    fprintf(stderr, "k3host: --erase-saved needs --station DIR (see k3host --help)\n");
    return 2;
  }
  return station_main(station, erase);
}
