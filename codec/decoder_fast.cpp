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

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/dec_history.h"
#include "codec/decoder_rule.h"
#include "codec/decoder_scan.h"
#include "codec/format.h"

namespace lrd {

namespace {

static_assert(cfg_mapblock == 64, "the map's block arithmetic shifts by 6");

// Chunk starts of the window, one byte per 64-byte block. Invariant: every
// entry lying among the last `d` stored bytes (d < winsize) is the true start
// of a chunk stored there, and no start among them is missing except where a
// block was shared with older data. The owner hands it in zero-filled
// (decoder_resources::chunkmap).
struct chunk_map {
  uint8_t* m;
  size_t nb;  // blocks
  explicit chunk_map(decoder_state* c) : m(c->chunkmap), nb(c->winsize / cfg_mapblock) {
    set_start(c->winpos);
  }
  void set_start(uint32_t p) { m[p >> 6] = static_cast<uint8_t>(1 + (p & 63)); }

  // After a chunk of len bytes was stored from index a: clears the blocks its
  // bytes overwrote (beyond its own start's block) and records the next
  // chunk's start, which is where the next byte goes.
  void chunk_stored(uint32_t a, uint32_t len, uint32_t next) {
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
    if (m[s >> 6] != 1 + (s & 63)) return false;
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

// Up to two spans of a chunk's bytes to write, in order.
struct out_spans {
  const uint8_t* p[2];
  size_t n[2];
  unsigned count = 0;
  void add(const uint8_t* q, size_t len) {
    p[count] = q;
    n[count++] = len;
  }
};

// Whole literal chunks, one after another, as long as each lies in the
// scanned segment, starts with no marker, fits before the window's end and in
// the output's room: the common case of a literal stretch, with the cursors
// in registers. Stops before the first chunk that is not such a chunk; the
// general path takes it from there, in the state it expects at a chunk's start.
inline void literal_run(decoder_state* c, input_scan& scan, chunk_map& map) {
  coro_header* h = &c->coro;
  const uint8_t* p = h->inpptr;
  const uint8_t* const end = h->inpend;
  uint8_t* out = h->outptr;
  uint8_t* const out_end = h->outend;
  uint8_t* const win = c->win;
  const uint32_t winsize = c->winsize;
  uint32_t pos = c->winpos;
  uint64_t bytes = c->bytes, chunks = c->chunks;
  while (end - p >= 4 && !fmt_is_marker(p)) {
    if (!scan.valid || p < scan.seg_beg || p >= scan.seg_end) break;
    bool cut = false;
    const size_t take = scan.literal_take(p, 0, &cut);
    if (!cut) break;  // the chunk goes on past the segment
    if (take > static_cast<size_t>(out_end - out) || take > winsize - pos) break;
    if (win) std::memcpy(win + pos, p, take);
    // The output may be the window itself.
    if (out != win + pos) std::memcpy(out, p, take);
    p += take;
    out += take;
    const uint32_t a = pos;
    pos += static_cast<uint32_t>(take);
    if (pos == winsize) pos = 0;
    map.chunk_stored(a, static_cast<uint32_t>(take), pos);
    bytes += take;
    chunks++;
  }
  h->inpptr = p;
  h->outptr = out;
  c->winpos = pos;
  c->bytes = bytes;
  c->chunks = chunks;
}

// Makes the chunker's rolling state that of the last 16 stored bytes, with a
// fresh chunk, so that the plain copy cuts where the plain decoder would: the
// fast paths feed the chunker nothing.
void rebuild_chunker(decoder_state* c) {
  uint8_t last[16];
  const uint32_t w = c->winsize;
  const uint64_t floor = dh_ring_floor(c->bytes);
  for (uint32_t j = 0; j < 16; j++) {
    const uint32_t s = (c->winpos + w - 16 + j) % w;
    const int64_t o = dh_offset_of(c, c->bytes, s);
    last[j] = !dh_file_mode(c) ? c->win[s] : o < 0 ? 0 : dh_file_byte(c, static_cast<uint64_t>(o), floor);
  }
  chunker* ck = &c->ck;
  ck->crc = cutscan_window_crc(last);
  for (uint32_t j = 0; j < 16; j++) ck->ring[(ck->hpos - 16 + j) & 0xFF] = last[j];
  ck->clen = 0;
}


// At a chunk's start: runs whole plain literal chunks in bulk while they lie
// in the scanned input, scanning from here first where needed.
inline void literal_chunks(decoder_state* c, input_scan& scan, chunk_map& map) {
  const coro_header* h = &c->coro;
  if (h->inpend - h->inpptr < 4 || fmt_is_marker(h->inpptr)) return;
  scan.need(h->inpptr, h->inpend);
  literal_run(c, scan, map);
}

// Of a literal chunk with clen bytes so far: takes its next bytes from the
// input, up to its cut or the scanned segment's end, into the window. Returns
// where they lie in the window (in file mode, in the input) and sets *n to
// their count and *cut.
inline const uint8_t* literal_step(decoder_state* c, input_scan& scan, uint32_t clen, size_t* n, bool* cut) {
  coro_header* h = &c->coro;
  scan.need(h->inpptr, h->inpend);
  const uint8_t* p = h->inpptr;
  *n = scan.literal_take(p, clen, cut);
  // With a window the bytes are written from their copy there, which may be
  // the output itself: up to the window's end at a time.
  if (c->win && *n > c->winsize - c->winpos) {
    *n = c->winsize - c->winpos;
    *cut = false;
  }
  h->inpptr += *n;
  const uint8_t* const stored = c->win ? c->win + c->winpos : p;
  dh_store(c, p, *n);
  return stored;
}

// Copies a reference's chunk into the window: whole, by memmove, when its
// source is a recorded whole chunk lying before the destination; else byte by
// byte through the chunker. Adds the chunk's bytes to `out`; returns its length.
// A reference to the whole chunk of `whole` bytes at window index s: copied
// in the window, in pieces split at its end (memmove: for a distance near the
// window size the two pieces may overlap in memory), then written from there.
void whole_in_window(decoder_state* c, uint32_t s, uint32_t whole, out_spans* out) {
  const uint32_t winsize = c->winsize;
  const uint32_t a = c->winpos;
  uint32_t from = s, rest = whole;
  while (rest > 0) {
    const uint32_t k = std::min({rest, winsize - from, winsize - c->winpos});
    std::memmove(c->win + c->winpos, c->win + from, k);
    from += k;
    if (from == winsize) from = 0;
    c->winpos += k;
    if (c->winpos == winsize) c->winpos = 0;
    rest -= k;
  }
  const uint32_t part = std::min(whole, winsize - a);
  out->add(c->win + a, part);
  out->add(c->win, whole - part);
}

// File mode: the whole chunk of `whole` bytes at output offset o, written
// straight from the file or the output ring. The ring's oldest buffer is
// handed out again if writing the chunk fills the current one, so a source
// in it goes through cbuf first; so does one in the owner's buffer, which is
// another after the owner's call returns.
void whole_from_file(decoder_state* c, uint64_t o, uint32_t whole, out_spans* out) {
  const uint64_t floor = dh_ring_floor(c->bytes);
  if (o + whole <= dh_file_floor(c, floor)) {
    out->add(c->outmap + o, whole);
  } else if (o >= floor + cfg_iobuf) {
    const uint64_t r = o % cfg_outring;
    const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(whole, cfg_outring - r));
    out->add(c->outring + r, part);
    out->add(c->outring, whole - part);
  } else {
    for (uint32_t i = 0; i < whole; i++) c->cbuf[i] = dh_file_byte(c, o + i, floor);
    out->add(c->cbuf, whole);
  }
  dh_advance(c, whole);
}

uint32_t copy_reference(decoder_state* c, const chunk_map& map, uint32_t distance, out_spans* out) {
  const uint32_t winsize = c->winsize;
  const uint32_t a = c->winpos;
  const uint32_t s = (a - distance + winsize) % winsize;
  uint32_t whole = 0;
  if (distance < winsize && distance <= c->bytes &&
      map.whole_chunk_at(s, std::min(distance, cfg_maxchunk), &whole)) {
    if (dh_file_mode(c))
      whole_from_file(c, c->bytes - distance, whole, out);
    else
      whole_in_window(c, s, whole, out);
    c->fast_refs++;
    return whole;
  }
  rebuild_chunker(c);
  decoder_copy_ref(c, distance);
  out->add(c->cbuf, c->nbuf);
  c->slow_refs++;
  return chunk_close_nodigest(&c->ck);
}

}  // namespace

size_t decoder_scan_bytes() { return sizeof(scan_ahead); }

void decoder_scan_pause(decoder_state* c) {
  if (!c->wk || !c->scan) return;
  // The block is zero, or the body's scan_ahead: either way the helper's
  // pieces look at stop before they scan, and new_buffer clears it.
  static_cast<scan_ahead*>(c->scan)->stop.store(1, std::memory_order_relaxed);
  worker_wait_idle(c->wk);
}

namespace {

// The body's new input buffer, scanned ahead where the owner has handed in a
// helper (it may do so in the middle of a run, once buffers grow).
inline void next_buffer(decoder_state* c, input_scan& scan) {
  if (!scan.ahead && c->wk && c->scan) {
    scan.wk = c->wk;
    scan.ahead = new (c->scan) scan_ahead;
    scan.from_helper = &c->scan_helper;
    scan.wait_helper = c->scan_wait != 0;
  }
  scan.new_buffer(c->coro.inpptr, c->coro.inpend);
}

}  // namespace

// Waits until input is available, keeping the scan's history across buffers;
// sets `over` and leaves the wait when the input is over. The helper leaves
// the buffer first: the owner may free it or fill it anew once asked for
// input. (It keeps the buffer in place across requests for output.)
#define FAST_WAIT(c, h, scan, over)                         \
  while ((h)->inpptr >= (h)->inpend) {                      \
    (scan).keep_history((h)->inpend);                       \
    (scan).leave();                                         \
    co_await coro_yield((h), REQ_INPUT);                    \
    next_buffer((c), (scan));                               \
    if ((h)->inpptr >= (h)->inpend && (h)->f_eof) {         \
      (over) = true;                                        \
      break;                                                \
    }                                                       \
  }

coro_task decoder_run_fast(decoder_state* c) {
  coro_header* h = &c->coro;
  decoder_start(c);
  chunk_map map(c);
  input_scan scan;
  next_buffer(c, scan);
  const uint8_t* src = nullptr;  // CORO_WRITE_BLOCK's cursor
  size_t len = 0;

  for (;;) {
    literal_chunks(c, scan, map);
    const uint32_t a = c->winpos;  // where the chunk's first byte goes
    uint32_t clen = 0;             // chunk bytes stored and written so far
    bool final = false;

    // Holding: the first four bytes decide the form. When the buffer holds
    // them they are only looked at, so a literal keeps them in the input.
    uint8_t* held = c->cbuf;
    const bool in_input = h->inpend - h->inpptr >= 4;
    uint32_t nh = in_input ? 4 : 0;
    if (in_input) std::memcpy(held, h->inpptr, 4);
    while (nh < 4 && !final) {
      FAST_WAIT(c, h, scan, final);
      if (!final) held[nh++] = *h->inpptr++;
    }
    const bool marker = !final && fmt_is_marker(held);
    const bool reference = marker && held[3] == fmt_kind_ref;
    // A reference's or an escape's four bytes are dropped; a literal's are its data.
    const bool dropped = marker && held[3] <= fmt_kind_escape;
    if (dropped && in_input) h->inpptr += 4;
    out_spans out;
    if (reference) {
      const uint64_t marker_offset = coro_input_offset(h) - 4;
      ref_distance distance;
      while (distance.k < 4) {
        bool over = false;
        FAST_WAIT(c, h, scan, over);
        distance.take(over ? -1 : *h->inpptr++);
      }
      note_ref_fault(c, distance, c->bytes, marker_offset);
      if (c->fault != fault_none && c->fault_stop) break;
      clen = copy_reference(c, map, distance.value, &out);
    } else if (!dropped && !in_input) {
      // Held across input buffers (or a final chunk of 0 to 3 bytes): stored
      // and written as the chunk's start.
      dh_store(c, held, nh);
      out.add(held, nh);
      clen = nh;
    }
    for (unsigned k = 0; k < out.count; k++) {
      src = out.p[k];
      len = out.n[k];
      CORO_WRITE_BLOCK(h, src, len);
    }

    // Literal: bytes up to its cut (or the scanned segment's end) go to the
    // window and the output in bulk.
    while (!reference && !final) {
      FAST_WAIT(c, h, scan, final);
      if (final) break;
      bool cut = false;
      src = literal_step(c, scan, clen, &len, &cut);
      clen += static_cast<uint32_t>(len);
      CORO_WRITE_BLOCK(h, src, len);
      if (cut) break;
    }

    // Chunk end.
    map.chunk_stored(a, clen, c->winpos);
    c->bytes += clen;
    c->chunks++;
    c->nbuf = 0;
    if (final) break;
  }
  scan.leave();
  // A fault that ends the stream leaves its chunk unwritten and uncounted.
  co_await coro_yield(h, c->fault != fault_none && c->fault_stop ? REQ_FAULT : REQ_DONE);
}

}  // namespace lrd
