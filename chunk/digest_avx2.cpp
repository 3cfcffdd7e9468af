// Batch chunk digest with AVX2: the MD5 transform of 8 chunks per instruction.
//
// One chunk per 32-bit lane, with lane blocks transposed into 16 word vectors.
// Only the functions marked LRD_TARGET_AVX2 use AVX2, so the rest of the
// program runs on any x86-64; the version is called only after the CPU has
// been checked.
#include "chunk/digest_lanes.h"

#include <bit>

#include "chunk/cpu.h"
#include "chunk/md5.h"

#ifdef LRD_X86_64

#include <immintrin.h>

namespace lrd {

namespace {

using digest_lanes::max_lanes;

// Groups of 8 lanes run side by side: one group's step waits on its previous
// step's result, two groups keep the vector units busy during that wait.
constexpr unsigned groups = 2;
constexpr unsigned lanes = 8 * groups;
static_assert(lanes <= max_lanes);

template <int S>
LRD_TARGET_AVX2 LRD_INLINE __m256i rotl(__m256i x) {
  return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

LRD_TARGET_AVX2 LRD_INLINE __m256i add(__m256i x, __m256i y) { return _mm256_add_epi32(x, y); }
LRD_TARGET_AVX2 LRD_INLINE __m256i t_of(int i) { return _mm256_set1_epi32(static_cast<int>(md5_t[i])); }

// Round functions as in the 128-bit version: b, the newest word, enters last.
LRD_TARGET_AVX2 LRD_INLINE __m256i md5_f(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
LRD_TARGET_AVX2 LRD_INLINE __m256i md5_h(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(b, _mm256_xor_si256(c, d));
}
LRD_TARGET_AVX2 LRD_INLINE __m256i md5_i(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// Transposes 8 rows of 8 words (row = lane) into 8 word vectors, in place.
LRD_TARGET_AVX2 LRD_INLINE void transpose8(__m256i* r) {
  __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  // u: lanes 0-3 (or 4-7) of words {0,4}, {1,5}, {2,6}, {3,7}.
  __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// MD5 reads a block as little-endian words; the lap loads below take the
// host's word order for it.
static_assert(std::endian::native == std::endian::little);

// d[w] = word w of the 64 bytes at src[0..7], lane j from src[j].
LRD_TARGET_AVX2 LRD_INLINE void load_laps(const uint8_t* const* src, __m256i* d) {
  for (int j = 0; j < 8; j++) {
    d[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[j]));
    d[8 + j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[j] + 32));
  }
  transpose8(d);
  transpose8(d + 8);
}

// Keeps the compiler from reassociating a sum: left to itself it adds fn(b,c,d)
// to a first, putting a second add between b and the rotation.
LRD_TARGET_AVX2 LRD_INLINE __m256i settle(__m256i v) {
  __asm__("" : "+x"(v));
  return v;
}

// a = b + ((a + X[k] + T[i] + fn(b,c,d)) <<< s), in every group.
#define V_STEP(fn, a, b, c, d, k, s, i)                                           \
  do {                                                                            \
    const __m256i t = t_of(i);                                                    \
    for (unsigned g = 0; g < groups; g++)                                         \
      a[g] = add(b[g], rotl<s>(add(settle(add(a[g], add(x[g][k], t))), fn(b[g], c[g], d[g])))); \
  } while (0)
// G as its two disjoint halves, added, so only (b & d) waits for b.
#define V_STEP_G(fn, a, b, c, d, k, s, i)                                                    \
  do {                                                                                   \
    const __m256i t = t_of(i);                                                           \
    for (unsigned g = 0; g < groups; g++) {                                              \
      __m256i e = add(settle(add(a[g], add(x[g][k], t))), _mm256_andnot_si256(d[g], c[g])); \
      a[g] = add(b[g], rotl<s>(add(e, _mm256_and_si256(b[g], d[g]))));                   \
    }                                                                                    \
  } while (0)

// The MD5 transform of every lane's block x[group][word] from the initial
// state; the state (initial values added) is XORed into words 0-3.
LRD_TARGET_AVX2 LRD_INLINE void md5_lanes(__m256i (*x)[16]) {
  const __m256i ia = _mm256_set1_epi32(static_cast<int>(md5_init_a));
  const __m256i ib = _mm256_set1_epi32(static_cast<int>(md5_init_b));
  const __m256i ic = _mm256_set1_epi32(static_cast<int>(md5_init_c));
  const __m256i id = _mm256_set1_epi32(static_cast<int>(md5_init_d));
  __m256i a[groups], b[groups], c[groups], d[groups];
  for (unsigned g = 0; g < groups; g++) {
    a[g] = ia;
    b[g] = ib;
    c[g] = ic;
    d[g] = id;
  }
  MD5_ROUNDS(V_STEP, V_STEP_G);
  for (unsigned g = 0; g < groups; g++) {
    x[g][0] = _mm256_xor_si256(x[g][0], add(a[g], ia));
    x[g][1] = _mm256_xor_si256(x[g][1], add(b[g], ib));
    x[g][2] = _mm256_xor_si256(x[g][2], add(c[g], ic));
    x[g][3] = _mm256_xor_si256(x[g][3], add(d[g], id));
  }
}

#undef V_STEP_G
#undef V_STEP

}  // namespace

namespace digest_lanes {

LRD_TARGET_AVX2 void digest_batch_avx2(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  feed f;
  feed_start(&f, chunks, n, keys, lanes);
  const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const __m256i low24 = _mm256_set1_epi32(0x00FFFFFF);
  // s[g][w]: word w of the blocks of group g's lanes. The fill byte (top of
  // word 15) is kept 0 between transforms, as hblk_mix leaves it.
  __m256i s[groups][16];
  for (auto& grp : s)
    for (auto& w : grp) w = _mm256_setzero_si256();
  alignas(32) uint32_t head[4][max_lanes];
  while (feed_step(&f)) {
    for (unsigned g = 0; g < groups; g++) {
      if (uint32_t m = f.reset_mask >> (8 * g) & 0xFF) {
        __m256i sel = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(m)), bit);
        __m256i keep = _mm256_xor_si256(_mm256_cmpeq_epi32(sel, bit), _mm256_set1_epi32(-1));
        for (auto& w : s[g]) w = _mm256_and_si256(w, keep);
      }
      __m256i d[16];
      load_laps(f.src + 8 * g, d);
      for (unsigned w = 0; w < 15; w++) s[g][w] = _mm256_xor_si256(s[g][w], d[w]);
      __m256i fill = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f.fill + 8 * g));
      s[g][15] = _mm256_or_si256(_mm256_xor_si256(s[g][15], _mm256_and_si256(d[15], low24)),
                                 _mm256_slli_epi32(fill, 24));
    }
    md5_lanes(s);
    for (unsigned g = 0; g < groups; g++) s[g][15] = _mm256_and_si256(s[g][15], low24);
    if (f.final_mask) {
      for (unsigned w = 0; w < 4; w++)
        for (unsigned g = 0; g < groups; g++)
          _mm256_store_si256(reinterpret_cast<__m256i*>(&head[w][8 * g]), s[g][w]);
      feed_finish(&f, head);
    }
  }
}

}  // namespace digest_lanes

}  // namespace lrd

#endif
