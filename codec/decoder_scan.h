// The fast decoder's view of its input: cut candidates of the literal bytes,
// scanned lazily per input buffer, with the 16 bytes of history a scan needs
// across buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chunk/cutscan.h"

namespace lrd {

// Input bytes per candidate scan: our serial head of 64, cut_candidates' own
// serial head of 64 and one block of its lanes (a shorter rest would run in
// one serial lane). A scan starts where a literal needs it, so in a buffer
// that is mostly references only the stretch around its literals is scanned.
constexpr size_t scan_seg = 64 + 64 + 16384;

// First set bit in [from, stop), or stop.
inline size_t first_bit(const uint64_t* bits, size_t from, size_t stop) {
  if (from >= stop) return stop;
  size_t i = from;
  uint64_t w = bits[i >> 6] & (~uint64_t{0} << (i & 63));
  for (;;) {
    if (w) {
      size_t r = (i & ~size_t{63}) + static_cast<size_t>(__builtin_ctzll(w));
      return r < stop ? r : stop;
    }
    i = (i | 63) + 1;
    if (i >= stop) return stop;
    w = bits[i >> 6];
  }
}

// Cut candidates of the input, scanned lazily per input buffer.
struct input_scan {
  const uint8_t* bufstart = nullptr;  // first byte of the current input buffer
  uint8_t hist[16] = {};              // the 16 input bytes before bufstart
  bool valid = false;                 // bits describe [seg_beg, seg_end)
  const uint8_t* seg_beg = nullptr;
  const uint8_t* seg_end = nullptr;
  uint64_t bits[(scan_seg + 63) / 64];

  // Before the buffer ending at `end` is replaced.
  void keep_history(const uint8_t* end) {
    const size_t n = static_cast<size_t>(end - bufstart);
    if (n >= 16) {
      std::memcpy(hist, end - 16, 16);
    } else {
      std::memmove(hist, hist + n, 16 - n);
      if (n) std::memcpy(hist + 16 - n, bufstart, n);
    }
  }
  void new_buffer(const uint8_t* p) {
    bufstart = p;
    valid = false;
  }
  // Scans up to scan_seg bytes from p. The 15 bytes before p come from the
  // buffer or, near its start, from the history.
  void scan_at(const uint8_t* p, const uint8_t* end) {
    // Near the buffer's end, start earlier so that the lanes still get a
    // whole block: rescanning a few bytes is cheaper than one serial lane.
    if (static_cast<size_t>(end - p) < scan_seg && static_cast<size_t>(end - bufstart) >= scan_seg)
      p = end - scan_seg;
    const size_t n = std::min<size_t>(static_cast<size_t>(end - p), scan_seg);
    uint8_t tmp[cutscan_history + 64];
    const size_t back = static_cast<size_t>(p - bufstart);
    if (back >= cutscan_history) {
      std::memcpy(tmp, p - cutscan_history, cutscan_history);
    } else {
      const size_t from_hist = cutscan_history - back;
      std::memcpy(tmp, hist + 16 - from_hist, from_hist);
      if (back) std::memcpy(tmp + from_hist, bufstart, back);
    }
    const size_t head = std::min<size_t>(n, 64);
    std::memcpy(tmp + cutscan_history, p, head);
    cut_candidates_plain(tmp + cutscan_history, head, bits);
    if (n > 64) cut_candidates(p + 64, n - 64, bits + 1);
    seg_beg = p;
    seg_end = p + n;
    valid = true;
  }

  // Of a literal chunk with clen bytes before p (p in the segment): the bytes
  // from p up to its cut, the first candidate from length 64 on or the forced
  // cut at 65535, with *cut set; or up to the segment's end, when the cut
  // lies beyond it.
  size_t literal_take(const uint8_t* p, uint32_t clen, bool* cut) const {
    const size_t i0 = static_cast<size_t>(p - seg_beg);
    const size_t n = static_cast<size_t>(seg_end - seg_beg);
    const size_t from = i0 + (clen < cfg_minchunk - 1 ? cfg_minchunk - 1 - clen : 0);
    const size_t forced = i0 + (cfg_maxchunk - 1 - clen);
    const size_t stop = forced < n ? forced + 1 : n;
    const size_t at = first_bit(bits, from, stop);
    *cut = at < stop || forced < n;
    return (at < stop ? at + 1 : stop) - i0;
  }
};

}  // namespace lrd
