// The lane feed that the interleaved digest versions share, and the version
// in generic 128-bit vectors that every x86-64 runs.
#include "chunk/digest_lanes.h"

#include <cstring>

#include "chunk/digest.h"
#include "chunk/md5.h"

namespace lrd {

namespace digest_lanes {

namespace {

// What an idle lane reads: it still runs, its result is never used.
alignas(64) const uint8_t zero_lap[64] = {};

// Chunks this long start staggered across the lanes (see feed_start).
constexpr uint32_t long_chunk = 4096;

void feed_load(feed* f, unsigned j, size_t i) {
  const chunk_span& c = f->chunks[i];
  f->idx[j] = i;
  f->busy[j] = true;
  f->p[j] = c.p;
  f->off[j] = 0;
  // Every lap but the last holds 63 bytes; the last holds 1-63 (0 when empty).
  uint32_t left = c.len ? (c.len - 1) / hblk_fill : 0;
  uint32_t r = c.len - left * hblk_fill;
  f->left[j] = left;
  f->last_fill[j] = r;
  // The last r bytes go just below the stage's zero half. A chunk of 64
  // bytes or more gives them as its last 64 bytes: one fixed-size copy.
  uint8_t* z = f->stage[j] + 64;
  if (c.len >= 64) std::memcpy(z - 64, c.p + c.len - 64, 64);
  else if (c.len) std::memcpy(z - c.len, c.p, c.len);
  f->last[j] = z - r;
}

void feed_idle(feed* f, unsigned j) {
  f->busy[j] = false;
  f->p[j] = zero_lap;
  f->off[j] = 0;
  f->left[j] = 0;
  f->last[j] = zero_lap;
  f->last_fill[j] = 0;
}

// Gives lane j the next chunk, or leaves it idle when there is none.
void feed_assign(feed* f, unsigned j) {
  if (f->next < f->n) {
    feed_load(f, j, f->next++);
  } else {
    feed_idle(f, j);
    f->active--;
  }
}

}  // namespace

void feed_start(feed* f, const chunk_span* chunks, size_t n, uint8_t (*keys)[16], unsigned lanes) {
  f->chunks = chunks;
  f->n = n;
  f->next = 0;
  f->keys = keys;
  f->lanes = lanes;
  f->active = lanes;
  f->waiting = 0;
  for (unsigned j = 0; j < lanes; j++) {
    std::memset(f->stage[j] + 64, 0, 64);
    f->wait[j] = 0;
    // Long chunks laid end to end keep the lanes' reads a multiple of their
    // length apart, for ever if the lengths are equal: near 64 KiB that is
    // one cache set for all lanes. Lane j starts j steps late instead.
    if (j > 0 && f->next < n && chunks[f->next].len >= long_chunk) {
      feed_idle(f, j);
      f->idx[j] = f->next++;
      f->wait[j] = j;
      f->waiting++;
    } else {
      feed_assign(f, j);
    }
  }
  // All lanes are new; a shift by 32 would be undefined.
  f->refilled = lanes == 32 ? ~0u : (1u << lanes) - 1;
}

bool feed_step(feed* f) {
  f->reset_mask = f->refilled;
  f->refilled = 0;
  if (f->waiting) {
    for (unsigned j = 0; j < f->lanes; j++) {
      if (f->wait[j] && --f->wait[j] == 0) {
        // Its idle steps left state behind: cleared before the first lap.
        feed_load(f, j, f->idx[j]);
        f->reset_mask |= 1u << j;
        f->waiting--;
      }
    }
  }
  // Selected by masks, not branches: which lanes end a chunk in a given step
  // is not predictable.
  uint32_t final_mask = 0;
  for (unsigned j = 0; j < f->lanes; j++) {
    const uint32_t fin = f->left[j] == 0;
    const uintptr_t m = 0 - static_cast<uintptr_t>(fin);
    const uintptr_t mid = reinterpret_cast<uintptr_t>(f->p[j]) + f->off[j];
    const uintptr_t last = reinterpret_cast<uintptr_t>(f->last[j]);
    f->src[j] = reinterpret_cast<const uint8_t*>((last & m) | (mid & ~m));
    f->fill[j] = (f->last_fill[j] & static_cast<uint32_t>(m)) | (hblk_fill & ~static_cast<uint32_t>(m));
    f->off[j] += hblk_fill;
    f->left[j] -= fin ^ 1;
    final_mask |= (fin & f->busy[j]) << j;
  }
  f->final_mask = final_mask;
  return f->active > 0;
}

void feed_finish(feed* f, const uint32_t (*head)[max_lanes]) {
  for (uint32_t m = f->final_mask; m; m &= m - 1) {
    unsigned j = static_cast<unsigned>(__builtin_ctz(m));
    uint8_t* key = f->keys[f->idx[j]];
    for (int w = 0; w < 4; w++) md5_store_word(key + 4 * w, head[w][j]);
    uint32_t len = f->chunks[f->idx[j]].len;
    key[14] = static_cast<uint8_t>(len);
    key[15] = static_cast<uint8_t>(len >> 8);
    feed_assign(f, j);
    if (f->busy[j]) f->refilled |= 1u << j;
  }
}

// ---- Generic 128-bit vectors ----
// Here rather than in a file of its own: with the feed in the same file, the
// compiler inlines the feed's steps into the lane loop.

namespace {

// Four 32-bit lanes in the compiler's generic vector type: SSE2 on any
// x86-64, NEON on ARM, plain words where there is neither.
typedef uint32_t u32x4 __attribute__((vector_size(16)));

// Two groups of four lanes run side by side: a step of one group waits on
// its previous step, the other group's step fills that wait.
constexpr unsigned v_groups = 2;
constexpr unsigned v_lanes = 4 * v_groups;

inline u32x4 rotl(u32x4 x, int s) { return (x << s) | (x >> (32 - s)); }

// The round functions, written so that b, the newest word, enters last.
inline u32x4 md5_f(u32x4 b, u32x4 c, u32x4 d) { return d ^ (b & (c ^ d)); }
inline u32x4 md5_h(u32x4 b, u32x4 c, u32x4 d) { return b ^ (c ^ d); }
inline u32x4 md5_i(u32x4 b, u32x4 c, u32x4 d) { return c ^ (b | ~d); }

// a = b + ((a + X[k] + T[i] + fn(b,c,d)) <<< s) in every group. G is split
// into its two disjoint halves, added, so only (b & d) waits for b.
#define V_STEP(fn, a, b, c, d, k, s, i)    \
  for (unsigned g = 0; g < v_groups; g++) \
  (a)[g] = (b)[g] + rotl((a)[g] + x[g][k] + md5_t[i] + fn((b)[g], (c)[g], (d)[g]), (s))
#define V_STEP_G(fn, a, b, c, d, k, s, i)      \
  for (unsigned g = 0; g < v_groups; g++) \
  (a)[g] = (b)[g] + rotl((a)[g] + x[g][k] + md5_t[i] + ((c)[g] & ~(d)[g]) + ((b)[g] & (d)[g]), (s))

// The MD5 transform of every lane's block x[group][word] from the initial
// state; the state (initial values added) is XORed into words 0-3.
void md5_vec128(u32x4 (*x)[16]) {
  const u32x4 zero = {};
  u32x4 a[v_groups], b[v_groups], c[v_groups], d[v_groups];
  for (unsigned g = 0; g < v_groups; g++) {
    a[g] = zero + md5_init_a;
    b[g] = zero + md5_init_b;
    c[g] = zero + md5_init_c;
    d[g] = zero + md5_init_d;
  }
  MD5_ROUNDS(V_STEP, V_STEP_G);
  for (unsigned g = 0; g < v_groups; g++) {
    x[g][0] ^= a[g] + md5_init_a;
    x[g][1] ^= b[g] + md5_init_b;
    x[g][2] ^= c[g] + md5_init_c;
    x[g][3] ^= d[g] + md5_init_d;
  }
}

#undef V_STEP_G
#undef V_STEP

}  // namespace

void digest_batch_vec128(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  feed f;
  feed_start(&f, chunks, n, keys, v_lanes);
  // s[g][w][j]: word w of the block of group g's lane j. The fill byte (top
  // of word 15) is kept 0 between transforms, as hblk_mix leaves it.
  u32x4 s[v_groups][16] = {};
  uint32_t head[4][max_lanes];
  while (feed_step(&f)) {
    for (unsigned g = 0; g < v_groups; g++) {
      for (unsigned j = 0; j < 4; j++) {
        const unsigned lane = 4 * g + j;
        if (f.reset_mask >> lane & 1)
          for (u32x4& w : s[g]) w[j] = 0;
        const uint8_t* p = f.src[lane];
        for (unsigned w = 0; w < 15; w++) s[g][w][j] ^= md5_load_word(p + 4 * w);
        s[g][15][j] = (s[g][15][j] ^ (md5_load_word(p + 60) & 0x00FFFFFF)) | f.fill[lane] << 24;
      }
    }
    md5_vec128(s);
    for (unsigned g = 0; g < v_groups; g++) s[g][15] &= 0x00FFFFFF;
    if (f.final_mask) {
      for (unsigned w = 0; w < 4; w++)
        for (unsigned g = 0; g < v_groups; g++)
          for (unsigned j = 0; j < 4; j++) head[w][4 * g + j] = s[g][w][j];
      feed_finish(&f, head);
    }
  }
}

}  // namespace digest_lanes

}  // namespace lrd
