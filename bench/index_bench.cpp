// The chunk index alone, driven as the encoder drives it: a lookup or
// insertion and a sweep per chunk of 170 bytes, a fifth of the keys coming
// back. The growing index takes its memory as the program does (anonymous
// mappings resized by mremap, huge pages advised); the flat table is a fresh 1 GiB, huge pages
// advised, committed before the clock runs or not. Chunk counts as in 10 MB,
// 100 MB and 1 GB of input.
#include <sys/mman.h>

#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

#include "bench/bench_block.h"
#include "codec/index/index.h"
#include "os/memory.h"

using namespace lrd;

namespace {

using key16 = std::array<uint8_t, 16>;

const std::vector<key16>& keys(size_t n) {
  static std::vector<key16> k;
  if (k.size() >= n) return k;
  std::mt19937_64 rng(1);
  k.resize(n);
  for (size_t i = 0; i < n; i++) {
    if (i > 0 && rng() % 5 == 0) {
      k[i] = k[rng() % i];
      continue;
    }
    for (auto& b : k[i]) b = static_cast<uint8_t>(rng());
  }
  return k;
}

// One run over the first n keys; the index is set up and freed by the caller.
void drive(chunk_index* ix, const std::vector<key16>& k, size_t n) {
  uint32_t pos = 0;
  for (size_t i = 0; i < n; i++) {
    if (i + 32 < n) index_prefetch(ix, k[i + 32].data());
    benchmark::DoNotOptimize(index_find_or_add(ix, k[i].data(), pos));
    pos += 170;
    index_sweep(ix, 170, pos);
  }
}

// The program's index memory (lib/memory): mremap, huge pages advised.
void* program_memory(void*, void* block, size_t old_bytes, size_t new_bytes) {
  return resize_index_zeroed(block, old_bytes, new_bytes);
}

void BM_IndexGrowing(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const std::vector<key16>& k = keys(n);
  size_t bytes = 0;
  for (auto _ : state) {
    chunk_index ix;
    index_init_growing(&ix, index_mem{nullptr, program_memory}, index_cfg_default());
    drive(&ix, k, n);
    bytes = index_bytes(&ix);
    index_free(&ix);
  }
  state.counters["index_MiB"] = static_cast<double>(bytes) / (1 << 20);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_IndexFlat(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const bool committed = state.range(1) != 0;
  const std::vector<key16>& k = keys(n);
  const size_t bytes = index_table_bytes(index_cfg_default());
  for (auto _ : state) {
    state.PauseTiming();
    void* tbl = bench_map_block(bytes, committed);
    state.ResumeTiming();
    chunk_index ix;
    index_init(&ix, static_cast<hslot*>(tbl), index_cfg_default());
    drive(&ix, k, n);
    state.PauseTiming();
    munmap(tbl, bytes);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

BENCHMARK(BM_IndexGrowing)->Arg(62000)->Arg(620000)->Arg(6200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexFlat)
    ->Args({62000, 0})
    ->Args({620000, 0})
    ->Args({6200000, 0})
    ->Args({6200000, 1})
    ->Unit(benchmark::kMillisecond);
