// Batch chunk digest with AVX-512: the MD5 transform of 16 chunks per
// instruction.
//
// One chunk per 32-bit lane, with lane blocks transposed into 16 word
// vectors. A rotation is one vprold and a round function one vpternlogd.
// Only the functions marked LRD_TARGET_AVX512 use AVX-512 (F, BW and VL),
// so the rest of the program runs on any x86-64; the version is called only
// after the CPU has been checked.
#include "chunk/digest_lanes.h"

#include <bit>

#include "chunk/cpu.h"
#include "chunk/md5.h"

#ifdef LRD_X86_64

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_epi32() as the unused
// merge source, which -Wmaybe-uninitialized reports wherever one is inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

namespace lrd {

namespace {

using digest_lanes::max_lanes;

// Two groups of 16 lanes run side by side: a step of one group waits on its
// previous step (round function, add, rotation, add), the other group's step
// fills that wait. Lane masks are 32-bit, so two groups is the most.
constexpr unsigned groups = 2;
constexpr unsigned lanes = 16 * groups;
static_assert(lanes == max_lanes, "feed_step32 advances exactly 32 lanes");
static_assert(sizeof(bool) == 1, "feed_step32 reads feed::busy as bytes");

LRD_TARGET_AVX512 LRD_INLINE __m512i add(__m512i x, __m512i y) { return _mm512_add_epi32(x, y); }
LRD_TARGET_AVX512 LRD_INLINE __m512i t_of(int i) { return _mm512_set1_epi32(static_cast<int>(md5_t[i])); }

// Truth tables over (b, c, d) as vpternlogd's (A, B, C): A = 0xF0, B = 0xCC, C = 0xAA.
LRD_TARGET_AVX512 LRD_INLINE __m512i md5_f(__m512i b, __m512i c, __m512i d) {  // (b & c) | (~b & d)
  return _mm512_ternarylogic_epi32(b, c, d, 0xCA);
}
LRD_TARGET_AVX512 LRD_INLINE __m512i md5_g(__m512i b, __m512i c, __m512i d) {  // (b & d) | (c & ~d)
  return _mm512_ternarylogic_epi32(b, c, d, 0xE4);
}
LRD_TARGET_AVX512 LRD_INLINE __m512i md5_h(__m512i b, __m512i c, __m512i d) {  // b ^ c ^ d
  return _mm512_ternarylogic_epi32(b, c, d, 0x96);
}
LRD_TARGET_AVX512 LRD_INLINE __m512i md5_i(__m512i b, __m512i c, __m512i d) {  // c ^ (b | ~d)
  return _mm512_ternarylogic_epi32(b, c, d, 0x39);
}

// Transposes 16 rows of 16 words (row = lane) into 16 word vectors, in place.
LRD_TARGET_AVX512 LRD_INLINE void transpose16(__m512i* r) {
  __m512i t[16], u[16];
  for (int i = 0; i < 8; i++) {
    t[2 * i] = _mm512_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
  // u[4q + i], 128-bit part c: word 4c + i of lanes 4q..4q+3.
  for (int q = 0; q < 4; q++) {
    u[4 * q + 0] = _mm512_unpacklo_epi64(t[4 * q], t[4 * q + 2]);
    u[4 * q + 1] = _mm512_unpackhi_epi64(t[4 * q], t[4 * q + 2]);
    u[4 * q + 2] = _mm512_unpacklo_epi64(t[4 * q + 1], t[4 * q + 3]);
    u[4 * q + 3] = _mm512_unpackhi_epi64(t[4 * q + 1], t[4 * q + 3]);
  }
  // A 4x4 transpose of 128-bit parts for each i.
  for (int i = 0; i < 4; i++) {
    __m512i e0 = _mm512_shuffle_i32x4(u[i], u[4 + i], 0x44);
    __m512i e1 = _mm512_shuffle_i32x4(u[i], u[4 + i], 0xEE);
    __m512i e2 = _mm512_shuffle_i32x4(u[8 + i], u[12 + i], 0x44);
    __m512i e3 = _mm512_shuffle_i32x4(u[8 + i], u[12 + i], 0xEE);
    r[i] = _mm512_shuffle_i32x4(e0, e2, 0x88);
    r[4 + i] = _mm512_shuffle_i32x4(e0, e2, 0xDD);
    r[8 + i] = _mm512_shuffle_i32x4(e1, e3, 0x88);
    r[12 + i] = _mm512_shuffle_i32x4(e1, e3, 0xDD);
  }
}

// MD5 reads a block as little-endian words; the lap loads below take the
// host's word order for it.
static_assert(std::endian::native == std::endian::little);

// d[w] = word w of the 64 bytes at src[0..15], lane j from src[j].
LRD_TARGET_AVX512 LRD_INLINE void load_laps(const uint8_t* const* src, __m512i* d) {
  for (int j = 0; j < 16; j++) d[j] = _mm512_loadu_si512(src[j]);
  transpose16(d);
}

// Keeps the compiler from reassociating a sum: left to itself it adds fn(b,c,d)
// to a first, putting a second add between b and the rotation.
LRD_TARGET_AVX512 LRD_INLINE __m512i settle(__m512i v) {
  __asm__("" : "+v"(v));
  return v;
}

// a = b + ((a + X[k] + T[i] + fn(b,c,d)) <<< s), in every group.
#define V_STEP(fn, a, b, c, d, k, s, i)                                                \
  do {                                                                                 \
    const __m512i t = t_of(i);                                                         \
    for (unsigned g = 0; g < groups; g++) {                                            \
      __m512i e = settle(add(a[g], add(x[g][k], t)));                                  \
      a[g] = add(b[g], _mm512_rol_epi32(add(e, fn(b[g], c[g], d[g])), s));             \
    }                                                                                  \
  } while (0)

// The MD5 transform of every lane's block x[group][word] from the initial
// state; the state (initial values added) is XORed into words 0-3.
LRD_TARGET_AVX512 LRD_INLINE void md5_lanes(__m512i (*x)[16]) {
  const __m512i ia = _mm512_set1_epi32(static_cast<int>(md5_init_a));
  const __m512i ib = _mm512_set1_epi32(static_cast<int>(md5_init_b));
  const __m512i ic = _mm512_set1_epi32(static_cast<int>(md5_init_c));
  const __m512i id = _mm512_set1_epi32(static_cast<int>(md5_init_d));
  __m512i a[groups], b[groups], c[groups], d[groups];
  for (unsigned g = 0; g < groups; g++) {
    a[g] = ia;
    b[g] = ib;
    c[g] = ic;
    d[g] = id;
  }
  MD5_ROUNDS(V_STEP, V_STEP);
  for (unsigned g = 0; g < groups; g++) {
    x[g][0] = _mm512_xor_si512(x[g][0], add(a[g], ia));
    x[g][1] = _mm512_xor_si512(x[g][1], add(b[g], ib));
    x[g][2] = _mm512_xor_si512(x[g][2], add(c[g], ic));
    x[g][3] = _mm512_xor_si512(x[g][3], add(d[g], id));
  }
}

#undef V_STEP

// feed_step for 32 lanes in vectors: beside a 32-lane transform, the scalar
// lane loop took about a fifth of the time. It does exactly what feed_step's
// loop does; while staggered lanes wait, feed_step itself runs.
LRD_TARGET_AVX512 LRD_INLINE bool feed_step32(digest_lanes::feed* f) {
  if (f->waiting) return digest_lanes::feed_step(f);
  f->reset_mask = f->refilled;
  f->refilled = 0;
  const __m512i lap = _mm512_set1_epi32(static_cast<int>(hblk_fill));
  uint32_t final_mask = 0;
  for (unsigned h = 0; h < 32; h += 16) {
    const __m512i left = _mm512_loadu_si512(f->left + h);
    const __m512i off = _mm512_loadu_si512(f->off + h);
    // Lanes at their last lap take it from the stage, with its own fill.
    const __mmask16 fin = _mm512_testn_epi32_mask(left, left);
    const __m512i last_fill = _mm512_loadu_si512(f->last_fill + h);
    _mm512_storeu_si512(f->fill + h, _mm512_mask_blend_epi32(fin, lap, last_fill));
    _mm512_storeu_si512(f->off + h, _mm512_add_epi32(off, lap));
    _mm512_storeu_si512(f->left + h, _mm512_mask_sub_epi32(left, static_cast<__mmask16>(~fin), left,
                                                           _mm512_set1_epi32(1)));
    for (unsigned q = 0; q < 2; q++) {
      const __m256i o = q ? _mm512_extracti64x4_epi64(off, 1) : _mm512_castsi512_si256(off);
      const __m512i mid = _mm512_add_epi64(_mm512_loadu_si512(f->p + h + 8 * q), _mm512_cvtepu32_epi64(o));
      const __m512i last = _mm512_loadu_si512(f->last + h + 8 * q);
      _mm512_storeu_si512(f->src + h + 8 * q,
                          _mm512_mask_blend_epi64(static_cast<__mmask8>(fin >> (8 * q)), mid, last));
    }
    const __m128i busy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f->busy + h));
    final_mask |= static_cast<uint32_t>(fin & _mm_test_epi8_mask(busy, busy)) << h;
  }
  f->final_mask = final_mask;
  return f->active > 0;
}

}  // namespace

namespace digest_lanes {

LRD_TARGET_AVX512 void digest_batch_avx512(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  feed f;
  feed_start(&f, chunks, n, keys, lanes);
  const __m512i low24 = _mm512_set1_epi32(0x00FFFFFF);
  // s[g][w]: word w of the blocks of group g's lanes. The fill byte (top of
  // word 15) is kept 0 between transforms, as hblk_mix leaves it.
  __m512i s[groups][16];
  for (auto& grp : s)
    for (auto& w : grp) w = _mm512_setzero_si512();
  alignas(64) uint32_t head[4][max_lanes];
  while (feed_step32(&f)) {
    for (unsigned g = 0; g < groups; g++) {
      if (const __mmask16 m = static_cast<__mmask16>(f.reset_mask >> (16 * g))) {
        for (auto& w : s[g]) w = _mm512_maskz_mov_epi32(static_cast<__mmask16>(~m), w);
      }
      __m512i d[16];
      load_laps(f.src + 16 * g, d);
      for (unsigned w = 0; w < 15; w++) s[g][w] = _mm512_xor_si512(s[g][w], d[w]);
      const __m512i fill = _mm512_slli_epi32(_mm512_loadu_si512(f.fill + 16 * g), 24);
      // s ^ (d & low24): the lap's byte 63 is not data.
      s[g][15] = _mm512_or_si512(_mm512_ternarylogic_epi32(s[g][15], d[15], low24, 0x78), fill);
    }
    md5_lanes(s);
    for (unsigned g = 0; g < groups; g++) s[g][15] = _mm512_and_si512(s[g][15], low24);
    if (f.final_mask) {
      for (unsigned w = 0; w < 4; w++)
        for (unsigned g = 0; g < groups; g++) _mm512_store_si512(&head[w][16 * g], s[g][w]);
      feed_finish(&f, head);
    }
  }
}

}  // namespace digest_lanes

}  // namespace lrd

#endif
