// The decoder: restores the data from a stream, running the same chunker over
// every decoded byte to find the chunk ends that the stream never stores.
#pragma once

#include <cstdint>

#include "codec/coder.h"

namespace lrd {

// A fault in a stream that the encoder never writes. The decoder still writes
// what the stream decodes to; the driver then reports the first fault.
enum dec_fault : uint32_t {
  fault_none = 0,
  fault_truncated_ref,   // the stream ends inside a reference's distance
  fault_zero_distance,   // a reference with distance 0
  fault_far_distance,    // a distance of the window size or more
  fault_before_start,    // a distance reaching back beyond the data decoded so far
};

// The decoder body, run by coro_call: the fast body (decoder_fast.h) when the
// window size is a multiple of the map block, else the plain one.
// REQUIRES: win zero-filled with winsize bytes, winpos 0; chunkmap null or
// zero-filled with winsize / cfg_mapblock bytes.
coro_task decoder_run(coder* c);

// Byte by byte: every decoded byte through the chunker. The reference.
coro_task decoder_run_plain(coder* c);

// Start-up of both bodies: chunker, counters and fault reset; the window and
// winpos are left as the owner set them.
void decoder_reset(coder* c);

// A reference's copy, shared by both bodies: from `distance` bytes back, one
// byte at a time into cbuf (nbuf bytes) and the window, each read before the
// next is stored, so an overlapping source reads bytes of the same copy. The
// chunker's cut ends it (at the latest the forced cut); the caller closes it.
void decoder_copy_ref(coder* c, uint32_t distance);

// Records the first fault a reference shows, if any. `decoded` is the data
// decoded before the reference's chunk. Both bodies call this, so they report
// alike.
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

}  // namespace lrd
