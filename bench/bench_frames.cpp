// Costs of receiving the largest frame the tag can send (30730 bytes).
//
// Targets: the frame takes several milliseconds to cross USB full speed, but
// an offload checks gigabytes of frames, so the two-lane check must run at
// 1 GB/s or more on one core. The one-lane CRCs are measured beside it, and a
// memcpy of the same bytes is the bound: a checksum reads each byte once, as
// the copy does, so it cannot hope to run much faster.
//
//   BM_crc16byte2   the two-lane CRC over a whole maximum frame
//   BM_crc16byte1   the MSB-first one-lane CRC over the same bytes
//   BM_crc16b       the reflected one-lane CRC over the same bytes
//   BM_memcpy       a copy of the same bytes
//   BM_checkmess    sync, length and check value of a maximum frame in memory
//   BM_getmess      the emulated tag sends a maximum frame on the virtual bus
//                   and getmess reads and checks it into RXBUFF
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench.h"
#include "crc16v3.h"
#include "host.h"
#include "k3host.h"
#include "k3proto.h"
#include "vbus.h"

namespace {

// A well-formed frame of the largest size: code 0x0301 (flash page data),
// PAYLOAD_MAX bytes of varied payload, and its check value.
std::vector<unsigned char> max_frame() {
  std::vector<unsigned char> f(FRAME_MAX);
  const int n = PAYLOAD_MAX;
  f[0] = 0x55;
  f[1] = 0xAA;
  f[2] = REQ_FLREAD >> 8;
  f[3] = REQ_FLREAD & 0xFF;
  f[4] = (unsigned char)(n >> 8);
  f[5] = (unsigned char)(n & 0xFF);
  uint32_t x = 0x12345678u;  // small LCG: payload that is not all one value
  for (int i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    f[FRAME_HDR + i] = (unsigned char)(x >> 16);
  }
  uint32_t c = crc16byte2(f.data(), n + FRAME_HDR);
  f[n + 6] = (unsigned char)(c >> 24);
  f[n + 7] = (unsigned char)(c >> 16);
  f[n + 8] = (unsigned char)(c >> 8);
  f[n + 9] = (unsigned char)c;
  return f;
}

// One checksum over a whole maximum frame per iteration.
void bench_crc(benchmark::State &state, uint32_t (*fn)(const unsigned char *, int)) {
  std::vector<unsigned char> f = max_frame();
  for (auto _ : state) {
    uint32_t c = fn(f.data(), FRAME_MAX);
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * FRAME_MAX);
}
void BM_crc16byte2(benchmark::State &state) { bench_crc(state, crc16byte2); }
void BM_crc16byte1(benchmark::State &state) { bench_crc(state, crc16byte1); }
void BM_crc16b(benchmark::State &state) { bench_crc(state, crc16b); }
BENCHMARK(BM_crc16byte2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_crc16byte1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_crc16b)->Unit(benchmark::kMicrosecond);

void BM_memcpy(benchmark::State &state) {
  std::vector<unsigned char> f = max_frame(), g(FRAME_MAX);
  for (auto _ : state) {
    memcpy(g.data(), f.data(), FRAME_MAX);
    benchmark::DoNotOptimize(g.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * FRAME_MAX);
}
BENCHMARK(BM_memcpy)->Unit(benchmark::kMicrosecond);

void BM_checkmess(benchmark::State &state) {
  std::vector<unsigned char> f = max_frame();
  MessRec rec = {nullptr, 0, 0};
  if (checkmess(f.data(), FRAME_MAX, &rec) != 0 || rec.len != PAYLOAD_MAX) {
    state.SkipWithError("the maximum frame does not pass checkmess");
    return;
  }
  for (auto _ : state) {
    int flag = checkmess(f.data(), FRAME_MAX, &rec);
    benchmark::DoNotOptimize(flag);
    benchmark::DoNotOptimize(rec);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * FRAME_MAX);
}
BENCHMARK(BM_checkmess)->Unit(benchmark::kMicrosecond);

void BM_getmess(benchmark::State &state) {
  int tag = open_tag(TagConfig(), 0);
  if (!tag) return state.SkipWithError("cannot claim the emulated tag");
  std::vector<unsigned char> f = max_frame();
  MessRec rec = {nullptr, 0, 0};
  for (auto _ : state) {
    vbus_tag_send_raw(tag, f.data(), FRAME_MAX);
    int r = getmess(&rec, TMO_REPLY);
    if (r != RX_GOOD || rec.len != PAYLOAD_MAX || rec.cmd != REQ_FLREAD) {
      state.SkipWithError("getmess did not return the frame the tag sent");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * FRAME_MAX);
  close_tag();
}
BENCHMARK(BM_getmess)->Unit(benchmark::kMicrosecond);

}  // namespace
