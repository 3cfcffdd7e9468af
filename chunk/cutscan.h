// Cut candidates of a whole buffer at once, so that chunk ends are found
// without feeding the chunker byte by byte.
//
// Whether a chunk may end after a byte depends only on the 16 bytes ending
// there (crc < cfg_cutlimit) and on the chunk's length, so the candidates can
// be found for a buffer in independent lanes, and a short serial pass then
// applies the length rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/chunker.h"
// The term tables behind the vector versions, which tests check against
// cutscan_window_crc; the rest of their workings is in chunk/cutscan_vec.h.
#include "chunk/cutscan_basis.h"

namespace lrd {

// Top byte of cfg_cutlimit: a window whose value has a larger one is no candidate.
constexpr uint8_t cutscan_top_limit = cfg_cutlimit >> 24;

// History a scan needs in front of its first byte: the rest of its window.
constexpr size_t cutscan_history = 15;
static_assert(cutscan_history + 1 == cfg_hashwin,
              "the scan's windows are the chunker's, which every version holds as 16 bytes");

// Sets bit i (bits[i / 64] >> (i % 64) & 1) for every i in [0, n) at which the
// CRC-32 of p[i - 15 .. i] is below cfg_cutlimit, and clears the others.
// REQUIRES: p[-15 .. -1] readable; bits has (n + 63) / 64 words.
void cut_candidates(const uint8_t* p, size_t n, uint64_t* bits);

// The portable reference: one rolling value, byte by byte.
void cut_candidates_plain(const uint8_t* p, size_t n, uint64_t* bits);

// How cut_candidates finds the candidates; all give the same bits.
enum cutscan_impl {
  cutscan_impl_auto,   // the fastest one the CPU supports
  cutscan_impl_plain,  // cut_candidates_plain
  cutscan_impl_lanes,  // eight scalar rolling values side by side, any CPU
  cutscan_impl_avx2,   // a window's top byte from nibble tables, 32 windows an instruction
  cutscan_impl_gfni,   // the same from byte matrices (GFNI, AVX-512), 64 windows an instruction
  cutscan_impl_rows,   // the same from a table row per byte (AVX2), 32 windows a load
};

// True when this build and this CPU can run the implementation (auto: always).
bool cutscan_impl_supported(cutscan_impl impl);

// Makes cut_candidates use impl (auto: choose by CPU again), for tests and
// benchmarks. Returns false and changes nothing when impl is unsupported.
bool cutscan_force(cutscan_impl impl);

// The implementation cut_candidates runs now (never auto), and a short name.
cutscan_impl cutscan_impl_current();
const char* cutscan_impl_name(cutscan_impl impl);

// The CRC-32 of the 16 bytes ending at p[15], as the chunker's rolling value
// holds it after feeding them.
uint32_t cutscan_window_crc(const uint8_t* p);

// Position of the cut of a chunk whose bytes begin at index `start` of a
// scanned buffer: the first candidate at index start + cfg_minchunk - 1 or
// later, or the forced cut at start + cfg_maxchunk - 1. Returns the chunk
// length, or 0 when the cut lies at or beyond index `end` (the chunk goes on
// past the scanned bytes).
inline uint32_t cutscan_next_cut(const uint64_t* bits, size_t start, size_t end) {
  size_t i = start + cfg_minchunk - 1;
  size_t limit = start + cfg_maxchunk - 1;
  size_t stop = limit < end ? limit + 1 : end;
  while (i < stop) {
    uint64_t w = bits[i >> 6] >> (i & 63);
    if (w) {
      size_t at = i + static_cast<size_t>(__builtin_ctzll(w));
      return at < stop ? static_cast<uint32_t>(at - start + 1) : (limit < end ? cfg_maxchunk : 0u);
    }
    i = (i | 63) + 1;
  }
  return limit < end ? cfg_maxchunk : 0u;
}

}  // namespace lrd
