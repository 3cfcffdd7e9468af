// The encoder's view of the input it has been given: a reference is written
// only when the chunk's bytes equal the earlier bytes it points at, since two
// chunks with equal keys need not be equal (the digest is no secret).
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "codec/index/slot.h"
#include "codec/params.h"

namespace lrd {

// Where the n input bytes from offset o lie in a history (byte o at
// hist[o % ring], ring 0: hist[o]): *k of them at the pointer returned, the
// rest, past the ring's end, at hist.
inline const uint8_t* hist_at(const uint8_t* hist, uint64_t ring, uint64_t o, size_t n, size_t* k) {
  const uint64_t from = ring ? o % ring : o;
  const uint64_t room = ring ? ring - from : n;
  *k = n < room ? n : static_cast<size_t>(room);
  return hist + from;
}

// Copies the n input bytes from offset o of the history to dst.
inline void hist_copy(const uint8_t* hist, uint64_t ring, uint64_t o, uint8_t* dst, size_t n) {
  size_t k = 0;
  const uint8_t* q = hist_at(hist, ring, o, n, &k);
  std::memcpy(dst, q, k);
  std::memcpy(dst + k, hist, n - k);
}

// True when the len bytes at p equal the input bytes from offset o - distance.
// REQUIRES: the owner keeps every input byte from o - cfg_decwinsize on in the
// history (hist, ring; null: none) until the chunk at o is coded.
inline bool hist_equal(const uint8_t* hist, uint64_t ring, uint64_t o, uint32_t distance, const uint8_t* p,
                       uint32_t len) {
  if (!hist || distance > o) return false;
  size_t k = 0;
  const uint8_t* q = hist_at(hist, ring, o - distance, len, &k);
  return std::memcmp(q, p, k) == 0 && std::memcmp(hist, p + k, len - k) == 0;
}

}  // namespace lrd
