// The platform layer on Windows: the console runtime's single-key calls,
// characters to standard error, a millisecond tick clock, and the two
// file-system calls. Windows gives each console program its own input mode
// and puts the console back itself, so nothing needs restoring on the way out.
//
// Extended keys (arrows, Delete, function keys), which the runtime gives as
// 0 or 0xE0 and then a second code, become the one key PLAT_KEY_SPECIAL.
// When standard input is not a console (a pipe or a file), keys are read
// from it byte by byte as they arrive, as on POSIX systems.

// GetTickCount64 needs Windows Vista or later; this must precede every header.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <conio.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform.h"
#include "platform_sys.h"

namespace {

bool piped;  // standard input is not a console: read it as a byte stream

// Ctrl-C after plat_catch_interrupt: noted instead of ending the program.
bool catch_interrupt;
volatile LONG interrupted;

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&interrupted, 1);
  return TRUE;
}

}  // namespace

int sys_kbhit(void) {
  if (!piped) return _kbhit() ? 1 : 0;
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == INVALID_HANDLE_VALUE || h == NULL) return 1;  // no input: its end
  if (GetFileType(h) != FILE_TYPE_PIPE) return 1;        // a file never waits
  DWORD avail = 0;
  // A pipe whose writer has gone fails here: that is the end of input, which
  // counts as a key so that the next plat_getch ends the program.
  if (!PeekNamedPipe(h, NULL, 0, NULL, &avail, NULL)) return 1;
  return avail > 0 ? 1 : 0;
}

int sys_getch(void) {
  if (!piped) {
    // An extended key comes as 0 or 0xE0 and then a second code that the
    // runtime already holds (so _kbhit says so). The pair is one key: alone,
    // PageDown's second code 'Q' would quit and Delete's 'S' be a menu key.
    // A 0xE0 with nothing held is the character of that code.
    int c = _getch();
    // The runtime hands Ctrl-C to _getch as the character 3 instead of
    // letting the console end the program, as Ctrl-C does everywhere else
    // (and at a POSIX terminal): end it the console's way.
    if (c == 3 && catch_interrupt) {
      InterlockedExchange(&interrupted, 1);
      return c;
    }
    if (c == 3) ExitProcess(STATUS_CONTROL_C_EXIT);
    if ((c == 0 || c == 0xE0) && _kbhit()) {
      _getch();
      return PLAT_KEY_SPECIAL;
    }
    return c;
  }
  unsigned char c;
  if (_read(0, &c, 1) == 1) return c;
  exit(0);  // end of piped input: nothing more can be typed
}

// Console text otherwise goes to standard error; one character goes the same
// way so that it keeps its place among the formatted text when stderr is
// redirected (the console call would bypass the redirection).
void sys_putch(int c) { fputc(c, stderr); }

unsigned long sys_clock_ms(void) { return (unsigned long)GetTickCount64(); }

void sys_sleep_ms(unsigned long ms) {
  // Sleep takes a DWORD; INFINITE (all bits set) must never be passed.
  while (ms > 0) {
    DWORD part = ms > 0x7FFFFFFFUL ? 0x7FFFFFFFUL : (DWORD)ms;
    Sleep(part);
    ms -= part;
  }
}

int sys_keys_typed(void) { return piped ? 0 : 1; }

void plat_console_init(void) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  piped = !(h != INVALID_HANDLE_VALUE && h != NULL && GetConsoleMode(h, &mode));
  if (piped) {
    // Bytes as they come: no CR-LF translation and no Ctrl-Z end of file.
    _setmode(0, _O_BINARY);
    return;
  }
  // Some Windows-compatible runtimes only start delivering key events after
  // the first console read; a read of zero characters returns at once.
  char none[1];
  DWORD got = 0;
  ReadConsoleA(h, none, 0, &got, NULL);
}

void plat_console_restore(void) {}

void plat_catch_interrupt(void) {
  if (catch_interrupt) return;
  interrupted = 0;
  catch_interrupt = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void plat_release_interrupt(void) {
  if (!catch_interrupt) return;
  catch_interrupt = false;
  SetConsoleCtrlHandler(on_console_event, FALSE);
  InterlockedExchange(&interrupted, 0);
}

int plat_interrupted(void) { return interrupted ? 1 : 0; }

unsigned long long plat_clock_us(void) {
  static LARGE_INTEGER freq;
  LARGE_INTEGER now;
  if (freq.QuadPart == 0) QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&now);
  return (unsigned long long)(now.QuadPart / freq.QuadPart) * 1000000ULL +
         (unsigned long long)(now.QuadPart % freq.QuadPart) * 1000000ULL / (unsigned long long)freq.QuadPart;
}

// The whole milliseconds are slept, the rest below a millisecond yielded
// away on the clock. Sleep keeps to the system tick (1 to 16 ms), so a long
// sleep may end late, as "about" allows (the paced link waits out its last
// stretch on the clock itself); spinning through the last milliseconds of
// every sleep instead cost an idle simulator a fifth of a processor.
void plat_sleep_us(unsigned long us) {
  unsigned long long end = plat_clock_us() + us;
  if (us >= 1000) sys_sleep_ms(us / 1000);
  while (plat_clock_us() < end) SwitchToThread();
}

int plat_mkdir(const char *path) { return _mkdir(path) == 0 ? 0 : errno; }

int plat_findfile(const char *path, char *name, size_t namelen, time_t *mtime) {
  // _findfirst takes * and ? as wildcards; no file name holds them, so a
  // typed pattern is no file here, as on POSIX systems.
  if (strpbrk(path, "*?")) return 1;
  struct _finddata_t fd;
  intptr_t h = _findfirst(path, &fd);
  if (h == -1) return 1;
  _findclose(h);
  if (fd.attrib & _A_SUBDIR) return 1;
  if (name && namelen > 0) {
    // The runtime gives the file's own name, without the folder part.
    size_t n = strlen(fd.name);
    if (n > namelen - 1) n = namelen - 1;
    memcpy(name, fd.name, n);
    name[n] = 0;
  }
  if (mtime) *mtime = (time_t)fd.time_write;
  return 0;
}

int plat_filesize(const char *path, long long *size) {
  struct _stati64 st;
  if (_stati64(path, &st) != 0 || !(st.st_mode & _S_IFREG)) return 1;
  *size = (long long)st.st_size;
  return 0;
}

int plat_replace(const char *from, const char *to) {
  // rename() on Windows refuses an existing target.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : EACCES;
}

int plat_syncfile(FILE *f) {
  if (fflush(f) != 0 || ferror(f)) return 1;
  return _commit(_fileno(f)) == 0 || errno == EBADF ? 0 : 1;
}
