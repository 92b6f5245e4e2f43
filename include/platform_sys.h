// What each operating system's platform file gives the common part of the
// platform layer (platform.cpp), which puts the test and simulator hooks in
// front of it. Only the platform files include this.
#pragma once

// A whole key is waiting (or the input has ended); never waits.
int sys_kbhit(void);
// One key, waiting for it; at the end of the input the program ends.
int sys_getch(void);
void sys_putch(int c);
unsigned long sys_clock_ms(void);
void sys_sleep_ms(unsigned long ms);
// 1 when standard input is a person's keyboard (a terminal or a console),
// whose keys may stop a transfer; 0 for a pipe or a file.
int sys_keys_typed(void);
