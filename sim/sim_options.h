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
  bool full_speed = false;       // the bus paced like a full-speed link
  unsigned long latency_us = 0;  // the tag's latency on it
  // Options given explicitly, which win over the tag's saved state.
  bool set_offset = false;
  long vanish_ms = -1;  // the tag leaves the bus this long after start, -1 never
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

// The --help text, from the tables below.
std::string sim_usage(void);

// The fault kinds of --fault: whether a kind takes an argument, and the
// requests it acts on (its scope).
enum FaultArg { ARG_NONE, ARG_NUMBER, ARG_TEXT };  // ARG_NONE: a number may be given, and is ignored
enum FaultScope { SCOPE_ANY, SCOPE_FLREAD, SCOPE_MSP };
struct SimFaultKind {
  const char *name;
  FaultKind kind;
  FaultArg arg = ARG_NONE;
  long long lo = 0, hi = 0xFFFF;  // the argument's range
  FaultScope scope = SCOPE_ANY;
  const char *note = "";  // after the name in --help
};
struct SimFaultScope {
  std::vector<int> requests;      // the request codes; empty: every request
  const char *lead, *sep, *tail;  // in --help: before the kinds, between them, after them
};
extern const SimFaultKind SIM_FAULT_KINDS[];
extern const int SIM_NFAULT_KINDS;
extern const SimFaultScope SIM_FAULT_SCOPES[];  // indexed by FaultScope

// The requests by name, for --fault.
struct SimRequest {
  const char *name;
  int code;
};
extern const SimRequest SIM_REQUESTS[];
extern const int SIM_NREQUESTS;
// A request code as --help and the man page write it: decimal below 0x10, else 0x hex.
std::string sim_request_code(int code);

// The options. Each is parsed by its set(): v is its value ("" for a flag),
// n that value as a number when the row gives a range (what: the value's
// name in "bad WHAT 'v': UNIT"). 0 taken; 1 bad, the reason in *err.
struct SimParse;
struct SimOption {
  const char *name;   // as --help shows it: "--type", or "-h, --help" for two spellings
  const char *value;  // the value's name in --help; null: a flag
  const char *help;   // its lines joined by '\n'; null: --fault's, from the tables above
  int (*set)(SimParse &p, long long n, const std::string &v, std::string *err);
  const char *what = nullptr, *unit = nullptr;
  long long lo = 0, hi = 0;
};
extern const SimOption SIM_OPTIONS[];
extern const int SIM_NOPTIONS;
