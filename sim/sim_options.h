// The command line of k3host-sim: which tag to emulate, its state directory,
// faults and scripted messages.
#pragma once

#include <string>
#include <vector>

#include "vbus.h"

struct SimMessage {
  unsigned long ms;  // after start
  std::string text;
};

struct SimOptions {
  TagConfig tag;  // statedir already resolved (empty: --no-state)
  bool no_tag = false;
  bool help = false;
  bool version = false;
  std::string warning;  // to show before the program starts; empty: none
  std::vector<Fault> faults;
  std::vector<SimMessage> messages;
  bool full_speed = false;      // the bus paced like a full-speed link
  unsigned long latency_us = 0; // the tag's latency on it
  // Options given explicitly, which win over the tag's saved state.
  bool set_offset = false;
  long vanish_ms = -1;          // the tag leaves the bus this long after start, -1 never
  // The field station: its folder (empty: the interactive program), the
  // erase of verified recordings, and how many tags come one after another
  // (0: the one tag above).
  std::string station;
  bool erase_saved = false;
  int tags = 0;
};

// Parses argv[1..argc-1]. 0 good; 1 bad, with a one-line reason in *err.
// The default state directory comes from XDG_STATE_HOME (absolute paths
// only) or HOME; when it cannot, opt->warning says so.
int sim_parse(int argc, const char *const *argv, SimOptions *opt, std::string *err);

// Parses one --fault argument, CODE:NTH:KIND[:ARG]. 0 good; 1 bad, reason in *err.
int sim_parse_fault(const std::string &text, Fault *f, std::string *err);

// Puts the tag the options describe on the virtual bus, in real time, with
// its faults and scripted messages, holding its state directory for this
// process. The tag's id; 0 with --no-tag; -1 when the state directory is in
// use by another run (said on standard error).
int sim_start(const SimOptions &opt);

// The --help text.
extern const char SIM_USAGE[];
