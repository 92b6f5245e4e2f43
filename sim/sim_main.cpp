// k3host-sim: the program on the virtual bus, with one emulated tag set up
// from the command line, in real time.
#include <stdio.h>

#include "k3host.h"
#include "k3proto.h"
#include "sim_options.h"
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
      fputs(SIM_USAGE, stdout);
    else
      printf("k3host-sim %s\n", K3_VERSION);
    return 0;
  }
  if (!opt.warning.empty()) fprintf(stderr, "k3host-sim: %s\n", opt.warning.c_str());

  vbus_reset();
  vbus_realtime(1);
  vbus_record(0);  // a session may run for hours: keep no logs
  vbus_link(opt.full_speed, opt.latency_us);
  if (!opt.no_tag) {
    int tag = vbus_attach(opt.tag);
    // The saved state is the tag's memory; what is said on the command line
    // now wins over it. The device type and the battery are always as the
    // command line says, so a run without --type is always a KOVA-3.
    TagConfig &cfg = vbus_tag_config(tag);
    cfg.devtype = opt.tag.devtype;
    if (opt.set_offset) cfg.clock_offset = opt.tag.clock_offset;
    cfg.battery_mv = opt.tag.battery_mv;
    cfg.battery_status = opt.tag.battery_status;
    // A new tag has never been configured, whatever the saved state holds.
    if (opt.tag.eeprom_blank) vbus_tag_eeprom(tag).assign(0x10000, 0xFF);
    vbus_tag_save(tag);
    for (const Fault &f : opt.faults) vbus_fault(tag, f);
    unsigned long start = vbus_now_ms();
    for (const SimMessage &m : opt.messages)
      vbus_tag_send(tag, MSG_TEXT, m.text.data(), (int)m.text.size(), start + m.ms);
  }
  return k3host_main();
}
