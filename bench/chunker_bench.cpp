// Chunker throughput: the rolling hash and cut rule alone, and with the chunk
// digest, over seeded random, zero and text-like data.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "chunk/chunker.h"

using namespace lrd;

namespace {

constexpr size_t bench_bytes = 8 << 20;  // beyond L2, as real input streams are

enum data_class { data_random, data_zeros, data_text };

// Seeded test input of one class; built once per class.
const std::vector<uint8_t>& input(data_class k) {
  static std::vector<uint8_t> cache[3];
  std::vector<uint8_t>& d = cache[k];
  if (!d.empty()) return d;
  std::mt19937 rng(12345);
  d.reserve(bench_bytes);
  if (k == data_random) {
    while (d.size() < bench_bytes) d.push_back(static_cast<uint8_t>(rng()));
  } else if (k == data_zeros) {
    d.assign(bench_bytes, 0);
  } else {
    // Words of 1-10 lowercase letters from a 2000-word vocabulary, spaces and
    // the odd newline: repetitive at short range like prose or logs.
    std::vector<std::vector<uint8_t>> vocab(2000);
    for (auto& w : vocab) {
      w.resize(1 + rng() % 10);
      for (auto& ch : w) ch = static_cast<uint8_t>('a' + rng() % 26);
    }
    while (d.size() < bench_bytes) {
      const auto& w = vocab[rng() % vocab.size()];
      d.insert(d.end(), w.begin(), w.end());
      d.push_back(rng() % 12 == 0 ? '\n' : ' ');
    }
    d.resize(bench_bytes);
  }
  return d;
}

chunker ck;

// Cut rule only: what a side that needs only chunk lengths pays per byte.
void bm_chunker(benchmark::State& state, data_class k) {
  const std::vector<uint8_t>& d = input(k);
  chunker_init(&ck);
  uint64_t cuts = 0;
  for (auto _ : state) {
    for (uint8_t b : d) {
      chunk_feed_nodigest(&ck, b);
      if (chunk_boundary(&ck)) {
        cuts++;
        ck.clen = 0;
      }
    }
    benchmark::DoNotOptimize(cuts);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
  state.counters["avg_chunk"] = static_cast<double>(state.iterations() * d.size()) /
                                static_cast<double>(cuts ? cuts : 1);
}

// The encoder's per-byte work in the chunker: rolling hash, digest, and a key
// formed at every cut.
void bm_chunker_digest(benchmark::State& state, data_class k) {
  const std::vector<uint8_t>& d = input(k);
  chunker_init(&ck);
  uint64_t cuts = 0;
  for (auto _ : state) {
    for (uint8_t b : d) {
      chunk_feed(&ck, b);
      if (chunk_boundary(&ck)) {
        chunk_close(&ck);
        cuts++;
      }
    }
    benchmark::DoNotOptimize(ck.hkey);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

}  // namespace

BENCHMARK_CAPTURE(bm_chunker, random, data_random);
BENCHMARK_CAPTURE(bm_chunker, zeros, data_zeros);
BENCHMARK_CAPTURE(bm_chunker, text, data_text);
BENCHMARK_CAPTURE(bm_chunker_digest, random, data_random);
BENCHMARK_CAPTURE(bm_chunker_digest, zeros, data_zeros);
BENCHMARK_CAPTURE(bm_chunker_digest, text, data_text);
