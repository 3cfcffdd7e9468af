// Chunker tests: published CRC values, the rolling value against a plain
// CRC-32, the cut rule's bounds, resynchronisation and chunk-length statistics.
#include "chunk/chunker.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "test_util.h"

using namespace lrd;

namespace {

chunker ck;  // ~2.4 KiB, kept static like the coder record

// The table entries docs/FORMAT.md lists, one more of each table, and its crc0.
TEST(ChunkerInit, PublishedTablesAndZeroWindow) {
  std::memset(&ck, 0xA5, sizeof ck);  // init must not rely on zeroed storage
  chunker_init(&ck);
  EXPECT_EQ(ck.crctab[0x00], 0xD202EF8Du);
  EXPECT_EQ(ck.crctab[0x01], 0xA505DF1Bu);
  EXPECT_EQ(ck.crctab[0xFF], 0xFF000000u);
  EXPECT_EQ(ck.crcrem[0x00], 0x2554BAE8u);
  EXPECT_EQ(ck.crcrem[0x01], 0xA2F271ABu);
  EXPECT_EQ(ck.crcrem[0xFF], 0x3DEE8CA6u);
  EXPECT_EQ(ck.crc, 0xECBB4B55u);  // CRC-32 of 16 zero bytes
  EXPECT_EQ(ck.hwin, 16u);
  EXPECT_EQ(ck.hpos, 0u);
  EXPECT_EQ(ck.clen, 0u);
  for (uint8_t b : ck.ring) ASSERT_EQ(b, 0);
  for (uint8_t b : ck.hblk) ASSERT_EQ(b, 0);
}

TEST(ChunkerCrc, KnownValues) {
  // The oracle itself against CRC-32's published check value.
  EXPECT_EQ(crc32_bitwise(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
  chunker_init(&ck);
  // The running step alone, from 0, is the finished CRC-32: check value of "123456789".
  uint32_t r = 0;
  for (uint8_t b : {'1', '2', '3', '4', '5', '6', '7', '8', '9'})
    r = (r >> 8) ^ ck.crctab[(r ^ b) & 0xFF];
  EXPECT_EQ(r, 0xCBF43926u);
  for (uint8_t b : {'a', 'b', 'c'}) chunk_feed(&ck, b);
  EXPECT_EQ(ck.crc, 0x26DED385u);  // CRC-32 of 13 zero bytes then "abc", as docs/FORMAT.md gives it
}

// After every byte crc is the CRC-32 of the last 16 bytes, zeros before the run.
TEST(ChunkerCrc, RollingEqualsPlainCrcOfWindow) {
  for (bool digest : {false, true}) {
    std::vector<uint8_t> d(16, 0);
    std::vector<uint8_t> r = random_bytes(20000, 1);
    d.insert(d.end(), r.begin(), r.end());
    chunker_init(&ck);
    for (size_t i = 16; i < d.size(); i++) {
      digest ? chunk_feed(&ck, d[i]) : chunk_feed_nodigest(&ck, d[i]);
      ASSERT_EQ(ck.crc, crc32_bitwise(&d[i - 15], 16)) << "byte " << i - 16 << " digest " << digest;
      if (chunk_boundary(&ck)) digest ? chunk_close(&ck) : void(ck.clen = 0);
    }
  }
}

TEST(ChunkerCut, Bounds) {
  struct { uint32_t clen, crc; bool cut; } cases[] = {
      {63, 0, false},  // a cut needs at least 64 bytes
      {64, 0, true},
      {64, 42949671, true},
      {64, 42949672, false},  // the limit is strict
      {65534, 0xFFFFFFFF, false},
      {65535, 0xFFFFFFFF, true},  // forced cut
  };
  chunker_init(&ck);
  for (auto& t : cases) {
    ck.clen = t.clen;
    ck.crc = t.crc;
    EXPECT_EQ(chunk_boundary(&ck), t.cut) << "clen " << t.clen << " crc " << t.crc;
  }
}

// A run of one byte value never meets the content test, so only the forced cut
// splits it.
TEST(ChunkerCut, RepeatedBytesCutOnlyAtMax) {
  EXPECT_EQ(chunk_lengths(std::vector<uint8_t>(65535, 0)), (std::vector<uint32_t>{65535, 0}));
  for (int v = 0; v < 256; v++)
    ASSERT_EQ(chunk_lengths(std::vector<uint8_t>(70000, static_cast<uint8_t>(v))),
              (std::vector<uint32_t>{65535, 4465})) << "byte " << v;
}

// Cut positions of d, as offsets just past each cut.
std::vector<size_t> cut_offsets(const std::vector<uint8_t>& d) {
  std::vector<size_t> out = chunk_starts(d);
  out.erase(out.begin());
  return out;
}

TEST(ChunkerCut, ResynchronisesAfterFirstSharedCut) {
  std::vector<uint8_t> b = random_bytes(100000, 2);
  std::vector<size_t> alone = cut_offsets(b);
  for (size_t alen : {1u, 15u, 63u, 64u, 1000u, 77777u}) {
    std::vector<uint8_t> ab = random_bytes(alen, 3);
    ab.insert(ab.end(), b.begin(), b.end());
    std::vector<size_t> within;  // cuts of A+B inside B, in B's offsets
    for (size_t o : cut_offsets(ab))
      if (o > alen) within.push_back(o - alen);
    auto first = std::find_first_of(within.begin(), within.end(), alone.begin(), alone.end());
    ASSERT_NE(first, within.end()) << "A length " << alen;
    auto from = std::find(alone.begin(), alone.end(), *first);
    EXPECT_LT(*first, 2000u) << "A length " << alen;  // resync should come within a few chunks
    EXPECT_EQ(std::vector<size_t>(first, within.end()), std::vector<size_t>(from, alone.end()))
        << "A length " << alen;
  }
}

// Cuts fire with probability just under 1/100 from the 64th byte on: mean
// about 63 + 100 = 163; the standard error over ~24500 chunks is about 0.65.
TEST(ChunkerCut, RandomDataStatistics) {
  std::vector<uint8_t> d = random_bytes(4000000, 4);
  chunker_init(&ck);
  uint64_t chunks = 0, total = 0, low_early = 0;
  uint32_t shortest = UINT32_MAX;
  for (uint8_t b : d) {
    chunk_feed_nodigest(&ck, b);
    bool cut = chunk_boundary(&ck);
    if (ck.clen < 64 && ck.crc < cfg_cutlimit) {
      low_early++;
      ASSERT_FALSE(cut);
    }
    if (cut) {
      chunks++;
      total += ck.clen;
      shortest = std::min(shortest, ck.clen);
      ck.clen = 0;
    }
  }
  EXPECT_GT(low_early, 1000u);  // the "no cut below 64" case was really exercised
  EXPECT_EQ(shortest, 64u);
  double mean = static_cast<double>(total) / static_cast<double>(chunks);
  EXPECT_GT(mean, 159.0);
  EXPECT_LT(mean, 167.0);
}

}  // namespace
