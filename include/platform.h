// The small platform layer: console keys and output, an elapsed-time clock,
// and the few file-system calls the program needs. One implementation per
// operating system (platform_posix.cpp, platform_win32.cpp); the hooks in
// front of the keys and the clock are shared (platform.cpp).
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <time.h>

// Puts the console into single-key mode (no echo, no Enter needed) when
// standard input is a terminal, and arranges for the terminal to be restored
// on every way out: return from main, exit, SIGINT, SIGTERM, SIGHUP.
void plat_console_init(void);

// Restores the console as plat_console_init found it. Safe to call twice.
void plat_console_restore(void);

// The key of an escape sequence from a terminal (arrows, Delete, Insert,
// function keys, Alt with a key) and of the Windows console's two-code keys:
// one key, above every character code, that no menu acts on and line input
// ignores.
#define PLAT_KEY_SPECIAL 0x100

// How long a terminal's escape sequence may pause between two of its bytes
// (ms). A terminal writes a sequence whole, so an ESC that nothing follows
// for this long is the Escape key itself (nobody types Escape and another
// key this close together).
#define TMO_KEYSEQ 50

// 1 when a whole key is waiting, else 0; never waits (a sequence still
// arriving is not a key yet). At the end of piped input it returns 1, so
// that the next plat_getch ends the program.
int plat_kbhit(void);

// 1 when the operator pressed a key that should stop a long transfer
// (offload, erase, a resynchronisation that goes on). Keys from a pipe or a
// file were typed ahead for the prompts, never to interrupt, so when
// standard input is not a terminal this is always 0 and what waits there,
// its end included, is left for the next prompt. Never waits.
int plat_stopkey(void);

// From now on Ctrl-C (and on POSIX systems a termination request, SIGTERM)
// no longer ends the program at once: it is noted, plat_interrupted reports
// it, and plat_stopkey reports a key, so that the transfer in progress stops
// cleanly at its next step and the caller ends the program; plat_kbhit
// then reports a key and plat_getch gives 3 (Ctrl-C) without waiting. For the field
// station, which must never leave an offload unrecorded.
void plat_catch_interrupt(void);
// 1 once Ctrl-C was caught after plat_catch_interrupt, else 0.
int plat_interrupted(void);
// Puts Ctrl-C back as it was before plat_catch_interrupt, and forgets a
// Ctrl-C caught.
void plat_release_interrupt(void);

// One key press, without echo and without waiting for Enter; blocks until a
// key arrives. Keys are the Windows console's: Backspace is 8, a sequence or
// two-code key is PLAT_KEY_SPECIAL, Escape alone is 27. When standard input
// is not a terminal, bytes are taken from it as they arrive, unchanged; at
// its end the program exits with status 0.
int plat_getch(void);

// One character to the console (standard error).
void plat_putch(int c);

// Milliseconds of elapsed (wall) time from an arbitrary origin.
unsigned long plat_clock_ms(void);

// Sleeps for about ms milliseconds without burning the processor.
void plat_sleep_ms(unsigned long ms);

// Microseconds of elapsed time and a sleep of about us microseconds, for
// the simulator's paced link, which needs finer steps than a millisecond.
// Always the real clock: never replaced by hooks.
unsigned long long plat_clock_us(void);
void plat_sleep_us(unsigned long us);

// Creates one directory level (a trailing separator is allowed). 0 made;
// otherwise the error number, ENOENT when a parent folder does not exist,
// EEXIST when the name already exists.
int plat_mkdir(const char *path);

// Looks up a file: 0 when it exists as a regular file, with its own name (no folder part,
// zero-terminated, cut to namelen - 1 characters) and its last-modification
// time; 1 when there is no such file.
int plat_findfile(const char *path, char *name, size_t namelen, time_t *mtime);

// The size of a regular file: 0 with *size set; 1 when path is no regular
// file (missing, a folder, a device or a pipe).
int plat_filesize(const char *path, long long *size);

// Puts the file at from in place of the file at to, replacing it, in one
// step (both in the same folder). 0 done; otherwise the error number.
int plat_replace(const char *from, const char *to);

// Writes what the stream holds and asks the system to put it on the disk,
// so that a file reported saved survives a power cut. 0 done; 1 failed.
int plat_syncfile(FILE *f);

// Replacements for the console keys and the clock, used by the simulator's
// virtual time and by tests. A null member keeps the real function; a null
// pointer restores all of them.
struct PlatHooks {
  int (*kbhit)(void);
  int (*getch)(void);
  void (*putch)(int c);
  unsigned long (*clock_ms)(void);
  void (*sleep_ms)(unsigned long ms);
};
void plat_sethooks(const PlatHooks *hooks);
