// The whole-buffer cut scan against a plain CRC-32 of each window, the lane
// version against the reference, and the cuts it gives against the chunker.
#include "chunk/chunker.h"
#include "chunk/cutscan.h"
#include "test_util.h"

namespace {

// Bitwise CRC-32 (reflected 0xEDB88320, init and final 0xFFFFFFFF).
uint32_t crc32_plain(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320 : c >> 1;
  }
  return ~c;
}

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
  bits.pop_back();
  return bits;
}

TEST(Cutscan, ReferenceMatchesAPlainCrcOfEveryWindow) {
  bytes buf = with_history(random_bytes(20000, 81), 0x5A);
  std::vector<uint64_t> bits = scan(buf, false);
  size_t hits = 0;
  for (size_t i = 0; i + cutscan_history < buf.size(); i++) {
    uint32_t want = crc32_plain(buf.data() + i, 16);
    EXPECT_EQ(cutscan_window_crc(buf.data() + i), want);
    bool bit = (bits[i / 64] >> (i % 64)) & 1;
    ASSERT_EQ(bit, want < cfg_cutlimit) << i;
    hits += bit;
  }
  EXPECT_GT(hits, 100u);  // about 1 in 100
}

TEST(Cutscan, LanesMatchTheReferenceForEveryLength) {
  std::mt19937_64 rng(82);
  std::vector<size_t> lengths = {0, 1, 15, 63, 64, 65, 127, 128, 575, 576, 577, 639, 640, 4096, 65536, 200001};
  for (int k = 0; k < 40; k++) lengths.push_back(rng() % 70000);
  for (size_t n : lengths) {
    bytes buf = with_history(random_bytes(n, n + 1), uint8_t(n));
    ASSERT_EQ(scan(buf, true), scan(buf, false)) << n;
  }
  bytes text;
  while (text.size() < 100000) for (char ch : std::string("int main() { return 0; }\n")) text.push_back(uint8_t(ch));
  ASSERT_EQ(scan(with_history(text), true), scan(with_history(text), false));
}

TEST(Cutscan, NextCutGivesTheChunkersCuts) {
  bytes body = random_bytes(300000, 83);
  body.insert(body.end(), 140000, 0);  // forced cuts too
  bytes more = random_bytes(5000, 84);
  body.insert(body.end(), more.begin(), more.end());
  // A chunker's window starts as zero bytes: the same as zero history.
  bytes buf = with_history(body, 0);
  std::vector<uint64_t> bits = scan(buf, true);

  std::vector<size_t> want;
  chunker ck;
  chunker_init(&ck);
  for (size_t i = 0; i < body.size(); i++) {
    chunk_feed_nodigest(&ck, body[i]);
    if (chunk_boundary(&ck)) {
      want.push_back(ck.clen);
      chunk_close_nodigest(&ck);
    }
  }
  std::vector<size_t> got;
  size_t start = 0;
  while (uint32_t len = cutscan_next_cut(bits.data(), start, body.size())) {
    got.push_back(len);
    start += len;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(body.size() - start, ck.clen);  // the unfinished last chunk
  // Near the end of the scanned bytes a cut is undecided, not guessed.
  EXPECT_EQ(cutscan_next_cut(bits.data(), body.size() - 10, body.size()), 0u);
}

}  // namespace
