// Batch digest tests: every implementation the CPU runs against the
// byte-at-a-time chunk_feed/chunk_close path and against the plain batch, on
// lap-edge lengths, varied data, mixed batches whose lanes finish at different
// steps, and chunks at odd addresses that end exactly where their memory ends.
#include "chunk/digest_batch.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chunk/chunker.h"
#include "test_util.h"

using namespace lrd;

namespace {

// The key as the encoder forms it, byte by byte. chunk_close clears the
// block, so one chunker serves every chunk.
std::string feed_key(const uint8_t* p, uint32_t len) {
  static chunker ck;
  static bool ready = false;
  if (!ready) {
    chunker_init(&ck);
    ready = true;
  }
  for (uint32_t i = 0; i < len; i++) chunk_feed(&ck, p[i]);
  chunk_close(&ck);
  return hex(ck.hkey, 16);
}

enum data_kind { data_random, data_zero, data_marker, data_ones };

// Chunk contents: seeded random, zeros, the stream's marker bytes repeated
// (EB 3D BE, then a kind byte), all ones (so the fill byte's neighbours in
// word 15 are set).
void fill_data(uint8_t* p, size_t n, data_kind k, uint32_t seed) {
  std::mt19937 rng(seed);
  static const uint8_t marker[4] = {0xEB, 0x3D, 0xBE, 0x00};
  for (size_t i = 0; i < n; i++) {
    switch (k) {
      case data_random: p[i] = static_cast<uint8_t>(rng()); break;
      case data_zero: p[i] = 0; break;
      case data_marker: p[i] = marker[i % 4]; break;
      case data_ones: p[i] = 0xFF; break;
    }
  }
}

// Chunks that each own an allocation ending at their last byte, placed at a
// given offset into it (odd ones for unaligned loads): a read past a chunk's
// end is caught by AddressSanitizer.
struct chunk_set {
  std::vector<std::unique_ptr<uint8_t[]>> mem;
  std::vector<chunk_span> spans;
  void add(uint32_t len, data_kind k, uint32_t seed, uint32_t offset) {
    mem.emplace_back(new uint8_t[offset + len]);
    uint8_t* p = mem.back().get() + offset;
    fill_data(p, len, k, seed);
    spans.push_back({len ? p : nullptr, len});
  }
  void add_bytes(const bytes& d) {
    mem.emplace_back(new uint8_t[d.size()]);
    if (!d.empty()) std::memcpy(mem.back().get(), d.data(), d.size());
    spans.push_back({d.empty() ? nullptr : mem.back().get(), static_cast<uint32_t>(d.size())});
  }
};

// Runs impl on the batch; one spare key row after the batch must stay as it was.
std::vector<std::string> run(digest_impl impl, const std::vector<chunk_span>& spans) {
  const size_t n = spans.size();
  std::vector<uint8_t> out((n + 1) * 16, 0xA5);
  auto* keys = reinterpret_cast<uint8_t(*)[16]>(out.data());
  if (impl == digest_impl_plain) {
    digest_batch_plain(spans.data(), n, keys);
  } else {
    EXPECT_TRUE(digest_force(impl));
    digest_batch(spans.data(), n, keys);
  }
  for (size_t i = n * 16; i < out.size(); i++) EXPECT_EQ(out[i], 0xA5) << "written past key " << n;
  std::vector<std::string> r;
  for (size_t i = 0; i < n; i++) r.push_back(hex(keys[i], 16));
  return r;
}

class DigestBatch : public ::testing::TestWithParam<digest_impl> {
 protected:
  void SetUp() override {
    if (!digest_impl_supported(GetParam())) GTEST_SKIP() << "not supported on this CPU";
  }
  void TearDown() override { digest_force(digest_impl_auto); }

  // Every key of the batch equals the byte-at-a-time key and the plain batch's.
  void expect_matches(const std::vector<chunk_span>& spans) {
    std::vector<std::string> got = run(GetParam(), spans);
    std::vector<std::string> plain = run(digest_impl_plain, spans);
    ASSERT_EQ(got.size(), spans.size());
    for (size_t i = 0; i < spans.size(); i++) {
      ASSERT_EQ(got[i], feed_key(spans[i].p, spans[i].len))
          << "chunk " << i << " of " << spans.size() << ", length " << spans[i].len;
      ASSERT_EQ(got[i], plain[i]) << "chunk " << i;
    }
  }
};

TEST_P(DigestBatch, PublishedKeys) {
  chunk_set cs;
  cs.add_bytes(bytes(65535, 0));
  cs.add_bytes({'a', 'b', 'c'});
  cs.add_bytes({});
  cs.add_bytes(bytes(64, 0));
  cs.add_bytes(bytes(100, 0x61));
  std::vector<std::string> k = run(GetParam(), cs.spans);
  ASSERT_EQ(k.size(), 5u);
  EXPECT_EQ(k[0], "f77740d8d609b9ee7acc7261fa45ffff");
  EXPECT_EQ(k[1], "a298ffde27c06573a815f75c8a410300");
  EXPECT_EQ(k[2], "ac1d1f03d08ea56eb767ab1f91770000");
  EXPECT_EQ(k[3], "f524e3b30bb4613de2db4f76d7434000");
  EXPECT_EQ(k[4], "c2b58abf52cc2b2096035a444de76400");
}

// Lengths around lap edges (63 bytes a lap, the 64th byte forcing a mix), each
// alone and all in one batch, for every kind of data and several alignments.
TEST_P(DigestBatch, LapEdgeLengths) {
  const uint32_t lens[] = {0,   1,   2,   3,   4,   59,  60,  61,   62,   63,   64,
                           65,  125, 126, 127, 128, 188, 189, 190, 4095, 65535};
  uint32_t seed = 1;
  for (data_kind k : {data_random, data_zero, data_marker, data_ones}) {
    for (uint32_t offset : {0u, 1u, 3u, 7u}) {
      chunk_set all;
      for (uint32_t len : lens) {
        chunk_set one;
        one.add(len, k, seed, offset);
        all.add(len, k, seed, offset);
        seed++;
        SCOPED_TRACE("kind " + std::to_string(k) + ", offset " + std::to_string(offset));
        expect_matches(one.spans);
      }
      expect_matches(all.spans);
    }
  }
}

// Batches of 1..100 chunks of mixed lengths, so lanes finish at different
// steps and are refilled while others run on; random lengths skewed short.
TEST_P(DigestBatch, MixedBatches) {
  std::mt19937 rng(42);
  for (size_t n = 1; n <= 100; n++) {
    chunk_set cs;
    for (size_t i = 0; i < n; i++) {
      uint32_t len;
      switch (rng() % 8) {
        case 0: len = 0; break;
        case 1: len = rng() % 4096; break;
        case 2: len = 63 * (1 + rng() % 8) + rng() % 3 - 1; break;  // at a lap edge
        default: len = 64 + static_cast<uint32_t>(std::geometric_distribution<>(0.01)(rng)); break;
      }
      if (n % 25 == 0 && i == n / 2) len = 65535;  // one long chunk holds a lane throughout
      cs.add(len, static_cast<data_kind>(rng() % 4), static_cast<uint32_t>(rng()), rng() % 8);
    }
    SCOPED_TRACE("batch of " + std::to_string(n));
    expect_matches(cs.spans);
  }
}

// Long chunks at the start of a batch begin on staggered steps, the lanes
// idling first; short ones among them and after them refill freed lanes.
TEST_P(DigestBatch, LongChunksStartStaggered) {
  std::mt19937 rng(11);
  for (data_kind k : {data_zero, data_random}) {
    chunk_set cs;
    for (int i = 0; i < 20; i++) cs.add(65535, k, rng(), 0);  // equal lengths, end to end
    cs.add(4096, k, rng(), 1);
    cs.add(4095, k, rng(), 2);
    for (int i = 0; i < 12; i++) cs.add(i % 3 ? 4096 + rng() % 9000 : rng() % 300, k, rng(), i % 5);
    SCOPED_TRACE("kind " + std::to_string(k));
    expect_matches(cs.spans);
    std::vector<chunk_span> tail(cs.spans.begin() + 20, cs.spans.end());
    expect_matches(tail);
  }
}

// Many lanes reading the same bytes, and chunks overlapping each other, as
// when neighbouring candidates share a buffer.
TEST_P(DigestBatch, SharedAndOverlappingMemory) {
  bytes buf(5000);
  fill_data(buf.data(), buf.size(), data_random, 9);
  std::vector<chunk_span> spans;
  for (int i = 0; i < 40; i++) spans.push_back({buf.data() + 17, 300});
  for (uint32_t i = 0; i < 40; i++) spans.push_back({buf.data() + 31 * i, 100 + 61 * i});
  spans.push_back({buf.data() + buf.size() - 1, 1});
  expect_matches(spans);
  std::vector<std::string> k = run(GetParam(), spans);
  for (int i = 1; i < 40; i++) EXPECT_EQ(k[i], k[0]);
}

// An empty batch writes nothing; a batch's keys do not depend on its neighbours.
TEST_P(DigestBatch, EmptyBatchAndBatchSplit) {
  EXPECT_TRUE(run(GetParam(), {}).empty());
  chunk_set cs;
  std::mt19937 rng(3);
  for (int i = 0; i < 37; i++) cs.add(rng() % 700, data_random, rng(), 0);
  std::vector<std::string> whole = run(GetParam(), cs.spans);
  for (size_t cut : {1, 8, 16, 20}) {
    std::vector<chunk_span> a(cs.spans.begin(), cs.spans.begin() + cut);
    std::vector<chunk_span> b(cs.spans.begin() + cut, cs.spans.end());
    std::vector<std::string> ka = run(GetParam(), a), kb = run(GetParam(), b);
    ka.insert(ka.end(), kb.begin(), kb.end());
    EXPECT_EQ(ka, whole) << "split at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Impl, DigestBatch,
                         ::testing::Values(digest_impl_plain, digest_impl_vec128, digest_impl_avx2,
                                           digest_impl_avx512, digest_impl_auto),
                         [](const ::testing::TestParamInfo<digest_impl>& i) {
                           return std::string(digest_impl_name(i.param));
                         });

TEST(DigestDispatch, ForceAndReport) {
  const digest_impl all[] = {digest_impl_plain, digest_impl_vec128, digest_impl_avx2,
                             digest_impl_avx512};
  EXPECT_TRUE(digest_impl_supported(digest_impl_plain));
  EXPECT_TRUE(digest_impl_supported(digest_impl_vec128));
  for (digest_impl i : all) {
    ASSERT_TRUE(digest_force(digest_impl_plain));
    EXPECT_EQ(digest_force(i), digest_impl_supported(i)) << digest_impl_name(i);
    // A refused choice leaves the one in use.
    EXPECT_EQ(digest_impl_current(), digest_impl_supported(i) ? i : digest_impl_plain);
  }
  ASSERT_TRUE(digest_force(digest_impl_auto));
  digest_impl chosen = digest_impl_current();
  EXPECT_NE(chosen, digest_impl_auto);
  EXPECT_TRUE(digest_impl_supported(chosen));
  // Auto must not settle for a slower one than the CPU runs.
  if (digest_impl_supported(digest_impl_avx512)) EXPECT_EQ(chosen, digest_impl_avx512);
  else if (digest_impl_supported(digest_impl_avx2)) EXPECT_EQ(chosen, digest_impl_avx2);
  else EXPECT_EQ(chosen, digest_impl_vec128);
  EXPECT_STRNE(digest_impl_name(digest_impl_avx2), digest_impl_name(digest_impl_avx512));
  EXPECT_STRNE(digest_impl_name(digest_impl_vec128), digest_impl_name(digest_impl_avx2));
  EXPECT_STRNE(digest_impl_name(digest_impl_plain), digest_impl_name(digest_impl_vec128));
}

}  // namespace
