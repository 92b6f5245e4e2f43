// The part of the platform layer both operating systems share: the hooks
// that tests and the simulator's virtual time put in front of the console
// keys and the clock, and what a caught Ctrl-C makes of the keys.
#include "platform.h"

#include "platform_sys.h"

static PlatHooks hooks;  // null members: the system's own functions

void plat_sethooks(const PlatHooks *h) { hooks = h ? *h : PlatHooks{}; }

int plat_kbhit(void) {
  if (plat_interrupted()) return 1;
  return hooks.kbhit ? hooks.kbhit() : sys_kbhit();
}

int plat_stopkey(void) {
  if (plat_interrupted()) return 1;
  if (hooks.kbhit) return hooks.kbhit();
  return sys_keys_typed() ? sys_kbhit() : 0;
}

int plat_getch(void) {
  if (plat_interrupted()) return 3;  // Ctrl-C, caught: the key that ends
  return hooks.getch ? hooks.getch() : sys_getch();
}

void plat_putch(int c) {
  if (hooks.putch)
    hooks.putch(c);
  else
    sys_putch(c);
}

unsigned long plat_clock_ms(void) { return hooks.clock_ms ? hooks.clock_ms() : sys_clock_ms(); }

void plat_sleep_ms(unsigned long ms) {
  if (hooks.sleep_ms)
    hooks.sleep_ms(ms);
  else
    sys_sleep_ms(ms);
}
