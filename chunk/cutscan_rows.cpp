// Cut candidates from table rows (AVX2): the top byte of 16 windows' values
// from one table load per input byte.
//
// A byte lies in the 16 windows that end at it and after it. Its terms' top
// bytes for them fill 16 bytes of a 64-byte row, indexed by the byte's value,
// with zeros on both sides. A 32-byte load from the row, at an offset given by
// where the byte lies in a block of 16 windows, yields its terms for that
// block in the low half and for the next block in the high half, zero for the
// windows that do not hold it: one load and one XOR a byte, where the nibble
// shuffles take eight vector operations for 32 windows and each of 16 bytes.
// That wins where 256-bit operations run as two halves (the first Zen cores);
// the rows take 16 KiB of first-level cache.
// Only the functions marked LRD_TARGET_AVX2 use AVX2; the version is called
// only after the CPU has been checked.
#include "chunk/cutscan_vec.h"

#ifdef LRD_X86_64

#include <immintrin.h>

namespace lrd {

namespace cutscan_vec {

namespace {

// Row b, at offset 15 - s, holds the terms' top bytes of a byte of value b
// lying at s relative to a block's first window end (s in -15 .. 15): lane m
// of the load is the window ending at block + m, which holds the byte as its
// byte 15 - (m - s) when 0 <= m - s <= 15. So row[x] = top byte of term
// 30 - x for x in 15 .. 30, zero elsewhere. Lanes 16 .. 31 of a load at
// 15 - s are lanes 0 .. 15 at 15 - (s - 16): the next block's. No load
// crosses the row's cache line.
struct rows {
  alignas(64) uint8_t row[256][64];
};

rows make_rows(const basis& b) {
  rows r{};
  for (int v = 0; v < 256; v++)
    for (int x = 15; x <= 30; x++) r.row[v][x] = static_cast<uint8_t>(b.term[30 - x][v] >> 24);
  return r;
}

const rows& rows_get() {
  static const rows r = make_rows(basis_get());
  return r;
}

LRD_TARGET_AVX2 LRD_INLINE __m128i at(const uint8_t* row, int off) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + off));
}

}  // namespace

LRD_TARGET_AVX2 void cut_words_rows(const uint8_t* p, size_t words, uint64_t* bits) {
  const basis& b = basis_get();
  const uint8_t(*row)[64] = rows_get().row;
  const __m128i lim = _mm_set1_epi8(static_cast<char>(cutscan_top_limit));
  const __m128i ztop = _mm_set1_epi8(static_cast<char>(b.zero >> 24));
  // The next block's share of the bytes read so far: first the 15 bytes
  // before p, which lie at s = -15 .. -1 of the first block.
  __m128i carry = ztop;
  for (int s = -15; s < 0; s++) carry = _mm_xor_si128(carry, at(row[p[s]], 15 - s));
  for (size_t w = 0; w < words; w++) {
    uint64_t le = 0, eq = 0;
    for (int c = 0; c < 4; c++) {
      const uint8_t* blk = p + 64 * w + 16 * c;
      // One load per byte: its terms for this block (low half) and the next
      // (high half). Two chains, so that each XOR waits on half as many.
      __m256i acc0 = _mm256_castsi128_si256(_mm_xor_si128(carry, at(row[blk[0]], 15)));
      acc0 = _mm256_inserti128_si256(acc0, ztop, 1);
      __m256i acc1 = _mm256_setzero_si256();
#pragma GCC unroll 16
      for (int s = 1; s < 16; s++) {
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row[blk[s]] + 15 - s));
        if (s & 1) acc1 = _mm256_xor_si256(acc1, t);
        else acc0 = _mm256_xor_si256(acc0, t);
      }
      const __m256i acc = _mm256_xor_si256(acc0, acc1);
      const __m128i v = _mm256_castsi256_si128(acc);
      carry = _mm256_extracti128_si256(acc, 1);
      const uint32_t l = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, lim), v)));
      const uint32_t e = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lim)));
      le |= static_cast<uint64_t>(l) << (16 * c);
      eq |= static_cast<uint64_t>(e) << (16 * c);
    }
    bits[w] = settle_top_ties(b, p + 64 * w - 15, le, eq);
  }
}

}  // namespace cutscan_vec

}  // namespace lrd

#endif
