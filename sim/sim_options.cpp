// Option parsing of k3host-sim, kept apart from its main so tests can call it.
#include "sim_options.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>

#include "k3proto.h"
#include "vbus.h"
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

// The fault kinds --fault takes. A kind acts on any request, or only on those
// of its scope; ARG_NUMBER kinds need a number within [lo, hi], the others
// take one optionally (and ignore it), and text takes the rest as its text.
const SimFaultKind SIM_FAULT_KINDS[] = {
    {"noreply", FAULT_NOREPLY},
    {"badsync", FAULT_BADSYNC},
    {"badlen", FAULT_BADLEN},
    {"badcrc", FAULT_BADCRC},
    {"wrongcode", FAULT_WRONGCODE, ARG_NUMBER},
    {"short", FAULT_SHORT, ARG_NUMBER},
    {"nack", FAULT_NACK},
    {"error", FAULT_ERROR, ARG_NUMBER},
    {"text", FAULT_TEXT, ARG_TEXT},
    {"vanish", FAULT_VANISH},
    {"writefail", FAULT_WRITEFAIL},
    {"zlpfail", FAULT_ZLPFAIL},
    {"delay", FAULT_DELAY, ARG_NUMBER, 0, 3600000},
    {"stall", FAULT_STALL},
    {"fewpages", FAULT_FEWPAGES, ARG_NUMBER, 1, 0xFFFF, SCOPE_FLREAD, "(at most ARG pages)"},
    {"wrongpage", FAULT_WRONGPAGE, ARG_NONE, 0, 0xFFFF, SCOPE_FLREAD},
    {"wrongblock", FAULT_WRONGBLOCK, ARG_NONE, 0, 0xFFFF, SCOPE_FLREAD},
    {"skipblock", FAULT_SKIPBLOCK, ARG_NONE, 0, 0xFFFF, SCOPE_FLREAD},
    {"pageerrors", FAULT_PAGEERRORS, ARG_NUMBER, 0, 0xFFFF, SCOPE_FLREAD, "(error count ARG)"},
    {"refuse", FAULT_REFUSE, ARG_NONE, 0, 0xFFFF, SCOPE_MSP, "(answered 0xA0 or status 2, nothing done)"},
};
const int SIM_NFAULT_KINDS = sizeof SIM_FAULT_KINDS / sizeof SIM_FAULT_KINDS[0];

// The scopes in --help: how each group of kinds is introduced and joined.
const SimFaultScope SIM_FAULT_SCOPES[] = {
    {{}, "KIND one of ", " ", " (for text, ARG is the text)"},
    {{REQ_FLREAD}, ", or for the flash read only: ", ", ", ""},
    {{REQ_MSPBSL, REQ_MSPTX}, ", or for the MSP boot-loader frame and transmit only: ", ", ", ""},
};

// The requests by name, for --fault.
const SimRequest SIM_REQUESTS[] = {
    {"sync", REQ_SYNC},       {"boardid", REQ_BOARDID}, {"adc", REQ_ADC},         {"timeread", REQ_TIMEREAD},
    {"timeset", REQ_TIMESET}, {"battery", REQ_SOC},     {"reboot", REQ_REBOOT},   {"chipcount", REQ_CHIPCOUNT},
    {"eeread", REQ_EEREAD},   {"eewrite", REQ_EEWRITE}, {"eeclear", REQ_EECLEAR}, {"flread", REQ_FLREAD},
    {"flwrite", REQ_FLWRITE}, {"flerase", REQ_FLERASE}, {"flgeom", REQ_FLGEOM},   {"flbad", REQ_FLBAD},
    {"dir", REQ_DIR},         {"freemem", REQ_FREEMEM}, {"mspbsl", REQ_MSPBSL},   {"msptx", REQ_MSPTX},
    {"msprx", REQ_MSPRX},     {"mspwio", REQ_MSPWIO},   {"mspsens", REQ_MSPSENS},
};
const int SIM_NREQUESTS = sizeof SIM_REQUESTS / sizeof SIM_REQUESTS[0];

std::string sim_request_code(int code) {
  char b[16];
  snprintf(b, sizeof b, code < 0x10 ? "%d" : "0x%x", code);
  return b;
}

// A whole number (decimal, or hexadecimal after 0x) within [lo, hi].
static bool number(const std::string &s, long long lo, long long hi, long long *out) {
  // strtoll would also take leading blanks and a plus sign.
  if (s.empty() || !(isdigit((unsigned char)s[0]) || (s[0] == '-' && s.size() > 1 && isdigit((unsigned char)s[1]))))
    return false;
  const char *p = s.c_str();
  char *end = nullptr;
  bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  long long v = strtoll(p, &end, hex ? 16 : 10);
  if (end == p || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int sim_parse_fault(const std::string &text, Fault *f, std::string *err) {
  size_t a = text.find(':');
  size_t b = a == std::string::npos ? a : text.find(':', a + 1);
  if (b == std::string::npos) {
    *err = "bad fault '" + text + "': expected CODE:NTH:KIND[:ARG]";
    return 1;
  }
  size_t c = text.find(':', b + 1);
  std::string code = text.substr(0, a), nth = text.substr(a + 1, b - a - 1);
  std::string kind = text.substr(b + 1, c == std::string::npos ? c : c - b - 1);
  std::string arg = c == std::string::npos ? "" : text.substr(c + 1);
  long long v;
  Fault r;
  for (const SimRequest &q : SIM_REQUESTS)
    if (code == q.name) code = std::to_string(q.code);
  if (!number(code, 0, 0xFFFF, &v)) {
    *err = "bad fault '" + text + "': request code must be 0 to 0xFFFF or a request name (see --help)";
    return 1;
  }
  r.code = (int)v;
  if (!number(nth, 0, 1000000000, &v)) {
    *err = "bad fault '" + text + "': occurrence must be a number from 0";
    return 1;
  }
  r.nth = (int)v;
  const SimFaultKind *k = nullptr;
  for (const SimFaultKind &e : SIM_FAULT_KINDS)
    if (kind == e.name) k = &e;
  if (!k) {
    *err = "bad fault '" + text + "': unknown kind '" + kind + "'";
    return 1;
  }
  r.kind = k->kind;
  if (k->arg == ARG_TEXT) {
    r.text = arg;
  } else if (c != std::string::npos) {
    if (!number(arg, k->lo, k->hi, &v)) {
      *err = "bad fault '" + text + "': bad argument '" + arg + "'";
      return 1;
    }
    r.arg = (int)v;
  } else if (k->arg == ARG_NUMBER) {
    *err = "bad fault '" + text + "': " + kind + " needs an argument";
    return 1;
  }
  *f = r;
  return 0;
}

// The state directory when none is given: $XDG_STATE_HOME/k3host-sim, where
// only an absolute path counts (a relative one would depend on the current
// directory), else under $HOME; "" when neither gives one. Why a variable was
// passed over, or why the state will not be kept, goes to *warn.
static std::string default_statedir(std::string *warn) {
#ifdef _WIN32
  const char *a = getenv("LOCALAPPDATA");
  if (a && *a) return std::string(a) + "\\k3host-sim";
#endif
  const char *x = getenv("XDG_STATE_HOME");
  if (x && *x && std::filesystem::path(x).is_absolute()) return std::string(x) + "/k3host-sim";
  if (x && *x) *warn = "XDG_STATE_HOME ('" + std::string(x) + "') is not an absolute path and is ignored";
  const char *h = getenv("HOME");
  if (h && *h) return std::string(h) + "/.local/state/k3host-sim";
  *warn += std::string(warn->empty() ? "" : "; ") +
           "HOME is not set, so there is no state directory: the tag's state will not be kept after this run "
           "(--state DIR keeps it)";
  return "";
}

// What sim_parse gathers besides SimOptions: options that only count
// together with others.
struct SimParse {
  SimOptions o;
  bool no_state = false, have_state = false, have_latency = false;
  std::string statedir;
};

// The options. A number option's value must lie within [lo, hi], else
// "bad WHAT 'VALUE': UNIT"; a flag (no value) takes no '='. The help text's
// lines are joined by '\n'.
// clang-format off
const SimOption SIM_OPTIONS[] = {
  {"--type", "N", "device type the tag reports in its battery reply (0-7), default 4 (KOVA-3)",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.tag.devtype = (int)n; return 0; },
   "device type", "must be 0 to 7", 0, 7},
  {"--boot", nullptr, "the tag starts in boot-loader state; it takes _boot.bin from the current\n"
                      "directory and comes back in host state",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.bootloader = 1; return 0; }},
  {"--held", nullptr, "another program holds the tag: claiming its interface fails with -EBUSY",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.held = 1; return 0; }},
  {"--no-tag", nullptr, "nothing on the bus",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.no_tag = true; return 0; }},
  {"--battery", "MV", "battery voltage in millivolts, default 3712",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.tag.battery_mv = (uint16_t)n; return 0; },
   "battery voltage", "millivolts from 0 to 65535", 0, 0xFFFF},
  {"--charging", nullptr, "charging in progress (battery status bit 0)",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.battery_status |= 1; return 0; }},
  {"--clock-offset", "S", "tag clock minus host clock, in seconds",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.tag.clock_offset = (int32_t)n, p.o.set_offset = true; return 0; },
   "clock offset", "seconds", INT32_MIN, INT32_MAX},
  {"--state", "DIR", "state directory; default $XDG_STATE_HOME/k3host-sim (if absolute), else\n"
                     "$HOME/.local/state/k3host-sim (Windows: %LOCALAPPDATA%\\k3host-sim);\n"
                     "--clock-offset, when given, wins over the saved clock",
   [](SimParse &p, long long, const std::string &v, std::string *err) {
     p.statedir = v, p.have_state = true;
     return v.empty() ? (*err = "option --state needs a directory", 1) : 0;
   }},
  {"--no-state", nullptr, "keep the tag's state in memory only",
   [](SimParse &p, long long, const std::string &, std::string *) { p.no_state = true; return 0; }},
  {"--new-tag", nullptr, "a new tag: its EEPROM erased, so the program offers to configure it\n"
                         "(the saved EEPROM is erased too)",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.eeprom_blank = 1; return 0; }},
  {"--vanish", "MS", "the tag leaves the bus MS milliseconds after start (a pulled cable)",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.vanish_ms = (long)n; return 0; },
   "vanish time", "milliseconds", 0, 86400000},
  {"--no-zlp", nullptr, "the tag ends no reply of a multiple of 64 bytes with a zero-length packet",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.zlp = 0; return 0; }},
  {"--no-access", nullptr, "the user may not use the tag's device node: set configuration and\n"
                           "claim fail with -EPERM (the udev rule missing)",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.tag.no_access = 1; return 0; }},
  {"--fault", "F", nullptr,  // its help comes from the fault tables
   [](SimParse &p, long long, const std::string &v, std::string *err) {
     Fault f;
     if (sim_parse_fault(v, &f, err)) return 1;
     p.o.faults.push_back(f);
     return 0;
   }},
  {"--message", "MS:TEXT", "the tag sends the text message TEXT MS milliseconds after start;\n"
                           "may be repeated",
   [](SimParse &p, long long, const std::string &v, std::string *err) {
     size_t c = v.find(':');
     long long n;
     if (c == std::string::npos || !number(v.substr(0, c), 0, 86400000, &n))
       return *err = "bad message '" + v + "': expected MS:TEXT", 1;
     p.o.messages.push_back(SimMessage{(unsigned long)n, v.substr(c + 1)});
     return 0;
   }},
  {"--full-speed", nullptr, "pace the bus like a USB full-speed link: n bytes cross as ceil(n/64)\n"
                            "packets, 19 packets a millisecond, one transfer at a time",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.full_speed = true; return 0; }},
  {"--latency", "US", "with --full-speed: the tag answers a request no sooner than US\n"
                      "microseconds after it has arrived, default 0",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.latency_us = (unsigned long)n, p.have_latency = true; return 0; },
   "latency", "microseconds from 0 to 10000000", 0, 10000000},
  {"--station", "DIR", "the field station (see k3host --help) into folder DIR",
   [](SimParse &p, long long, const std::string &v, std::string *err) {
     p.o.station = v;
     return v.empty() ? (*err = "option --station needs a directory", 1) : 0;
   }},
  {"--erase-saved", nullptr, "with --station: erase each recording once its file is verified",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.erase_saved = true; return 0; }},
  {"--tags", "N", "with --station: N tags (1-99) one after another, each with its own board\n"
                  "identity and a few small recordings, each leaving the bus when the\n"
                  "station is done with it and the next arriving; kept in memory only",
   [](SimParse &p, long long n, const std::string &, std::string *) { p.o.tags = (int)n; return 0; },
   "number of tags", "1 to 99", 1, 99},
  {"-h, --help", nullptr, "lists these options and exits",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.help = true; return 0; }},
  {"--version", nullptr, "shows the version and exits",
   [](SimParse &p, long long, const std::string &, std::string *) { p.o.version = true; return 0; }},
};
// clang-format on
const int SIM_NOPTIONS = sizeof SIM_OPTIONS / sizeof SIM_OPTIONS[0];
// Whether the argument a is the option's name, or one of its spellings.
static bool named(const SimOption &o, const std::string &a) {
  std::string n = o.name;
  size_t c = n.find(", ");
  return a == n || (c != std::string::npos && (a == n.substr(0, c) || a == n.substr(c + 2)));
}

int sim_parse(int argc, const char *const *argv, SimOptions *opt, std::string *err) {
  SimParse p;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    // Options with a value take it from the next argument or after '='.
    std::string v;
    bool inline_val = false;
    size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      v = a.substr(eq + 1);
      a = a.substr(0, eq);
      inline_val = true;
    }
    const SimOption *o = nullptr;
    for (const SimOption &e : SIM_OPTIONS)
      if (named(e, a)) o = &e;
    if (!o) {
      *err = "unknown option '" + std::string(argv[i]) + "'";
      return 1;
    }
    long long n = 0;
    if (!o->value && inline_val) {
      *err = "option " + a + " takes no value";
      return 1;
    }
    if (o->value && !inline_val) {
      if (i + 1 >= argc) {
        *err = "option " + a + " needs a value";
        return 1;
      }
      v = argv[++i];
    }
    if (o->what && !number(v, o->lo, o->hi, &n)) {
      *err = std::string("bad ") + o->what + " '" + v + "': " + o->unit;
      return 1;
    }
    if (o->set(p, n, v, err)) return 1;
  }
  SimOptions &o = p.o;
  if (p.no_state && p.have_state) {
    *err = "--state and --no-state exclude each other";
    return 1;
  }
  if ((o.erase_saved || o.tags) && o.station.empty()) {
    *err = std::string(o.tags ? "--tags" : "--erase-saved") + " needs --station DIR";
    return 1;
  }
  if (p.have_latency && !o.full_speed) {
    *err = "--latency needs --full-speed";
    return 1;
  }
  o.tag.statedir = p.no_state ? "" : p.have_state ? p.statedir : default_statedir(&o.warning);
  *opt = o;
  return 0;
}

// Words joined into lines of at most width characters, each line after the
// first indented by indent spaces.
static std::string wrap(const std::string &text, size_t width, size_t indent) {
  std::string out, line;
  size_t from = 0;
  while (from < text.size()) {
    size_t sp = text.find(' ', from);
    std::string word = text.substr(from, sp == std::string::npos ? sp : sp - from);
    from = sp == std::string::npos ? text.size() : sp + 1;
    if (!line.empty() && line.size() + 1 + word.size() > width)
      out += line + "\n" + std::string(indent, ' '), line.clear();
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

// --fault's help: the kinds by scope, then the requests by name, five to a
// line and a new line for each group of codes.
static std::string fault_help(size_t indent) {
  const size_t HELP_WIDTH = 71;  // the longest line of the text after the indent
  std::string kinds = "inject a fault: CODE:NTH:KIND[:ARG], NTH the occurrence counted from 1 (0 = every), ";
  for (int s = 0; s < (int)(sizeof SIM_FAULT_SCOPES / sizeof SIM_FAULT_SCOPES[0]); s++) {
    const SimFaultScope &sc = SIM_FAULT_SCOPES[s];
    kinds += sc.lead;
    const char *sep = "";
    for (const SimFaultKind &k : SIM_FAULT_KINDS)
      if (k.scope == s) kinds += sep + std::string(k.name) + (*k.note ? " " : "") + k.note, sep = sc.sep;
    kinds += sc.tail;
  }
  std::string pad(indent, ' '), h = wrap(kinds + ";", HELP_WIDTH, indent);
  h += "\n" + pad + "may be repeated. CODE is a request code, decimal or 0x hex,\n" + pad + "or its name:";
  for (int i = 0, n = 0; i < SIM_NREQUESTS; i++, n++) {
    const SimRequest &q = SIM_REQUESTS[i];
    if (i == 0 || n == 5 || q.code >> 8 != SIM_REQUESTS[i - 1].code >> 8) h += "\n" + pad + "  ", n = 0;
    std::string e = std::string(q.name) + " " + sim_request_code(q.code);
    bool last = i + 1 == SIM_NREQUESTS || n == 4 || SIM_REQUESTS[i + 1].code >> 8 != q.code >> 8;
    h += last ? e : e + std::string(e.size() < 14 ? 14 - e.size() : 1, ' ');
  }
  return h;
}

std::string sim_usage(void) {
  const size_t col = 21;  // where the options' help starts
  std::string u = "usage: k3host-sim [options]\nRuns K3 USB Host against an emulated KOVA tag on a virtual USB bus.\n";
  for (const SimOption &o : SIM_OPTIONS) {
    std::string head = "  " + std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
    u += head + std::string(head.size() < col ? col - head.size() : 1, ' ');
    std::string help = o.help ? o.help : fault_help(col);
    for (char c : help) u += c == '\n' && o.help ? "\n" + std::string(col, ' ') : std::string(1, c);
    u += "\n";
  }
  return u;
}

// Holds the state directory for this process until it ends, so that two
// runs never overwrite each other's changes. 0 held; 1 in use elsewhere.
static int lock_statedir(const std::string &dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string lock = (std::filesystem::path(dir) / "lock").string();
#ifdef _WIN32
  // No sharing: a second open fails while this one lives.
  HANDLE h = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
#else
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 0;  // the state cannot be written either; saving says so
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return errno == EWOULDBLOCK ? 1 : 0;
  }
#endif
  return 0;  // held until the process ends
}

int sim_start(const SimOptions &opt) {
  if (!opt.tag.statedir.empty() && lock_statedir(opt.tag.statedir)) {
    fprintf(stderr,
            "k3host-sim: the state directory %s is in use by another run; give another with --state DIR, "
            "or use --no-state\n",
            opt.tag.statedir.c_str());
    return -1;
  }
  vbus_reset();
  vbus_realtime(1);
  vbus_record(0);  // a session may run for hours: keep no logs
  vbus_link(opt.full_speed, opt.latency_us);
  if (opt.no_tag) return 0;
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
  if (opt.vanish_ms >= 0) cfg.leave_at_ms = (long)(start + (unsigned long)opt.vanish_ms);
  return tag;
}
