// The batched encoder body's staging (encoder_stage.h).
#include "codec/encoder_stage.h"

#include <algorithm>
#include <cstring>

namespace lrd {

void stage_rehome(stage_area* st, const uint8_t* hist, uint64_t ring) {
  if (!st || !st->in_place()) return;
  uint8_t* const data = st->buf + scan_hist;
  hist_copy(hist, ring, st->copy_off - tail_room - scan_hist, st->buf, scan_hist + tail_room + st->fresh);
  for (size_t j = 0; j < st->nch; j++) st->spans[j].p = data + (st->spans[j].p - st->dat);
  st->dat = data;
}

void stage_scan_piece(stage_area* st, uint32_t k) {
  uint8_t* const fresh = st->data() + tail_room;
  const size_t from = k * scan_piece;
  const size_t to = std::min(st->fresh, from + scan_piece);
  if (from >= to) return;
  const size_t a = std::max(from, st->copy_at);
  if (a < to) hist_copy(st->hist, st->hist_ring, st->copy_off + (a - st->copy_at), fresh + a, to - a);
  if (to - from > 64) cut_candidates(fresh + from + 64, to - from - 64, st->bits + (tail_room + from) / 64 + 1);
}

void stage_digest_piece(stage_area* st, uint32_t k) {
  const size_t from = k * digest_piece;
  const size_t n = std::min(st->nch - from, digest_piece);
  digest_batch(st->spans + from, n, st->keys + from);
}

void stage_walk(stage_area* st, const stage_area* prev) {
  uint8_t* const data = st->data();
  const size_t end = tail_room + st->fresh;
  size_t t = 0;  // the carried chunk's length
  if (prev) {
    t = tail_room + prev->fresh - prev->rest;
    // In place, the input before the fresh bytes is the carried chunk already.
    if (!st->in_place())
      std::memcpy(data + tail_room - t - scan_hist, prev->data() + prev->rest - scan_hist, t + scan_hist);
  } else {
    std::memset(data + tail_room - scan_hist, 0, scan_hist);
  }
  st->first = tail_room - t;
  // The carried chunk and the first 64 fresh positions, from the bit word the
  // chunk starts in (bits before its start are never read); then the first
  // positions of every later piece.
  const size_t from = st->first & ~size_t{63};
  const size_t head = std::min(end, tail_room + 64) - from;
  cut_candidates(data + from, head, st->bits + from / 64);
  for (size_t p = scan_piece; p < st->fresh; p += scan_piece)
    cut_candidates_plain(data + tail_room + p, std::min<size_t>(64, st->fresh - p), st->bits + (tail_room + p) / 64);
  size_t nch = 0, start = st->first;
  for (;;) {
    const uint32_t len = cutscan_next_cut(st->bits, start, end);
    if (len == 0) break;
    st->spans[nch++] = chunk_span{data + start, len};
    start += len;
  }
  if (st->eof) st->spans[nch++] = chunk_span{data + start, static_cast<uint32_t>(end - start)};
  st->nch = nch;
  st->rest = start;
}

void stage_begin(stage_area* scan, uint64_t o) {
  scan->dat = scan->buf + scan_hist;
  scan->eof = false;
  scan->copy_at = 0;
  scan->copy_off = o;
}

void stage_take(encoder_state* c, stage_area* scan, size_t* filled) {
  coro_header* h = &c->coro;
  uint8_t* const fresh = scan->data() + tail_room;
  const size_t k = std::min(static_cast<size_t>(h->inpend - h->inpptr), batch_new - *filled);
  const uint64_t o = coro_input_offset(h);
  const bool in_hist = c->hist && h->inpptr == c->hist + (c->hist_ring ? o % c->hist_ring : o) &&
                       o == scan->copy_off + (*filled - scan->copy_at);
  if (!in_hist) {
    if (scan->copy_at < *filled)
      hist_copy(c->hist, c->hist_ring, scan->copy_off, fresh + scan->copy_at, *filled - scan->copy_at);
    std::memcpy(fresh + *filled, h->inpptr, k);
    scan->copy_at = *filled + k;
    scan->copy_off = o + k;
  }
  h->inpptr += k;
  *filled += k;
}

void stage_end(const encoder_state* c, stage_area* scan, size_t filled) {
  scan->fresh = filled;
  scan->hist = c->hist;
  scan->hist_ring = c->hist_ring;
  const uint64_t lead = tail_room + scan_hist;
  if (c->hist && c->hist_ring && scan->copy_at == 0 && filled > 0 && scan->copy_off >= lead &&
      (scan->copy_off - lead) % c->hist_ring + lead + filled <= c->hist_ring) {
    scan->dat = const_cast<uint8_t*>(c->hist) + scan->copy_off % c->hist_ring - tail_room;
    scan->copy_at = filled;  // nothing to copy in
  }
}

}  // namespace lrd
