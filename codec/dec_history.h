// Where the decoder finds the bytes it has decoded: in its own window ring
// (decoder_state::win), or, when the owner writes the output to a file it can map,
// in that file and in the owner's output buffers, so that no byte is kept
// twice. Both give the same byte for every reference, hostile ones included.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/dec_state.h"
#include "codec/params.h"

namespace lrd {

// File mode: the owner's output buffers are one ring of cfg_outring_blocks
// buffers of cfg_iobuf bytes (decoder_state::outring), handed out in order, each
// written to the file before it is handed out again. So the owner may write
// a buffer as much as 31 buffers after it was handed over.
constexpr uint64_t cfg_outring = uint64_t{cfg_outring_blocks} * cfg_iobuf;

inline bool dh_file_mode(const decoder_state* c) { return c->win == nullptr; }

// Stores n decoded bytes in the window; in file mode writing the output is
// the store, and only winpos moves on. n may exceed the window.
inline void dh_store(decoder_state* c, const uint8_t* src, size_t n) {
  while (n > 0) {
    const size_t k = n < c->winsize - c->winpos ? n : c->winsize - c->winpos;
    if (c->win) std::memcpy(c->win + c->winpos, src, k);
    c->winpos += static_cast<uint32_t>(k);
    if (c->winpos == c->winsize) c->winpos = 0;
    src += k;
    n -= k;
  }
}

// File mode: n bytes were written to the output without passing the window.
inline void dh_advance(decoder_state* c, uint32_t n) {
  c->winpos = static_cast<uint32_t>((uint64_t{c->winpos} + n) % c->winsize);
}

inline void dh_store_byte(decoder_state* c, uint8_t b) {
  if (c->win) c->win[c->winpos] = b;
  if (++c->winpos == c->winsize) c->winpos = 0;
}

// File mode, with the output at offset out_at: the first offset still in the
// output ring. The ring's oldest buffer is the one the owner hands out next.
// Below it, bytes handed over in the owner's current call are in its buffer
// (decoder_state::callbuf), older ones in the file.
inline uint64_t dh_ring_floor(uint64_t out_at) {
  const uint64_t blk = out_at / cfg_iobuf;
  return blk >= cfg_outring_blocks - 1 ? (blk - (cfg_outring_blocks - 1)) * cfg_iobuf : 0;
}

// File mode: the output byte at offset o, below the output position whose
// ring floor is `floor`.
inline uint8_t dh_file_byte(const decoder_state* c, uint64_t o, uint64_t floor) {
  if (o >= floor) return c->outring[o % cfg_outring];
  return c->callbuf && o >= c->call_from ? c->callbuf[o - c->call_from] : c->outmap[o];
}

// File mode: the first offset that may not be in the file yet.
inline uint64_t dh_file_floor(const decoder_state* c, uint64_t floor) {
  return c->callbuf && c->call_from < floor ? c->call_from : floor;
}

// The offset whose byte window index s holds, for a decoder at offset cur:
// the latest offset below cur with that index, negative where the window has
// not been filled yet (the ring holds zero bytes there).
inline int64_t dh_offset_of(const decoder_state* c, uint64_t cur, uint32_t s) {
  uint32_t back = (c->winpos + c->winsize - s) % c->winsize;
  if (back == 0) back = c->winsize;
  return static_cast<int64_t>(cur) - back;
}

}  // namespace lrd
