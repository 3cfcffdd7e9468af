// The growing form of the chunk index: its sizes, the rebuild in place over
// more cells, and the move into the flat table.
#include "codec/index/cells.h"

#include <cstring>

namespace lrd {

namespace {

constexpr uint32_t cfg_cells_min = 64;  // home cells of a new array
// The array grows at a load of 8 tenths by half: after a growth its cells
// number 1.5 / 0.8 of its entries, 22.5 bytes an entry beside the pool's 16,
// and 15 before the next. Each entry is moved by some two rebuilds on average.
constexpr uint32_t cfg_cells_load_tenths = 8;
constexpr uint32_t cfg_cells_growth_halves = 3;
static_assert(sizeof(index_cell) * cfg_cells_growth_halves * 10 + 16 * 2 * cfg_cells_load_tenths <=
                  39 * 2 * cfg_cells_load_tenths,
              "a grown array and its pool hold their entries in 39 bytes each, room for the last cluster aside");
static_assert(cfg_cells_min >= cfg_probe && cfg_cells_load_tenths < 10 && cfg_cells_growth_halves > 2);

void set_size(index_cells* c, uint32_t n, uint32_t cap, uint32_t tblsize) {
  c->n = n;
  c->cap = cap;
  c->scale = (uint64_t{n} << 32) / tblsize;
  c->grow_at = static_cast<uint32_t>(uint64_t{n} * cfg_cells_load_tenths / 10);
  c->debt = 0;
}

// Resizes the cell block to cap + 1 cells. On failure the cells stay as they were.
bool resize_cells(index_cells* c, const index_mem* mem, uint32_t cap) {
  const size_t bytes = (size_t{cap} + 1) * sizeof(index_cell);
  void* p = mem->resize(mem->ctx, c->cell, c->cell_bytes, bytes);
  if (!p) return false;
  c->cell = static_cast<index_cell*>(p);
  c->cell_bytes = bytes;
  return true;
}

bool resize_pool(index_cells* c, const index_mem* mem, uint32_t pool_cap) {
  const size_t bytes = size_t{pool_cap} * 16;
  void* p = mem->resize(mem->ctx, c->pool, c->pool_bytes, bytes);
  if (!p) return false;
  c->pool = static_cast<uint8_t(*)[16]>(p);
  c->pool_bytes = bytes;
  c->pool_cap = pool_cap;
  return true;
}

}  // namespace

bool cells_init(index_cells* c, const index_mem* mem, uint32_t tblsize) {
  *c = index_cells{};
  const uint32_t n = tblsize < cfg_cells_min ? tblsize : cfg_cells_min;
  if (!resize_cells(c, mem, n + cells_room(n)) || !resize_pool(c, mem, n)) {
    cells_free(c, mem);
    return false;
  }
  set_size(c, n, n + cells_room(n), tblsize);
  return true;
}

bool cells_pool_room(index_cells* c, const index_mem* mem, uint32_t tblsize) {
  if (c->count < c->pool_cap) return true;
  // Steps of a sixteenth: the program's memory (mremap) grows without copying,
  // and only the places filled are touched. No more places than slots, so
  // that the pool fits in the flat table it becomes.
  const uint64_t want = uint64_t{c->pool_cap} + 64 + c->pool_cap / 16;
  return resize_pool(c, mem, want < tblsize ? static_cast<uint32_t>(want) : tblsize);
}

bool cells_widen(index_cells* c, const index_mem* mem, uint32_t cap2) {
  // Cells past the old end are zero, empty, as its last one was.
  if (!resize_cells(c, mem, cap2)) return false;
  c->cap = cap2;
  return true;
}

uint32_t cells_next_n(const index_cells* c, uint32_t tblsize) {
  const uint64_t n2 = uint64_t{c->n} * cfg_cells_growth_halves / 2 + 1;
  return n2 < tblsize ? static_cast<uint32_t>(n2) : tblsize;
}

uint32_t cells_cap_for(const index_cells* c, uint32_t n2, uint32_t tblsize) {
  // Where each entry goes over n2 home cells: its home cell, or the cell after
  // the previous entry's when that is further on.
  const uint64_t scale2 = (uint64_t{n2} << 32) / tblsize;
  uint32_t next = 0;
  for (uint32_t p = 0; p < c->cap; p++) {
    const uint32_t v = c->cell[p].slot;
    if (v == 0) continue;
    const uint32_t h = static_cast<uint32_t>((uint64_t{v - 1} * scale2) >> 32);
    next = (h > next ? h : next) + 1;
  }
  return (next > n2 ? next : n2) + cells_room(n2);
}

bool cells_grow(index_cells* c, const index_mem* mem, uint32_t n2, uint32_t cap2, uint32_t tblsize) {
  const uint32_t cap = c->cap;
  if (!resize_cells(c, mem, cap2)) return false;
  index_cell* const cell = c->cell;
  // First every entry to the far end, backwards: each moves right, past none
  // still to move.
  uint32_t d = cap2;
  for (uint32_t p = cap; p-- > 0;) {
    if (cell[p].slot != 0) cell[--d] = cell[p];
  }
  set_size(c, n2, cap2, tblsize);
  // Then each to its place, forwards: cap2 leaves every place at or before the
  // cell the entry waits in, so the cells cleared on the way are done with.
  uint32_t next = 0;
  for (uint32_t q = d; q < cap2; q++) {
    const index_cell e = cell[q];
    const uint32_t h = cells_home(c, e.slot - 1);
    const uint32_t p = h > next ? h : next;
    std::memset(cell + next, 0, (p - next) * sizeof *cell);
    cell[p] = e;
    next = p + 1;
  }
  std::memset(cell + next, 0, (size_t{cap2} + 1 - next) * sizeof *cell);
  return true;
}

hslot* cells_to_flat(index_cells* c, const index_mem* mem, const index_cfg& cfg) {
  const uint32_t count = c->count;
  // 1 + each entry's slot by its place in the pool; 0 once it is placed.
  const size_t slots_bytes = (size_t{count} + 1) * sizeof(uint32_t);
  auto* slot_of = static_cast<uint32_t*>(mem->resize(mem->ctx, nullptr, 0, slots_bytes));
  if (!slot_of) return nullptr;
  void* block = mem->resize(mem->ctx, c->pool, c->pool_bytes, index_table_bytes(cfg));
  if (!block) {
    mem->resize(mem->ctx, slot_of, slots_bytes, 0);
    return nullptr;
  }
  c->pool = nullptr;
  c->pool_bytes = 0;
  // The keys become slots where they lie, backwards: key i moves from byte
  // 16 i to slot i at byte 20 i, past every key still to move.
  hslot* const tbl = static_cast<hslot*>(block);
  auto* const keys = static_cast<uint8_t(*)[16]>(block);
  for (uint32_t i = count; i-- > 0;) {
    uint8_t k[16];
    std::memcpy(k, keys[i], sizeof k);
    std::memcpy(tbl[i].key, k, sizeof k);
    tbl[i].value = 0;
  }
  for (uint32_t p = 0; p < c->cap; p++) {
    const index_cell& e = c->cell[p];
    if (e.slot == 0) continue;
    slot_of[e.ref & cells_ref_mask] = e.slot;
    tbl[e.ref & cells_ref_mask].value = e.value;
  }
  // The cells are done with.
  cells_free(c, mem);
  // Then each entry goes to its slot, and one still unplaced there goes on to
  // its own, and so on. A place an entry leaves reads empty until an entry
  // whose slot it is arrives; past the first count places the block is zero.
  for (uint32_t i = 0; i < count; i++) {
    if (slot_of[i] == 0) continue;
    hslot e = tbl[i];
    tbl[i] = hslot{};
    uint32_t s = slot_of[i] - 1;
    slot_of[i] = 0;
    while (s < count && slot_of[s] != 0) {
      const hslot there = tbl[s];
      const uint32_t next = slot_of[s] - 1;
      slot_of[s] = 0;
      tbl[s] = e;
      e = there;
      s = next;
    }
    tbl[s] = e;
  }
  mem->resize(mem->ctx, slot_of, slots_bytes, 0);
  return tbl;
}

void cells_free(index_cells* c, const index_mem* mem) {
  if (c->cell) mem->resize(mem->ctx, c->cell, c->cell_bytes, 0);
  if (c->pool) mem->resize(mem->ctx, c->pool, c->pool_bytes, 0);
  *c = index_cells{};
}

}  // namespace lrd
