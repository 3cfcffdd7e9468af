// The chunk index: which form holds the table (cells while they are
// the smaller, then the flat table), its growth, and the window algorithm
// bound to each form.
#include "codec/index/index.h"

#include <cstring>

#include "codec/index/cells.h"
#include "codec/index/flat.h"
#include "codec/index/window.h"

namespace lrd {

namespace {

flat_store flat_of(const chunk_index* ix) { return {ix->tbl, ix->cfg.tblsize}; }
cells_store cells_of(chunk_index* ix) { return {&ix->cells, &ix->mem, &ix->failed, ix->cfg.tblsize}; }

// Takes the index to its next size: more cells, or the flat table once that
// is no larger. Sets ix->failed when the memory is refused.
void grow(chunk_index* ix) {
  index_cells* const c = &ix->cells;
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t n2 = cells_next_n(c, tblsize);
  const uint32_t cap2 = n2 > c->n ? cells_cap_for(c, n2, tblsize) : 0;
  if (n2 > c->n && cells_bytes(c, cap2) < index_table_bytes(ix->cfg)) {
    if (!cells_grow(c, &ix->mem, n2, cap2, tblsize)) ix->failed = true;
    return;
  }
  hslot* const tbl = cells_to_flat(c, &ix->mem, ix->cfg);
  if (!tbl) {
    ix->failed = true;
    return;
  }
  ix->tbl = tbl;
  ix->flat_bytes = index_table_bytes(ix->cfg);
}

// Room at the end of the array, whose last cell is taken: a few more cells,
// or the next size when they would cost no less.
void widen(chunk_index* ix) {
  index_cells* const c = &ix->cells;
  const uint32_t cap2 = c->cap + cells_room(c->n);
  if (cells_bytes(c, cap2) >= index_table_bytes(ix->cfg)) grow(ix);
  else if (!cells_widen(c, &ix->mem, cap2)) ix->failed = true;
}

}  // namespace

void index_init(chunk_index* ix, hslot* tbl, const index_cfg& cfg) {
  ix->match_pos = 0;
  ix->match_value = nullptr;
  ix->sweep_pos = 0;
  // An owner's table may hold entries set by other means: its sweep visits
  // every share (the tests compare the growing index against it).
  ix->stored_end = cfg.poswrap;
  ix->tbl = tbl;
  ix->cfg = cfg;
  ix->cells = index_cells{};
  ix->mem = index_mem{};
  ix->flat_bytes = 0;
  ix->failed = false;
}

bool index_init_growing(chunk_index* ix, const index_mem& mem, const index_cfg& cfg) {
  index_init(ix, nullptr, cfg);
  ix->stored_end = 0;
  ix->mem = mem;
  if (!cells_init(&ix->cells, &ix->mem, cfg.tblsize)) {
    ix->failed = true;
    return false;
  }
  // A table too small for cells to pay goes flat at once.
  if (cells_bytes(&ix->cells, ix->cells.cap) >= index_table_bytes(cfg)) grow(ix);
  return !ix->failed;
}

void index_free(chunk_index* ix) {
  if (!ix->mem.resize) return;
  if (ix->tbl) ix->mem.resize(ix->mem.ctx, ix->tbl, ix->flat_bytes, 0);
  else cells_free(&ix->cells, &ix->mem);
  ix->tbl = nullptr;
  ix->flat_bytes = 0;
}

size_t index_bytes(const chunk_index* ix) {
  if (!ix->mem.resize) return 0;
  return ix->tbl ? ix->flat_bytes : ix->cells.cell_bytes + ix->cells.pool_bytes;
}

hslot index_slot(const chunk_index* ix, uint32_t s) {
  if (ix->tbl) return ix->tbl[s];
  const index_cells* c = &ix->cells;
  const uint32_t p = cells_find(c, s);
  hslot e{};
  if (c->cell[p].slot != s + 1) return e;
  e.value = c->cell[p].value;
  std::memcpy(e.key, c->pool[c->cell[p].ref & cells_ref_mask], sizeof e.key);
  return e;
}

bool index_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos) {
  if (!ix->tbl && !ix->failed && cells_want_more(&ix->cells)) grow(ix);
  if (ix->tbl) {
    flat_store st = flat_of(ix);
    return window_find_or_add(ix, st, key, pos);
  }
  cells_store st = cells_of(ix);
  const bool hit = window_find_or_add(ix, st, key, pos);
  cells_charge(&ix->cells, st.walked);
  if (!ix->failed && cells_full_at_end(&ix->cells)) widen(ix);
  return hit;
}

void index_sweep(chunk_index* ix, uint32_t len, uint32_t pos) {
  if (ix->tbl) {
    flat_store st = flat_of(ix);
    window_sweep(ix, st, len, pos);
  } else {
    cells_store st = cells_of(ix);
    window_sweep(ix, st, len, pos);
  }
}

}  // namespace lrd
