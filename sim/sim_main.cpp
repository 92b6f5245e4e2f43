// k3host-sim: the program on the virtual bus, with one emulated tag set up
// from the command line (or, for the field station, a sequence of them), in
// real time.
#include <stdio.h>

#include "k3host.h"
#include "sim_options.h"
#include "sim_tags.h"
#include "station.h"
#include "vbus.h"

int main(int argc, char **argv) {
  SimOptions opt;
  std::string err;
  if (sim_parse(argc, argv, &opt, &err) != 0) {
    fprintf(stderr, "k3host-sim: %s; try --help\n", err.c_str());
    return 2;
  }
  if (opt.help || opt.version) {
    if (opt.help)
      fputs(sim_usage().c_str(), stdout);
    else
      printf("k3host-sim %s\n", K3_VERSION);
    return 0;
  }
  if (!opt.warning.empty()) fprintf(stderr, "k3host-sim: %s\n", opt.warning.c_str());

  if (opt.tags) {
    // The station's season: the bus alone (the tags keep no state), then
    // its tags one after another.
    SimOptions bus = opt;
    bus.no_tag = true;
    bus.tag.statedir = "";
    sim_start(bus);
    int first = sim_tags_start(opt.tags, opt.tag);
    for (const Fault &f : opt.faults) vbus_fault(first, f);
  } else if (sim_start(opt) < 0) {
    return 2;
  }
  return opt.station.empty() ? k3host_main() : station_main(opt.station.c_str(), opt.erase_saved);
}
