// The decoder bodies' shared start and byte-by-byte reference copy.
#include "codec/decoder_rule.h"

#include "codec/dec_history.h"

namespace lrd {

void decoder_start(decoder_state* c) {
  chunker_init(&c->ck);
  c->bytes = 0;
  c->chunks = 0;
  c->nbuf = 0;
  c->fault = fault_none;
  c->fault_offset = 0;
  c->fast_refs = c->slow_refs = c->scan_helper = 0;
}

void decoder_copy_ref(decoder_state* c, uint32_t distance) {
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
  const uint64_t start = c->bytes;
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

}  // namespace lrd
