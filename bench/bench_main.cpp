// k3bench: every benchmark of the program. Google Benchmark's own options
// apply; --k3-short runs the large transfers at a small size, for a quick
// check that they still work (CI).
#include <benchmark/benchmark.h>
#include <string.h>

#include "bench.h"

int bench_short = 0;

int main(int argc, char **argv) {
  int n = 0;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && strcmp(argv[i], "--k3-short") == 0)
      bench_short = 1;
    else
      argv[n++] = argv[i];
  }
  argc = n;
  register_host_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
