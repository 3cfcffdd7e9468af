// The encoder's view of the input it has been given: a reference is written
// only when the chunk's bytes equal the earlier bytes it points at, since two
// chunks with equal keys need not be equal (the digest is no secret).
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "codec/index/slot.h"

namespace lrd {

// Input bytes the encoder may take in beyond the start of the chunk it is
// coding: a ring of the input must be this much longer than the window, so
// that the bytes a reference points at are still in it.
constexpr uint64_t cfg_hist_lead = uint64_t{4} << 20;

// How far the coder's position may trail the input it has taken in: a
// chunk being coded starts at most this many bytes before the end of it.
// What a check reads lies within the window and this lag behind that end.
constexpr uint64_t cfg_enc_lag = 2 * (uint64_t{1} << 20) + 2 * uint64_t{65536};
static_assert(cfg_enc_lag <= cfg_hist_lead);

// Ring length for an input that cannot be mapped: the window and the lead,
// in whole input buffers so that no read straddles the ring's end.
constexpr uint64_t cfg_hist_ring = cfg_decwinsize + cfg_hist_lead;
static_assert(cfg_hist_ring % cfg_iobuf == 0, "whole input buffers fill the ring");

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
