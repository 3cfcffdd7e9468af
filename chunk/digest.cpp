// Chunk digest: the MD5 one-block transform (RFC 1321) that mixes the digest
// block.
#include "chunk/digest.h"

#include "chunk/md5.h"

namespace lrd {

extern const uint32_t md5_t[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

namespace {

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t md5_f(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t md5_g(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t md5_h(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t md5_i(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// One step of a round: a = b + ((a + fn(b,c,d) + X[k] + T[i]) <<< s).
#define MD5_STEP(fn, a, b, c, d, xk, s, t) (a) = (b) + rotl((a) + fn((b), (c), (d)) + (xk) + (t), (s))

}  // namespace

// Mixes the block: MD5's transform of the 16 little-endian words from the
// initial state, the resulting state (initial values added) XORed into bytes
// 0-15, then the fill index cleared. Bytes 16-62 are left as they are.
void hblk_mix(uint8_t* hblk) {
  uint32_t x[16];
  for (int k = 0; k < 16; k++) x[k] = md5_load_word(hblk + 4 * k);

  uint32_t a = md5_init_a, b = md5_init_b, c = md5_init_c, d = md5_init_d;
  const uint32_t* t = md5_t;

  // Round 1: F, words in order.
  MD5_STEP(md5_f, a, b, c, d, x[0], 7, t[0]);
  MD5_STEP(md5_f, d, a, b, c, x[1], 12, t[1]);
  MD5_STEP(md5_f, c, d, a, b, x[2], 17, t[2]);
  MD5_STEP(md5_f, b, c, d, a, x[3], 22, t[3]);
  MD5_STEP(md5_f, a, b, c, d, x[4], 7, t[4]);
  MD5_STEP(md5_f, d, a, b, c, x[5], 12, t[5]);
  MD5_STEP(md5_f, c, d, a, b, x[6], 17, t[6]);
  MD5_STEP(md5_f, b, c, d, a, x[7], 22, t[7]);
  MD5_STEP(md5_f, a, b, c, d, x[8], 7, t[8]);
  MD5_STEP(md5_f, d, a, b, c, x[9], 12, t[9]);
  MD5_STEP(md5_f, c, d, a, b, x[10], 17, t[10]);
  MD5_STEP(md5_f, b, c, d, a, x[11], 22, t[11]);
  MD5_STEP(md5_f, a, b, c, d, x[12], 7, t[12]);
  MD5_STEP(md5_f, d, a, b, c, x[13], 12, t[13]);
  MD5_STEP(md5_f, c, d, a, b, x[14], 17, t[14]);
  MD5_STEP(md5_f, b, c, d, a, x[15], 22, t[15]);

  // Round 2: G, words (1 + 5i) mod 16.
  MD5_STEP(md5_g, a, b, c, d, x[1], 5, t[16]);
  MD5_STEP(md5_g, d, a, b, c, x[6], 9, t[17]);
  MD5_STEP(md5_g, c, d, a, b, x[11], 14, t[18]);
  MD5_STEP(md5_g, b, c, d, a, x[0], 20, t[19]);
  MD5_STEP(md5_g, a, b, c, d, x[5], 5, t[20]);
  MD5_STEP(md5_g, d, a, b, c, x[10], 9, t[21]);
  MD5_STEP(md5_g, c, d, a, b, x[15], 14, t[22]);
  MD5_STEP(md5_g, b, c, d, a, x[4], 20, t[23]);
  MD5_STEP(md5_g, a, b, c, d, x[9], 5, t[24]);
  MD5_STEP(md5_g, d, a, b, c, x[14], 9, t[25]);
  MD5_STEP(md5_g, c, d, a, b, x[3], 14, t[26]);
  MD5_STEP(md5_g, b, c, d, a, x[8], 20, t[27]);
  MD5_STEP(md5_g, a, b, c, d, x[13], 5, t[28]);
  MD5_STEP(md5_g, d, a, b, c, x[2], 9, t[29]);
  MD5_STEP(md5_g, c, d, a, b, x[7], 14, t[30]);
  MD5_STEP(md5_g, b, c, d, a, x[12], 20, t[31]);

  // Round 3: H, words (5 + 3i) mod 16.
  MD5_STEP(md5_h, a, b, c, d, x[5], 4, t[32]);
  MD5_STEP(md5_h, d, a, b, c, x[8], 11, t[33]);
  MD5_STEP(md5_h, c, d, a, b, x[11], 16, t[34]);
  MD5_STEP(md5_h, b, c, d, a, x[14], 23, t[35]);
  MD5_STEP(md5_h, a, b, c, d, x[1], 4, t[36]);
  MD5_STEP(md5_h, d, a, b, c, x[4], 11, t[37]);
  MD5_STEP(md5_h, c, d, a, b, x[7], 16, t[38]);
  MD5_STEP(md5_h, b, c, d, a, x[10], 23, t[39]);
  MD5_STEP(md5_h, a, b, c, d, x[13], 4, t[40]);
  MD5_STEP(md5_h, d, a, b, c, x[0], 11, t[41]);
  MD5_STEP(md5_h, c, d, a, b, x[3], 16, t[42]);
  MD5_STEP(md5_h, b, c, d, a, x[6], 23, t[43]);
  MD5_STEP(md5_h, a, b, c, d, x[9], 4, t[44]);
  MD5_STEP(md5_h, d, a, b, c, x[12], 11, t[45]);
  MD5_STEP(md5_h, c, d, a, b, x[15], 16, t[46]);
  MD5_STEP(md5_h, b, c, d, a, x[2], 23, t[47]);

  // Round 4: I, words (7i) mod 16.
  MD5_STEP(md5_i, a, b, c, d, x[0], 6, t[48]);
  MD5_STEP(md5_i, d, a, b, c, x[7], 10, t[49]);
  MD5_STEP(md5_i, c, d, a, b, x[14], 15, t[50]);
  MD5_STEP(md5_i, b, c, d, a, x[5], 21, t[51]);
  MD5_STEP(md5_i, a, b, c, d, x[12], 6, t[52]);
  MD5_STEP(md5_i, d, a, b, c, x[3], 10, t[53]);
  MD5_STEP(md5_i, c, d, a, b, x[10], 15, t[54]);
  MD5_STEP(md5_i, b, c, d, a, x[1], 21, t[55]);
  MD5_STEP(md5_i, a, b, c, d, x[8], 6, t[56]);
  MD5_STEP(md5_i, d, a, b, c, x[15], 10, t[57]);
  MD5_STEP(md5_i, c, d, a, b, x[6], 15, t[58]);
  MD5_STEP(md5_i, b, c, d, a, x[13], 21, t[59]);
  MD5_STEP(md5_i, a, b, c, d, x[4], 6, t[60]);
  MD5_STEP(md5_i, d, a, b, c, x[11], 10, t[61]);
  MD5_STEP(md5_i, c, d, a, b, x[2], 15, t[62]);
  MD5_STEP(md5_i, b, c, d, a, x[9], 21, t[63]);

  // The state MD5 would hold after X as a message's first block, folded into
  // bytes 0-15 in MD5's output byte order.
  md5_store_word(hblk + 0, x[0] ^ (a + md5_init_a));
  md5_store_word(hblk + 4, x[1] ^ (b + md5_init_b));
  md5_store_word(hblk + 8, x[2] ^ (c + md5_init_c));
  md5_store_word(hblk + 12, x[3] ^ (d + md5_init_d));
  hblk[hblk_fill] = 0;
}

#undef MD5_STEP

}  // namespace lrd
