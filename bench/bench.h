// Shared by the benchmark files.
#pragma once

// 1 under --k3-short: large transfers are run at a small size.
extern int bench_short;

// One emulated tag with cfg alone on a fresh bus (virtual or real time, no
// log kept), opened and claimed as a session does, no key pressed: its id,
// or 0 when it could not be claimed. close_tag releases it and empties the
// bus.
struct TagConfig;
int open_tag(const TagConfig &cfg, int realtime);
void close_tag(void);

// Registers the offload benchmarks at the size bench_short chooses.
void register_host_benchmarks(void);
