// The term tables of the cut scan's vector versions. A window's value is
// affine in its 128 bits: the value of 16 zero bytes, XOR one term per byte.
#pragma once

#include <cstdint>

#include "chunk/cpu.h"

namespace lrd {

namespace cutscan_vec {

// The terms in the forms the implementations use, derived from
// cutscan_window_crc itself, so they hold exactly the chunker's CRC.
struct basis {
  uint32_t zero;            // value of 16 zero bytes
  uint32_t term[16][256];   // term of byte k of the window (k = 0: oldest) for each value
  uint64_t top_matrix[16];  // byte k's term's top byte as an 8x8 bit matrix (GF2P8AFFINEQB form)
  alignas(32) uint8_t top_nibble[16][2][32];  // the same from low and high nibble, twice for 256-bit shuffles
};

// The tables, built on first use; safe to call from any thread.
const basis& basis_get();

// The window value of w[0 .. 15] from the term tables. Scalar, and inlined
// into every caller (see LRD_INLINE), the vector versions among them.
LRD_INLINE uint32_t window_value(const basis& b, const uint8_t* w) {
  uint32_t v = b.zero;
  for (int k = 0; k < 16; k++) v ^= b.term[k][w[k]];
  return v;
}

}  // namespace cutscan_vec

}  // namespace lrd
