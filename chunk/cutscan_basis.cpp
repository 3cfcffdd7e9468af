// The cut scan's term tables, derived once from the window value itself: a
// window with one bit set gives that bit's term.
#include "chunk/cutscan_basis.h"

#include "chunk/cutscan.h"

namespace lrd {

namespace cutscan_vec {

static_assert(sizeof(basis::term) / sizeof(basis::term[0]) == cfg_hashwin, "one term table per window byte");

namespace {

basis make_basis() {
  basis b{};
  uint8_t w[16] = {};
  b.zero = cutscan_window_crc(w);
  uint32_t unit[16][8];  // term of byte k holding only bit j
  for (int k = 0; k < 16; k++) {
    for (int j = 0; j < 8; j++) {
      w[k] = static_cast<uint8_t>(1u << j);
      unit[k][j] = cutscan_window_crc(w) ^ b.zero;
    }
    w[k] = 0;
  }
  for (int k = 0; k < 16; k++) {
    for (int v = 0; v < 256; v++) {
      uint32_t t = 0;
      for (int j = 0; j < 8; j++)
        if (v >> j & 1) t ^= unit[k][j];
      b.term[k][v] = t;
    }
    // Row i of the matrix (byte 7 - i) selects the input bits that flip output bit i.
    uint64_t m = 0;
    for (int i = 0; i < 8; i++) {
      uint64_t row = 0;
      for (int j = 0; j < 8; j++) row |= static_cast<uint64_t>(unit[k][j] >> (24 + i) & 1) << j;
      m |= row << (8 * (7 - i));
    }
    b.top_matrix[k] = m;
    for (int v = 0; v < 16; v++) {
      for (int half = 0; half < 2; half++) {
        const uint8_t top = static_cast<uint8_t>(b.term[k][v << (4 * half)] >> 24);
        b.top_nibble[k][half][v] = top;
        b.top_nibble[k][half][v + 16] = top;
      }
    }
  }
  return b;
}

}  // namespace

const basis& basis_get() {
  static const basis b = make_basis();
  return b;
}

}  // namespace cutscan_vec

}  // namespace lrd
