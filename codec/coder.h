// The coder record: the one piece of state of a run, shared by the driver and
// the coder body it runs as a coroutine.
#pragma once

#include <cstdint>

#include "chunk/chunker.h"
#include "codec/index.h"
#include "driver/coro.h"

// Room for the longest chunk (65535 bytes) behind the decoder's 4 held escape
// bytes and the unused slot 4: an escaped chunk is stored from index 5.
constexpr uint32_t cfg_cbuf = 65540;
constexpr uint32_t cfg_iobuf = 65536;  // bytes per file read or write

// A fault in a stream that the encoder never writes. The decoder still writes
// what the stream decodes to; the driver then reports the first fault.
enum dec_fault : uint32_t {
  fault_none = 0,
  fault_truncated_ref,   // the stream ends inside a reference's distance
  fault_zero_distance,   // a reference with distance 0
  fault_far_distance,    // a distance of the window size or more
  fault_before_start,    // a distance reaching back beyond the data decoded so far
};

struct coder {
  coro_header coro;
  uint64_t sum;   // total length of all chunks so far
  uint64_t x;     // number of chunks so far, the final (maybe empty) one included
  uint32_t pos;   // encoder: start of the current chunk, modulo poswrap
  chunker ck;
  uint32_t nbuf;  // decoder: bytes of the current chunk held in cbuf
  uint8_t cbuf[cfg_cbuf];

  // Encoder tail.
  chunk_index idx;
  uint64_t c_discard;  // chunks found but too far back to reference

  // Decoder tail.
  uint8_t* win;        // the last winsize decoded bytes, a ring
  uint32_t winpos;     // where the next decoded byte is stored
  uint32_t winsize;    // cfg_decwinsize in the program; smaller in tests
  uint32_t fault;      // first dec_fault met, or fault_none
  uint64_t fault_offset;  // stream offset of the first faulty reference's marker
  uint64_t dec_fast_refs;  // fast decoder: references copied whole by memcpy
  uint64_t dec_slow_refs;  // fast decoder: references left to the byte-by-byte copy
};

// Records the first fault a reference shows, if any: one the encoder never
// writes. `decoded` is the data decoded before the reference's chunk. Both
// decoder bodies call this, so they report alike.
inline void note_ref_fault(coder* c, bool truncated, uint32_t distance, uint64_t decoded,
                           uint64_t marker_offset) {
  if (c->fault != fault_none) return;
  uint32_t f = fault_none;
  if (truncated)
    f = fault_truncated_ref;
  else if (distance == 0)
    f = fault_zero_distance;
  else if (distance >= c->winsize)
    f = fault_far_distance;
  else if (distance > decoded)
    f = fault_before_start;
  if (f != fault_none) {
    c->fault = f;
    c->fault_offset = marker_offset;
  }
}

// The coder bodies, run by coro_call.
// encoder_run REQUIRES: idx set up by index_init over a zero-filled table.
coro_task encoder_run(coder* c);
// decoder_run REQUIRES: win zero-filled with winsize bytes, winpos 0.
coro_task decoder_run(coder* c);
