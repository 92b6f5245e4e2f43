// Shared by the benchmark files.
#pragma once

// 1 under --k3-short: large transfers are run at a small size.
extern int bench_short;
