// Content-defined chunking: a rolling CRC-32 over the last 16 bytes decides
// where a chunk ends.
//
// Every table and step here is fixed by the stream format: a decoder finds
// chunk ends only by computing exactly what the encoder did.
#pragma once

#include <cstdint>

#include "chunk/digest.h"

namespace lrd {

constexpr uint32_t cfg_hashwin = 16;          // bytes in the rolling window
constexpr uint32_t cfg_minchunk = 64;         // a cut needs at least 64 bytes
constexpr uint32_t cfg_maxchunk = 65535;      // forced cut; fits the 16-bit length
constexpr uint32_t cfg_cutlimit = 42949672;   // cut when crc < this: ~1 in 100
static_assert(cfg_cutlimit == (uint64_t{1} << 32) / 100, "a window is a candidate 1 time in 100");
static_assert(cfg_maxchunk <= 0xFFFF, "hkey holds a chunk's length in 16 bits");
static_assert(cfg_minchunk >= cfg_hashwin,
              "the window must lie inside the chunk when a cut is tested, "
              "so a cut depends on the chunk's bytes alone");

// Chunker state. crc, ring and hpos run on across cuts for the whole run.
struct chunker {
  uint32_t crc;            // CRC-32 of the last hwin bytes fed
  uint32_t clen;           // bytes fed since the current chunk began
  uint32_t hpos;           // bytes fed since start-up, mod 2^32; low 8 bits index ring
  uint32_t hwin;           // always cfg_hashwin
  uint8_t hblk[cfg_hblk];  // digest block of the current chunk
  uint32_t crctab[256];    // CRC-32 table, index-complemented (see chunker_init)
  uint32_t crcrem[256];    // what a byte leaving the window contributed to crc
  uint8_t ring[256];       // last 256 bytes fed; only 16 are needed
  uint8_t hkey[cfg_hkey];  // key of the chunk closed last
};
static_assert(sizeof(chunker::ring) == 256 && cfg_hashwin < 256,
              "hpos's low 8 bits index the ring, which holds the whole window");

// Builds the tables and puts the state in its start-up form: a window of 16
// zero bytes, empty digest block, clen 0.
void chunker_init(chunker* c);

// Feeds one byte: rolls the CRC window, records the byte, absorbs it into the
// digest block and counts it.
inline void chunk_feed(chunker* c, uint8_t b) {
  uint8_t v = c->ring[(c->hpos - c->hwin) & 0xFF];
  c->crc = (c->crc >> 8) ^ c->crctab[(c->crc ^ b) & 0xFF] ^ c->crcrem[v];
  c->ring[c->hpos & 0xFF] = b;
  hblk_absorb(c->hblk, b);
  c->clen++;
  c->hpos++;
}

// Same as chunk_feed without the digest, for a side that needs only lengths.
inline void chunk_feed_nodigest(chunker* c, uint8_t b) {
  uint8_t v = c->ring[(c->hpos - c->hwin) & 0xFF];
  c->crc = (c->crc >> 8) ^ c->crctab[(c->crc ^ b) & 0xFF] ^ c->crcrem[v];
  c->ring[c->hpos & 0xFF] = b;
  c->clen++;
  c->hpos++;
}

// True when the current chunk ends with the byte just fed.
inline bool chunk_boundary(const chunker* c) {
  return c->clen >= cfg_minchunk && (c->crc < cfg_cutlimit || c->clen >= cfg_maxchunk);
}

// Ends the current chunk: last transform, hkey formed, block cleared, clen 0.
void chunk_close(chunker* c);

// The closed chunk's length, from hkey bytes 14-15.
inline uint32_t hkey_len(const uint8_t* hkey) {
  return static_cast<uint32_t>(hkey[14]) | (static_cast<uint32_t>(hkey[15]) << 8);
}

// Ends the current chunk for a side that fed it with chunk_feed_nodigest and
// needs only its length; returns that length and sets clen to 0.
inline uint32_t chunk_close_nodigest(chunker* c) {
  uint32_t n = c->clen;
  c->clen = 0;
  return n;
}

}  // namespace lrd
