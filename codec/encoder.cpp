// The encoder's set-up, its dispatcher and its plain body, byte by byte: the
// reference of the batched body in encoder_fast.cpp.
#include "codec/encoder.h"

#include "codec/encoder_fast.h"
#include "codec/encoder_rule.h"
#include "codec/format.h"

namespace lrd {

bool encoder_init(encoder_state* e, const encoder_resources& r) {
  e->coro = coro_header{};
  e->body = r.stage ? encoder_body::batched : encoder_body::plain;
  e->stage = r.stage;
  e->wk = r.stage ? r.wk : nullptr;
  e->hist = nullptr;
  e->hist_ring = 0;
  e->flush = 0;
  enc_start(e);
  if (r.table) {
    index_init(&e->idx, r.table, r.cfg);
    return true;
  }
  return index_init_growing(&e->idx, r.mem, r.cfg);
}

void encoder_free(encoder_state* e) {
  coro_finish(&e->coro);  // first: the batched body's helper may work on the staging memory
  index_free(&e->idx);
}

coro_task encoder_run(encoder_state* c) {
  return c->body == encoder_body::batched ? encoder_run_fast(c) : encoder_run_plain(c);
}

coro_task encoder_run_plain(encoder_state* c) {
  coro_header* h = &c->coro;
  chunker* ck = &c->ck;
  enc_start(c);

  for (;;) {
    // Collect one chunk: feed bytes until the chunker cuts or the input ends.
    uint32_t nbuf = 0;
    bool final = false;
    for (;;) {
      uint8_t b = 0;
      CORO_READ(h, b, { final = true; break; });
      if (final) break;
      chunk_feed(ck, b);
      c->cbuf[nbuf++] = b;
      if (chunk_boundary(ck)) break;
    }
    chunk_close(ck);
    const uint32_t n = hkey_len(ck->hkey);

    // The header in front of the chunk's bytes: a reference replaces them.
    uint8_t hdr[fmt_ref_bytes];
    size_t hn = 0;
    if (const uint32_t distance = enc_ref_distance(c, ck->hkey, c->pos, c->bytes, c->cbuf, nbuf)) {
      fmt_put_ref(hdr, distance);
      hn = fmt_ref_bytes;
    }
    if (hn == 0 && nbuf >= 4 && fmt_needs_escape(c->cbuf)) {
      fmt_put_header(hdr, fmt_kind_escape);
      hn = fmt_escape_bytes;
    }
    const uint8_t* src = hdr;
    size_t len = hn;
    CORO_WRITE_BLOCK(h, src, len);
    if (hn != fmt_ref_bytes) {
      src = c->cbuf;
      len = nbuf;
      CORO_WRITE_BLOCK(h, src, len);
    }

    enc_chunk_done(&c->idx, n, final, &c->pos, &c->bytes, &c->chunks);
    if (c->idx.failed) CORO_FAIL(h, coro_no_memory);
    if (final) break;
  }
  co_await coro_yield(h, REQ_DONE);
}

}  // namespace lrd
