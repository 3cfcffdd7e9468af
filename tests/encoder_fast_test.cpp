// The batched encoder against the plain one: the same stream bytes and the
// same counters for every input, every way of handing the input over and
// every output buffer size, at the program's index size and at small ones
// where the distance limit, discards and the position wrap come quickly.
#include <algorithm>
#include <string>

#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/history.h"
#include "codec/worker.h"
#include "test_util.h"

using namespace lrd;

namespace {

constexpr size_t mib = size_t{1} << 20;

// Encodes `in` with both bodies and expects identical results. Returns the
// plain result so that callers can check that a case reaches what it aims at.
coded expect_same(const bytes& in, const std::string& what, const index_cfg& cfg = index_cfg_default(),
                  size_t in_piece = 65536, size_t out_size = 65536) {
  coded want = encode_with(encoder_run_plain, in, cfg, in_piece, out_size);
  coded got = encode_with(encoder_run_fast, in, cfg, in_piece, out_size);
  EXPECT_EQ(coded_diff(got, want), "") << what << " (size " << in.size() << ", piece " << in_piece << ", out "
                                       << out_size << ", table " << cfg.tblsize << ")";
  return want;
}

TEST(EncoderFast, VariedDataAtTheProgramsIndexSize) {
  expect_same(random_bytes(3 * mib + 12345, 1), "random");
  expect_same(text_like(2 * mib + 777, 2), "text");
  coded r = expect_same(with_repeats(5 * mib, 4 * mib, 3, 60000), "repeats");
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
  bytes in = with_repeats(3 * mib, 4 * mib, 9, 60000);
  // Writing over a chunk's first four bytes leaves every cut where it was: a
  // cut needs 64 bytes, and the windows that decide it lie past them.
  std::vector<size_t> starts = chunk_starts(in);
  ASSERT_GT(starts.size(), 1000u);
  for (size_t k = 0; k < starts.size(); k += 3) {
    size_t s = starts[k];
    if (s + 4 > in.size()) break;
    put_marker(&in, s, static_cast<uint8_t>(k % 4));  // kinds 0-2 are escaped, 3 is not
  }
  for (size_t at = 17; at + 4 < in.size(); at += 4099) put_marker(&in, at, static_cast<uint8_t>(at % 4));
  coded e = expect_same(in, "markers");
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
  bytes in = cat({with_repeats(mib + 3000, 4 * mib, 11, 60000), bytes(70000, 0), random_bytes(100000, 12)});
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4093}, size_t{65536}})
    expect_same(in, "pieces", index_cfg_default(), piece, 65536);
  for (size_t out : {size_t{1}, size_t{3}, size_t{8}, size_t{9}, size_t{4096}})
    expect_same(in, "output buffers", index_cfg_default(), 4093, out);
  expect_same(text_like(300000, 13), "small pieces, small buffers", index_cfg_default(), 7, 5);
}

TEST(EncoderFast, SmallIndexDistanceLimitDiscardsAndWrap) {
  // Repeats at distances around the window, and inputs many times poswrap, so
  // that found chunks are discarded, slots expire, probe windows fill up and
  // stored positions wrap.
  // Under either rule for which copy an entry keeps.
  bytes in = with_repeats(6 * mib, 4 * mib, 15, 60000);
  for (const bool first : {false, true}) {
    for (uint32_t window : {100000u, 262144u, 1000000u}) {
      for (uint32_t tblsize : {64u, 1024u, 20011u}) {
        const index_cfg cfg{tblsize, window, 4 * window, first};
        coded e = expect_same(in, first ? "small index, first copy" : "small index", cfg);
        // (A 64-slot table drops entries long before they age out.)
        if (tblsize >= 1024 && first) {
          EXPECT_GT(e.discarded, 0u) << window << " " << tblsize;
        }
        EXPECT_GT(e.data_bytes, 4ull * window);
      }
    }
  }
  // A chunk repeated at exactly the window and one byte less.
  const uint32_t chunk = 65535;
  for (uint32_t window : {3 * chunk, 3 * chunk + 1})
    expect_same(bytes(20 * chunk, 0), "distance at the limit", index_cfg{4096, window, 4 * window});
  expect_same(text_like(2 * mib, 15), "text, small index", index_cfg{4096, 131072, 4 * 131072}, 4093, 9);
}

TEST(EncoderFast, GrowingIndexWritesTheFlatTablesStream) {
  // The program's index grows with the input: in cells throughout at the
  // program's size, into the flat table at a small one.
  const bytes in = with_repeats(3 * mib, 4 * mib, 21);
  const struct {
    index_cfg cfg;
    size_t piece;
    bool flat;
  } cases[] = {{index_cfg_default(), 65536, false}, {index_cfg{4099, 131072, 4 * 131072}, 4093, true}};
  for (const auto& k : cases) {
    const coded want = encode_with(encoder_run_plain, in, k.cfg, k.piece);
    test_encoder t = test_encoder::growing(k.cfg);
    EXPECT_EQ(coded_diff(run_mem(t.c.get(), encoder_run_fast, in, k.piece), want), "") << k.cfg.tblsize;
    EXPECT_EQ(t.c->idx.tbl != nullptr, k.flat) << k.cfg.tblsize;
  }
}

TEST(EncoderFast, InputHandedOverWhereItLiesInTheHistory) {
  // Such input is copied in later, from the history, by either thread: the
  // stream is still the plain body's, across batch edges, a ring's end (the
  // ring of a small window wraps twice, inside a scan piece) and changes
  // between input handed over in place and in a buffer of its own.
  const bytes in = cat({with_repeats(6 * mib + 777, 2 * mib, 31, 60000), bytes(200000, 0), random_bytes(3 * mib, 32)});
  const index_cfg small{20011, 131072, 4 * 131072};
  const uint64_t ring = small.decwinsize + cfg_hist_lead + 12345;
  for (const pieces how : {pieces::in_place, pieces::mixed}) {
    for (const size_t piece : {size_t{1}, size_t{4093}, 3 * mib / 2}) {
      // Byte by byte, a batch's worth and a little more.
      const std::span<const uint8_t> part(in.data(), piece == 1 ? mib + 3000 : in.size());
      const std::string what = std::string(how == pieces::mixed ? "mixed" : "in place") + ", piece " + std::to_string(piece);
      for (const uint64_t r : {uint64_t{0}, ring})
        EXPECT_EQ(coded_diff(encode_with(encoder_run_fast, part, small, piece, 4099, r, how),
                             encode_with(encoder_run_plain, part, small, piece, 4099, r)),
                  "")
            << what << (r ? ", ring" : ", whole input");
    }
  }
  EXPECT_EQ(coded_diff(encode_with(encoder_run_fast, in, index_cfg_default(), 65536, 65536, 0, pieces::in_place),
                       encode_with(encoder_run_plain, in)),
            "");
}

TEST(EncoderFast, AnyNumberOfHelperThreads) {
  // None: the body does every piece itself; more than the pieces of a small
  // batch; and back to one, so that a helper started earlier is handed work
  // again.
  for (const unsigned n : {0u, 2u, 4u, 1u}) {
    harness_encoder_helpers = n;
    const std::string what = std::to_string(n) + " helpers";
    expect_same(with_repeats(3 * mib + 5, 4 * mib, 16, 60000), what);
    expect_same(cat({bytes(mib + 7, 0), random_bytes(mib, 17)}), what + ", zero run", index_cfg{1024, 65536, 4 * 65536});
  }
}

}  // namespace
