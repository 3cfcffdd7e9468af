// The plain encoder body, byte by byte: the reference of the batched body in
// encoder_fast.cpp. It cuts the input into chunks and writes each as a reference
// to an earlier chunk with the same key, or as its own (maybe escaped) bytes.
#include <cstring>

#include "codec/coder.h"
#include "codec/encoder_fast.h"
#include "codec/format.h"

coro_task encoder_run_plain(coder* c) {
  coro_header* h = &c->coro;
  chunker* ck = &c->ck;
  const uint32_t poswrap = c->idx.cfg.poswrap;
  const uint32_t window = c->idx.cfg.decwinsize;

  chunker_init(ck);
  c->x = 0;
  c->sum = 0;
  c->pos = 0;
  c->c_discard = 0;

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

    bool as_ref = false;
    uint32_t distance = 0;
    if (index_find_or_add(&c->idx, ck->hkey, c->pos)) {
      const uint32_t m = c->idx.match_pos;
      // A stored position at or above pos lies before the last wrap of pos.
      distance = m < c->pos ? c->pos - m : c->pos - m + poswrap;
      if (distance < window)
        as_ref = true;
      else
        c->c_discard++;
    }

    if (as_ref) {
      const uint8_t ref[fmt_ref_bytes] = {
          fmt_marker0, fmt_marker1, fmt_marker2, fmt_kind_ref,
          static_cast<uint8_t>(distance), static_cast<uint8_t>(distance >> 8),
          static_cast<uint8_t>(distance >> 16), static_cast<uint8_t>(distance >> 24)};
      const uint8_t* src = ref;
      size_t len = sizeof ref;
      CORO_WRITE_BLOCK(h, src, len);
    } else {
      if (nbuf >= 4 && fmt_needs_escape(c->cbuf)) {
        static constexpr uint8_t esc[fmt_escape_bytes] = {fmt_marker0, fmt_marker1, fmt_marker2,
                                                          fmt_kind_escape};
        const uint8_t* src = esc;
        size_t len = sizeof esc;
        CORO_WRITE_BLOCK(h, src, len);
      }
      const uint8_t* src = c->cbuf;
      size_t len = nbuf;
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
