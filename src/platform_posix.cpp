// The platform layer on POSIX systems: single keys from the terminal (or from
// whatever standard input is when it is not one), characters to standard
// error, a monotonic millisecond clock, and the two file-system calls.
//
// On a terminal the console runs in non-canonical, non-echoing mode so that
// one key press is one byte with no echo and no Enter. ISIG stays on, so
// Ctrl-C still raises SIGINT, and OPOST stays on, so "\n" still starts a new
// line. The terminal is put back as it was on every way out: return from
// main and exit (atexit), and the signals that end a process (a handler that
// restores and then re-raises the signal with its default action, so the
// exit status still shows the signal). Stopping with Ctrl-Z restores too,
// and the single-key mode comes back on continue.
#include "platform.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

PlatHooks hooks;  // null members: the real functions below

struct termios saved_tio;            // the terminal as plat_console_init found it
volatile sig_atomic_t raw_active;    // 1 while the terminal is in single-key mode
bool atexit_done;                    // the atexit restore is registered once only

// The signals that end the process and must not leave the terminal in
// single-key mode. Their handlers stay after a restore: with the terminal as
// it was, they only re-raise the signal with its default action.
const int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Restores the saved terminal attributes. Only async-signal-safe calls, so
// the signal handlers may use it.
void restore_now(void) {
  if (raw_active) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_tio);
    raw_active = 0;
  }
}

// The single-key mode: no line editing, no echo, one byte per read.
void make_raw(void) {
  struct termios raw = saved_tio;
  raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) raw_active = 1;
}

void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

// Raises sig again with its default action, after our handler has run.
void reraise_default(int sig) {
  install(sig, SIG_DFL, 0);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, sig);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(sig);
}

void on_end_signal(int sig) {
  int saved_errno = errno;
  restore_now();
  reraise_default(sig);
  errno = saved_errno;  // reached only if the default action did not end us
}

// Ctrl-Z: give the shell a normal terminal while stopped, and take the
// single-key mode back when continued.
void on_stop_signal(int sig) {
  int saved_errno = errno;
  int was_raw = raw_active;
  restore_now();
  reraise_default(sig);  // the process stops here until SIGCONT
  install(sig, on_stop_signal, SA_RESTART);
  if (was_raw) make_raw();
  errno = saved_errno;
}

// Installs handler on sig unless the signal is ignored (as for a program
// started with nohup), which must stay so.
void install_unless_ignored(int sig, void (*handler)(int), int flags) {
  struct sigaction old;
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
  install(sig, handler, flags);
}

void restore_at_exit(void) { plat_console_restore(); }

int real_kbhit(void) {
  struct pollfd p;
  p.fd = STDIN_FILENO;
  p.events = POLLIN;
  p.revents = 0;
  int n;
  do n = poll(&p, 1, 0);
  while (n < 0 && errno == EINTR);
  // A hang-up or a closed descriptor counts as a key: the next plat_getch
  // sees the end of input and ends the program.
  return n > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
}

int real_getch(void) {
  for (;;) {
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard input was handed to us non-blocking: wait for a byte.
      struct pollfd p = {STDIN_FILENO, POLLIN, 0};
      poll(&p, 1, -1);
      continue;
    }
    // End of input (or input that can no longer be read): nothing more can
    // be typed, so the program ends; atexit puts the terminal back.
    exit(0);
  }
}

void real_putch(int c) { fputc(c, stderr); }

unsigned long real_clock_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long)ts.tv_sec * 1000UL + (unsigned long)(ts.tv_nsec / 1000000L);
}

void real_sleep_ms(unsigned long ms) {
  struct timespec req, rem;
  req.tv_sec = (time_t)(ms / 1000UL);
  req.tv_nsec = (long)(ms % 1000UL) * 1000000L;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace

void plat_console_init(void) {
  if (raw_active || !isatty(STDIN_FILENO)) return;
  if (tcgetattr(STDIN_FILENO, &saved_tio) != 0) return;
  if (!atexit_done) {
    atexit(restore_at_exit);
    atexit_done = true;
  }
  for (int sig : END_SIGNALS) install_unless_ignored(sig, on_end_signal, 0);
  install_unless_ignored(SIGTSTP, on_stop_signal, SA_RESTART);
  make_raw();
}

void plat_console_restore(void) { restore_now(); }

int plat_kbhit(void) { return hooks.kbhit ? hooks.kbhit() : real_kbhit(); }

int plat_getch(void) { return hooks.getch ? hooks.getch() : real_getch(); }

void plat_putch(int c) {
  if (hooks.putch)
    hooks.putch(c);
  else
    real_putch(c);
}

unsigned long plat_clock_ms(void) { return hooks.clock_ms ? hooks.clock_ms() : real_clock_ms(); }

void plat_sleep_ms(unsigned long ms) {
  if (hooks.sleep_ms)
    hooks.sleep_ms(ms);
  else
    real_sleep_ms(ms);
}

int plat_mkdir(const char *path) {
  // mkdir takes a trailing "/" as it is and creates the one last level.
  return mkdir(path, 0777) == 0 ? 0 : errno;
}

int plat_findfile(const char *path, char *name, size_t namelen, time_t *mtime) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 1;
  if (name && namelen > 0) {
    // The file's own name: what follows the last separator of either kind.
    const char *base = path;
    for (const char *p = path; *p; p++)
      if (*p == '/' || *p == '\\') base = p + 1;
    size_t n = strlen(base);
    if (n > namelen - 1) n = namelen - 1;
    memcpy(name, base, n);
    name[n] = 0;
  }
  if (mtime) *mtime = st.st_mtime;
  return 0;
}

void plat_sethooks(const PlatHooks *h) { hooks = h ? *h : PlatHooks{}; }
