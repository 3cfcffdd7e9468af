// The fixed parts of MD5 (RFC 1321) that the digest's transforms share: the
// initial state, the step constants, the order of the 64 steps, the word order.
#pragma once

#include <cstdint>

namespace lrd {

// The initial state words A, B, C, D (RFC 1321, 3.3).
constexpr uint32_t md5_init_a = 0x67452301;
constexpr uint32_t md5_init_b = 0xEFCDAB89;
constexpr uint32_t md5_init_c = 0x98BADCFE;
constexpr uint32_t md5_init_d = 0x10325476;

// T[i] = floor(2^32 * |sin(i + 1)|), one per step (RFC 1321, 3.4). Defined in
// digest.cpp beside the scalar transform, whose steps then take them as
// immediates; the lane transforms broadcast them from this table.
extern const uint32_t md5_t[64];

// Word k of a block is its bytes 4k .. 4k+3, low byte first (RFC 1321, 2), on
// any host; compilers turn this into one load or store where the host agrees.
inline uint32_t md5_load_word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void md5_store_word(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The 64 steps in the order and with the message words, rotations and
// constants of RFC 1321 (3.4), for the lane transforms. Each of them defines
// STEP(fn, a, b, c, d, k, s, i): a = b + ((a + X[k] + T[i] + fn(b, c, d)) <<< s),
// over its own vectors, and may give round 2 a step of its own (STEP_G, same
// arguments). The scalar transform in digest.cpp keeps its steps written out:
// it is the reference these are tested against.
#define MD5_QUAD(STEP, fn, k0, k1, k2, k3, s0, s1, s2, s3, i) \
  STEP(fn, a, b, c, d, k0, s0, i);                            \
  STEP(fn, d, a, b, c, k1, s1, i + 1);                        \
  STEP(fn, c, d, a, b, k2, s2, i + 2);                        \
  STEP(fn, b, c, d, a, k3, s3, i + 3)

#define MD5_ROUNDS(STEP, STEP_G)                                  \
  MD5_QUAD(STEP, md5_f, 0, 1, 2, 3, 7, 12, 17, 22, 0);            \
  MD5_QUAD(STEP, md5_f, 4, 5, 6, 7, 7, 12, 17, 22, 4);            \
  MD5_QUAD(STEP, md5_f, 8, 9, 10, 11, 7, 12, 17, 22, 8);          \
  MD5_QUAD(STEP, md5_f, 12, 13, 14, 15, 7, 12, 17, 22, 12);       \
  MD5_QUAD(STEP_G, md5_g, 1, 6, 11, 0, 5, 9, 14, 20, 16);         \
  MD5_QUAD(STEP_G, md5_g, 5, 10, 15, 4, 5, 9, 14, 20, 20);        \
  MD5_QUAD(STEP_G, md5_g, 9, 14, 3, 8, 5, 9, 14, 20, 24);         \
  MD5_QUAD(STEP_G, md5_g, 13, 2, 7, 12, 5, 9, 14, 20, 28);        \
  MD5_QUAD(STEP, md5_h, 5, 8, 11, 14, 4, 11, 16, 23, 32);         \
  MD5_QUAD(STEP, md5_h, 1, 4, 7, 10, 4, 11, 16, 23, 36);          \
  MD5_QUAD(STEP, md5_h, 13, 0, 3, 6, 4, 11, 16, 23, 40);          \
  MD5_QUAD(STEP, md5_h, 9, 12, 15, 2, 4, 11, 16, 23, 44);         \
  MD5_QUAD(STEP, md5_i, 0, 7, 14, 5, 6, 10, 15, 21, 48);          \
  MD5_QUAD(STEP, md5_i, 12, 3, 10, 1, 6, 10, 15, 21, 52);         \
  MD5_QUAD(STEP, md5_i, 8, 15, 6, 13, 6, 10, 15, 21, 56);         \
  MD5_QUAD(STEP, md5_i, 4, 11, 2, 9, 6, 10, 15, 21, 60)

}  // namespace lrd
