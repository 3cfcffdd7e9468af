// Decoding an in-memory stream with the fast and the plain body: encoder
// output of generated data with many repeats, of text-like data, and of random
// data, and of a file named by LRDEDUP_BENCH_FILE (rows .../file, skipped
// without it); rows .../helper scan the input ahead beside a helper, in input
// buffers of 64 KiB or (.../1m) of 1 MiB. Bytes processed are decoded bytes.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "bench/bench_block.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/decoder_fast.h"
#include "tests/harness.h"

using namespace lrd;

namespace {

bytes encode(const bytes& data) {
  const index_cfg cfg = index_cfg_default();
  const size_t tb = index_table_bytes(cfg);
  encoder_resources r;
  r.table = static_cast<hslot*>(bench_map_block(tb, false));
  auto c = std::make_unique<encoder_state>();
  encoder_init(c.get(), r);
  bytes out = run_mem(c.get(), encoder_run, data).out;
  encoder_free(c.get());
  munmap(r.table, tb);
  return out;
}

// Text-like records in which most stretches repeat earlier ones, at distances
// from a few KiB to tens of MiB, with small edits: like a tar of similar trees.
bytes repeats_data(size_t n) {
  std::mt19937_64 rng(5);
  bytes v;
  v.reserve(n + 70000);
  while (v.size() < n) {
    if (v.size() < 65536 || rng() % 4 == 0) {
      size_t len = 200 + rng() % 8000;
      for (size_t i = 0; i < len; i++) v.push_back(static_cast<uint8_t>("etaoin shrdlu\n{}();=0123"[rng() % 24]));
    } else {
      size_t len = 1000 + rng() % 60000;
      size_t d = 1 + rng() % std::min<size_t>(v.size(), size_t{1} << (12 + rng() % 14));
      size_t from = v.size() - d;
      for (size_t i = 0; i < len; i++) v.push_back(v[from + i]);
      v[v.size() - 1 - rng() % len] ^= 1;
    }
  }
  v.resize(n);
  return v;
}

bytes random_data(size_t n) {
  std::mt19937_64 rng(7);
  bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 56);
  return v;
}

struct input {
  bytes data, stream;
};
const input& repeats() {
  static const input in = [] {
    input i{repeats_data(size_t{256} << 20), {}};
    i.stream = encode(i.data);
    return i;
  }();
  return in;
}
const input& randoms() {
  static const input in = [] {
    input i{random_data(size_t{64} << 20), {}};
    i.stream = encode(i.data);
    return i;
  }();
  return in;
}

// committed: the window's pages are committed before the clock runs (the
// decoder alone); otherwise each run faults them in as the program does.
bytes file_data() {
  const char* name = std::getenv("LRDEDUP_BENCH_FILE");
  bytes v;
  if (!name) return v;
  std::FILE* f = std::fopen(name, "rb");
  if (!f) return v;
  uint8_t buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) v.insert(v.end(), buf, buf + n);
  std::fclose(f);
  return v;
}
const input& files() {
  static const input in = [] {
    input i{file_data(), {}};
    if (!i.data.empty()) i.stream = encode(i.data);
    return i;
  }();
  return in;
}

template <coro_task (*body)(decoder_state*), const input& (*which)(), bool committed = false, bool helper = false,
          size_t in_piece = cfg_iobuf>
void bm_decode(benchmark::State& state) {
  const input& in = which();
  if (in.data.empty()) {
    state.SkipWithError("no input: LRDEDUP_BENCH_FILE names a readable, non-empty file");
    return;
  }
  auto c = std::make_unique<decoder_state>();
  worker wk;
  if (helper && worker_start(&wk, 1) == 0) {
    state.SkipWithError("no helper: one core");
    return;
  }
  void* scan = helper ? bench_map_block(decoder_scan_bytes(), true) : nullptr;
  uint64_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    void* win = bench_map_block(cfg_decwinsize, committed);
    void* map = bench_map_block(cfg_decwinsize / cfg_mapblock, committed);
    decoder_resources r;
    r.winsize = cfg_decwinsize;
    r.win = static_cast<uint8_t*>(win);
    r.chunkmap = static_cast<uint8_t*>(map);
    if (helper) {
      r.wk = &wk;
      r.scan = scan;
    }
    decoder_init(c.get(), r);
    state.ResumeTiming();
    total += run_mem(c.get(), body, in.stream, in_piece, cfg_iobuf, false).written;
    state.PauseTiming();
    if (c->bytes != in.data.size()) state.SkipWithError("decoded size differs");
    munmap(win, cfg_decwinsize);
    munmap(map, cfg_decwinsize / cfg_mapblock);
    state.ResumeTiming();
  }
  if (scan) munmap(scan, decoder_scan_bytes());
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["ratio"] = static_cast<double>(in.data.size()) / static_cast<double>(in.stream.size());
  state.counters["chunks"] = static_cast<double>(c->chunks);
  state.counters["refs"] = static_cast<double>(c->fast_refs + c->slow_refs);
}

BENCHMARK(bm_decode<decoder_run_fast, repeats>)->Name("decode/fast/repeats")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_plain, repeats>)->Name("decode/plain/repeats")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, randoms>)->Name("decode/fast/random")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_plain, randoms>)->Name("decode/plain/random")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, repeats, true>)->Name("decode/fast/repeats/committed")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, randoms, true>)->Name("decode/fast/random/committed")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, randoms, true, true>)->Name("decode/fast/random/committed/helper")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, randoms, true, false, cfg_stable_piece>)->Name("decode/fast/random/committed/1m")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, randoms, true, true, cfg_stable_piece>)->Name("decode/fast/random/committed/helper/1m")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, files>)->Name("decode/fast/file")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, files, true>)->Name("decode/fast/file/committed")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, files, true, true>)->Name("decode/fast/file/committed/helper")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, files, true, false, cfg_stable_piece>)->Name("decode/fast/file/committed/1m")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decode<decoder_run_fast, files, true, true, cfg_stable_piece>)->Name("decode/fast/file/committed/helper/1m")->Unit(benchmark::kMillisecond);

}  // namespace
