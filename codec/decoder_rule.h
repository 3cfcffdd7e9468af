// What both decoder bodies do alike, written once: the start of a run, the
// reading of a reference's distance, its faults, and its byte-by-byte copy.
#pragma once

#include <cstdint>

#include "codec/dec_state.h"
#include "codec/format.h"

namespace lrd {

// Start-up of both bodies: chunker, counters and fault reset; the window and
// winpos are left as the owner set them.
void decoder_start(decoder_state* c);

// A reference's distance as its four bytes come, little-endian. A byte
// missing at the stream's end counts as -1 before it is shifted in, and
// makes the reference truncated.
struct ref_distance {
  uint32_t value = 0;
  uint32_t k = 0;  // bytes taken
  bool truncated = false;
  // b: the next byte, or -1 when the stream has ended.
  void take(int b) {
    truncated |= b < 0;
    value = fmt_distance_byte(value, b, k++);
  }
};

// Records the first fault a reference shows, if any. `decoded` is the data
// decoded before the reference's chunk. Both bodies call this, so they report
// alike.
inline void note_ref_fault(decoder_state* c, const ref_distance& d, uint64_t decoded, uint64_t marker_offset) {
  if (c->fault != fault_none) return;
  uint32_t f = fault_none;
  if (d.truncated)
    f = fault_truncated_ref;
  else if (d.value == 0)
    f = fault_zero_distance;
  else if (d.value >= c->winsize)
    f = fault_far_distance;
  else if (d.value > decoded)
    f = fault_before_start;
  if (f != fault_none) {
    c->fault = f;
    c->fault_offset = marker_offset;
  }
}

// A reference's copy: from `distance` bytes back, one byte at a time into
// cbuf (nbuf bytes) and the window, each read before the next is stored, so
// an overlapping source reads bytes of the same copy. The chunker's cut ends
// it (at the latest the forced cut); the caller closes it.
void decoder_copy_ref(decoder_state* c, uint32_t distance);

}  // namespace lrd
