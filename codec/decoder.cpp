// The decoder's set-up, its dispatcher and its plain body, byte by byte: the
// reference of the fast body in decoder_fast.cpp.
#include "codec/decoder.h"

#include "codec/dec_history.h"
#include "codec/decoder_fast.h"
#include "codec/decoder_rule.h"
#include "codec/format.h"

namespace lrd {

namespace {

// Feeds and stores the held first bytes of a chunk. No cut can fall among
// them: a chunk needs 64 bytes before it can be cut.
inline void decoder_feed_held(decoder_state* c) {
  for (uint32_t i = 0; i < c->nbuf; i++) {
    chunk_feed_nodigest(&c->ck, c->cbuf[i]);
    dh_store_byte(c, c->cbuf[i]);
  }
}

}  // namespace

void decoder_init(decoder_state* d, const decoder_resources& r) {
  d->coro = coro_header{};
  const bool blocks = r.winsize >= cfg_mapblock && r.winsize % cfg_mapblock == 0;
  d->body = r.chunkmap && blocks ? decoder_body::fast : decoder_body::plain;
  d->win = r.win;
  d->outmap = r.outmap;
  d->outring = r.outring;
  d->winpos = 0;
  d->winsize = r.winsize;
  d->chunkmap = r.chunkmap;
  d->callbuf = nullptr;
  d->call_from = 0;
  d->fault_stop = r.fault_stop ? 1 : 0;
  d->wk = r.wk;
  d->scan = r.scan;
  d->scan_wait = r.scan_wait ? 1 : 0;
  decoder_start(d);
}

coro_task decoder_run(decoder_state* c) {
  return c->body == decoder_body::fast ? decoder_run_fast(c) : decoder_run_plain(c);
}
coro_task decoder_run_plain(decoder_state* c) {
  coro_header* h = &c->coro;
  chunker* ck = &c->ck;
  decoder_start(c);

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
      // Reference.
      const uint64_t marker_offset = coro_input_offset(h) - 4;
      ref_distance distance;
      while (distance.k < 4) {
        int v = 0;
        bool over = false;
        CORO_READ(h, v, { over = true; break; });
        distance.take(over ? -1 : v);
      }
      note_ref_fault(c, distance, c->bytes, marker_offset);
      if (c->fault != fault_none && c->fault_stop) break;
      decoder_copy_ref(c, distance.value);
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
    c->bytes += n;
    c->chunks++;
    c->nbuf = 0;
    if (final) break;
  }
  // A fault that ends the stream leaves its chunk unwritten and uncounted.
  co_await coro_yield(h, c->fault != fault_none && c->fault_stop ? REQ_FAULT : REQ_DONE);
}

}  // namespace lrd
