// The batched encoder against the plain one: the same stream bytes and the
// same counters for every input, every way of handing the input over and
// every output buffer size, at the program's index size and at small ones
// where the distance limit, discards and the position wrap come quickly.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/worker.h"
#include "test_util.h"

namespace {

constexpr size_t mib = size_t{1} << 20;

struct encoded {
  bytes out;
  uint64_t sum = 0, x = 0, c_discard = 0;
  uint32_t pos = 0;
  bool flat_index = false;  // the index is (or has become) the flat table
};

encoded encode_with(coro_task (*body)(coder*), const bytes& in, const index_cfg& cfg, size_t in_piece,
                    size_t out_size, bool growing = false) {
  test_coder t = growing ? test_coder::growing_encoder(cfg) : test_coder::encoder(cfg);
  encoded e;
  e.out = run_mem(t.c.get(), body, in, in_piece, out_size).out;
  e.sum = t.c->sum;
  e.x = t.c->x;
  e.c_discard = t.c->c_discard;
  e.pos = t.c->pos;
  e.flat_index = t.c->idx.tbl != nullptr;
  return e;
}

size_t first_difference(const bytes& a, const bytes& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++)
    if (a[i] != b[i]) return i;
  return n;
}

// Encodes `in` with both bodies, the plain one over the flat table, and
// expects identical results. Returns the batched result so that callers can
// check that a case reaches what it aims at.
encoded expect_same(const bytes& in, const std::string& what, const index_cfg& cfg = index_cfg_default(),
                    size_t in_piece = 65536, size_t out_size = 65536, bool growing = false) {
  encoded want = encode_with(encoder_run_plain, in, cfg, in_piece, out_size);
  encoded got = encode_with(encoder_run_fast, in, cfg, in_piece, out_size, growing);
  const std::string at = what + " (size " + std::to_string(in.size()) + ", piece " + std::to_string(in_piece) +
                         ", out " + std::to_string(out_size) + ", table " + std::to_string(cfg.tblsize) + ")";
  EXPECT_EQ(got.out.size(), want.out.size()) << at;
  EXPECT_TRUE(got.out == want.out) << at << ": streams differ from byte " << first_difference(got.out, want.out);
  EXPECT_EQ(got.sum, want.sum) << at;
  EXPECT_EQ(got.x, want.x) << at;
  EXPECT_EQ(got.c_discard, want.c_discard) << at;
  EXPECT_EQ(got.pos, want.pos) << at;
  return got;
}


// Words from a small vocabulary with spaces and newlines: many short repeats
// that rarely line up with chunk boundaries.
bytes prose_like(size_t n, uint64_t seed) {
  static const char* const words[] = {"the", "index", "of", "chunk", "window", "encoder", "a", "stream",
                                      "reference", "literal", "marker", "and", "to", "position", "is"};
  std::mt19937_64 rng(seed);
  bytes v;
  v.reserve(n + 16);
  while (v.size() < n) {
    const char* w = words[rng() % std::size(words)];
    v.insert(v.end(), w, w + std::strlen(w));
    v.push_back(rng() % 11 == 0 ? '\n' : ' ');
  }
  v.resize(n);
  return v;
}

// Random blocks, each followed by copies of earlier stretches at distances from
// a few hundred bytes to several MiB, so references of every size appear.
bytes with_repeats(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  bytes v = random_bytes(20000, seed);
  v.reserve(n + 70000);
  while (v.size() < n) {
    if (rng() % 3 == 0) {
      bytes r = random_bytes(1000 + rng() % 30000, rng());
      v.insert(v.end(), r.begin(), r.end());
    } else {
      size_t len = 500 + rng() % 60000;
      size_t dist = std::min(v.size(), size_t{200} + rng() % (v.size() < 4 * mib ? v.size() : 4 * mib));
      size_t from = v.size() - dist;
      len = std::min(len, v.size() - from);
      for (size_t i = 0; i < len; i++) v.push_back(v[from + i]);
    }
  }
  v.resize(n);
  return v;
}

// Chunk start offsets of `in` as the plain chunker cuts it.
std::vector<size_t> chunk_starts(const bytes& in) {
  chunker ck;
  chunker_init(&ck);
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < in.size(); i++) {
    chunk_feed(&ck, in[i]);
    if (chunk_boundary(&ck)) {
      chunk_close(&ck);
      starts.push_back(i + 1);
    }
  }
  return starts;
}

TEST(EncoderFast, VariedDataAtTheProgramsIndexSize) {
  expect_same(random_bytes(3 * mib + 12345, 1), "random");
  expect_same(prose_like(2 * mib + 777, 2), "text");
  encoded r = expect_same(with_repeats(5 * mib, 3), "repeats");
  EXPECT_LT(r.out.size(), 5 * mib * 3 / 4) << "the repeats case should produce references";
  // A repeat of the whole first half: references straight across batch edges.
  bytes half = random_bytes(1536 * 1024 + 99, 4);
  expect_same(cat({half, half, bytes(half.begin() + 5000, half.end())}), "doubled");
}

TEST(EncoderFast, ZeroRunsForceCutsAcrossBatchEdges) {
  // Runs longer than a chunk, placed so that forced cuts and carried-over
  // chunks of up to 65534 bytes fall on the 1 MiB batch edges.
  bytes rnd = random_bytes(mib - 30000, 5);
  expect_same(cat({rnd, bytes(300000, 0), random_bytes(mib, 6), bytes(65535 * 3, 0)}), "zero runs");
  expect_same(bytes(3 * mib + 1, 0), "all zeros");
  expect_same(cat({bytes(mib - 65534 + 100, 0), random_bytes(200000, 7)}), "run over the edge");
  expect_same(cat({bytes(mib - 1, 0xAA), random_bytes(70000, 8), bytes(70000, 0xAA)}), "run to the edge");
}

TEST(EncoderFast, MarkersAtChunkStartsAndElsewhere) {
  bytes in = with_repeats(3 * mib, 9);
  // Writing over a chunk's first four bytes leaves every cut where it was: a
  // cut needs 64 bytes, and the windows that decide it lie past them.
  std::vector<size_t> starts = chunk_starts(in);
  ASSERT_GT(starts.size(), 1000u);
  for (size_t k = 0; k < starts.size(); k += 3) {
    size_t s = starts[k];
    if (s + 4 > in.size()) break;
    in[s] = 0xEB;
    in[s + 1] = 0x3D;
    in[s + 2] = 0xBE;
    in[s + 3] = static_cast<uint8_t>(k % 4);  // kinds 0-2 are escaped, 3 is not
  }
  for (size_t at = 17; at + 4 < in.size(); at += 4099) {
    in[at] = 0xEB;
    in[at + 1] = 0x3D;
    in[at + 2] = 0xBE;
    in[at + 3] = static_cast<uint8_t>(at % 4);
  }
  encoded e = expect_same(in, "markers");
  // Chunks after forced cuts of a zero run, each starting with a marker kind.
  for (uint8_t kind = 0; kind < 4; kind++) {
    bytes m = {0xEB, 0x3D, 0xBE, kind};
    expect_same(cat({bytes(65535, 0), m, bytes(65531, 0), m, bytes(10, 1)}), "marker after a forced cut");
    expect_same(cat({bytes(65535, 0), m}), "final chunk is a marker");
    expect_same(cat({bytes(65535, 0), bytes(m.begin(), m.begin() + 3)}), "three marker bytes at the end");
  }
}

TEST(EncoderFast, EndsAtACutEmptyAndBatchSizedInputs) {
  expect_same({}, "empty");
  expect_same({0x42}, "one byte");
  bytes in = random_bytes(3 * mib + 65536, 10);
  std::vector<size_t> starts = chunk_starts(in);
  // Data ending exactly at a cut, near and at the batch edges and elsewhere.
  for (size_t target : {size_t{5000}, mib - 100, mib, mib + 64, 2 * mib + 3, 3 * mib}) {
    size_t cut = *std::lower_bound(starts.begin(), starts.end(), target);
    expect_same(bytes(in.begin(), in.begin() + static_cast<ptrdiff_t>(cut)), "ends at a cut");
  }
  for (size_t n : {mib - 1, mib, mib + 1, 2 * mib - 1, 2 * mib, 2 * mib + 1, 3 * mib}) {
    expect_same(bytes(in.begin(), in.begin() + static_cast<ptrdiff_t>(n)), "random, batch-sized");
    expect_same(bytes(n, 0), "zeros, batch-sized");
  }
  // A forced cut ending exactly at the batch edge, and one byte either side.
  for (size_t extra : {0, 1, 2}) expect_same(bytes(16 * 65535 + extra, 7), "forced cuts at the end");
}

TEST(EncoderFast, InputPiecesAndOutputBufferSizes) {
  bytes in = cat({with_repeats(mib + 3000, 11), bytes(70000, 0), random_bytes(100000, 12)});
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4093}, size_t{65536}})
    expect_same(in, "pieces", index_cfg_default(), piece, 65536);
  for (size_t out : {size_t{1}, size_t{3}, size_t{8}, size_t{9}, size_t{4096}})
    expect_same(in, "output buffers", index_cfg_default(), 4093, out);
  expect_same(prose_like(300000, 13), "small pieces, small buffers", index_cfg_default(), 7, 5);
}

TEST(EncoderFast, SmallIndexDistanceLimitDiscardsAndWrap) {
  // Repeats at distances around the window, and inputs many times poswrap, so
  // that found chunks are discarded, slots expire, probe windows fill up and
  // stored positions wrap.
  bytes in = with_repeats(6 * mib, 14);
  for (uint32_t window : {100000u, 262144u, 1000000u}) {
    for (uint32_t tblsize : {64u, 1024u, 20011u}) {
      const index_cfg cfg{tblsize, window, 4 * window};
      encoded e = expect_same(in, "small index", cfg);
      // (A 64-slot table drops entries long before they age out.)
      if (tblsize >= 1024) {
        EXPECT_GT(e.c_discard, 0u) << window << " " << tblsize;
      }
      EXPECT_GT(e.sum, 4ull * window);
    }
  }
  // A chunk repeated at exactly the window and one byte less.
  const uint32_t chunk = 65535;
  for (uint32_t window : {3 * chunk, 3 * chunk + 1})
    expect_same(bytes(20 * chunk, 0), "distance at the limit", index_cfg{4096, window, 4 * window});
  expect_same(prose_like(2 * mib, 15), "text, small index", index_cfg{4096, 131072, 4 * 131072}, 4093, 9);
}

TEST(EncoderFast, GrowingIndexWritesTheFlatTablesStream) {
  // The program's index grows with the input: in cells throughout at the
  // program's size, into the flat table at a small one.
  const bytes in = with_repeats(3 * mib, 21);
  EXPECT_FALSE(expect_same(in, "growing", index_cfg_default(), 65536, 65536, true).flat_index);
  EXPECT_TRUE(expect_same(in, "outgrown", index_cfg{4099, 131072, 4 * 131072}, 4093, 65536, true).flat_index);
}

TEST(EncoderFast, WithoutTheHelperThread) {
  // The body does every scan and digest piece itself; and back to two
  // threads, so that a helper started earlier is handed work again.
  worker_threads(1);
  expect_same(with_repeats(3 * mib + 5, 16), "one thread");
  expect_same(cat({bytes(mib + 7, 0), random_bytes(mib, 17)}), "one thread, zero run", index_cfg{1024, 65536, 4 * 65536});
  worker_threads(2);
  expect_same(with_repeats(3 * mib + 5, 16), "two threads again");
}

}  // namespace
