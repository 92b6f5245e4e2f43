// Option parsing of k3host-sim, kept apart from its main so tests can call it.
#include "sim_options.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdint.h>
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

const char SIM_USAGE[] =
    "usage: k3host-sim [options]\n"
    "Runs K3 USB Host against an emulated KOVA tag on a virtual USB bus.\n"
    "  --type N           device type the tag reports in its battery reply (0-7), default 4 (KOVA-3)\n"
    "  --boot             the tag starts in boot-loader state; it takes _boot.bin from the current\n"
    "                     directory and comes back in host state\n"
    "  --held             another program holds the tag: claiming its interface fails with -EBUSY\n"
    "  --no-tag           nothing on the bus\n"
    "  --battery MV       battery voltage in millivolts, default 3712\n"
    "  --charging         charging in progress (battery status bit 0)\n"
    "  --clock-offset S   tag clock minus host clock, in seconds\n"
    "  --state DIR        state directory; default $XDG_STATE_HOME/k3host-sim (if absolute), else\n"
    "                     $HOME/.local/state/k3host-sim (Windows: %LOCALAPPDATA%\\k3host-sim);\n"
    "                     --clock-offset, when given, wins over the saved clock\n"
    "  --no-state         keep the tag's state in memory only\n"
    "  --new-tag          a new tag: its EEPROM erased, so the program offers to configure it\n"
    "                     (the saved EEPROM is erased too)\n"
    "  --vanish MS        the tag leaves the bus MS milliseconds after start (a pulled cable)\n"
    "  --no-zlp           the tag ends no reply of a multiple of 64 bytes with a zero-length packet\n"
    "  --no-access        the user may not use the tag's device node: set configuration and\n"
    "                     claim fail with -EPERM (the udev rule missing)\n"
    "  --fault F          inject a fault: CODE:NTH:KIND[:ARG], NTH the occurrence counted from 1\n"
    "                     (0 = every), KIND one of noreply badsync badlen badcrc wrongcode short\n"
    "                     nack error text vanish writefail zlpfail delay stall (for text, ARG is\n"
    "                     the text), or for the flash read only: fewpages (at most ARG pages),\n"
    "                     wrongpage, wrongblock, skipblock, pageerrors (error count ARG), or for\n"
    "                     the MSP boot-loader frame and transmit only: refuse (answered 0xA0 or\n"
    "                     status 2, nothing done);\n"
    "                     may be repeated. CODE is a request code, decimal or 0x hex,\n"
    "                     or its name:\n"
    "                       sync 0        boardid 2     adc 3         timeread 4    timeset 5\n"
    "                       battery 6     reboot 8      chipcount 0x10\n"
    "                       eeread 0x101  eewrite 0x102 eeclear 0x103\n"
    "                       flread 0x301  flwrite 0x302 flerase 0x303 flgeom 0x304  flbad 0x305\n"
    "                       dir 0x306     freemem 0x307\n"
    "                       mspbsl 0x409  msptx 0x40a   msprx 0x40b   mspwio 0x40c  mspsens 0x40d\n"
    "  --message MS:TEXT  the tag sends the text message TEXT MS milliseconds after start;\n"
    "                     may be repeated\n"
    "  --full-speed       pace the bus like a USB full-speed link: n bytes cross as ceil(n/64)\n"
    "                     packets, 19 packets a millisecond, one transfer at a time\n"
    "  --latency US       with --full-speed: the tag answers a request no sooner than US\n"
    "                     microseconds after it has arrived, default 0\n"
    "  --station DIR      the field station (see k3host --help) into folder DIR\n"
    "  --erase-saved      with --station: erase each recording once its file is verified\n"
    "  --tags N           with --station: N tags (1-99) one after another, each with its own board\n"
    "                     identity and a few small recordings, each leaving the bus when the\n"
    "                     station is done with it and the next arriving; kept in memory only\n"
    "  -h, --help         lists these options and exits\n"
    "  --version          shows the version and exits\n";

static const struct {
  const char *name;
  FaultKind kind;
} KINDS[] = {
    {"noreply", FAULT_NOREPLY},     {"badsync", FAULT_BADSYNC},       {"badlen", FAULT_BADLEN},
    {"badcrc", FAULT_BADCRC},       {"wrongcode", FAULT_WRONGCODE},   {"short", FAULT_SHORT},
    {"nack", FAULT_NACK},           {"error", FAULT_ERROR},           {"text", FAULT_TEXT},
    {"vanish", FAULT_VANISH},       {"writefail", FAULT_WRITEFAIL},   {"zlpfail", FAULT_ZLPFAIL},
    {"delay", FAULT_DELAY},         {"stall", FAULT_STALL},           {"fewpages", FAULT_FEWPAGES},
    {"wrongpage", FAULT_WRONGPAGE}, {"wrongblock", FAULT_WRONGBLOCK}, {"skipblock", FAULT_SKIPBLOCK},
    {"pageerrors", FAULT_PAGEERRORS}, {"refuse", FAULT_REFUSE},
};

// The requests by name, for --fault.
static const struct {
  const char *name;
  int code;
} REQUESTS[] = {
    {"sync", REQ_SYNC},         {"boardid", REQ_BOARDID},   {"adc", REQ_ADC},         {"timeread", REQ_TIMEREAD},
    {"timeset", REQ_TIMESET},   {"battery", REQ_SOC},       {"reboot", REQ_REBOOT},   {"chipcount", REQ_CHIPCOUNT},
    {"eeread", REQ_EEREAD},     {"eewrite", REQ_EEWRITE},   {"eeclear", REQ_EECLEAR}, {"flread", REQ_FLREAD},
    {"flwrite", REQ_FLWRITE},   {"flerase", REQ_FLERASE},   {"flgeom", REQ_FLGEOM},   {"flbad", REQ_FLBAD},
    {"dir", REQ_DIR},           {"freemem", REQ_FREEMEM},   {"mspbsl", REQ_MSPBSL},   {"msptx", REQ_MSPTX},
    {"msprx", REQ_MSPRX},       {"mspwio", REQ_MSPWIO},     {"mspsens", REQ_MSPSENS},
};

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
  for (const auto &q : REQUESTS)
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
  bool found = false;
  for (const auto &k : KINDS)
    if (kind == k.name) {
      r.kind = k.kind;
      found = true;
    }
  if (!found) {
    *err = "bad fault '" + text + "': unknown kind '" + kind + "'";
    return 1;
  }
  if (r.kind == FAULT_TEXT) {
    r.text = arg;
  } else if (c != std::string::npos) {
    long long hi = r.kind == FAULT_DELAY ? 3600000 : 0xFFFF;
    if (!number(arg, r.kind == FAULT_FEWPAGES ? 1 : 0, hi, &v)) {
      *err = "bad fault '" + text + "': bad argument '" + arg + "'";
      return 1;
    }
    r.arg = (int)v;
  } else if (r.kind == FAULT_WRONGCODE || r.kind == FAULT_ERROR || r.kind == FAULT_DELAY || r.kind == FAULT_SHORT ||
             r.kind == FAULT_FEWPAGES || r.kind == FAULT_PAGEERRORS) {
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

int sim_parse(int argc, const char *const *argv, SimOptions *opt, std::string *err) {
  SimOptions o;
  bool no_state = false, have_state = false, have_latency = false;
  std::string statedir;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    // Options with a value take it from the next argument or after '='.
    std::string val;
    bool inline_val = false;
    size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      val = a.substr(eq + 1);
      a = a.substr(0, eq);
      inline_val = true;
    }
    auto value = [&](std::string *v) {
      if (inline_val) {
        *v = val;
        return true;
      }
      if (i + 1 >= argc) {
        *err = "option " + a + " needs a value";
        return false;
      }
      *v = argv[++i];
      return true;
    };
    auto flag = [&]() {
      if (inline_val) *err = "option " + a + " takes no value";
      return !inline_val;
    };
    long long n;
    std::string v;
    if (a == "--help" || a == "-h") {
      if (!flag()) return 1;
      o.help = true;
    } else if (a == "--version") {
      if (!flag()) return 1;
      o.version = true;
    } else if (a == "--boot") {
      if (!flag()) return 1;
      o.tag.bootloader = 1;
    } else if (a == "--held") {
      if (!flag()) return 1;
      o.tag.held = 1;
    } else if (a == "--no-tag") {
      if (!flag()) return 1;
      o.no_tag = true;
    } else if (a == "--charging") {
      if (!flag()) return 1;
      o.tag.battery_status |= 1;
    } else if (a == "--new-tag") {
      if (!flag()) return 1;
      o.tag.eeprom_blank = 1;
    } else if (a == "--no-zlp") {
      if (!flag()) return 1;
      o.tag.zlp = 0;
    } else if (a == "--no-access") {
      if (!flag()) return 1;
      o.tag.no_access = 1;
    } else if (a == "--vanish") {
      if (!value(&v)) return 1;
      if (!number(v, 0, 86400000, &n)) {
        *err = "bad vanish time '" + v + "': milliseconds";
        return 1;
      }
      o.vanish_ms = (long)n;
    } else if (a == "--full-speed") {
      if (!flag()) return 1;
      o.full_speed = true;
    } else if (a == "--latency") {
      if (!value(&v)) return 1;
      if (!number(v, 0, 10000000, &n)) {
        *err = "bad latency '" + v + "': microseconds from 0 to 10000000";
        return 1;
      }
      o.latency_us = (unsigned long)n;
      have_latency = true;
    } else if (a == "--station") {
      if (!value(&v)) return 1;
      if (v.empty()) {
        *err = "option --station needs a directory";
        return 1;
      }
      o.station = v;
    } else if (a == "--erase-saved") {
      if (!flag()) return 1;
      o.erase_saved = true;
    } else if (a == "--tags") {
      if (!value(&v)) return 1;
      if (!number(v, 1, 99, &n)) {
        *err = "bad number of tags '" + v + "': 1 to 99";
        return 1;
      }
      o.tags = (int)n;
    } else if (a == "--no-state") {
      if (!flag()) return 1;
      no_state = true;
    } else if (a == "--type") {
      if (!value(&v)) return 1;
      if (!number(v, 0, 7, &n)) {
        *err = "bad device type '" + v + "': must be 0 to 7";
        return 1;
      }
      o.tag.devtype = (int)n;
    } else if (a == "--battery") {
      if (!value(&v)) return 1;
      if (!number(v, 0, 0xFFFF, &n)) {
        *err = "bad battery voltage '" + v + "': millivolts from 0 to 65535";
        return 1;
      }
      o.tag.battery_mv = (uint16_t)n;
    } else if (a == "--clock-offset") {
      if (!value(&v)) return 1;
      if (!number(v, INT32_MIN, INT32_MAX, &n)) {
        *err = "bad clock offset '" + v + "': seconds";
        return 1;
      }
      o.tag.clock_offset = (int32_t)n;
      o.set_offset = true;
    } else if (a == "--state") {
      if (!value(&v)) return 1;
      if (v.empty()) {
        *err = "option --state needs a directory";
        return 1;
      }
      statedir = v;
      have_state = true;
    } else if (a == "--fault") {
      if (!value(&v)) return 1;
      Fault f;
      if (sim_parse_fault(v, &f, err)) return 1;
      o.faults.push_back(f);
    } else if (a == "--message") {
      if (!value(&v)) return 1;
      size_t c = v.find(':');
      if (c == std::string::npos || !number(v.substr(0, c), 0, 86400000, &n)) {
        *err = "bad message '" + v + "': expected MS:TEXT";
        return 1;
      }
      o.messages.push_back(SimMessage{(unsigned long)n, v.substr(c + 1)});
    } else {
      *err = "unknown option '" + std::string(argv[i]) + "'";
      return 1;
    }
  }
  if (no_state && have_state) {
    *err = "--state and --no-state exclude each other";
    return 1;
  }
  if ((o.erase_saved || o.tags) && o.station.empty()) {
    *err = std::string(o.tags ? "--tags" : "--erase-saved") + " needs --station DIR";
    return 1;
  }
  if (have_latency && !o.full_speed) {
    *err = "--latency needs --full-speed";
    return 1;
  }
  o.tag.statedir = no_state ? "" : have_state ? statedir : default_statedir(&o.warning);
  *opt = o;
  return 0;
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
