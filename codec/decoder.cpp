// The decoder's dispatcher and its plain body, byte by byte: the reference of
// the fast body in decoder_fast.cpp.
#include "codec/decoder.h"

#include "codec/dec_history.h"
#include "codec/decoder_fast.h"
#include "codec/format.h"

namespace lrd {

namespace {

// Feeds and stores the held first bytes of a chunk. No cut can fall among
// them: a chunk needs 64 bytes before it can be cut.
inline void decoder_feed_held(coder* c) {
  for (uint32_t i = 0; i < c->nbuf; i++) {
    chunk_feed_nodigest(&c->ck, c->cbuf[i]);
    dh_store_byte(c, c->cbuf[i]);
  }
}

}  // namespace

void decoder_reset(coder* c) {
  chunker_init(&c->ck);
  c->x = 0;
  c->sum = 0;
  c->nbuf = 0;
  c->fault = fault_none;
  c->fault_offset = 0;
}

void decoder_copy_ref(coder* c, uint32_t distance) {
  chunker* ck = &c->ck;
  const uint32_t winsize = c->winsize;
  c->nbuf = 0;
  uint32_t s = (c->winpos - distance + winsize) % winsize;
  if (!dh_file_mode(c)) {
    for (;;) {
      const uint8_t b = c->win[s];
      chunk_feed_nodigest(ck, b);
      c->cbuf[c->nbuf++] = b;
      dh_store_byte(c, b);
      if (chunk_boundary(ck)) break;
      if (++s == winsize) s = 0;
    }
    return;
  }
  // The same bytes from the output: nothing is handed over before the chunk
  // ends, and the copy's own bytes, which a short distance reads, are in cbuf.
  const uint64_t start = c->sum;
  const uint64_t floor = dh_ring_floor(start);
  for (int64_t o = dh_offset_of(c, start, s);; o++) {
    const uint8_t b = o < 0                               ? 0
                      : static_cast<uint64_t>(o) >= start ? c->cbuf[o - static_cast<int64_t>(start)]
                                                          : dh_file_byte(c, static_cast<uint64_t>(o), floor);
    chunk_feed_nodigest(ck, b);
    c->cbuf[c->nbuf++] = b;
    dh_store_byte(c, b);
    if (chunk_boundary(ck)) break;
  }
}

coro_task decoder_run(coder* c) {
  const bool fast = c->winsize >= cfg_mapblock && c->winsize % cfg_mapblock == 0;
  return fast ? decoder_run_fast(c) : decoder_run_plain(c);
}

coro_task decoder_run_plain(coder* c) {
  coro_header* h = &c->coro;
  chunker* ck = &c->ck;
  decoder_reset(c);

  for (;;) {
    // Holding: the first four bytes of a chunk decide its form.
    uint32_t out_start = 0;
    bool final = false;
    c->nbuf = 0;
    while (c->nbuf < 4) {
      uint8_t b = 0;
      CORO_READ(h, b, { final = true; break; });
      if (final) break;
      c->cbuf[c->nbuf++] = b;
    }

    const uint8_t* p = c->cbuf;
    const bool marker = !final && fmt_is_marker(p);
    if (final) {
      decoder_feed_held(c);
    } else if (marker && p[3] == fmt_kind_ref) {
      // Reference: a missing distance byte counts as -1 before it is shifted in.
      const uint64_t marker_offset = coro_input_offset(h) - 4;
      uint32_t distance = 0;
      bool truncated = false;
      for (uint32_t k = 0; k < 4; k++) {
        int v = 0;
        bool over = false;
        CORO_READ(h, v, { over = true; break; });
        if (over) {
          v = -1;
          truncated = true;
        }
        distance = fmt_distance_byte(distance, v, k);
      }
      note_ref_fault(c, truncated, distance, c->sum, marker_offset);
      if (c->fault != fault_none && c->fault_stop) break;
      decoder_copy_ref(c, distance);
    } else {
      if (marker && p[3] == fmt_kind_escape) {
        // The escape stays in cbuf[0..3] unwritten; slot 4 is never used.
        c->nbuf = 5;
        out_start = 5;
      } else {
        decoder_feed_held(c);
      }
      // Literal: every further byte is fed, stored and asked for a cut.
      for (;;) {
        uint8_t b = 0;
        CORO_READ(h, b, { final = true; break; });
        if (final) break;
        c->cbuf[c->nbuf++] = b;
        chunk_feed_nodigest(ck, b);
        dh_store_byte(c, b);
        if (chunk_boundary(ck)) break;
      }
    }

    // Chunk end.
    const uint32_t n = chunk_close_nodigest(ck);
    const uint8_t* src = c->cbuf + out_start;
    size_t len = c->nbuf - out_start;
    CORO_WRITE_BLOCK(h, src, len);
    c->sum += n;
    c->x++;
    c->nbuf = 0;
    if (final) break;
  }
  // A fault that ends the stream leaves its chunk unwritten and uncounted.
  co_await coro_yield(h, c->fault != fault_none && c->fault_stop ? REQ_FAULT : REQ_DONE);
}

}  // namespace lrd
