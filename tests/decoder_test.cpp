// The decoder: hand-made streams with known answers, from the plain and the
// fast body alike; faults in streams the encoder never writes; round trips at
// full and small sizes; hostile input.
#include "codec/decoder_fast.h"
#include "test_util.h"

using namespace lrd;

namespace {

class Decoder : public ::testing::TestWithParam<named_body<decoder_body_fn>> {
 protected:
  coded decode(const bytes& in, uint32_t winsize = cfg_decwinsize, size_t in_piece = 65536) {
    return decode_with(GetParam().body, in, winsize, in_piece);
  }
  // Windows of about 1000 bytes, so that references reach across the window's
  // end. The fast body takes only multiples of the map block.
  std::vector<uint32_t> small_windows() const {
    if (GetParam().body == decoder_run_fast) return {1024};
    return {1000, 1024};
  }
};

TEST_P(Decoder, ReferenceToCopiedBytesRepeatsAChunk) {
  bytes a = chunk_of(98);
  coded d = decode(cat({a, ref(98), ref(98)}));
  EXPECT_EQ(d.out, cat({a, a, a}));
  EXPECT_EQ(d.data_bytes, 294u);
  EXPECT_EQ(d.chunks, 4u);
  EXPECT_EQ(d.fault, fault_none);
}

TEST_P(Decoder, EscapedChunkKeepsTheMarkerAfterTheEscapeAsData) {
  bytes chunk = chunk_of(300, {0xEB, 0x3D, 0xBE, 0x00});
  coded d = decode(cat({stream_escape, chunk}));
  EXPECT_EQ(d.out, chunk);
  EXPECT_EQ(d.data_bytes, 300u);
  EXPECT_EQ(d.chunks, 2u);
  EXPECT_EQ(d.fault, fault_none);
}

TEST_P(Decoder, LongestEscapedChunk) {
  bytes in = cat({{0xEB, 0x3D, 0xBE, 0x00}, bytes(65531, 0)});
  bytes stream = encode_mem(in);
  EXPECT_EQ(stream, cat({stream_escape, in}));
  coded d = decode(stream);
  EXPECT_EQ(d.out, in);
  EXPECT_EQ(d.data_bytes, 65535u);
  EXPECT_EQ(d.chunks, 2u);
}

TEST_P(Decoder, ShortAndOddStreams) {
  struct tcase {
    bytes stream, out;
    uint64_t x;
  };
  const bytes& m = stream_marker;
  tcase cases[] = {
      {{}, {}, 1},
      {{0x41, 0x42, 0x43, 0x44}, {0x41, 0x42, 0x43, 0x44}, 1},
      {stream_escape, {}, 1},
      {m, m, 1},
      {cat({m, {0x02}, bytes(10, 7)}), cat({m, {0x02}, bytes(10, 7)}), 1},
      {cat({m, {0xFF}}), cat({m, {0xFF}}), 1},
      // Two held bytes after a forced cut.
      {cat({bytes(65535, 0), {0x41, 0x42}}), cat({bytes(65535, 0), {0x41, 0x42}}), 2},
  };
  for (const tcase& c : cases) {
    coded d = decode(c.stream);
    EXPECT_EQ(d.out, c.out);
    EXPECT_EQ(d.data_bytes, c.out.size());
    EXPECT_EQ(d.chunks, c.x);
    EXPECT_EQ(d.fault, fault_none);
  }
}

TEST_P(Decoder, TruncatedReferenceCopiesAnUnwrittenWindowAndIsAFault) {
  coded d = decode({0xEB, 0x3D, 0xBE, 0x00, 0x10, 0x00});
  EXPECT_EQ(d.out, bytes(65535, 0));
  EXPECT_EQ(d.data_bytes, 65535u);
  EXPECT_EQ(d.chunks, 2u);
  EXPECT_EQ(d.fault, fault_truncated_ref);
  EXPECT_EQ(d.fault_offset, 0u);
}

// 998 bytes of whole chunks: A (98 bytes), then nine chunks of 100.
bytes whole_chunks_998() {
  bytes v = chunk_of(98);
  for (uint64_t k = 0; k < 9; k++) v = cat({v, chunk_of(100, {}, k + 2)});
  return v;
}

TEST_P(Decoder, MissingDistanceBytesCountAsMinusOne) {
  // No distance byte at all: 0xFEFEFEFF, not 0xFFFFFFFF. In a window of w
  // bytes holding 998, the copy starts at (998 - d + w) mod 2^32 mod w.
  const bytes prefix = whole_chunks_998();
  for (uint32_t w : small_windows()) {
    coded d = decode(cat({prefix, {0xEB, 0x3D, 0xBE, 0x00}}), w);
    const uint32_t s = (998u - 0xFEFEFEFFu + w) % w;
    ASSERT_EQ(s, w == 1000 ? 7u : 231u);
    ASSERT_GE(d.out.size(), 998u + 64);
    EXPECT_EQ(bytes(d.out.begin() + 998, d.out.begin() + 998 + 64), bytes(prefix.begin() + s, prefix.begin() + s + 64))
        << w;
    EXPECT_EQ(d.fault, fault_truncated_ref);
    EXPECT_EQ(d.fault_offset, 998u);
  }
}

TEST_P(Decoder, FaultsInStreamsTheEncoderNeverWrites) {
  bytes a = chunk_of(98);
  struct tcase {
    bytes stream;
    uint32_t fault;
    uint64_t offset;
  };
  tcase cases[] = {
      {cat({a, ref(0)}), fault_zero_distance, 98},
      {cat({a, ref(99)}), fault_before_start, 98},
      {cat({a, ref(98), ref(cfg_decwinsize)}), fault_far_distance, 106},
      {cat({a, ref(98), ref(0xFFFFFFFF)}), fault_far_distance, 106},
      {cat({a, ref(98), ref(0), ref(1u << 31)}), fault_zero_distance, 106},  // the first fault counts
  };
  for (const tcase& c : cases) {
    coded d = decode(c.stream);
    EXPECT_EQ(d.fault, c.fault);
    EXPECT_EQ(d.fault_offset, c.offset);
    EXPECT_EQ(d.data_bytes, d.out.size());
  }
  // Valid: a reference to the very start, and an overlapping copy.
  EXPECT_EQ(decode(cat({a, ref(98)})).fault, fault_none);
  coded overlap = decode(cat({a, ref(10)}));
  EXPECT_EQ(overlap.fault, fault_none);
  for (size_t i = 98; i < overlap.out.size(); i++) ASSERT_EQ(overlap.out[i], overlap.out[i - 10]);
}

TEST_P(Decoder, ReferenceAcrossTheWindowsEnd) {
  // A window of w bytes, 1000 or 1024. After 998 bytes of whole chunks,
  // distance 998 copies A from index 0 into indexes 998, 999, ..., 0, 1, ...;
  // distance 98 then reads A again from 998 across the window's end.
  const bytes a = chunk_of(98);
  const bytes stream = cat({whole_chunks_998(), ref(998), ref(98)});
  for (uint32_t w : small_windows()) {
    coded d = decode(stream, w);
    EXPECT_EQ(d.fault, fault_none);
    ASSERT_EQ(d.out.size(), 998u + 98 + 98);
    EXPECT_EQ(bytes(d.out.begin() + 998, d.out.begin() + 998 + 98), a) << w;
    EXPECT_EQ(bytes(d.out.begin() + 998 + 98, d.out.end()), a) << w;
    EXPECT_EQ(d.chunks, 10u + 2 + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(, Decoder,
                         ::testing::Values(named_body<decoder_body_fn>{"plain", decoder_run_plain},
                                           named_body<decoder_body_fn>{"fast", decoder_run_fast}),
                         body_name<decoder_body_fn>);

// Round trips: every stream the encoder writes decodes to its input, with the
// same counters on both sides and no fault.
void expect_round_trip(const bytes& in, const index_cfg& cfg = index_cfg_default()) {
  coded e = encode_with(encoder_run, in, cfg);
  coded d = decode_with(decoder_run, e.out, cfg.decwinsize, 4093);
  ASSERT_EQ(d.out.size(), in.size());
  ASSERT_TRUE(d.out == in);
  EXPECT_EQ(d.data_bytes, e.data_bytes);
  EXPECT_EQ(d.chunks, e.chunks);
  EXPECT_EQ(d.fault, fault_none);
}

TEST(RoundTrip, VariedData) {
  expect_round_trip({});
  expect_round_trip({0xEB});
  expect_round_trip(random_bytes(1000000, 31));
  expect_round_trip(text_like(1000000, 32));
  expect_round_trip(bytes(300000, 0));
  expect_round_trip(cat({bytes(70000, 0xAA), random_bytes(1000, 1), bytes(140000, 0xAA)}));
  expect_round_trip(with_repeats(3000000, 2000000, 33));
}

TEST(RoundTrip, MarkersEverywhere) {
  for (uint64_t seed : {41, 42, 43}) {
    bytes in = with_repeats(400000, 300000, seed);
    sprinkle_markers(&in, 3000, seed);
    expect_round_trip(in);
  }
  // Every chunk start is a marker: copy one marker-led chunk many times.
  bytes chunk = chunk_of(200, {0xEB, 0x3D, 0xBE, 0x02});
  bytes in;
  for (int k = 0; k < 50; k++) in.insert(in.end(), chunk.begin(), chunk.end());
  expect_round_trip(in);
}

TEST(RoundTrip, EndsExactlyAtACut) {
  bytes in = up_to_last_cut(with_repeats(200000, 100000, 51));
  ASSERT_LT(in.size(), 200000u);
  expect_round_trip(in);
}

TEST(RoundTrip, SmallWindowAcrossTheLimitAndThePositionWrap) {
  // Window 64 KiB, positions wrap at 256 KiB: 6 MB of data crosses the wrap
  // about 23 times, with repeats on both sides of the window limit.
  const uint32_t w = 1 << 16;
  const index_cfg cfg{4099, w, 4 * w};
  for (uint64_t seed : {61, 62}) expect_round_trip(with_repeats(6000000, w + w / 2, seed), cfg);
  bytes zeros(20 * 65535 + 17, 0);
  expect_round_trip(zeros, cfg);
}

TEST(Hostile, ArbitraryStreamsStayInBoundsAndCountWhatTheyWrite) {
  // Mixed markers, escapes, random distances and data, at a small window.
  std::mt19937_64 rng(71);
  for (int round = 0; round < 400; round++) {
    bytes s;
    size_t parts = 1 + rng() % 12;
    for (size_t k = 0; k < parts; k++) {
      switch (rng() % 5) {
        case 0: s = cat({s, ref(uint32_t(rng()))}); break;
        case 1: s = cat({s, ref(uint32_t(rng() % 3000))}); break;
        case 2: s = cat({s, stream_escape}); break;
        case 3: s = cat({s, stream_marker}); break;
        default: s = cat({s, random_bytes(rng() % 300, rng())}); break;
      }
    }
    if (rng() % 4 == 0) s.resize(rng() % (s.size() + 1));
    coded d = decode_with(decoder_run, s, 4096, 1 + rng() % 100);
    ASSERT_EQ(d.data_bytes, d.out.size());
    ASSERT_GE(d.chunks, 1u);
  }
}

}  // namespace
