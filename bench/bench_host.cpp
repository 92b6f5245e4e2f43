// What the program itself costs while it works with a tag: offloads and the
// directory listing, through the real modules on the virtual bus.
//
//   BM_OffloadHostCost  a 256 MiB recording offloaded into a file, the tag
//                       answering from memory (vbus_tag_replay), so all the
//                       time is the program's and the bus's: MB/s of
//                       recording data and CPU ms per MiB; beside it, in the
//                       same run, plain fwrite of as many bytes to the same
//                       disk. Targets: 500 MB/s or more, and no more than 3
//                       times the plain write's time (x_fwrite).
//   BM_OffloadPaced     a 32 MiB recording over the paced full-speed link in
//                       real time: the link's own time over the wall time of
//                       the offload (link_ratio). Target: 0.97 or more.
//   BM_StationPaced     the field station over the paced full-speed link in
//                       real time: three tags one after another, two
//                       recordings of the size given each; the link's own
//                       time over the time the station had tags in hand
//                       (link_ratio; the search for the next tag apart),
//                       the best of three runs: on a shared machine other
//                       work only ever adds time. Target: 0.99 or more.
//   BM_DirectoryListing the largest directory reply a frame carries (1396
//                       entries) fetched and listed, user form (0) and expert
//                       form (1).
//
// Files go to $K3_BENCH_DIR, else the current directory, and are removed.
// Under --k3-short the offloads are 16 MiB and 1 MiB (the names say which).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench.h"
#include "host.h"
#include "hostflsh.h"
#include "k3host.h"
#include "offrec.h"
#include "platform.h"
#include "sim_tags.h"
#include "station.h"
#include "vbus.h"

namespace {

const int BLOCK_BYTES = 64 * 2048 * 2;  // a block of the emulated chips
const int CHUNK = 7 * 4096;             // page data of one read reply

double seconds(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string bench_path(const char *name) {
  const char *dir = getenv("K3_BENCH_DIR");
  return std::string(dir && *dir ? dir : ".") + "/" + name;
}

// The program's console output goes to /dev/null while it lives, so that
// only the benchmark's table is shown.
struct Quiet {
  int out = dup(1), err = dup(2);
  Quiet() {
    fflush(stdout), fflush(stderr);
    int n = open("/dev/null", O_WRONLY);
    dup2(n, 1), dup2(n, 2), close(n);
  }
  ~Quiet() {
    fflush(stdout), fflush(stderr);
    dup2(out, 1), dup2(err, 2), close(out), close(err);
  }
};

int no_key(void) { return 0; }

// A tag whose chip 0 holds one recording of mib MiB from block 1 on (no
// bad blocks), and that range to offload.
TagConfig recording_tag(int mib, diritem *range) {
  TagConfig cfg;
  int blocks = mib * (1 << 20) / BLOCK_BYTES;
  cfg.chips[0].bad.clear();
  cfg.recordings = {{0, 1, 0, (uint16_t)blocks, 1773466200, 1773485100, 1}};
  *range = diritem{};
  range->startblock = 1;
  range->endblock = (uint32_t)blocks;
  range->size = blocks * (BLOCK_BYTES / 1024);
  return cfg;
}

// Plain fwrite of bytes to path, in reply-sized pieces: its wall seconds.
double plain_write(const std::string &path, int64_t bytes) {
  static std::vector<unsigned char> piece(CHUNK, 0x5A);
  double t0 = seconds(CLOCK_MONOTONIC);
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  for (int64_t n = 0; n < bytes; n += CHUNK) fwrite(piece.data(), 1, (size_t)std::min<int64_t>(CHUNK, bytes - n), f);
  fclose(f);
  return seconds(CLOCK_MONOTONIC) - t0;
}

void BM_OffloadHostCost(benchmark::State &state, int mib) {
  const int64_t bytes = (int64_t)mib << 20;
  const std::string path = bench_path("k3bench-offload.kvd"), plain = bench_path("k3bench-fwrite.bin");
  diritem range;
  if (!open_tag(recording_tag(mib, &range), 0)) return state.SkipWithError("no tag to offload from");
  vbus_tag_replay(1, 1);
  double wall = 0, cpu = 0, fw = 0;
  int failed;
  {
    Quiet q;
    failed = hflsoffload(path.c_str(), &range);  // the tag keeps its replies
    for (auto _ : state) {
      double w0 = seconds(CLOCK_MONOTONIC), c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
      failed |= hflsoffload(path.c_str(), &range);
      wall += seconds(CLOCK_MONOTONIC) - w0, cpu += seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
      state.PauseTiming();
      remove(path.c_str());
      fw += plain_write(plain, bytes);
      remove(plain.c_str());
      state.ResumeTiming();
    }
  }
  close_tag();
  if (failed) return state.SkipWithError("the offload failed");
  double n = (double)state.iterations();
  state.counters["MB/s"] = (double)bytes * n / wall / 1e6;
  state.counters["cpu_ms/MiB"] = cpu * 1e3 / (mib * n);
  state.counters["fwrite_MB/s"] = (double)bytes * n / fw / 1e6;
  state.counters["x_fwrite"] = wall / fw;
}

void BM_OffloadPaced(benchmark::State &state, int mib) {
  const std::string path = bench_path("k3bench-paced.kvd");
  diritem range;
  if (!open_tag(recording_tag(mib, &range), 1)) return state.SkipWithError("no tag to offload from");
  // The replies are worked out once beforehand, on an unpaced link, so that
  // the emulated tag's own work does not count against the program.
  vbus_tag_replay(1, 1);
  uint64_t wall = 0, link = 0;
  int failed;
  {
    Quiet q;
    failed = hflsoffload(path.c_str(), &range);
    vbus_link(1, 0);
    for (auto _ : state) {
      uint64_t w0 = plat_clock_us(), l0 = vbus_link_us();
      failed |= hflsoffload(path.c_str(), &range);
      wall += plat_clock_us() - w0, link += vbus_link_us() - l0;
    }
  }
  close_tag();
  remove(path.c_str());
  if (failed) return state.SkipWithError("the offload failed");
  double data = (double)((int64_t)mib << 20) * (double)state.iterations();
  state.counters["link_ratio"] = (double)link / (double)wall;
  state.counters["MB/s"] = data / (double)wall;
  state.counters["link_MB/s"] = data / (double)link;
}

// The station's tags: each with two recordings of mib MiB, no bad blocks.
struct {
  int mib, next, current;
} SEASON;
const int SEASON_TAGS = 3;

TagConfig season_tag(int i) {
  TagConfig cfg = sim_tags_config(i, TagConfig());
  int blocks = SEASON.mib * (1 << 20) / BLOCK_BYTES;
  cfg.chips[0].bad.clear();
  cfg.recordings = {{0, 1, 0, (uint16_t)blocks, 1773466200, 1773485100, 1},
                    {0, (uint16_t)(1 + blocks), 0, (uint16_t)(2 * blocks), 1773485200, 1773495100, 1}};
  return cfg;
}
void season_next(void) {
  vbus_detach(SEASON.current);
  if (SEASON.next <= SEASON_TAGS) SEASON.current = vbus_attach(season_tag(SEASON.next++));
}
// The run ends (q) once the last tag has been let go.
int season_over(void) { return SEASON.next > SEASON_TAGS && !vbus_present(SEASON.current); }
int season_q(void) { return 'q'; }

void BM_StationPaced(benchmark::State &state, int mib) {
  const std::string dir = bench_path("k3bench-station");
  static const PlatHooks keys = {season_over, season_q, nullptr, nullptr, nullptr};
  double best = 0, best_rate = 0;  // of the least disturbed run
  int failed = 0;
  for (auto _ : state) {
    plat_sethooks(&keys);
    vbus_reset();
    vbus_realtime(1);
    vbus_record(0);
    vbus_link(1, 0);
    SEASON.mib = mib;
    SEASON.next = 2;
    SEASON.current = vbus_attach(season_tag(1));
    station_tagdone = season_next;
    uint64_t l0 = vbus_link_us();
    {
      Quiet q;
      failed |= station_main(dir.c_str(), 0);
    }
    double link = (double)(vbus_link_us() - l0), inhand = STATION_STATS.inhand_ms * 1e3;
    if (inhand > 0 && link / inhand > best) best = link / inhand, best_rate = (double)STATION_STATS.bytes / inhand;
    failed |= STATION_STATS.saved != 2 * SEASON_TAGS;
    station_tagdone = nullptr;
    vbus_reset();
    plat_sethooks(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  if (failed) return state.SkipWithError("the station did not save every recording");
  state.counters["link_ratio"] = best;
  state.counters["MB/s"] = best_rate;
}

void BM_DirectoryListing(benchmark::State &state) {
  TagConfig cfg;
  cfg.recordings.clear();
  cfg.dir_max = 100000;
  for (int i = 0; i < 1396; i++) {  // as many as one reply carries
    uint32_t t = 1773466200u + 600u * (uint32_t)i;
    cfg.recordings.push_back({(uint16_t)(i / 700), (uint16_t)(8 + i % 700 * 5), (uint16_t)(i / 700),
                              (uint16_t)(11 + i % 700 * 5), t, t + 540, (uint16_t)(i % 9 == 4 ? 0 : 1)});
  }
  if (!open_tag(cfg, 0)) return state.SkipWithError("no tag to list");
  vbus_tag_replay(1, 1);
  int shown = 0;
  {
    Quiet q;
    for (auto _ : state) {
      freedirtab();
      shown = showdirtab((int)state.range(0));
    }
  }
  close_tag();
  if (shown < 1396) return state.SkipWithError("the directory was not listed whole");
  state.counters["entries"] = shown;
}

}  // namespace

int open_tag(const TagConfig &cfg, int realtime) {
  static const PlatHooks keys = {no_key, nullptr, nullptr, nullptr, nullptr};
  plat_sethooks(&keys);
  vbus_reset();
  vbus_realtime(realtime);
  vbus_record(0);
  int tag = vbus_attach(cfg);
  usb_init();
  int state = -1;
  struct usb_device *dev = device_init(&state);
  usb_handle = dev && state == 1 ? claimif(dev, 0) : nullptr;
  return usb_handle ? tag : 0;
}

void close_tag(void) {
  if (usb_handle) releaseif(usb_handle, 1);
  usb_handle = nullptr;
  freedirtab();
  vbus_reset();
  plat_sethooks(nullptr);
  remove(OFFREC_FILE);  // each offload's line in the offload record, here in the working folder
}

BENCHMARK(BM_DirectoryListing)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void register_host_benchmarks(void) {
  const int big = bench_short ? 16 : 256, paced = bench_short ? 1 : 32;
  benchmark::RegisterBenchmark(("BM_OffloadHostCost/" + std::to_string(big) + "MiB").c_str(), BM_OffloadHostCost, big)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("BM_OffloadPaced/" + std::to_string(paced) + "MiB").c_str(), BM_OffloadPaced, paced)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(1);
  const int season = bench_short ? 1 : 4;
  benchmark::RegisterBenchmark(("BM_StationPaced/3x2x" + std::to_string(season) + "MiB").c_str(), BM_StationPaced,
                               season)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(bench_short ? 1 : 3);
}
