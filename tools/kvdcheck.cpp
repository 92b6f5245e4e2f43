// kvdcheck: checks recording files offloaded from a KOVA tag and says what
// each one holds: whether it is whole (header CRC, trailer), when it was
// offloaded, from which tag and which stretch of flash.
//   kvdcheck [--] FILE...   exit status 0 when every file is whole, 1 otherwise,
//                           2 for a wrong command line
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kvdread.h"
#include "offrec.h"

static void show(const char *path, const KvdInfo &k, const std::vector<std::string> &faults) {
  printf("%s: %s\n", path, KVD_VERDICT[k.verdict]);
  for (const auto &f : faults) printf("  fault       %s\n", f.c_str());
  if (!k.header) return;
  time_t t = (time_t)k.started;
  struct tm *g = gmtime(&t);
  char when[40] = "-- bad time --";
  if (g) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", g);
  printf("  offloaded   %s\n", when);
  printf("  tag         %04x %04x %04x %04x %04x (id %04x%04x)\n", k.id[0], k.id[1], k.id[2], k.id[3], k.id[4], k.id[2],
         k.id[3]);
  if (k.closed)
    printf("  flash       chip %d block %d to chip %d block %d, %lu blocks\n", k.start_chip, k.start_block, k.end_chip,
           k.end_block, (unsigned long)k.blocks);
  else
    printf("  flash       from chip %d block %d\n", k.start_chip, k.start_block);
  printf("  page data   %llu bytes\n", (unsigned long long)k.data_bytes);
  if (k.recorded)
    printf("  record      %s, %d of %u blocks, %llu bytes\n", OFF_OUTCOME[k.rec_outcome % 3], (int)k.rec_written,
           (unsigned)k.rec_range, (unsigned long long)k.rec_bytes);
}

static const char USAGE[] =
    "usage: kvdcheck [--] FILE...\n"
    "Checks recording files (.kvd) offloaded from a KOVA tag: header, CRC and trailer, and\n"
    "the offload record (_offloads.txt) in the file's folder. Each file is called:\n"
    "  good                 whole, at least one block, and complete where the record names it\n"
    "  EMPTY                whole but holds no block\n"
    "  DIFFERS FROM RECORD  not the size or block count the offload record gives\n"
    "  STOPPED              the record says its offload was stopped by a key or failed\n"
    "  DAMAGED              unfinished (no trailer) or broken header\n"
    "  UNREADABLE           cannot be read\n"
    "  NOT A FILE           a folder, a device or a pipe\n"
    "Exit status 0 when every file is good, 1 otherwise, 2 for a wrong command line.\n"
    "  -h, --help   shows this and exits\n"
    "  --version    shows the version and exits\n"
    "  --           ends the options: what follows is a file, even if it starts with -\n";

int main(int argc, char **argv) {
  std::vector<const char *> files;
  bool options = true;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (options && strcmp(a, "--") == 0) {
      options = false;
    } else if (options && a[0] == '-' && a[1] != '\0') {  // "-" alone is a file name
      if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) return fputs(USAGE, stdout), 0;
      if (strcmp(a, "--version") == 0) return printf("kvdcheck %s\n", K3_VERSION), 0;
      fprintf(stderr, "kvdcheck: unknown option '%s'\n%s", a, USAGE);
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    fprintf(stderr, "kvdcheck: no file named\n%s", USAGE);
    return 2;
  }
  int bad = 0;
  for (const char *f : files) {
    KvdInfo k;
    std::vector<std::string> faults = kvd_check_file(f, &k);
    show(f, k, faults);
    if (!faults.empty()) bad = 1;
  }
  return bad;
}
