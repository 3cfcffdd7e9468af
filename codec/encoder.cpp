// The encoder's dispatcher and its plain body, byte by byte: the reference of
// the batched body in encoder_fast.cpp.
#include "codec/encoder.h"

#include "codec/encoder_fast.h"
#include "codec/encoder_rule.h"
#include "codec/format.h"

namespace lrd {

coro_task encoder_run(coder* c) { return c->enc_stage ? encoder_run_fast(c) : encoder_run_plain(c); }

coro_task encoder_run_plain(coder* c) {
  coro_header* h = &c->coro;
  chunker* ck = &c->ck;
  const uint32_t poswrap = c->idx.cfg.poswrap;

  chunker_init(ck);
  c->x = 0;
  c->sum = 0;
  c->pos = 0;
  c->c_discard = 0;
  c->c_collide = 0;

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
    if (const uint32_t distance = enc_ref_distance(c, ck->hkey, c->pos, c->sum, c->cbuf, nbuf)) {
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

    c->sum += n;
    c->pos += n;
    if (c->pos >= poswrap) c->pos -= poswrap;
    c->x++;
    if (final) break;
    index_sweep(&c->idx, n, c->pos);
  }
  co_await coro_yield(h, REQ_DONE);
}

}  // namespace lrd
