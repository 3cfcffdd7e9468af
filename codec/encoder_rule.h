// How the encoder writes a chunk, the one rule both encoder bodies call: as a
// reference to an earlier chunk with its key and its bytes, or in full.
#pragma once

#include <cstdint>

#include "codec/coder.h"
#include "codec/history.h"
#include "codec/index/index.h"

namespace lrd {

// Looks up the chunk of len bytes at p, with key `key`, that starts at pos
// (sum bytes into the input). Returns the distance of the reference it is
// written as, or 0 when it is written in full: a new key, a hit at a window
// or more back (c_discard), or a hit on other bytes (c_collide). A hit within
// reach or too far back refreshes the entry; a collision leaves it alone, as
// it names an earlier chunk with that key.
// REQUIRES: c->idx and the history as encoder_run asks; p holds the chunk.
inline uint32_t enc_ref_distance(coder* c, const uint8_t* key, uint32_t pos, uint64_t sum, const uint8_t* p,
                                 uint32_t len) {
  chunk_index* const ix = &c->idx;
  if (!index_find_or_add(ix, key, pos)) return 0;
  const uint32_t distance = pos_distance(pos, ix->match_pos, ix->cfg.poswrap);
  if (distance >= ix->cfg.decwinsize) {
    c->c_discard++;
    index_refresh(ix, pos);
    return 0;
  }
  if (!hist_equal(c, sum, distance, p, len)) {
    c->c_collide++;
    return 0;
  }
  index_refresh(ix, pos);
  return distance;
}

}  // namespace lrd
