// Chunk digest: a 64-byte block that every chunk byte is XORed into; 14 of its
// bytes and the chunk length make the chunk's 16-byte key.
//
// The block is mixed by the bare MD5 block transform every 63 bytes and once
// more at the chunk's end.
#pragma once

#include <cstdint>

namespace lrd {

// Bytes 0-62 accumulate the chunk, byte 63 is the fill index (the transform
// reads it as data, the top byte of word 15).
constexpr uint32_t cfg_hblk = 64;
constexpr uint32_t hblk_fill = 63;
static_assert(hblk_fill == cfg_hblk - 1, "the fill index is the block's last byte");
// hkey: 14 digest bytes, then the chunk length as 16-bit little-endian.
constexpr uint32_t cfg_hkey = 16;

// Mixes the block in place: RFC 1321's one-block transform from MD5's initial
// values, the resulting state XORed into bytes 0-15, the fill index reset to 0.
void hblk_mix(uint8_t* hblk);

// Takes one chunk byte into the block. A full lap (63 bytes) is mixed only when
// the next byte arrives, so laps are 63 bytes, not 64.
inline void hblk_absorb(uint8_t* hblk, uint8_t b) {
  uint32_t i = hblk[hblk_fill];
  if (i == hblk_fill) {
    hblk_mix(hblk);
    i = 0;
  }
  hblk[i] ^= b;
  hblk[hblk_fill] = static_cast<uint8_t>(i + 1);
}

}  // namespace lrd
