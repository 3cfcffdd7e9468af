// The encoder's chunk index, the face of this folder and all the encoder
// calls: a table of 20-byte slots mapping a chunk key to the position where a
// chunk with that key began. Open addressing with 20-slot probe windows; an
// expiry sweep walks the table at a pace tied to the bytes coded, so entries
// too old to be referenced are marked expired. The table is kept flat
// (flat.h), or in cells that grow with its entries (cells.h) and give the
// same answers: window.h works on both; index.cpp binds it to each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/index/cells.h"
#include "codec/index/flat.h"
#include "codec/index/slot.h"
#include "codec/index/state.h"

namespace lrd {

// Resets the index over a zero-filled table of cfg.tblsize slots, the
// owner's to free.
void index_init(chunk_index* ix, hslot* tbl, const index_cfg& cfg);

// Starts an index that takes its memory from mem as entries arrive: about 32
// bytes an entry, and the flat table (index_table_bytes) once that is no
// larger; its answers, sweep and slot contents are the flat table's at every
// step. Keys spread over the slots as digests are; a crafted input that piles
// its entries into a narrow range of slots drives the index to the flat table
// early instead of slowing it down. When mem refuses to grow it, the index
// sets ix->failed and from then on stores no new entry: a miss that would add
// one leaves the table as it is, so the stream stays decodable but is no
// longer the flat table's; the owner must report the run as failed. Returns
// false, with ix->failed, when not even the first cells are to be had.
// REQUIRES: mem.resize as index_mem describes; index_free(ix) when done.
bool index_init_growing(chunk_index* ix, const index_mem& mem, const index_cfg& cfg);

// Returns the memory a growing index took; nothing for an owner's table.
void index_free(chunk_index* ix);

// Bytes the index holds from its mem (0 over an owner's table).
size_t index_bytes(const chunk_index* ix);

// Slot s as the flat table holds it: value 0 and a zero key when empty.
// REQUIRES: s < cfg.tblsize.
hslot index_slot(const chunk_index* ix, uint32_t s);

// Asks for the memory that looking key up will read, through the store that
// holds the table, inline as the encoder calls it for every chunk. Only a
// hint: the index may grow before the lookup.
inline void index_prefetch(const chunk_index* ix, const uint8_t* key) {
  const uint32_t h = index_home_slot(key, ix->cfg.tblsize);
  if (ix->tbl) flat_store{ix->tbl, ix->cfg.tblsize}.prefetch(h);
  else cells_prefetch(&ix->cells, h);
}

// Looks key up; on a hit sets match_pos to the stored position and returns
// true, leaving the table unchanged. On a miss stores (key, pos) at the key's
// home slot and returns false; every live entry the insertion moves whose age
// at pos has reached cfg.decwinsize is expired on the way. REQUIRES: pos < cfg.poswrap.
bool index_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos);

// After a hit the encoder takes, its bytes the history's or too far back to
// check: the entry takes pos, in its slot and with its key, so that the next
// copy refers to this one. Nothing with cfg.first_copy. A hit on other bytes
// (a key collision) is not refreshed: the entry still names a chunk with its key.
// REQUIRES: the last call on ix was index_find_or_add(ix, key, pos), a hit.
inline void index_refresh(chunk_index* ix, uint32_t pos) {
  if (ix->cfg.first_copy) return;
  *ix->match_value = pos + 2;
  if (pos + 1 > ix->stored_end) ix->stored_end = pos + 1;
}

// After a chunk of `len` bytes whose successor starts at `pos`: examines the
// next share of slots and expires the entries whose age has reached the window.
// REQUIRES: len <= cfg_maxchunk, pos < cfg.poswrap.
void index_sweep(chunk_index* ix, uint32_t len, uint32_t pos);

}  // namespace lrd
