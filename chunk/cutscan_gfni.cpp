// Cut candidates with GFNI and AVX-512: the top byte of 64 windows' values at
// once.
//
// As in the AVX2 version, the top byte is the zero window's XOR one term per
// window byte; here each byte's term is an 8x8 bit matrix applied
// by GF2P8AFFINEQB to 64 bytes, so a word of candidates takes 16 loads, 16
// matrix products and a compare.
// Only cut_words_gfni uses GFNI and AVX-512 (LRD_TARGET_GFNI); it is called
// only after the CPU has been checked.
#include "chunk/cutscan_vec.h"

#ifdef LRD_X86_64

#include <immintrin.h>

namespace lrd {

namespace cutscan_vec {

LRD_TARGET_GFNI void cut_words_gfni(const uint8_t* p, size_t words, uint64_t* bits) {
  const basis& b = basis_get();
  __m512i mat[16];
  for (int k = 0; k < 16; k++) mat[k] = _mm512_set1_epi64(static_cast<long long>(b.top_matrix[k]));
  const __m512i lim = _mm512_set1_epi8(static_cast<char>(cutscan_top_limit));
  const __m512i zero_top = _mm512_set1_epi8(static_cast<char>(b.zero >> 24));
  for (size_t w = 0; w < words; w++) {
    const uint8_t* q = p + 64 * w - 15;  // q[i .. i+15]: the window ending at position 64w + i
    // Two chains, so the XORs do not wait on each other.
    __m512i acc0 = zero_top, acc1 = _mm512_setzero_si512();
#pragma GCC unroll 16
    for (int k = 0; k < 16; k += 2) {
      acc0 = _mm512_xor_si512(acc0, _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(q + k), mat[k], 0));
      acc1 = _mm512_xor_si512(acc1, _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(q + k + 1), mat[k + 1], 0));
    }
    const __m512i acc = _mm512_xor_si512(acc0, acc1);
    const uint64_t le = _mm512_cmple_epu8_mask(acc, lim);
    const uint64_t eq = _mm512_cmpeq_epi8_mask(acc, lim);
    bits[w] = settle_top_ties(b, q, le, eq);
  }
}

}  // namespace cutscan_vec

}  // namespace lrd

#endif
