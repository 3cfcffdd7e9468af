// The whole-buffer cut scan against a plain CRC-32 of each window, every
// implementation against the reference, and the cuts it gives against the chunker.
#include "chunk/chunker.h"
#include "chunk/cutscan.h"
#include "test_util.h"

using namespace lrd;

namespace {

// Data with 15 bytes of history in front; scans start at data() + 15.
bytes with_history(const bytes& body, uint8_t fill = 0) {
  bytes v(cutscan_history + body.size(), fill);
  std::copy(body.begin(), body.end(), v.begin() + cutscan_history);
  return v;
}

std::vector<uint64_t> scan(const bytes& buf, bool fast) {
  size_t n = buf.size() - cutscan_history;
  std::vector<uint64_t> bits((n + 63) / 64 + 1, 0xDEADBEEF);  // garbage must be overwritten
  (fast ? cut_candidates : cut_candidates_plain)(buf.data() + cutscan_history, n, bits.data());
  EXPECT_EQ(bits.back(), 0xDEADBEEFu) << "wrote past its words";
  bits.pop_back();
  return bits;
}

// Every implementation the CPU runs, each against the reference.
class CutscanImpl : public ::testing::TestWithParam<cutscan_impl> {
 protected:
  void SetUp() override {
    if (!cutscan_impl_supported(GetParam())) GTEST_SKIP() << "not supported on this CPU";
    ASSERT_TRUE(cutscan_force(GetParam()));
  }
  void TearDown() override { cutscan_force(cutscan_impl_auto); }
  void expect_same(const bytes& buf, const char* what) {
    ASSERT_EQ(scan(buf, true), scan(buf, false)) << what << ", " << buf.size() - cutscan_history << " bytes";
  }
};

TEST_P(CutscanImpl, MatchesTheReferenceForEveryLength) {
  std::mt19937_64 rng(82);
  std::vector<size_t> lengths = {0, 1, 15, 63, 64, 65, 127, 128, 575, 576, 577, 639, 640, 4096, 65536, 200001};
  for (int k = 0; k < 40; k++) lengths.push_back(rng() % 70000);
  for (size_t n : lengths) expect_same(with_history(random_bytes(n, n + 1), uint8_t(n)), "random");
  expect_same(with_history(text_like(300000, 85)), "text");
  expect_same(with_history(with_repeats(300000, 5000, 86), 0xFF), "repeats");
}

TEST_P(CutscanImpl, ConstantRunsOfEveryByte) {
  // A run of one byte value has one window value: all candidates or none.
  for (int v = 0; v < 256; v++) {
    bytes body(400, uint8_t(v));
    std::fill(body.begin() + 300, body.end(), uint8_t(v ^ 0x80));
    expect_same(with_history(body, uint8_t(v)), "constant");
  }
}

TEST_P(CutscanImpl, WindowsOnTheLimitsTopByte) {
  // Windows whose value has cfg_cutlimit's top byte are settled by the full
  // value: lay many of them end to end, both those below and those above it.
  std::mt19937_64 rng(87);
  bytes body;
  size_t below = 0, above = 0;
  while (below < 200 || above < 200) {
    uint8_t w[16];
    for (auto& b : w) b = uint8_t(rng());
    const uint32_t v = cutscan_window_crc(w);
    if ((v >> 24) != cutscan_top_limit) continue;
    (v < cfg_cutlimit ? below : above)++;
    body.insert(body.end(), w, w + 16);
  }
  expect_same(with_history(body, 0x11), "ties");
}

INSTANTIATE_TEST_SUITE_P(Impl, CutscanImpl,
                         ::testing::Values(cutscan_impl_lanes, cutscan_impl_avx2, cutscan_impl_gfni, cutscan_impl_rows,
                                           cutscan_impl_auto),
                         [](const ::testing::TestParamInfo<cutscan_impl>& i) {
                           return std::string(cutscan_impl_name(i.param));
                         });

TEST(Cutscan, TermTablesGiveTheWindowValue) {
  // The vector versions rest on the value being affine in the window's bytes.
  const cutscan_vec::basis& b = cutscan_vec::basis_get();
  bytes w = random_bytes(20000, 88);
  for (size_t i = 0; i + 16 <= w.size(); i++)
    ASSERT_EQ(cutscan_vec::window_value(b, w.data() + i), cutscan_window_crc(w.data() + i)) << i;
}

TEST(Cutscan, ForceAndReport) {
  EXPECT_TRUE(cutscan_impl_supported(cutscan_impl_plain));
  EXPECT_TRUE(cutscan_impl_supported(cutscan_impl_lanes));
  for (cutscan_impl i : {cutscan_impl_plain, cutscan_impl_lanes, cutscan_impl_avx2, cutscan_impl_gfni,
                         cutscan_impl_rows}) {
    ASSERT_TRUE(cutscan_force(cutscan_impl_plain));
    EXPECT_EQ(cutscan_force(i), cutscan_impl_supported(i)) << cutscan_impl_name(i);
    EXPECT_EQ(cutscan_impl_current(), cutscan_impl_supported(i) ? i : cutscan_impl_plain);
  }
  ASSERT_TRUE(cutscan_force(cutscan_impl_auto));
  EXPECT_NE(cutscan_impl_current(), cutscan_impl_auto);
  EXPECT_NE(cutscan_impl_current(), cutscan_impl_plain);
}

TEST(Cutscan, ReferenceMatchesAPlainCrcOfEveryWindow) {
  bytes buf = with_history(random_bytes(20000, 81), 0x5A);
  std::vector<uint64_t> bits = scan(buf, false);
  size_t hits = 0;
  for (size_t i = 0; i + cutscan_history < buf.size(); i++) {
    uint32_t want = crc32_bitwise(buf.data() + i, 16);
    EXPECT_EQ(cutscan_window_crc(buf.data() + i), want);
    bool bit = (bits[i / 64] >> (i % 64)) & 1;
    ASSERT_EQ(bit, want < cfg_cutlimit) << i;
    hits += bit;
  }
  EXPECT_GT(hits, 100u);  // about 1 in 100
}

TEST(Cutscan, NextCutGivesTheChunkersCuts) {
  bytes body = random_bytes(300000, 83);
  body.insert(body.end(), 140000, 0);  // forced cuts too
  bytes more = random_bytes(5000, 84);
  body.insert(body.end(), more.begin(), more.end());
  // A chunker's window starts as zero bytes: the same as zero history.
  bytes buf = with_history(body, 0);
  std::vector<uint64_t> bits = scan(buf, true);

  std::vector<uint32_t> lens = chunk_lengths(body);
  const uint32_t unfinished = lens.back();
  std::vector<size_t> want(lens.begin(), lens.end() - 1);
  std::vector<size_t> got;
  size_t start = 0;
  while (uint32_t len = cutscan_next_cut(bits.data(), start, body.size())) {
    got.push_back(len);
    start += len;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(body.size() - start, unfinished);
  // Near the end of the scanned bytes a cut is undecided, not guessed.
  EXPECT_EQ(cutscan_next_cut(bits.data(), body.size() - 10, body.size()), 0u);
}

}  // namespace
