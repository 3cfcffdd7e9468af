// In-memory encode, batched and plain body, on random data and on data with
// repeats. Each run takes a fresh zero-filled index as the program does (huge
// pages advised), so its page faults are part of the figure, unless the rows
// marked committed, whose index pages are committed before the clock runs.
#include <sys/mman.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "bench/bench_block.h"
#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/worker.h"
#include "tests/harness.h"

using namespace lrd;

namespace {

constexpr size_t input_bytes = size_t{256} << 20;

std::vector<uint8_t> random_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t w = rng();
    for (int k = 0; k < 8; k++) v[i + k] = static_cast<uint8_t>(w >> (8 * k));
  }
  return v;
}

// 1 MiB random blocks, every other one a copy of an earlier block: half the
// input comes back as references.
std::vector<uint8_t> repeat_data(size_t n, uint64_t seed) {
  const size_t blk = size_t{1} << 20;
  std::vector<uint8_t> v = random_data(n, seed);
  std::mt19937_64 rng(seed + 1);
  for (size_t b = 1; (b + 1) * blk <= n; b += 2) {
    size_t from = (rng() % b) * blk;
    std::copy(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(from + blk),
              v.begin() + static_cast<ptrdiff_t>(b * blk));
  }
  return v;
}

const std::vector<uint8_t>& input(int kind) {
  static const std::vector<uint8_t> rnd = random_data(input_bytes, 1);
  static const std::vector<uint8_t> rep = repeat_data(input_bytes, 2);
  return kind == 0 ? rnd : rep;
}

// One encode of `in`, served in 64 KiB pieces as the driver does, with the
// index table tbl; returns the stream size.
uint64_t encode_once(encoder_body_fn body, const std::vector<uint8_t>& in, void* tbl, bool helper) {
  mapped stage(encoder_stage_bytes());
  worker wk;
  encoder_resources r;
  r.table = static_cast<hslot*>(tbl);
  r.stage = stage.p;
  r.wk = helper && worker_start(&wk, 1) > 0 ? &wk : nullptr;
  auto c = std::make_unique<encoder_state>();
  encoder_init(c.get(), r);
  const uint64_t written = run_mem(c.get(), body, in, cfg_iobuf, cfg_iobuf, false).written;
  encoder_free(c.get());
  return written;
}

void bm_encode(benchmark::State& state) {
  const bool fast = state.range(0) != 0;
  const std::vector<uint8_t>& in = input(static_cast<int>(state.range(1)));
  const bool helper = state.range(2) >= 2;
  const bool committed = state.range(3) != 0;
  const size_t tbytes = index_table_bytes(index_cfg_default());
  uint64_t out = 0;
  for (auto _ : state) {
    if (committed) state.PauseTiming();
    void* tbl = bench_map_block(tbytes, committed);
    if (committed) state.ResumeTiming();
    out = encode_once(fast ? encoder_run_fast : encoder_run_plain, in, tbl, helper);
    if (committed) state.PauseTiming();
    munmap(tbl, tbytes);
    if (committed) state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(in.size());
}

}  // namespace

// Args: {fast, data, threads, committed}: data 0 = random, 1 = half repeats;
// threads of the batched body (1 or 2); committed 1 = the index's pages
// committed before the clock runs (the encoder alone, without page faults).
BENCHMARK(bm_encode)
    ->ArgNames({"fast", "data", "threads", "committed"})
    ->Args({1, 0, 2, 0})
    ->Args({1, 1, 2, 0})
    ->Args({1, 0, 1, 0})
    ->Args({1, 1, 1, 0})
    ->Args({0, 0, 1, 0})
    ->Args({0, 1, 1, 0})
    ->Args({1, 0, 2, 1})
    ->Args({1, 1, 2, 1})
    ->Args({1, 0, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
