// The encoder's known answers, from the plain and the batched body alike: the
// worked examples with their exact bytes, the distance bytes of the reference
// form, escapes, buffer splits, the distance limit, the discard count and an
// index that runs out of memory.
#include "codec/decoder_fast.h"
#include "codec/encoder_fast.h"
#include "test_util.h"

using namespace lrd;

namespace {

bytes slice(const bytes& v, size_t from, size_t to) {
  return bytes(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}

class Encoder : public ::testing::TestWithParam<named_body<encoder_body_fn>> {
 protected:
  coded encode(const bytes& in, const index_cfg& cfg = index_cfg_default(), size_t in_piece = 65536,
               size_t out_size = 65536) {
    return encode_with(GetParam().body, in, cfg, in_piece, out_size);
  }
};

// Small index so that a run over a few hundred KiB reaches the window limit.
index_cfg small_cfg(uint32_t window) { return {4096, window, 4 * window}; }

// The rule that keeps each entry's first copy, which the worked examples follow.
index_cfg first_copy(index_cfg cfg = index_cfg_default()) {
  cfg.first_copy = true;
  return cfg;
}

// The worked examples' data: B, the bytes 0 to 199, three times over.
bytes three_times_b(size_t n) {
  bytes in(600);
  for (size_t i = 0; i < 600; i++) in[i] = uint8_t(i % 200);
  in.resize(n);
  return in;
}

TEST_P(Encoder, WorkedExampleBThreeTimes) {
  // The chunk at 522 has copies at 122 and 322: the first copy is 400 back,
  // the latest 200.
  bytes in = three_times_b(600);
  coded e = encode(in, first_copy());
  bytes want = cat({slice(in, 0, 322), ref(200), ref(200), ref(400), slice(in, 593, 600)});
  EXPECT_EQ(e.out.size(), 353u);
  EXPECT_EQ(e.out, want);
  EXPECT_EQ(e.data_bytes, 600u);
  EXPECT_EQ(e.chunks, 7u);
  EXPECT_EQ(e.discarded, 0u);
  EXPECT_EQ(encode(in).out, cat({slice(in, 0, 322), ref(200), ref(200), ref(200), slice(in, 593, 600)}));
}

TEST_P(Encoder, WorkedExampleEndingAtACutClosesAnEmptyChunk) {
  bytes in = three_times_b(593);
  coded e = encode(in, first_copy());
  EXPECT_EQ(e.out, cat({slice(in, 0, 322), ref(200), ref(200), ref(400)}));
  EXPECT_EQ(e.out.size(), 346u);
  EXPECT_EQ(e.data_bytes, 593u);
  EXPECT_EQ(e.chunks, 7u);
}

TEST_P(Encoder, ZeroRunsReferTheFirstOrTheLatestCopy) {
  // 200000 zeros: three forced cuts of 65535 bytes, then a last chunk of 3395.
  coded e = encode(bytes(200000, 0), first_copy());
  EXPECT_EQ(e.out, cat({bytes(65535, 0), ref(65535), ref(131070), bytes(3395, 0)}));
  EXPECT_EQ(e.out.size(), 68946u);
  EXPECT_EQ(e.chunks, 4u);
  EXPECT_EQ(e.data_bytes, 200000u);
  EXPECT_EQ(encode(bytes(200000, 0)).out, cat({bytes(65535, 0), ref(65535), ref(65535), bytes(3395, 0)}));
}

TEST_P(Encoder, ReferenceDistanceIsLittleEndian) {
  // docs/FORMAT.md's example: a 100-byte chunk found 300 bytes back.
  const bytes c = chunk_of(100), d1 = chunk_of(100, {}, 2), d2 = chunk_of(100, {}, 3);
  EXPECT_EQ(encode(cat({c, d1, d2, c})).out, cat({c, d1, d2, {0xEB, 0x3D, 0xBE, 0x00, 0x2C, 0x01, 0x00, 0x00}}));

  // A distance whose four bytes all differ, so that a wrong byte order or a
  // lost byte shows: A + B + A with |A| + |B| = 0x01020304. From the first
  // cut the two copies of A share, the chunks of the second are references to
  // the first; everything else is random and literal.
  const uint32_t dist = 0x01020304;
  const bytes far = {0xEB, 0x3D, 0xBE, 0x00, 0x04, 0x03, 0x02, 0x01};
  const bytes a = random_bytes(100000, 91);
  const bytes in = cat({a, random_bytes(dist - a.size(), 92), a});
  const std::vector<size_t> starts = chunk_starts(in);
  auto is_start = [&](size_t at) { return std::binary_search(starts.begin(), starts.end(), at); };
  bytes want;
  size_t refs = 0;
  for (size_t k = 0; k < starts.size(); k++) {
    const size_t s = starts[k], e = k + 1 < starts.size() ? starts[k + 1] : in.size();
    if (e > s && s >= dist && e - dist <= a.size() && is_start(s - dist) && is_start(e - dist)) {
      want.insert(want.end(), far.begin(), far.end());
      refs++;
    } else {
      const bytes literal = slice(in, s, e);
      want.insert(want.end(), literal.begin(), literal.end());
    }
  }
  ASSERT_GT(refs, 500u);

  // A 32 MiB window holds the distance; a small table keeps the run cheap.
  const index_cfg cfg{1 << 20, 1 << 25, 1 << 27};
  const coded enc = encode(in, cfg);
  ASSERT_EQ(enc.out.size(), want.size());
  ASSERT_TRUE(enc.out == want);
  for (decoder_body_fn body : {decoder_run_plain, decoder_run_fast}) {
    const coded dec = decode_with(body, enc.out, cfg.decwinsize);
    ASSERT_TRUE(dec.out == in);
    EXPECT_EQ(dec.fault, fault_none);
    EXPECT_EQ(dec.data_bytes, enc.data_bytes);
    EXPECT_EQ(dec.chunks, enc.chunks);
  }
}

TEST_P(Encoder, EmptyInputGivesAnEmptyStreamAndOneChunk) {
  coded e = encode({});
  EXPECT_TRUE(e.out.empty());
  EXPECT_EQ(e.chunks, 1u);
  EXPECT_EQ(e.data_bytes, 0u);
}

TEST_P(Encoder, EscapesExactlyTheMarkerKindsItUses) {
  const bytes& m = stream_marker;
  const bytes& esc = stream_escape;
  for (uint8_t kind : {0x00, 0x01, 0x02}) {
    bytes in = cat({m, {kind}, bytes(10, 0)});
    EXPECT_EQ(encode(in).out, cat({esc, in})) << int(kind);
  }
  for (uint8_t kind : {0x03, 0x7F, 0xFF}) {
    bytes in = cat({m, {kind}, bytes(10, 0)});
    EXPECT_EQ(encode(in).out, in) << int(kind);
  }
  EXPECT_EQ(encode(cat({m, {0x00}})).out, cat({esc, m, {0x00}}));
  EXPECT_EQ(encode(m).out, m);
}

TEST_P(Encoder, ThreeMarkerBytesAfterAChunkStayPlain) {
  // 65535 zeros end in a forced cut; the final chunk is just EB 3D BE.
  bytes in = cat({bytes(65535, 0), stream_marker});
  EXPECT_EQ(encode(in).out, in);
}

TEST_P(Encoder, MarkersInsideChunksAreWrittenUnchanged) {
  bytes in = random_bytes(100000, 21);
  // Markers at many offsets; only those that happen to start a chunk change.
  for (size_t at = 1; at + 4 < in.size(); at += 997) put_marker(&in, at, uint8_t(at % 3));
  in[0] = 0x11;  // the first chunk does not start with a marker
  coded e = encode(in);
  // Random data has no repeats: the stream is the input plus one 4-byte
  // escape for each chunk that begins with a marker.
  EXPECT_EQ(e.out.size() % 4, in.size() % 4);
  EXPECT_GE(e.out.size(), in.size());
  EXPECT_LT(e.out.size(), in.size() + 4 * 20);
  EXPECT_EQ(slice(e.out, 0, 900), slice(in, 0, 900));
}

TEST_P(Encoder, StreamDoesNotDependOnInputPiecesOrOutputBufferSize) {
  bytes base = random_bytes(20000, 22);
  bytes in = cat({base, bytes(70000, 0), base, slice(base, 100, 10000), base});
  coded want = encode(in);
  for (size_t piece : {1, 3, 4095}) {
    for (size_t out_size : {1, 3, 8, 9, 4096}) {
      coded e = encode(in, index_cfg_default(), piece, out_size);
      ASSERT_EQ(e.out, want.out) << piece << " " << out_size;
    }
  }
}

TEST_P(Encoder, ReferenceSplitAcrossTwoOutputBuffers) {
  // B three times: the first reference starts at stream offset 322. An output
  // buffer of 325 bytes ends 3 bytes into it.
  bytes in = three_times_b(600);
  coded r = encode(in, index_cfg_default(), 65536, 325);
  EXPECT_EQ(r.output_requests, 1u);
  EXPECT_EQ(slice(r.out, 322, 330), ref(200));
  EXPECT_EQ(r.out.size(), 353u);
}

TEST_P(Encoder, DistanceOfExactlyTheWindowIsALiteral) {
  // Zero chunks of 65535 bytes at 0, 65535, 131070, 196605: with a window of
  // 3 chunks the fourth lies exactly a window after the first, which the
  // first-copy rule refers to.
  const uint32_t chunk = 65535;
  bytes in(4 * chunk, 0);
  coded at_limit = encode(in, first_copy(small_cfg(3 * chunk)));
  EXPECT_EQ(at_limit.out, cat({bytes(chunk, 0), ref(chunk), ref(2 * chunk), bytes(chunk, 0), {}}));
  EXPECT_EQ(at_limit.discarded, 1u);
  coded below = encode(in, first_copy(small_cfg(3 * chunk + 1)));
  EXPECT_EQ(below.out, cat({bytes(chunk, 0), ref(chunk), ref(2 * chunk), ref(3 * chunk)}));
  EXPECT_EQ(below.discarded, 0u);

  // By default a hit a window back is written in full too, and the entry
  // takes its place: the next copy refers to it. Z, whole chunks of other
  // bytes, Z a window after the first, Z.
  const bytes z(chunk, 0), other = up_to_last_cut(random_bytes(200000, 23));
  const coded latest = encode(cat({z, other, z, z}), small_cfg(chunk + static_cast<uint32_t>(other.size())));
  EXPECT_EQ(latest.out, cat({z, other, z, ref(chunk)}));
  EXPECT_EQ(latest.discarded, 1u);
}

TEST_P(Encoder, RepeatsWithinTheWindowReferToTheLatestCopyForever) {
  // A block of whole chunks, 20000 bytes, over and over through 30 windows of
  // 64 KiB and 7 position wraps: each chunk is written in full once, and
  // every later copy refers to the one a block back, never out of reach.
  const bytes block = up_to_last_cut(random_bytes(20000, 24));
  const size_t n = chunk_lengths(block).size() - 1;
  bytes in, want = block;
  for (int k = 0; k < 100; k++) in.insert(in.end(), block.begin(), block.end());
  for (size_t k = 0; k < 99 * n; k++) {
    const bytes r = ref(static_cast<uint32_t>(block.size()));
    want.insert(want.end(), r.begin(), r.end());
  }
  const index_cfg cfg = small_cfg(65536);
  const coded e = encode(in, cfg);
  EXPECT_TRUE(e.out == want) << e.out.size() << " bytes, not " << want.size();
  EXPECT_EQ(e.discarded, 0u);
  EXPECT_EQ(decode_with(decoder_run_fast, e.out, cfg.decwinsize).out, in);
  // Kept at its first copy, an entry drops out of reach a window on, and a
  // good share of the repeats are written in full.
  EXPECT_GT(encode(in, first_copy(cfg)).discarded, 99 * n / 4);
}

TEST_P(Encoder, RefusedIndexMemoryStopsTheBodyWithItsError) {
  // A growing index held to the memory it started with: the first growth is
  // refused, and the body says so itself, before it would end the stream.
  test_encoder t = test_encoder::growing(small_cfg(65536));
  t.heap->limit = t.heap->live;
  const coded e = run_mem(t.c.get(), GetParam().body, random_bytes(size_t{1} << 20, 25));
  EXPECT_TRUE(t.c->idx.failed);
  EXPECT_EQ(e.error, coro_no_memory);
}

INSTANTIATE_TEST_SUITE_P(, Encoder,
                         ::testing::Values(named_body<encoder_body_fn>{"plain", encoder_run_plain},
                                           named_body<encoder_body_fn>{"fast", encoder_run_fast}),
                         body_name<encoder_body_fn>);

}  // namespace
