// Cut candidate scan over 1 MiB buffers: each implementation the CPU runs.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "chunk/cutscan.h"

using namespace lrd;

namespace {

std::vector<uint8_t> random_data(size_t n) {
  std::mt19937_64 rng(7);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void bm_scan(benchmark::State& state, cutscan_impl impl) {
  if (!cutscan_force(impl)) {
    state.SkipWithError("not supported on this CPU");
    return;
  }
  const size_t n = 1 << 20;
  std::vector<uint8_t> data = random_data(n + cutscan_history);
  std::vector<uint64_t> bits((n + 63) / 64);
  for (auto _ : state) {
    cut_candidates(data.data() + cutscan_history, n, bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
  cutscan_force(cutscan_impl_auto);
}

BENCHMARK_CAPTURE(bm_scan, plain, cutscan_impl_plain);
BENCHMARK_CAPTURE(bm_scan, lanes, cutscan_impl_lanes);
BENCHMARK_CAPTURE(bm_scan, avx2, cutscan_impl_avx2);
BENCHMARK_CAPTURE(bm_scan, rows, cutscan_impl_rows);
BENCHMARK_CAPTURE(bm_scan, gfni, cutscan_impl_gfni);

}  // namespace
