// What both encoder bodies decide alike, written once: the start of a run,
// how a chunk is written (a reference to an earlier chunk with its key and
// its bytes, or in full), and what follows a chunk.
#pragma once

#include <cstdint>

#include "codec/enc_state.h"
#include "codec/history.h"
#include "codec/index/index.h"

namespace lrd {

// The start of a run: a fresh chunker, the counters and the position at zero.
inline void enc_start(encoder_state* c) {
  chunker_init(&c->ck);
  c->bytes = c->chunks = c->discarded = c->collided = 0;
  c->pos = 0;
}

// Looks up the chunk of len bytes at p, with key `key`, that starts at pos
// (bytes into the input). Returns the distance of the reference it is
// written as, or 0 when it is written in full: a new key, a hit at a window
// or more back (discarded), or a hit on other bytes (collided). A hit within
// reach or too far back refreshes the entry; a collision leaves it alone, as
// it names an earlier chunk with that key.
// REQUIRES: c->idx and the history as encoder_run asks; p holds the chunk.
inline uint32_t enc_ref_distance(encoder_state* c, const uint8_t* key, uint32_t pos, uint64_t bytes,
                                 const uint8_t* p, uint32_t len) {
  chunk_index* const ix = &c->idx;
  if (!index_find_or_add(ix, key, pos)) return 0;
  const uint32_t distance = pos_distance(pos, ix->match_pos, ix->cfg.poswrap);
  if (distance >= ix->cfg.decwinsize) {
    c->discarded++;
    index_refresh(ix, pos);
    return 0;
  }
  if (!hist_equal(c->hist, c->hist_ring, bytes, distance, p, len)) {
    c->collided++;
    return 0;
  }
  index_refresh(ix, pos);
  return distance;
}

// After a chunk of len bytes: the position and the counters move past it,
// and the index's sweep follows it, unless it is the final chunk, which no
// chunk follows. The caller's locals, so that a hot loop keeps them in
// registers.
inline void enc_chunk_done(chunk_index* ix, uint32_t len, bool final, uint32_t* pos, uint64_t* bytes,
                           uint64_t* chunks) {
  *bytes += len;
  *pos += len;
  if (*pos >= ix->cfg.poswrap) *pos -= ix->cfg.poswrap;
  ++*chunks;
  if (!final) index_sweep(ix, len, *pos);
}

}  // namespace lrd
