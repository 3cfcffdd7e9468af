// Cut candidate scan over 1 MiB buffers: the lane version and the reference.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "chunk/cutscan.h"

namespace {

std::vector<uint8_t> random_data(size_t n) {
  std::mt19937_64 rng(7);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

template <void (*scan)(const uint8_t*, size_t, uint64_t*)>
void bm_scan(benchmark::State& state) {
  const size_t n = 1 << 20;
  std::vector<uint8_t> data = random_data(n + cutscan_history);
  std::vector<uint64_t> bits((n + 63) / 64);
  for (auto _ : state) {
    scan(data.data() + cutscan_history, n, bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(bm_scan<cut_candidates>)->Name("cut_candidates/lanes");
BENCHMARK(bm_scan<cut_candidates_plain>)->Name("cut_candidates/plain");

}  // namespace
