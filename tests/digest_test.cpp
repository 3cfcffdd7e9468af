// Digest tests: the transform against RFC 1321's MD5 test suite, published
// chunk keys, a lap-by-lap model of the block, and position independence.
#include "chunk/chunker.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

using namespace lrd;

namespace {

chunker ck;

// Key of one chunk fed from a fresh init.
std::string key_of(const std::vector<uint8_t>& d) {
  chunker_init(&ck);
  for (uint8_t b : d) chunk_feed(&ck, b);
  chunk_close(&ck);
  return hex(ck.hkey, 16);
}

// A message under 56 bytes is one padded MD5 block; its fill byte 63 (top of
// the bit length) is 0, so hblk_mix must fold in exactly MD5's digest.
TEST(DigestMix, MatchesRfc1321TestSuite) {
  const char* cases[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
  };
  for (auto& c : cases) {
    uint8_t blk[64] = {}, orig[64];
    size_t n = std::strlen(c[0]);
    std::memcpy(blk, c[0], n);
    blk[n] = 0x80;
    blk[56] = static_cast<uint8_t>(n * 8);
    std::memcpy(orig, blk, 64);
    hblk_mix(blk);
    for (int i = 0; i < 16; i++) blk[i] ^= orig[i];
    EXPECT_EQ(hex(blk, 16), c[1]) << '"' << c[0] << '"';
    EXPECT_EQ(std::memcmp(blk + 16, orig + 16, 47), 0);  // bytes 16-62 untouched
  }
  uint8_t blk[64] = {};
  blk[63] = 63;
  hblk_mix(blk);
  EXPECT_EQ(blk[63], 0);  // fill index reset
}

TEST(DigestKey, PublishedKeys) {
  EXPECT_EQ(key_of({}), "ac1d1f03d08ea56eb767ab1f91770000");
  EXPECT_EQ(key_of({0x61, 0x62, 0x63}), "a298ffde27c06573a815f75c8a410300");
  EXPECT_EQ(key_of(std::vector<uint8_t>(63, 0)), "1b7437ae395644d540e5185ece913f00");
  EXPECT_EQ(key_of(std::vector<uint8_t>(64, 0)), "f524e3b30bb4613de2db4f76d7434000");
  EXPECT_EQ(key_of(std::vector<uint8_t>(100, 0x61)), "c2b58abf52cc2b2096035a444de76400");
  EXPECT_EQ(key_of(std::vector<uint8_t>(65535, 0)), "f77740d8d609b9ee7acc7261fa45ffff");
  for (uint8_t b : ck.hblk) ASSERT_EQ(b, 0);  // close leaves a clear block
  EXPECT_EQ(ck.clen, 0u);
}

// Independent model: laps of 63 bytes XORed into positions 0-62, the block
// mixed before each further lap and once at the end with the last fill index.
std::string model_key(const std::vector<uint8_t>& d) {
  uint8_t blk[64] = {};
  for (size_t lap = 0; lap * 63 < d.size() || lap == 0; lap++) {
    if (lap > 0) { blk[63] = 63; hblk_mix(blk); }
    size_t n = std::min<size_t>(63, d.size() - lap * 63);
    for (size_t i = 0; i < n; i++) blk[i] ^= d[lap * 63 + i];
    blk[63] = static_cast<uint8_t>(n);
  }
  hblk_mix(blk);
  blk[14] = static_cast<uint8_t>(d.size());
  blk[15] = static_cast<uint8_t>(d.size() >> 8);
  return hex(blk, 16);
}

TEST(DigestKey, MatchesLapModel) {
  std::mt19937 rng(5);
  std::vector<uint8_t> d;
  for (size_t n : {1u, 62u, 63u, 64u, 125u, 126u, 127u, 189u, 190u, 1000u, 65535u}) {
    d.resize(n);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(key_of(d), model_key(d)) << "length " << n;
  }
}

// The key depends on the chunk's bytes alone, not on the rolling state or on
// the chunks before it; close leaves the rolling state alone.
TEST(DigestKey, IndependentOfPrecedingData) {
  std::mt19937 rng(6);
  std::vector<uint8_t> chunk(300);
  for (auto& b : chunk) b = static_cast<uint8_t>(rng());
  std::string fresh = key_of(chunk);
  for (int prefix : {1, 63, 64, 5000}) {
    chunker_init(&ck);
    for (int i = 0; i < prefix; i++) chunk_feed(&ck, static_cast<uint8_t>(rng()));
    uint32_t crc = ck.crc, hpos = ck.hpos;
    chunk_close(&ck);
    EXPECT_EQ(ck.crc, crc);
    EXPECT_EQ(ck.hpos, hpos);
    for (uint8_t b : chunk) chunk_feed(&ck, b);
    chunk_close(&ck);
    EXPECT_EQ(hex(ck.hkey, 16), fresh) << "prefix " << prefix;
  }
}

}  // namespace
