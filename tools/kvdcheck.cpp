// kvdcheck: checks recording files offloaded from a KOVA tag and says what
// each one holds: whether it is whole (header CRC, trailer), when it was
// offloaded, from which tag and which stretch of flash.
//   kvdcheck FILE...   exit status 0 when every file is whole, 1 otherwise
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kvdread.h"

static void show(const char *path, const KvdInfo &k, const std::vector<std::string> &faults) {
  printf("%s: %s\n", path, !k.readable ? "UNREADABLE" : faults.empty() ? "good" : "DAMAGED");
  for (const auto &f : faults) printf("  fault       %s\n", f.c_str());
  if (!k.header) return;
  time_t t = (time_t)k.started;
  struct tm *g = gmtime(&t);
  char when[40] = "-- bad time --";
  if (g) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", g);
  printf("  offloaded   %s\n", when);
  printf("  tag         %04x %04x %04x %04x %04x (id %04x%04x)\n", k.id[0], k.id[1], k.id[2], k.id[3], k.id[4],
         k.id[2], k.id[3]);
  if (k.closed)
    printf("  flash       chip %d block %d to chip %d block %d, %lu blocks\n", k.start_chip, k.start_block,
           k.end_chip, k.end_block, (unsigned long)k.blocks);
  else
    printf("  flash       from chip %d block %d\n", k.start_chip, k.start_block);
  printf("  page data   %llu bytes\n", (unsigned long long)k.data_bytes);
}

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    fputs("usage: kvdcheck FILE...\n"
          "Checks recording files (.kvd) offloaded from a KOVA tag: header, CRC and trailer.\n"
          "Exit status 0 when every file is whole, 1 when any is damaged or unreadable.\n",
          argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  int bad = 0;
  for (int i = 1; i < argc; i++) {
    KvdInfo k;
    std::vector<std::string> faults = kvd_check_file(argv[i], &k);
    show(argv[i], k, faults);
    if (!faults.empty()) bad = 1;
  }
  return bad;
}
