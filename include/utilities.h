// Word packing, 32-bit conversion, console line input and time text.
#pragma once

#include <stdint.h>

// Words from bytes, most significant byte first; returns the byte pointer
// just past the last byte read (bytes itself when count <= 0).
const unsigned char *bpack(uint32_t *out, const unsigned char *in, int count);
// Bytes from words, most significant byte first; returns the byte pointer just
// past the last byte written.
unsigned char *bunpack(unsigned char *out, const uint32_t *in, int count);
// As bpack and bunpack, least significant byte first.
const unsigned char *brpack(uint32_t *out, const unsigned char *in, int count);
unsigned char *brunpack(unsigned char *out, const uint32_t *in, int count);

// 32-bit value to and from 4 bytes, most significant first.
void long2char(unsigned char *out, uint32_t value);
uint32_t char2long(const unsigned char *in);

// Pairs of hexadecimal digits to bytes; returns (strlen(text) + 1) / 2.
int str2hex(unsigned char *out, const char *text);

// Reads one line, up to Enter, from the keyboard into buffer (len + 1
// bytes), showing what is typed; the first len characters are kept and keys
// past them dropped. Backspace erases, and keys with no place in a line
// (NUL, Escape, DEL, special keys) are ignored. A line of one character
// (len 1) is a one-key answer: it ends with that key, without Enter. Always 0.
int getl(char *buffer, int len);
#define ONE_KEY 1  // getl's limit for a one-key answer
enum { KEY_BACKSPACE = 8, KEY_ESCAPE = 27, KEY_DEL = 127 };

// Prompts " Filename?", reads a name as getl does and tries to open it with
// mode: 0 when it opened (and was closed again), 1 otherwise (a folder is
// never a file to read).
int getfname(char *buffer, int len, const char *mode);
#define FNAME_LINE 80  // characters of a typed file name

// Reads up to n decimal numbers separated by blanks from text into v, as
// sscanf's "%d %d ..." does: how many were read. A number outside the range
// of int ends the scan as text would, instead of wrapping round.
int scanints(const char *text, int *v, int n);

// "hh:mm:ss d-Mon-yyyy UTC" of a time value, in the static buffer TSTR, or
// "-- bad time code --" when the value cannot be shown.
const char *long2timestr(const int32_t *t);
// The same for a time held as 32 bits without sign (up to the year 2106).
const char *utime2timestr(uint32_t t);

extern const char *const MONTH_NAMES[12];
extern char TSTR[64];

// Puts this module's state back as at program start (for tests and fuzzers).
void utilities_reset(void);
