// The fast decoder against the plain one: on encoder output of varied data, at
// the default and at small windows, with input and output handed over in
// pieces of many sizes, and on hostile streams, both bodies must give the same
// output bytes, sum, x, fault and fault offset; and so must the fast body
// with its input scanned ahead beside a helper and alone.
#include "codec/decoder.h"
#include "codec/decoder_fast.h"
#include "codec/decoder_scan.h"
#include "test_util.h"

using namespace lrd;

namespace {

// Decodes `stream` with both bodies and expects the same results; returns the
// fast body's. `what` names the case in failure messages.
coded expect_same(const bytes& stream, uint32_t winsize, size_t in_piece, size_t out_size, const std::string& what) {
  coded p = decode_with(decoder_run_plain, stream, winsize, in_piece, out_size);
  coded f = decode_with(decoder_run_fast, stream, winsize, in_piece, out_size);
  EXPECT_EQ(coded_diff(f, p), "") << what << " window=" << winsize << " in_piece=" << in_piece
                                  << " out_size=" << out_size;
  return f;
}

struct named {
  std::string name;
  bytes data;
};

std::vector<named> varied_inputs() {
  std::vector<named> v;
  v.push_back({"empty", {}});
  v.push_back({"one byte", {0xEB}});
  v.push_back({"three marker bytes", {0xEB, 0x3D, 0xBE}});
  v.push_back({"random", random_bytes(700000, 1)});
  v.push_back({"text", text_like(600000, 2)});
  v.push_back({"repeats", with_repeats(2000000, 1500000, 3)});
  v.push_back({"zero runs", cat({bytes(200000, 0), random_bytes(3000, 4), bytes(140000, 0), bytes(70000, 0xAA)})});
  bytes marked = with_repeats(600000, 400000, 5);
  sprinkle_markers(&marked, 4000, 6);
  v.push_back({"markers", marked});
  v.push_back({"ends at a cut", up_to_last_cut(with_repeats(300000, 200000, 7))});
  v.push_back({"escaped longest chunk", cat({{0xEB, 0x3D, 0xBE, 0x00}, bytes(65531, 0), bytes(65535, 0)})});
  return v;
}

TEST(DecoderFast, EncoderOutputAtTheDefaultWindowInPiecesOfManySizes) {
  uint64_t fast_refs = 0;
  for (const named& in : varied_inputs()) {
    const bytes stream = encode_mem(in.data);
    for (size_t in_piece : {size_t{1}, size_t{7}, size_t{4093}, size_t{65536}}) {
      if (in_piece == 1 && stream.size() > 800000) continue;  // keeps the run short
      for (size_t out_size : {size_t{65536}, size_t{1000}, size_t{1}}) {
        if (out_size == 1 && in.data.size() > 800000) continue;
        coded f = expect_same(stream, cfg_decwinsize, in_piece, out_size, in.name);
        ASSERT_TRUE(f.out == in.data) << in.name;
        EXPECT_EQ(f.fault, fault_none) << in.name;
        // Every reference of an encoder stream names a whole earlier chunk.
        EXPECT_EQ(f.slow_refs, 0u) << in.name;
        fast_refs += f.fast_refs;
      }
    }
  }
  EXPECT_GT(fast_refs, 1000u);
}

TEST(DecoderFast, SmallWindowsWrapAndStillMatch) {
  // Encoder windows of 32 and 64 KiB: positions wrap many times, repeats lie
  // on both sides of the window limit, zero chunks are longer than a 32 KiB
  // window. The same streams also decode, as hostile input, in a 4 KiB window.
  uint64_t fast_refs = 0;
  for (uint32_t w : {uint32_t{1} << 15, uint32_t{1} << 16}) {
    const index_cfg cfg{4099, w, 4 * w};
    bytes marked = with_repeats(800000, w + w / 2, 11);
    sprinkle_markers(&marked, 2000, 12);
    const named inputs[] = {
        {"repeats", with_repeats(1500000, w + w / 2, 13)},
        {"markers", marked},
        {"zeros", cat({bytes(20 * 65535 + 17, 0), random_bytes(5000, 14), bytes(300000, 0)})},
        {"text", text_like(500000, 15)},
    };
    for (const named& in : inputs) {
      const bytes stream = encode_mem(in.data, cfg);
      for (size_t in_piece : {size_t{7}, size_t{4093}, size_t{65536}}) {
        coded f = expect_same(stream, w, in_piece, 65536, in.name);
        ASSERT_TRUE(f.out == in.data) << in.name << " window " << w;
        EXPECT_EQ(f.fault, fault_none);
        fast_refs += f.fast_refs;
      }
      expect_same(stream, 4096, 4093, 777, in.name + " in a 4 KiB window");
      expect_same(stream, 64, 65536, 65536, in.name + " in a 64-byte window");
    }
  }
  EXPECT_GT(fast_refs, 1000u);
}

TEST(DecoderFast, HandMadeReferencesAtTheEdges) {
  // A window of 64 KiB filled by whole chunks, then references that reach back
  // across the window's end, to the oldest chunk still whole, to chunks whose
  // block the write position shares, overlapping ones and ones too far back.
  const uint32_t w = 1 << 16;
  bytes data = with_repeats(w - 1000, 5000, 21);
  data = up_to_last_cut(data);
  const bytes base = encode_mem(data, index_cfg{4099, w, 4 * w});
  const uint32_t n = static_cast<uint32_t>(data.size());
  uint64_t fast = 0, slow = 0;
  for (uint32_t d : {n, n - 1, n + 1, n - 64, uint32_t{64}, uint32_t{63}, uint32_t{1}, w - 1, w - 63, w - 64, w - 65,
                     w, w + 1, uint32_t{0}, 0xFFFFFFFFu}) {
    const bytes stream = cat({base, ref(d), ref(d), ref(n / 2), {0x41, 0x42}});
    for (uint32_t win : {w, w * 4, cfg_decwinsize}) {
      coded f = expect_same(stream, win, 65536, 65536, "distance " + std::to_string(d));
      fast += f.fast_refs;
      slow += f.slow_refs;
    }
    // The same references once the window has wrapped: data twice over.
    const bytes twice = cat({base, base, ref(d), ref(d + 1000)});
    coded f = expect_same(twice, w, 4093, 4096, "wrapped, distance " + std::to_string(d));
    fast += f.fast_refs;
    slow += f.slow_refs;
  }
  EXPECT_GT(fast, 0u);
  EXPECT_GT(slow, 0u);
  // Truncated distances, in pieces of one byte and whole.
  for (size_t cut = 1; cut <= 8; cut++) {
    bytes stream = cat({base, ref(n)});
    stream.resize(base.size() + cut);
    for (size_t in_piece : {size_t{1}, size_t{65536}}) expect_same(stream, w, in_piece, 65536, "truncated");
  }
}

TEST(DecoderFast, HostileStreamsMatchThePlainBody) {
  // Random mixes of markers, escapes, references (random, short, and at the
  // lengths of whole earlier chunks) and data, cut short at random, at several
  // windows and piece sizes; then mutations of valid streams.
  std::mt19937_64 rng(31);
  uint64_t fast = 0, slow = 0;
  for (int round = 0; round < 600; round++) {
    bytes s;
    std::vector<uint32_t> lens;  // lengths of literal chunks written so far, roughly
    size_t parts = 1 + rng() % 16;
    for (size_t k = 0; k < parts; k++) {
      switch (rng() % 7) {
        case 0: s = cat({s, ref(uint32_t(rng()))}); break;
        case 1: s = cat({s, ref(uint32_t(rng() % 3000))}); break;
        case 2: s = cat({s, stream_escape}); break;
        case 3: s = cat({s, stream_marker}); break;
        case 4: {
          uint32_t total = 0;
          for (size_t j = lens.size(); j-- > 0 && rng() % 3;) total += lens[j];
          s = cat({s, ref(total ? total : uint32_t(1 + rng() % 500))});
          break;
        }
        case 5: s = cat({s, bytes(rng() % 70000, uint8_t(rng() % 2 ? 0 : rng()))}); break;
        default: {
          size_t l = rng() % 2000;
          s = cat({s, random_bytes(l, rng())});
          lens.push_back(static_cast<uint32_t>(l));
          break;
        }
      }
    }
    if (rng() % 4 == 0) s.resize(rng() % (s.size() + 1));
    const uint32_t wins[] = {64, 4096, 1 << 16, cfg_decwinsize};
    const uint32_t win = wins[rng() % 4];
    const size_t in_piece = rng() % 3 == 0 ? 65536 : 1 + rng() % 5000;
    const size_t out_size = rng() % 2 ? 65536 : 1 + rng() % 3000;
    coded f = expect_same(s, win, in_piece, out_size, "round " + std::to_string(round));
    fast += f.fast_refs;
    slow += f.slow_refs;
    if (HasFailure()) return;
  }
  // Mutations of a valid stream: distances nudged, bytes overwritten, markers
  // planted, pieces dropped.
  const bytes data = with_repeats(300000, 200000, 32);
  const bytes valid = encode_mem(data);
  for (int round = 0; round < 150; round++) {
    bytes s = valid;
    for (int k = 0, m = 1 + static_cast<int>(rng() % 20); k < m; k++) {
      size_t at = rng() % s.size();
      switch (rng() % 4) {
        case 0: s[at] = uint8_t(s[at] + 1 + rng() % 3); break;
        case 1: s[at] = uint8_t(rng()); break;
        case 2: {
          const bytes r = ref(uint32_t(rng() % 200000));
          s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), r.begin(), r.end());
          break;
        }
        default: s.erase(s.begin() + static_cast<std::ptrdiff_t>(at),
                         s.begin() + static_cast<std::ptrdiff_t>(std::min(s.size(), at + rng() % 100)));
      }
    }
    const uint32_t win = rng() % 2 ? cfg_decwinsize : (1u << 16);
    coded f = expect_same(s, win, rng() % 2 ? 65536 : 1 + rng() % 9000, 65536, "mutation " + std::to_string(round));
    fast += f.fast_refs;
    slow += f.slow_refs;
    if (HasFailure()) return;
  }
  EXPECT_GT(fast, 100u);
  EXPECT_GT(slow, 100u);
}

TEST(DecoderFast, ScanAheadMatchesTheBodysOwnScan) {
  // The input's cut candidates scanned ahead beside a helper, and read only
  // from the helper's map (each buffer scanned whole first), against the
  // body's own scan: stable pieces of 1 MiB, copied buffers, sizes around
  // the smallest buffer scanned ahead and buffers of a few bytes, on streams
  // of literals and repeats, zero runs (no literals for long), markers, and
  // corrupt ones.
  bytes marked = with_repeats(1500000, 1000000, 52);
  sprinkle_markers(&marked, 3000, 53);
  bytes corrupt = encode_mem(with_repeats(2500000, 2000000, 54));
  std::mt19937_64 rng(55);
  for (int k = 0; k < 40; k++) corrupt[rng() % corrupt.size()] = uint8_t(rng());
  const bytes ends_in_ref = cat({encode_mem(random_bytes(200000, 56)), ref(150000), random_bytes(70000, 57)});
  const named streams[] = {
      {"repeats", encode_mem(with_repeats(4000000, 3000000, 51))},
      {"zero runs", encode_mem(cat({bytes(3000000, 0), random_bytes(40000, 58), bytes(900000, 0)}))},
      {"markers", encode_mem(marked)},
      {"corrupt", corrupt},
      {"ends in a reference", ends_in_ref},
  };
  uint64_t from_helper = 0;
  for (const named& s : streams) {
    for (size_t in_piece : {size_t{cfg_stable_piece}, size_t{700000}, size_t{cfg_scan_ahead_min},
                            size_t{cfg_scan_ahead_min - 1}, size_t{65536}, size_t{7}, size_t{1}}) {
      if (in_piece < 100 && s.data.size() > 1200000) continue;  // keeps the run short
      const std::string what = s.name + " in_piece=" + std::to_string(in_piece);
      const coded alone = decode_with(decoder_run_fast, s.data, cfg_decwinsize, in_piece, 65536, dec_scan::alone);
      // One helper both ways; two and four racing for the pieces.
      for (const auto& [how, helpers] : {std::pair{dec_scan::helper, 1u}, std::pair{dec_scan::helper_first, 1u},
                                         std::pair{dec_scan::helper, 2u}, std::pair{dec_scan::helper, 4u}}) {
        harness_decoder_helpers = helpers;
        const coded f = decode_with(decoder_run_fast, s.data, cfg_decwinsize, in_piece, 65536, how);
        EXPECT_EQ(coded_diff(f, alone), "") << what << ", " << helpers << " helpers";
        EXPECT_EQ(f.fast_refs, alone.fast_refs) << what;
        EXPECT_EQ(f.slow_refs, alone.slow_refs) << what;
        if (how == dec_scan::helper_first) from_helper += f.scan_helper;
      }
      EXPECT_EQ(alone.scan_helper, 0u);
    }
  }
  harness_decoder_helpers = 1;
  // The helper's bits were read, wherever it could run.
  if (worker_second_core()) {
    EXPECT_GT(from_helper, 300u);
  }
}

TEST(DecoderFast, DecoderRunTakesThePlainBodyForOddWindows) {
  // 1000 is not a multiple of 64: decoder_run must still decode (plain body).
  const bytes data = with_repeats(20000, 900, 41);
  const bytes stream = encode_mem(data);
  coded d = decode_with(decoder_run, stream, 1000);
  coded p = decode_with(decoder_run_plain, stream, 1000);
  EXPECT_EQ(coded_diff(d, p), "");
}

}  // namespace
