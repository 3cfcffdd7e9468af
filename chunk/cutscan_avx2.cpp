// Cut candidates with AVX2: the top byte of 32 windows' values at once.
//
// A window's value is affine in its bytes, so its top byte is the zero
// window's, XOR a term for each of its 16 bytes, and a byte's term is the XOR
// of a term for each of its two nibbles: 32 table lookups, which PSHUFB does
// for 32 windows in one instruction each. Byte k of the windows ending at
// positions i .. i+31 is one unaligned load at i - 15 + k. Only windows whose
// top byte is at most cfg_cutlimit's can be candidates; the few whose top byte
// equals it are settled from the full value.
// Only the functions marked LRD_TARGET_AVX2 use AVX2; the version is called
// only after the CPU has been checked.
#include "chunk/cutscan_vec.h"

#ifdef LRD_X86_64

#include <immintrin.h>

namespace lrd {

namespace cutscan_vec {

namespace {

LRD_TARGET_AVX2 LRD_INLINE __m256i load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Bits of the 32 bytes of v that are at most lim, and of those equal to it.
LRD_TARGET_AVX2 LRD_INLINE void top_masks(__m256i v, __m256i lim, uint32_t* le, uint32_t* eq) {
  *le = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(v, lim), v)));
  *eq = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lim)));
}

}  // namespace

LRD_TARGET_AVX2 void cut_words_avx2(const uint8_t* p, size_t words, uint64_t* bits) {
  const basis& b = basis_get();
  const __m256i nib = _mm256_set1_epi8(0x0F);
  const __m256i lim = _mm256_set1_epi8(static_cast<char>(cutscan_top_limit));
  const __m256i zero_top = _mm256_set1_epi8(static_cast<char>(b.zero >> 24));
  for (size_t w = 0; w < words; w++) {
    const uint8_t* q = p + 64 * w - 15;  // q[i .. i+15]: the window ending at position 64w + i
    __m256i acc0 = zero_top, acc1 = zero_top;
#pragma GCC unroll 16
    for (int k = 0; k < 16; k++) {
      const __m256i lo_tab = load(b.top_nibble[k][0]);
      const __m256i hi_tab = load(b.top_nibble[k][1]);
      const __m256i v0 = load(q + k), v1 = load(q + k + 32);
      acc0 = _mm256_xor_si256(acc0, _mm256_shuffle_epi8(lo_tab, _mm256_and_si256(v0, nib)));
      acc1 = _mm256_xor_si256(acc1, _mm256_shuffle_epi8(lo_tab, _mm256_and_si256(v1, nib)));
      acc0 = _mm256_xor_si256(acc0, _mm256_shuffle_epi8(hi_tab, _mm256_and_si256(_mm256_srli_epi16(v0, 4), nib)));
      acc1 = _mm256_xor_si256(acc1, _mm256_shuffle_epi8(hi_tab, _mm256_and_si256(_mm256_srli_epi16(v1, 4), nib)));
    }
    uint32_t le0, eq0, le1, eq1;
    top_masks(acc0, lim, &le0, &eq0);
    top_masks(acc1, lim, &le1, &eq1);
    const uint64_t le = le0 | static_cast<uint64_t>(le1) << 32;
    const uint64_t eq = eq0 | static_cast<uint64_t>(eq1) << 32;
    bits[w] = settle_top_ties(b, q, le, eq);
  }
}

}  // namespace cutscan_vec

}  // namespace lrd

#endif
