// Shared by the benchmark files.
#pragma once

// 1 under --k3-short: large transfers are run at a small size.
extern int bench_short;

// Registers the offload benchmarks at the size bench_short chooses.
void register_host_benchmarks(void);
