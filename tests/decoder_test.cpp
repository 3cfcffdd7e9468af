// The decoder: hand-made streams with known answers, faults in streams the
// encoder never writes, round trips at full and small sizes, hostile input.
#include "chunk/chunker.h"
#include "test_util.h"

namespace {

const bytes esc = {0xEB, 0x3D, 0xBE, 0x01};

struct decoded {
  bytes out;
  uint64_t sum, x;
  uint32_t fault;
  uint64_t fault_offset;
};
decoded decode_full(const bytes& in, uint32_t winsize = cfg_decwinsize, size_t in_piece = 65536) {
  test_coder t = test_coder::decoder(winsize);
  decoded d;
  d.out = run_mem(t.c.get(), decoder_run, in, in_piece).out;
  d.sum = t.c->sum;
  d.x = t.c->x;
  d.fault = t.c->fault;
  d.fault_offset = t.c->fault_offset;
  return d;
}

// Length of the first chunk of `data` as a freshly started chunker cuts it.
size_t first_cut(const bytes& data) {
  chunker ck;
  chunker_init(&ck);
  for (size_t i = 0; i < data.size(); i++) {
    chunk_feed(&ck, data[i]);
    if (chunk_boundary(&ck)) return i + 1;
  }
  return 0;
}

// A chunk of exactly `len` bytes beginning with `prefix`: one that the chunker
// cuts after its last byte and not before.
bytes chunk_of(size_t len, const bytes& prefix = {}, uint64_t seed0 = 1) {
  for (uint64_t seed = seed0 * 1000003;; seed++) {
    bytes v = random_bytes(len + 200, seed);
    std::copy(prefix.begin(), prefix.end(), v.begin());
    if (first_cut(v) == len) return bytes(v.begin(), v.begin() + len);
  }
}

TEST(Decoder, ReferenceToCopiedBytesRepeatsAChunk) {
  bytes a = chunk_of(98);
  decoded d = decode_full(cat({a, ref(98), ref(98)}));
  EXPECT_EQ(d.out, cat({a, a, a}));
  EXPECT_EQ(d.sum, 294u);
  EXPECT_EQ(d.x, 4u);
  EXPECT_EQ(d.fault, fault_none);
}

TEST(Decoder, EscapedChunkKeepsTheMarkerAfterTheEscapeAsData) {
  bytes chunk = chunk_of(300, {0xEB, 0x3D, 0xBE, 0x00});
  decoded d = decode_full(cat({esc, chunk}));
  EXPECT_EQ(d.out, chunk);
  EXPECT_EQ(d.sum, 300u);
  EXPECT_EQ(d.x, 2u);
  EXPECT_EQ(d.fault, fault_none);
}

TEST(Decoder, LongestEscapedChunk) {
  bytes in = cat({{0xEB, 0x3D, 0xBE, 0x00}, bytes(65531, 0)});
  bytes stream = encode_mem(in);
  EXPECT_EQ(stream, cat({esc, in}));
  decoded d = decode_full(stream);
  EXPECT_EQ(d.out, in);
  EXPECT_EQ(d.sum, 65535u);
  EXPECT_EQ(d.x, 2u);
}

TEST(Decoder, ShortAndOddStreams) {
  struct tcase {
    bytes stream, out;
    uint64_t x;
  };
  const bytes m = {0xEB, 0x3D, 0xBE};
  tcase cases[] = {
      {{}, {}, 1},
      {{0x41, 0x42, 0x43, 0x44}, {0x41, 0x42, 0x43, 0x44}, 1},
      {esc, {}, 1},
      {m, m, 1},
      {cat({m, {0x02}, bytes(10, 7)}), cat({m, {0x02}, bytes(10, 7)}), 1},
      {cat({m, {0xFF}}), cat({m, {0xFF}}), 1},
      // Two held bytes after a forced cut.
      {cat({bytes(65535, 0), {0x41, 0x42}}), cat({bytes(65535, 0), {0x41, 0x42}}), 2},
  };
  for (const tcase& c : cases) {
    decoded d = decode_full(c.stream);
    EXPECT_EQ(d.out, c.out);
    EXPECT_EQ(d.sum, c.out.size());
    EXPECT_EQ(d.x, c.x);
    EXPECT_EQ(d.fault, fault_none);
  }
}

TEST(Decoder, TruncatedReferenceCopiesAnUnwrittenWindowAndIsAFault) {
  decoded d = decode_full({0xEB, 0x3D, 0xBE, 0x00, 0x10, 0x00});
  EXPECT_EQ(d.out, bytes(65535, 0));
  EXPECT_EQ(d.sum, 65535u);
  EXPECT_EQ(d.x, 2u);
  EXPECT_EQ(d.fault, fault_truncated_ref);
  EXPECT_EQ(d.fault_offset, 0u);
}

// 998 bytes of whole chunks: A (98 bytes), then nine chunks of 100.
bytes whole_chunks_998() {
  bytes v = chunk_of(98);
  for (uint64_t k = 0; k < 9; k++) v = cat({v, chunk_of(100, {}, k + 2)});
  return v;
}

TEST(Decoder, MissingDistanceBytesCountAsMinusOne) {
  // No distance byte at all: 0xFEFEFEFF, not 0xFFFFFFFF. In a window of 1000
  // bytes holding 998, the copy starts at (998 - d + 1000) mod 2^32 mod 1000.
  const uint32_t w = 1000;
  bytes prefix = whole_chunks_998();
  decoded d = decode_full(cat({prefix, {0xEB, 0x3D, 0xBE, 0x00}}), w);
  const uint32_t s = (998u - 0xFEFEFEFFu + w) % w;
  ASSERT_EQ(s, 7u);
  ASSERT_GE(d.out.size(), 998u + 64);
  EXPECT_EQ(bytes(d.out.begin() + 998, d.out.begin() + 998 + 64), bytes(prefix.begin() + 7, prefix.begin() + 71));
  EXPECT_EQ(d.fault, fault_truncated_ref);
  EXPECT_EQ(d.fault_offset, 998u);
}

TEST(Decoder, FaultsInStreamsTheEncoderNeverWrites) {
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
    decoded d = decode_full(c.stream);
    EXPECT_EQ(d.fault, c.fault);
    EXPECT_EQ(d.fault_offset, c.offset);
    EXPECT_EQ(d.sum, d.out.size());
  }
  // Valid: a reference to the very start, and an overlapping copy.
  EXPECT_EQ(decode_full(cat({a, ref(98)})).fault, fault_none);
  decoded overlap = decode_full(cat({a, ref(10)}));
  EXPECT_EQ(overlap.fault, fault_none);
  for (size_t i = 98; i < overlap.out.size(); i++) ASSERT_EQ(overlap.out[i], overlap.out[i - 10]);
}

TEST(Decoder, ReferenceAcrossTheWindowsEnd) {
  // A window of 1000 bytes. After 998 bytes of whole chunks, distance 998
  // copies A from index 0 into indexes 998, 999, 0, 1, ...; winpos ends at 96,
  // and distance 98 then reads A again from 998 across the window's end.
  const uint32_t w = 1000;
  bytes a = chunk_of(98);
  bytes stream = cat({whole_chunks_998(), ref(998), ref(98)});
  decoded d = decode_full(stream, w);
  EXPECT_EQ(d.fault, fault_none);
  ASSERT_EQ(d.out.size(), 998u + 98 + 98);
  EXPECT_EQ(bytes(d.out.begin() + 998, d.out.begin() + 998 + 98), a);
  EXPECT_EQ(bytes(d.out.begin() + 998 + 98, d.out.end()), a);
  EXPECT_EQ(d.x, 10u + 2 + 1);
}

// Round trips: every stream the encoder writes decodes to its input, with the
// same counters on both sides and no fault.
void expect_round_trip(const bytes& in, const index_cfg& cfg = index_cfg_default()) {
  test_coder e = test_coder::encoder(cfg);
  bytes stream = run_mem(e.c.get(), encoder_run, in).out;
  decoded d = decode_full(stream, cfg.decwinsize, 4093);
  ASSERT_EQ(d.out.size(), in.size());
  ASSERT_TRUE(d.out == in);
  EXPECT_EQ(d.sum, e.c->sum);
  EXPECT_EQ(d.x, e.c->x);
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
    std::mt19937_64 rng(seed);
    for (int k = 0; k < 3000; k++) {
      size_t at = rng() % (in.size() - 4);
      in[at] = 0xEB;
      in[at + 1] = 0x3D;
      in[at + 2] = 0xBE;
      in[at + 3] = uint8_t(rng() % 5);
    }
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
        case 2: s = cat({s, esc}); break;
        case 3: s = cat({s, {0xEB, 0x3D, 0xBE}}); break;
        default: s = cat({s, random_bytes(rng() % 300, rng())}); break;
      }
    }
    if (rng() % 4 == 0) s.resize(rng() % (s.size() + 1));
    decoded d = decode_full(s, 4096, 1 + rng() % 100);
    ASSERT_EQ(d.sum, d.out.size());
    ASSERT_GE(d.x, 1u);
  }
}

}  // namespace
