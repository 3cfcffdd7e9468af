// The growing form of the chunk index: its sizes, insertion, the rebuild in
// place over more cells, and the move into the flat table.
#include "codec/index_cells.h"

#include <cstring>

#include "codec/index.h"

namespace {

constexpr uint32_t cfg_cells_min = 64;  // home cells of a new array
// The array grows at a load of 9 tenths by a fifth: after a growth its cells
// number 1.2 / 0.9 of its entries, 32 bytes an entry, and 27 before the next.
constexpr uint32_t cfg_cells_load_tenths = 9;
constexpr uint32_t cfg_cells_growth_fifths = 6;
static_assert(24 * cfg_cells_growth_fifths * 10 <= 32 * 5 * cfg_cells_load_tenths,
              "a grown array holds its entries in 32 bytes each, room for the last cluster aside");
static_assert(cfg_cells_min >= cfg_probe && cfg_cells_load_tenths < 10 && cfg_cells_growth_fifths > 5);

void set_size(index_cells* c, uint32_t n, uint32_t cap, uint32_t tblsize) {
  c->n = n;
  c->cap = cap;
  c->scale = (uint64_t{n} << 32) / tblsize;
  c->grow_at = static_cast<uint32_t>(uint64_t{n} * cfg_cells_load_tenths / 10);
  c->debt = 0;
}

// Resizes both blocks to cap + 1 cells. On failure the entries stay as they
// were; a block already grown keeps its zero tail.
bool resize_blocks(index_cells* c, const index_mem* mem, uint32_t cap) {
  const size_t slot_bytes = (size_t{cap} + 1) * sizeof(uint32_t);
  const size_t pay_bytes = (size_t{cap} + 1) * sizeof(hslot);
  void* s = mem->resize(mem->ctx, c->slot, c->slot_bytes, slot_bytes);
  if (!s) return false;
  c->slot = static_cast<uint32_t*>(s);
  c->slot_bytes = slot_bytes;
  void* p = mem->resize(mem->ctx, c->pay, c->pay_bytes, pay_bytes);
  if (!p) return false;
  c->pay = static_cast<hslot*>(p);
  c->pay_bytes = pay_bytes;
  return true;
}

}  // namespace

bool cells_init(index_cells* c, const index_mem* mem, uint32_t tblsize) {
  *c = index_cells{};
  const uint32_t n = tblsize < cfg_cells_min ? tblsize : cfg_cells_min;
  if (!resize_blocks(c, mem, n + cells_room(n))) {
    cells_free(c, mem);
    return false;
  }
  set_size(c, n, n + cells_room(n), tblsize);
  return true;
}

bool cells_widen(index_cells* c, const index_mem* mem, uint32_t cap2) {
  // Cells past the old end are zero, empty, as its last one was.
  if (!resize_blocks(c, mem, cap2)) return false;
  c->cap = cap2;
  return true;
}

void cells_insert(index_cells* c, uint32_t p, uint32_t q, uint32_t s, const hslot& e) {
  std::memmove(c->slot + p + 1, c->slot + p, (q - p) * sizeof *c->slot);
  std::memmove(c->pay + p + 1, c->pay + p, (q - p) * sizeof *c->pay);
  c->slot[p] = s + 1;
  c->pay[p] = e;
  c->count++;
}

uint32_t cells_next_n(const index_cells* c, uint32_t tblsize) {
  const uint64_t n2 = uint64_t{c->n} * cfg_cells_growth_fifths / 5 + 1;
  return n2 < tblsize ? static_cast<uint32_t>(n2) : tblsize;
}

uint32_t cells_cap_for(const index_cells* c, uint32_t n2, uint32_t tblsize) {
  // Where each entry goes over n2 home cells: its home cell, or the cell after
  // the previous entry's when that is further on.
  const uint64_t scale2 = (uint64_t{n2} << 32) / tblsize;
  uint32_t next = 0;
  for (uint32_t p = 0; p < c->cap; p++) {
    const uint32_t v = c->slot[p];
    if (v == 0) continue;
    const uint32_t h = static_cast<uint32_t>((uint64_t{v - 1} * scale2) >> 32);
    next = (h > next ? h : next) + 1;
  }
  return (next > n2 ? next : n2) + cells_room(n2);
}

bool cells_grow(index_cells* c, const index_mem* mem, uint32_t n2, uint32_t cap2, uint32_t tblsize) {
  const uint32_t cap = c->cap;
  if (!resize_blocks(c, mem, cap2)) return false;
  uint32_t* const slot = c->slot;
  hslot* const pay = c->pay;
  // First every entry to the far end, backwards: each moves right, past none
  // still to move.
  uint32_t d = cap2;
  for (uint32_t p = cap; p-- > 0;) {
    if (slot[p] == 0) continue;
    d--;
    slot[d] = slot[p];
    pay[d] = pay[p];
  }
  set_size(c, n2, cap2, tblsize);
  // Then each to its place, forwards: cap2 leaves every place at or before the
  // cell the entry waits in, so the cells cleared on the way are done with.
  uint32_t next = 0;
  for (uint32_t q = d; q < cap2; q++) {
    const uint32_t v = slot[q];
    const uint32_t h = cells_home(c, v - 1);
    const uint32_t p = h > next ? h : next;
    std::memset(slot + next, 0, (p - next) * sizeof *slot);
    slot[p] = v;
    pay[p] = pay[q];
    next = p + 1;
  }
  std::memset(slot + next, 0, (size_t{cap2} + 1 - next) * sizeof *slot);
  return true;
}

hslot* cells_to_flat(index_cells* c, const index_mem* mem, const index_cfg& cfg) {
  const size_t old_bytes = c->pay_bytes;
  void* block = mem->resize(mem->ctx, c->pay, old_bytes, index_table_bytes(cfg));
  if (!block) return nullptr;
  hslot* const tbl = static_cast<hslot*>(block);
  uint8_t* const bytes = static_cast<uint8_t*>(block);
  // Bytes [from, to) held cells, none of them wanted any more: they must read
  // as empty slots. Past old_bytes the block is zero already.
  auto clear = [&](size_t from, size_t to) {
    if (to > old_bytes) to = old_bytes;
    if (from < to) std::memset(bytes + from, 0, to - from);
  };
  // Backwards, each entry up to its slot: a cell is never past its entry's
  // slot, so the entries still to move lie below every byte written.
  size_t placed = size_t{cfg.tblsize} * sizeof(hslot);  // start of the lowest slot placed
  for (uint32_t p = c->cap; p-- > 0;) {
    const uint32_t v = c->slot[p];
    if (v == 0) continue;
    tbl[v - 1] = tbl[p];
    clear(size_t{v} * sizeof(hslot), placed);
    placed = size_t{v - 1} * sizeof(hslot);
  }
  clear(0, placed);
  c->pay = nullptr;
  c->pay_bytes = 0;
  cells_free(c, mem);
  return tbl;
}

void cells_sweep(index_cells* c, uint32_t from, uint32_t to, uint32_t pos, const index_cfg& cfg) {
  const uint32_t decwinsize = cfg.decwinsize;
  const uint32_t poswrap = cfg.poswrap;
  for (uint32_t p = cells_find(c, from);; p++) {
    const uint32_t v = c->slot[p];
    if (v == 0) {
      if (p >= c->cap) return;
      continue;
    }
    if (v - 1 >= to) return;
    hslot& e = c->pay[p];
    if (e.value >= 2 && pos_distance(pos, e.value - 2, poswrap) >= decwinsize) e.value = 1;
  }
}

void cells_free(index_cells* c, const index_mem* mem) {
  if (c->slot) mem->resize(mem->ctx, c->slot, c->slot_bytes, 0);
  if (c->pay) mem->resize(mem->ctx, c->pay, c->pay_bytes, 0);
  *c = index_cells{};
}
