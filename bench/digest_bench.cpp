// Chunk digest throughput per implementation: chunks of the lengths the
// chunker gives on random data (64 + geometric, ~163 bytes on average) in
// batches as one input buffer yields them, and maximal 65535-byte chunks.
// The byte-at-a-time absorb of chunk_feed is the baseline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "chunk/chunker.h"
#include "chunk/digest_batch.h"

using namespace lrd;

namespace {

#ifndef DIG_BYTES
#define DIG_BYTES (8 << 20)
#endif
constexpr size_t bench_bytes = DIG_BYTES;  // beyond L2, as real input streams are
constexpr size_t typical_batch = 400;    // about one 64 KiB input buffer of chunks

struct workload {
  std::vector<uint8_t> data;
  std::vector<chunk_span> spans;
  std::vector<uint8_t> keys;
  size_t batch;
};

enum shape { shape_typical, shape_max };

// The chunks tile one seeded random buffer.
workload& load(shape k) {
  static workload cache[2];
  workload& w = cache[k];
  if (!w.data.empty()) return w;
  std::mt19937 rng(777);
  w.data.resize(bench_bytes);
  for (auto& b : w.data) b = static_cast<uint8_t>(rng());
  std::geometric_distribution<uint32_t> tail(0.01);
  for (size_t pos = 0; pos < bench_bytes;) {
    uint32_t len = k == shape_max ? cfg_maxchunk : std::min<uint32_t>(cfg_maxchunk, 64 + tail(rng));
    len = static_cast<uint32_t>(std::min<size_t>(len, bench_bytes - pos));
    w.spans.push_back({w.data.data() + pos, len});
    pos += len;
  }
  w.keys.resize(w.spans.size() * 16);
  w.batch = k == shape_max ? w.spans.size() : typical_batch;
  return w;
}

void report(benchmark::State& state, const workload& w) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bench_bytes));
  state.counters["avg_chunk"] =
      static_cast<double>(bench_bytes) / static_cast<double>(w.spans.size());
}

void bm_batch(benchmark::State& state, shape k, digest_impl impl) {
  if (!digest_impl_supported(impl)) {
    state.SkipWithError("not supported on this CPU");
    return;
  }
  workload& w = load(k);
  auto* keys = reinterpret_cast<uint8_t(*)[16]>(w.keys.data());
  digest_force(impl);
  for (auto _ : state) {
    for (size_t i = 0; i < w.spans.size(); i += w.batch) {
      size_t n = std::min(w.batch, w.spans.size() - i);
      if (impl == digest_impl_plain) digest_batch_plain(w.spans.data() + i, n, keys + i);
      else digest_batch(w.spans.data() + i, n, keys + i);
    }
    benchmark::ClobberMemory();
  }
  digest_force(digest_impl_auto);
  report(state, w);
}

// What the encoder pays today: every byte through hblk_absorb, a mix at the end.
void bm_bytewise(benchmark::State& state, shape k) {
  const workload& w = load(k);
  uint8_t blk[cfg_hblk];
  uint8_t key[16];
  for (auto _ : state) {
    for (const chunk_span& c : w.spans) {
      std::memset(blk, 0, sizeof blk);
      for (uint32_t i = 0; i < c.len; i++) hblk_absorb(blk, c.p[i]);
      hblk_mix(blk);
      std::memcpy(key, blk, 16);
      benchmark::DoNotOptimize(key);
    }
  }
  report(state, w);
}

}  // namespace

BENCHMARK_CAPTURE(bm_bytewise, typical, shape_typical);
BENCHMARK_CAPTURE(bm_batch, typical_plain, shape_typical, digest_impl_plain);
BENCHMARK_CAPTURE(bm_batch, typical_vec128, shape_typical, digest_impl_vec128);
BENCHMARK_CAPTURE(bm_batch, typical_avx2, shape_typical, digest_impl_avx2);
BENCHMARK_CAPTURE(bm_batch, typical_avx512, shape_typical, digest_impl_avx512);
BENCHMARK_CAPTURE(bm_bytewise, max, shape_max);
BENCHMARK_CAPTURE(bm_batch, max_plain, shape_max, digest_impl_plain);
BENCHMARK_CAPTURE(bm_batch, max_vec128, shape_max, digest_impl_vec128);
BENCHMARK_CAPTURE(bm_batch, max_avx2, shape_max, digest_impl_avx2);
BENCHMARK_CAPTURE(bm_batch, max_avx512, shape_max, digest_impl_avx512);
