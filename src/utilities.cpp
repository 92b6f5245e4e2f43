// Helpers every module shares: 16-bit word packing in both byte orders,
// 32-bit conversion, hexadecimal text, console line input and time text.
#include "utilities.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "platform.h"

const char *const MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
char TSTR[64];

void utilities_reset(void) { TSTR[0] = 0; }

const unsigned char *bpack(uint32_t *out, const unsigned char *in, int count) {
  for (int i = 0; i < count; i++, in += 2) out[i] = ((uint32_t)in[0] << 8) | in[1];
  return in;
}

unsigned char *bunpack(unsigned char *out, const uint32_t *in, int count) {
  for (int i = 0; i < count; i++, out += 2) {
    out[0] = (unsigned char)(in[i] >> 8);
    out[1] = (unsigned char)in[i];
  }
  return out;
}

const unsigned char *brpack(uint32_t *out, const unsigned char *in, int count) {
  for (int i = 0; i < count; i++, in += 2) out[i] = in[0] | ((uint32_t)in[1] << 8);
  return in;
}

unsigned char *brunpack(unsigned char *out, const uint32_t *in, int count) {
  for (int i = 0; i < count; i++, out += 2) {
    out[0] = (unsigned char)in[i];
    out[1] = (unsigned char)(in[i] >> 8);
  }
  return out;
}

void long2char(unsigned char *out, uint32_t value) {
  out[0] = (unsigned char)(value >> 24);
  out[1] = (unsigned char)(value >> 16);
  out[2] = (unsigned char)(value >> 8);
  out[3] = (unsigned char)value;
}

uint32_t char2long(const unsigned char *in) {
  return ((uint32_t)in[0] << 24) | ((uint32_t)in[1] << 16) | ((uint32_t)in[2] << 8) | in[3];
}

// Value of one digit: its code less '0' when that is 0 to 9, else its code
// less 55 (so 'A' and 'a' alike give 10), kept to four bits.
static unsigned hexdigit(unsigned char c) {
  unsigned v = (unsigned)(c - '0');
  if (v > 9) v = (unsigned)(c - 55);
  return v & 0x0F;
}

int str2hex(unsigned char *out, const char *text) {
  int n = 0;
  while (text[0]) {
    unsigned hi = hexdigit((unsigned char)text[0]);
    if (!text[1]) {
      out[n++] = (unsigned char)(hi << 4);
      break;
    }
    out[n++] = (unsigned char)((hi << 4) | hexdigit((unsigned char)text[1]));
    text += 2;
  }
  return n;
}

int getl(char *buffer, int len) {
  int n = 0;
  // A line ends only with Enter: keys typed past the limit are dropped, so
  // that the rest of an overlong line never reaches a menu as commands.
  for (;;) {
    int c = plat_getch();
    if (c == '\r' || c == '\n') break;
    if (c == KEY_BACKSPACE) {
      if (n > 0) {
        n--;
        plat_putch(KEY_BACKSPACE);
        plat_putch(' ');
        plat_putch(KEY_BACKSPACE);
      }
      continue;
    }
    // Keys with no place in a line pass unseen: NUL, Escape, DEL (Ctrl+Backspace
    // on Windows) and the special keys (arrows, Delete, function keys).
    if (c == 0 || c == KEY_ESCAPE || c == KEY_DEL || c > 0xFF || n >= len) continue;
    buffer[n++] = (char)c;
    plat_putch(c);
    if (len == ONE_KEY) break;
  }
  buffer[n > 0 ? n : 0] = 0;
  return 0;
}

int getfname(char *buffer, int len, const char *mode) {
  fprintf(stderr, " Filename?\t\t\t");
  getl(buffer, len);
  fprintf(stderr, "\n");
  // A folder opens for reading on some systems; as a file to send it would
  // fail only after the tag's code space was erased.
  if (mode[0] == 'r' && plat_findfile(buffer, NULL, 0, NULL)) return 1;
  FILE *f = fopen(buffer, mode);
  if (!f) return 1;
  fclose(f);
  return 0;
}

const char *long2timestr(const int32_t *t) {
  // The Windows runtime cannot convert times before 1970; treat them alike
  // everywhere so the text does not depend on the host.
  if (*t < 0) return "-- bad time code --";
  return utime2timestr((uint32_t)*t);
}

const char *utime2timestr(uint32_t t) {
  time_t tt = (time_t)t;
  if (sizeof(time_t) < 8 && t > INT32_MAX) return "-- bad time code --";
  struct tm *tm = gmtime(&tt);
  if (!tm || tm->tm_year < 0 || tm->tm_mon < 0 || tm->tm_mon > 11) return "-- bad time code --";
  snprintf(TSTR, sizeof TSTR, "%02d:%02d:%02d %d-%s-%04d UTC", tm->tm_hour, tm->tm_min, tm->tm_sec, tm->tm_mday,
           MONTH_NAMES[tm->tm_mon], tm->tm_year + 1900);
  return TSTR;
}

int scanints(const char *text, int *v, int n) {
  int got = 0;
  const char *p = text;
  while (got < n) {
    while (isspace((unsigned char)*p)) p++;
    const char *digits = p + (*p == '-' || *p == '+');
    if (!isdigit((unsigned char)*digits)) break;
    errno = 0;
    char *end;
    long x = strtol(p, &end, 10);
    if (errno == ERANGE || x < INT_MIN || x > INT_MAX) break;
    v[got++] = (int)x;
    p = end;
  }
  return got;
}
