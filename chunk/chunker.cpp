// Chunker start-up (the CRC-32 tables and a window of 16 zero bytes) and the
// end of a chunk, which turns its digest block into its key.
#include "chunk/chunker.h"

#include <cstring>

namespace lrd {

namespace {

constexpr uint32_t crc_poly = 0xEDB88320;  // reflected CRC-32 polynomial

// One byte step of the running value: with the index-complemented table a value
// started at 0 holds the finished CRC-32 (final XOR included) after every byte.
inline uint32_t crc_step(const uint32_t* tab, uint32_t crc, uint8_t b) {
  return (crc >> 8) ^ tab[(crc ^ b) & 0xFF];
}

}  // namespace

// Builds crctab and crcrem and resets the state, in the fixed order the stream
// format depends on. REQUIRES: c points to writable storage (contents ignored).
void chunker_init(chunker* c) {
  // crctab[j] is the reflected table entry for j ^ 0xFF with its top byte
  // complemented; that folds CRC-32's pre- and post-inversion into the table.
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t r = i;
    for (int k = 0; k < 8; k++) r = (r & 1) ? (r >> 1) ^ crc_poly : r >> 1;
    c->crctab[i ^ 0xFF] = r ^ 0xFF000000;
  }
  c->hwin = cfg_hashwin;
  std::memset(c->ring, 0, sizeof c->ring);

  // The window starts as hwin zero bytes, matching the cleared ring.
  uint32_t zero_win = 0;
  for (uint32_t k = 0; k < c->hwin; k++) zero_win = crc_step(c->crctab, zero_win, 0);
  c->crc = zero_win;

  // A byte entered hwin steps ago contributes crctab[v] carried on by hwin
  // zero-byte steps; XORing the zero-window value cancels the constant those
  // steps add, leaving just the byte's own term for chunk_feed to remove.
  for (uint32_t j = 0; j < 256; j++) {
    uint32_t h = c->crctab[j];
    for (uint32_t k = 0; k < c->hwin; k++) h = crc_step(c->crctab, h, 0);
    c->crcrem[j] = h ^ zero_win;
  }

  c->hpos = 0;
  std::memset(c->hblk, 0, sizeof c->hblk);
  c->clen = 0;
}

// Ends the current chunk: one last mix whatever the fill index (also for an
// empty chunk), key = digest bytes 0-13 plus clen as 16-bit little-endian,
// then a cleared block and clen 0 so the next key depends on its chunk alone.
// REQUIRES: clen <= cfg_maxchunk, which the forced cut guarantees.
void chunk_close(chunker* c) {
  hblk_mix(c->hblk);
  std::memcpy(c->hkey, c->hblk, 14);
  c->hkey[14] = static_cast<uint8_t>(c->clen);
  c->hkey[15] = static_cast<uint8_t>(c->clen >> 8);
  std::memset(c->hblk, 0, sizeof c->hblk);
  c->clen = 0;
}

}  // namespace lrd
