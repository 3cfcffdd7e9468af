// The fast decoder's view of its input: cut candidates of the literal bytes,
// scanned lazily per input buffer, with the 16 bytes of history a scan needs
// across buffers. Beside a helper thread, a whole buffer is scanned ahead
// into a map, in pieces that the helper and the body claim in turn.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chunk/cutscan.h"
#include "codec/params.h"
#include "codec/worker.h"

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

// Scans n bytes from p into bits (bit 0: p's byte). The 15 bytes before p
// come from the buffer starting at bufstart or, near its start, from hist,
// the 16 bytes before bufstart.
inline void scan_into(const uint8_t* bufstart, const uint8_t* hist, const uint8_t* p, size_t n, uint64_t* bits) {
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
}

// Scanning ahead. A buffer is cut into pieces of whole words of the map, so
// no two pieces write the same word. The helper claims them from the
// buffer's end backwards, the body from where it reads forwards: they meet
// once, and neither scans what the other did. A piece's bits cover it alone:
// a literal chunk looks only at bits whose 16-byte windows lie in the chunk,
// so who scanned which piece, and where references lie, changes no bit.
constexpr size_t scan_piece = 16384;
static_assert(scan_piece % 64 == 0, "a piece owns whole words of the map");
constexpr size_t scan_ahead_max = cfg_stable_piece;  // the largest input buffer
constexpr uint32_t scan_ahead_pieces = scan_ahead_max / scan_piece;
static_assert(cfg_scan_ahead_min % scan_piece == 0 && cfg_scan_ahead_min <= scan_ahead_max);

enum scan_piece_state : uint32_t {
  piece_free,
  piece_taken,   // being scanned
  piece_body,    // scanned by the body
  piece_helper,  // scanned by the helper
};

// One buffer's job and its map, in memory the owner hands in
// (decoder_resources::scan). Everything but the atomics is set by the body
// before it posts the job and only read while it is open.
struct scan_ahead {
  const uint8_t* buf;
  size_t n;
  uint32_t count;  // pieces
  uint8_t hist[16];
  std::atomic<uint32_t> stop;   // the body leaves the buffer: no more pieces
  std::atomic<uint32_t> front;  // the helper claims pieces from here on only
  std::atomic<uint32_t> state[scan_ahead_pieces];
  uint64_t bits[scan_ahead_max / 64];
};

inline void scan_ahead_piece(scan_ahead* a, uint32_t j) {
  const size_t beg = size_t{j} * scan_piece;
  scan_into(a->buf, a->hist, a->buf + beg, std::min(scan_piece, a->n - beg), a->bits + beg / 64);
}

// Piece k of the helper's job: the buffer's piece count - 1 - k, unless the
// body has claimed it, passed it, or is leaving.
inline void scan_ahead_run(void* ctx, uint32_t k) {
  scan_ahead* a = static_cast<scan_ahead*>(ctx);
  const uint32_t j = a->count - 1 - k;
  if (a->stop.load(std::memory_order_relaxed) || j < a->front.load(std::memory_order_relaxed)) return;
  uint32_t s = piece_free;
  if (!a->state[j].compare_exchange_strong(s, piece_taken, std::memory_order_acquire)) return;
  scan_ahead_piece(a, j);
  a->state[j].store(piece_helper, std::memory_order_release);
}

// Cut candidates of the input, scanned lazily per input buffer, or read
// from the map of a buffer scanned ahead.
struct input_scan {
  const uint8_t* bufstart = nullptr;  // first byte of the current input buffer
  uint8_t hist[16] = {};              // the 16 input bytes before bufstart
  bool valid = false;                 // bits describe [seg_beg, seg_end)
  const uint8_t* seg_beg = nullptr;
  const uint8_t* seg_end = nullptr;
  const uint64_t* bits = own;
  // Scanning ahead: the helper and the map, or null; whether a job is open.
  worker* wk = nullptr;
  scan_ahead* ahead = nullptr;
  uint64_t* from_helper = nullptr;  // counts the pieces read that the helper scanned
  bool wait_helper = false;         // tests: the helper scans every buffer whole first
  bool posted = false;
  uint64_t own[(scan_seg + 63) / 64];

  input_scan() = default;
  input_scan(const input_scan&) = delete;
  input_scan& operator=(const input_scan&) = delete;
  // The owner may end a run in the middle of a buffer.
  ~input_scan() { leave(); }

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
  // The buffer [p, end) arrived: posted to the helper where that pays.
  // REQUIRES: no job open (leave).
  void new_buffer(const uint8_t* p, const uint8_t* end) {
    bufstart = p;
    valid = false;
    const size_t n = static_cast<size_t>(end - p);
    if (!ahead || n < cfg_scan_ahead_min || n > scan_ahead_max) return;
    scan_ahead* a = ahead;
    a->buf = p;
    a->n = n;
    a->count = static_cast<uint32_t>((n + scan_piece - 1) / scan_piece);
    std::memcpy(a->hist, hist, 16);
    a->stop.store(0, std::memory_order_relaxed);
    a->front.store(0, std::memory_order_relaxed);
    for (uint32_t k = 0; k < a->count; k++) a->state[k].store(piece_free, std::memory_order_relaxed);
    worker_begin(wk, scan_ahead_run, a, a->count);  // its lock publishes the job
    posted = true;
    if (wait_helper) worker_wait_idle(wk);
  }
  // Before the buffer may go (the body asks for input, or ends): the helper
  // finishes the piece it is on and takes no other.
  void leave() {
    if (!posted) return;
    ahead->stop.store(1, std::memory_order_relaxed);
    worker_end(wk);
    posted = false;
  }

  // Makes the bits cover p, which must lie in the buffer.
  void need(const uint8_t* p, const uint8_t* end) {
    if (valid && p < seg_end) return;
    if (!posted || !from_map(p)) scan_at(p, end);
  }

  // The map from p's piece on, as far as the pieces are scanned; p's piece
  // is scanned here if nobody has claimed it. False while the helper is on
  // it: scanning from p then beats waiting.
  bool from_map(const uint8_t* p) {
    scan_ahead* a = ahead;
    const uint32_t j = static_cast<uint32_t>(static_cast<size_t>(p - bufstart) / scan_piece);
    a->front.store(j + 1, std::memory_order_relaxed);
    uint32_t s = a->state[j].load(std::memory_order_acquire);
    if (s == piece_free && a->state[j].compare_exchange_strong(s, piece_taken, std::memory_order_acquire)) {
      scan_ahead_piece(a, j);
      a->state[j].store(piece_body, std::memory_order_relaxed);
      s = piece_body;
    }
    if (s < piece_body) return false;
    uint32_t k = j;
    for (; k < a->count; k++) {
      s = a->state[k].load(std::memory_order_acquire);
      if (s < piece_body) break;
      if (s == piece_helper) ++*from_helper;
    }
    bits = a->bits;
    seg_beg = bufstart;
    seg_end = bufstart + std::min(size_t{k} * scan_piece, a->n);
    valid = true;
    return true;
  }

  // Scans up to scan_seg bytes from p. The 15 bytes before p come from the
  // buffer or, near its start, from the history.
  void scan_at(const uint8_t* p, const uint8_t* end) {
    // Near the buffer's end, start earlier so that the lanes still get a
    // whole block: rescanning a few bytes is cheaper than one serial lane.
    if (static_cast<size_t>(end - p) < scan_seg && static_cast<size_t>(end - bufstart) >= scan_seg)
      p = end - scan_seg;
    const size_t n = std::min<size_t>(static_cast<size_t>(end - p), scan_seg);
    scan_into(bufstart, hist, p, n, own);
    bits = own;
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
