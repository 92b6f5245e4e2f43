// The platform layer on POSIX systems: single keys from the terminal (or from
// whatever standard input is when it is not one), characters to standard
// error, a monotonic millisecond clock, and the two file-system calls.
//
// On a terminal the console runs in non-canonical, non-echoing mode so that
// a key press arrives at once with no echo and no Enter. ISIG stays on, so
// Ctrl-C still raises SIGINT, and OPOST stays on, so "\n" still starts a new
// line. The terminal is put back as it was on every way out: return from
// main and exit (atexit), and the signals that end a process (a handler that
// restores and then re-raises the signal with its default action, so the
// exit status still shows the signal). Stopping with Ctrl-Z restores too,
// and the single-key mode comes back on continue.
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

#include "platform.h"
#include "platform_sys.h"

namespace {

struct termios saved_tio;          // the terminal as plat_console_init found it
volatile sig_atomic_t raw_active;  // 1 while the terminal is in single-key mode
bool atexit_done;                  // the atexit restore is registered once only

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

volatile sig_atomic_t interrupted;  // Ctrl-C caught (plat_catch_interrupt)

void on_interrupt(int) { interrupted = 1; }

}  // namespace

unsigned long sys_clock_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long)ts.tv_sec * 1000UL + (unsigned long)(ts.tv_nsec / 1000000L);
}

namespace {

// Keys from a terminal, read so that the program sees the Windows console's
// keys: Backspace's 127 becomes 8, and a key the terminal sends as an escape
// sequence (arrows, Delete, Insert, function keys, Alt with a key) becomes the
// one key PLAT_KEY_SPECIAL, never the letters and digits inside it. Escape
// alone sends a bare ESC; a terminal writes a whole sequence at once, so an
// ESC that nothing follows within TMO_KEYSEQ is the Escape key itself.
// plat_kbhit takes what has arrived and reports a key only once it is whole,
// so the plat_getch after it never waits. Piped input is not a keyboard:
// its bytes go through as they are, as on Windows.
const int KEY_NONE = -1;  // no whole key yet
const int KEY_END = -2;   // end of input: the program ends
const int SEQ_MAX = 32;   // bytes of one sequence; a longer one is given then, its rest dropped

bool term_keys;            // standard input is a terminal: its keys are translated
int ready_key = KEY_NONE;  // a whole key plat_kbhit found, for the next plat_getch
int pushed = KEY_NONE;     // a byte that ended a sequence without being part of it
int seq_len;               // bytes of the escape sequence being read (0: none)
bool seq_given;            // that sequence, too long, has been given as a key already
unsigned long seq_last;    // when its last byte came

// One byte if one comes within wait_ms (-1: no limit), else KEY_NONE;
// KEY_END when the input has ended or can no longer be read.
int read_byte(int wait_ms) {
  if (pushed != KEY_NONE) {
    int c = pushed;
    pushed = KEY_NONE;
    return c;
  }
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  int n = poll(&p, 1, wait_ms);
  if (n <= 0) return n < 0 && errno != EINTR ? KEY_END : KEY_NONE;
  unsigned char c;
  ssize_t r = read(STDIN_FILENO, &c, 1);
  if (r == 1) return c;
  // A hang-up reads as the end; standard input handed to us non-blocking
  // may have nothing after all.
  return r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) ? KEY_NONE : KEY_END;
}

// Ends the sequence being read: the special key, unless already given.
int seq_end(void) {
  int k = seq_given ? KEY_NONE : PLAT_KEY_SPECIAL;
  seq_len = 0;
  seq_given = false;
  return k;
}

// Takes one byte; the key once one is whole, else KEY_NONE. A sequence is
// ESC and one more byte (Alt with a key), or ESC then '[' (CSI) or 'O' (SS3),
// parameter bytes 0x20-0x3F and a final byte 0x40-0x7E.
int take(int c) {
  if (!term_keys) return c;
  if (seq_len == 0) {
    if (c != 27) return c == 127 ? 8 : c;
    seq_len = 1;
    seq_last = sys_clock_ms();
    return KEY_NONE;
  }
  seq_last = sys_clock_ms();
  int at = seq_len;  // where c stands: 1 just after the ESC
  if (seq_len < SEQ_MAX) seq_len++;
  if (at == 1) {
    if (c == 27) {  // Escape twice: the first stands alone
      pushed = c;
      seq_len = 0;
      return 27;
    }
    return c == '[' || c == 'O' ? KEY_NONE : seq_end();
  }
  if (at == 2 && c == '[') return KEY_NONE;  // the Linux console's F1-F5: ESC [ [ A
  if (c >= 0x20 && c <= 0x3F) {
    if (seq_len < SEQ_MAX || seq_given) return KEY_NONE;
    seq_given = true;  // a stream of parameters must not hold the keys back
    return PLAT_KEY_SPECIAL;
  }
  if (c < 0x40 || c > 0x7E) pushed = c;  // not part of it: the next key starts here
  return seq_end();
}

// The next whole key, waiting up to wait_ms (-1: as long as it takes) for
// it; KEY_NONE when none is whole in time, KEY_END at the end of input.
int next_key(int wait_ms) {
  unsigned long start = sys_clock_ms();
  for (;;) {
    unsigned long now = sys_clock_ms(), gone = now - start;
    int left = wait_ms < 0 ? -1 : gone >= (unsigned long)wait_ms ? 0 : wait_ms - (int)gone;
    if (seq_len > 0) {
      unsigned long quiet = now - seq_last;
      if (quiet >= TMO_KEYSEQ) {  // nothing more came: the sequence is over
        int k = seq_len == 1 ? (seq_len = 0, 27) : seq_end();
        if (k != KEY_NONE) return k;
        continue;
      }
      int gap = (int)(TMO_KEYSEQ - quiet);
      if (left < 0 || gap < left) left = gap;
    }
    int c = read_byte(left);
    if (c == KEY_END) return KEY_END;
    if (c != KEY_NONE) {
      int k = take(c);
      if (k != KEY_NONE) return k;
    } else if (wait_ms >= 0 && sys_clock_ms() - start >= (unsigned long)wait_ms) {
      return KEY_NONE;
    }
  }
}

}  // namespace

// A hang-up or a closed descriptor counts as a key: the plat_getch that
// follows sees the end of input and ends the program.
int sys_kbhit(void) {
  if (ready_key == KEY_NONE) ready_key = next_key(0);
  return ready_key != KEY_NONE;
}

int sys_getch(void) {
  int k = ready_key != KEY_NONE ? ready_key : next_key(-1);
  ready_key = KEY_NONE;
  // End of input (or input that can no longer be read): nothing more can be
  // typed, so the program ends; atexit puts the terminal back.
  if (k == KEY_END) exit(0);
  return k;
}

void sys_putch(int c) { fputc(c, stderr); }

void sys_sleep_ms(unsigned long ms) {
  struct timespec req, rem;
  req.tv_sec = (time_t)(ms / 1000UL);
  req.tv_nsec = (long)(ms % 1000UL) * 1000000L;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

int sys_keys_typed(void) { return term_keys ? 1 : 0; }

void plat_console_init(void) {
  term_keys = isatty(STDIN_FILENO) != 0;
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

// The handlers plat_catch_interrupt replaced, for plat_release_interrupt.
static struct sigaction before_int, before_term;
static bool caught;

void plat_catch_interrupt(void) {
  if (caught) return;
  sigaction(SIGINT, nullptr, &before_int);
  sigaction(SIGTERM, nullptr, &before_term);
  interrupted = 0;
  install_unless_ignored(SIGINT, on_interrupt, SA_RESTART);
  install_unless_ignored(SIGTERM, on_interrupt, SA_RESTART);
  caught = true;
}

void plat_release_interrupt(void) {
  if (!caught) return;
  sigaction(SIGINT, &before_int, nullptr);
  sigaction(SIGTERM, &before_term, nullptr);
  caught = false;
  interrupted = 0;
}

int plat_interrupted(void) { return interrupted ? 1 : 0; }

unsigned long long plat_clock_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long long)ts.tv_sec * 1000000ULL + (unsigned long long)(ts.tv_nsec / 1000L);
}

void plat_sleep_us(unsigned long us) {
  struct timespec req, rem;
  req.tv_sec = (time_t)(us / 1000000UL);
  req.tv_nsec = (long)(us % 1000000UL) * 1000L;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
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

int plat_filesize(const char *path, long long *size) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 1;
  *size = (long long)st.st_size;
  return 0;
}

int plat_replace(const char *from, const char *to) { return rename(from, to) == 0 ? 0 : errno; }

int plat_syncfile(FILE *f) {
  if (fflush(f) != 0 || ferror(f)) return 1;
  return fsync(fileno(f)) == 0 || errno == EINVAL ? 0 : 1;  // EINVAL: a device or pipe, nothing to sync
}
