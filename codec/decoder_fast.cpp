// The fast decoder body: the plain decoder's output, counters and faults for
// every stream, without feeding the chunker byte by byte.
//
// Why it may skip the chunker: a cut after a byte depends only on the chunk's
// length (at least 64, forced at 65535) and the 16 bytes ending there, so
//  - literal chunk: its bytes lie contiguous in the input (behind the escape,
//    if any), so a cut-candidate scan of the input gives the right candidates
//    at every chunk offset >= 63. The chunk ends at the first candidate there,
//    or at the forced cut: a bit scan instead of a table lookup per byte;
//  - reference whose source is the start of a whole earlier chunk of length
//    L <= distance (so no source byte is overwritten before it is read): the
//    copy holds that chunk's bytes, so it cuts exactly where that chunk was cut,
//    after L bytes. Known chunk starts live in a map of one byte per 64 window
//    bytes (a non-final chunk has at least 64 bytes, so a block holds at most
//    one start): 0 none, else 1 + the start's offset in the block. A chunk's
//    length is the distance to the next recorded start.
// Every other reference goes through the plain byte-by-byte copy, after the
// chunker's state has been rebuilt from the last 16 window bytes, which are the
// last 16 bytes fed.
#include "codec/decoder_fast.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "chunk/cutscan.h"
#include "codec/format.h"

namespace {

// Input bytes per candidate scan: our serial head of 64, cut_candidates' own
// serial head of 64 and one block of its lanes (a shorter rest would run in
// one serial lane). A scan starts where a literal needs it, so in a buffer
// that is mostly references only the stretch around its literals is scanned.
constexpr size_t scan_seg = 64 + 64 + 16384;

// Stores n decoded bytes in the window ring; n may exceed the window.
inline void win_put(coder* c, const uint8_t* src, size_t n) {
  while (n > 0) {
    size_t k = std::min<size_t>(n, c->winsize - c->winpos);
    std::memcpy(c->win + c->winpos, src, k);
    c->winpos += static_cast<uint32_t>(k);
    if (c->winpos == c->winsize) c->winpos = 0;
    src += k;
    n -= k;
  }
}

// Chunk starts of the window, one byte per 64-byte block. Invariant: every
// entry lying among the last `d` stored bytes (d < winsize) is the true start
// of a chunk stored there, and no start among them is missing except where a
// block was shared with older data. Zero-filled from mmap; null on failure,
// in which case every reference takes the plain copy.
struct chunk_map {
  uint8_t* m = nullptr;
  size_t nb = 0;  // blocks
  explicit chunk_map(uint32_t winsize) : nb(winsize / 64) {
    void* p = mmap(nullptr, nb, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) m = static_cast<uint8_t*>(p);
  }
  chunk_map(const chunk_map&) = delete;
  chunk_map& operator=(const chunk_map&) = delete;
  ~chunk_map() {
    if (m) munmap(m, nb);
  }
  void set_start(uint32_t p) { m[p >> 6] = static_cast<uint8_t>(1 + (p & 63)); }

  // After a chunk of len bytes was stored from index a: clears the blocks its
  // bytes overwrote (beyond its own start's block) and records the next
  // chunk's start, which is where the next byte goes.
  void chunk_stored(uint32_t a, uint32_t len, uint32_t next) {
    if (!m) return;
    if (len > 0) {
      const uint64_t first = (a >> 6) + 1, last = (uint64_t{a} + len - 1) >> 6;
      if (last >= first) {
        const uint64_t count = last - first + 1;
        if (count <= 8 && last < nb) {
          // The usual chunk covers a few blocks: no call for those.
          for (uint64_t b = first; b <= last; b++) m[b] = 0;
        } else if (count >= nb) {
          std::memset(m, 0, nb);
        } else {
          const size_t b0 = static_cast<size_t>(first % nb);
          const size_t k1 = std::min<size_t>(count, nb - b0);
          std::memset(m + b0, 0, k1);
          std::memset(m, 0, count - k1);
        }
      }
    }
    set_start(next);
  }

  // For a reference: true, with the source's length, when index s is a
  // recorded start whose chunk ends (at the next recorded start) within
  // max_len bytes and is at least 64 bytes long.
  bool whole_chunk_at(uint32_t s, uint32_t max_len, uint32_t* len) const {
    if (!m || m[s >> 6] != 1 + (s & 63)) return false;
    size_t b = s >> 6;
    uint32_t off = 64 - (s & 63);  // from s to the next block's first byte
    while (off <= max_len) {
      if (++b == nb) b = 0;
      if (m[b]) {
        *len = off + m[b] - 1;
        return *len >= cfg_minchunk && *len <= max_len;
      }
      off += 64;
    }
    return false;
  }
};

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

inline bool starts_marker(const uint8_t* p) {
  return p[0] == fmt_marker0 && p[1] == fmt_marker1 && p[2] == fmt_marker2;
}

// Whole literal chunks, one after another, as long as each lies in the
// scanned segment, starts with no marker, fits before the window's end and in
// the output's room: the common case of a literal stretch, with the cursors
// in registers. Stops before the first chunk that is not such a chunk; the
// general path takes it from there, in the state it expects at a chunk's start.
inline void literal_run(coder* c, input_scan& scan, chunk_map& map) {
  coro_header* h = &c->coro;
  const uint8_t* p = h->inpptr;
  const uint8_t* const end = h->inpend;
  uint8_t* out = h->outptr;
  uint8_t* const out_end = h->outend;
  uint8_t* const win = c->win;
  const uint32_t winsize = c->winsize;
  uint32_t pos = c->winpos;
  uint64_t sum = c->sum, chunks = c->x;
  while (end - p >= 4 && !starts_marker(p)) {
    if (!scan.valid || p < scan.seg_beg || p >= scan.seg_end) break;
    bool cut = false;
    const size_t take = scan.literal_take(p, 0, &cut);
    if (!cut) break;  // the chunk goes on past the segment
    if (take > static_cast<size_t>(out_end - out) || take > winsize - pos) break;
    std::memcpy(win + pos, p, take);
    std::memcpy(out, p, take);
    p += take;
    out += take;
    const uint32_t a = pos;
    pos += static_cast<uint32_t>(take);
    if (pos == winsize) pos = 0;
    map.chunk_stored(a, static_cast<uint32_t>(take), pos);
    sum += take;
    chunks++;
  }
  h->inpptr = p;
  h->outptr = out;
  c->winpos = pos;
  c->sum = sum;
  c->x = chunks;
}

// Makes the chunker's rolling state that of the last 16 stored bytes, with a
// fresh chunk, so that the plain copy cuts where the plain decoder would.
void rebuild_chunker(coder* c) {
  uint8_t last[16];
  const uint32_t w = c->winsize;
  for (uint32_t j = 0; j < 16; j++) last[j] = c->win[(c->winpos + w - 16 + j) % w];
  chunker* ck = &c->ck;
  ck->crc = cutscan_window_crc(last);
  for (uint32_t j = 0; j < 16; j++) ck->ring[(ck->hpos - 16 + j) & 0xFF] = last[j];
  ck->clen = 0;
}

}  // namespace

// Waits until input is available; runs on_end (which must leave the wait with
// break) when the input is over. Keeps the scan's history across buffers.
#define FAST_WAIT(on_end)                                     \
  while (h->inpptr >= h->inpend) {                            \
    scan.keep_history(h->inpend);                             \
    co_await coro_yield(h, REQ_INPUT);                        \
    scan.new_buffer(h->inpptr);                               \
    if (h->inpptr >= h->inpend && h->f_eof) {                 \
      on_end;                                                 \
    }                                                         \
  }

coro_task decoder_run(coder* c) {
  const bool fast = c->winsize >= 64 && c->winsize % 64 == 0;
  return fast ? decoder_run_fast(c) : decoder_run_plain(c);
}

coro_task decoder_run_fast(coder* c) {
  coro_header* h = &c->coro;
  const uint32_t winsize = c->winsize;

  chunker_init(&c->ck);
  c->x = 0;
  c->sum = 0;
  c->nbuf = 0;
  c->fault = fault_none;
  c->fault_offset = 0;
  c->dec_fast_refs = 0;
  c->dec_slow_refs = 0;

  chunk_map map(winsize);
  if (map.m) map.set_start(c->winpos);
  input_scan scan;
  scan.new_buffer(h->inpptr);
  const uint8_t* src = nullptr;  // CORO_WRITE_BLOCK's cursor
  size_t len = 0;

  for (;;) {
    if (map.m && h->inpend - h->inpptr >= 4 && !starts_marker(h->inpptr)) {
      if (!scan.valid || h->inpptr >= scan.seg_end) scan.scan_at(h->inpptr, h->inpend);
      literal_run(c, scan, map);
    }
    const uint32_t a = c->winpos;  // where the chunk's first byte goes
    uint32_t clen = 0;             // chunk bytes stored and written so far
    bool final = false;

    // Holding: the first four bytes decide the form. When the buffer holds
    // them they are only looked at, so a literal keeps them in the input.
    uint8_t* held = c->cbuf;
    uint32_t nh = 0;
    bool in_input = false;
    if (h->inpend - h->inpptr >= 4) {
      std::memcpy(held, h->inpptr, 4);
      nh = 4;
      in_input = true;
    } else {
      while (nh < 4) {
        bool over = false;
        FAST_WAIT(over = true; break);
        if (over) {
          final = true;
          break;
        }
        held[nh++] = *h->inpptr++;
      }
    }
    const bool marker = !final && held[0] == fmt_marker0 && held[1] == fmt_marker1 && held[2] == fmt_marker2;

    if (final) {
      // 0 to 3 bytes: a plain literal final chunk.
      win_put(c, held, nh);
      src = held;
      len = nh;
      CORO_WRITE_BLOCK(h, src, len);
      clen = nh;
    } else if (marker && held[3] == fmt_kind_ref) {
      if (in_input) h->inpptr += 4;
      const uint64_t marker_offset = coro_input_offset(h) - 4;
      uint32_t distance = 0;
      bool truncated = false;
      if (h->inpend - h->inpptr >= 4) {
        const uint8_t* q = h->inpptr;
        distance = uint32_t{q[0]} | uint32_t{q[1]} << 8 | uint32_t{q[2]} << 16 | uint32_t{q[3]} << 24;
        h->inpptr += 4;
      } else {
        // A missing distance byte counts as -1 before it is shifted in.
        for (uint32_t k = 0; k < 4; k++) {
          int v = 0;
          bool over = false;
          FAST_WAIT(over = true; break);
          if (over) {
            v = -1;
            truncated = true;
          } else {
            v = *h->inpptr++;
          }
          distance += static_cast<uint32_t>(v) << (8 * k);
        }
      }
      note_ref_fault(c, truncated, distance, c->sum, marker_offset);

      const uint32_t s = (c->winpos - distance + winsize) % winsize;
      uint32_t whole = 0;
      if (distance < winsize && distance <= c->sum &&
          map.whole_chunk_at(s, std::min(distance, cfg_maxchunk), &whole)) {
        // The source is a whole chunk lying before the destination: copy it
        // in pieces split at the window's end (memmove: for a distance near
        // the window size the two pieces may overlap in memory).
        uint32_t from = s, rest = whole;
        while (rest > 0) {
          uint32_t k = std::min({rest, winsize - from, winsize - c->winpos});
          std::memmove(c->win + c->winpos, c->win + from, k);
          from += k;
          if (from == winsize) from = 0;
          c->winpos += k;
          if (c->winpos == winsize) c->winpos = 0;
          rest -= k;
        }
        const uint32_t part = std::min(whole, winsize - a);
        src = c->win + a;
        len = part;
        CORO_WRITE_BLOCK(h, src, len);
        src = c->win;
        len = whole - part;
        CORO_WRITE_BLOCK(h, src, len);
        clen = whole;
        c->dec_fast_refs++;
      } else {
        // The plain copy, one byte at a time, each read before the next is
        // stored, so an overlapping source reads bytes of the same copy.
        rebuild_chunker(c);
        chunker* ck = &c->ck;
        c->nbuf = 0;
        uint32_t si = s;
        for (;;) {
          const uint8_t b = c->win[si];
          chunk_feed_nodigest(ck, b);
          c->cbuf[c->nbuf++] = b;
          c->win[c->winpos] = b;
          if (++c->winpos == winsize) c->winpos = 0;
          if (chunk_boundary(ck)) break;
          if (++si == winsize) si = 0;
        }
        clen = chunk_close_nodigest(ck);
        src = c->cbuf;
        len = c->nbuf;
        CORO_WRITE_BLOCK(h, src, len);
        c->dec_slow_refs++;
      }
    } else {
      if (marker && held[3] == fmt_kind_escape) {
        if (in_input) h->inpptr += 4;  // the escape is dropped
      } else if (!in_input) {
        // Held across input buffers: store and write them as the chunk's start.
        win_put(c, held, 4);
        src = held;
        len = 4;
        CORO_WRITE_BLOCK(h, src, len);
        clen = 4;
      }
      // Literal: bytes up to its cut (or the scanned segment's end) go to the
      // window and the output in bulk.
      for (;;) {
        bool over = false;
        FAST_WAIT(over = true; break);
        if (over) {
          final = true;
          break;
        }
        if (!scan.valid || h->inpptr >= scan.seg_end) scan.scan_at(h->inpptr, h->inpend);
        bool cut = false;
        const size_t take = scan.literal_take(h->inpptr, clen, &cut);
        src = h->inpptr;
        len = take;
        h->inpptr += take;
        clen += static_cast<uint32_t>(take);
        win_put(c, src, take);
        CORO_WRITE_BLOCK(h, src, len);
        if (cut) break;
      }
    }

    // Chunk end.
    map.chunk_stored(a, clen, c->winpos);
    c->sum += clen;
    c->x++;
    c->nbuf = 0;
    if (final) break;
  }
  co_await coro_yield(h, REQ_DONE);
}
