// The growing form of the chunk index: the occupied slots of the table kept in
// slot order in an array of cells that grows with them, as few as they need.
#pragma once

#include <cstddef>
#include <cstdint>

struct hslot;
struct index_cfg;

// Memory that a growing index asks of its owner, who decides where it comes
// from (the program maps pages; tests and benchmarks count what they hand out).
struct index_mem {
  void* ctx;
  // Resizes `block` (null, with old_bytes 0: a new one) to new_bytes > 0,
  // keeping its first min(old_bytes, new_bytes) bytes; the bytes past
  // old_bytes are zero. Returns the block, which may have moved, or null when
  // the memory is not to be had, the old block left as it was. new_bytes 0
  // frees the block and returns null.
  void* (*resize)(void* ctx, void* block, size_t old_bytes, size_t new_bytes);
};

// Cell i holds 1 + the slot of its entry (0: empty) and where in the pool
// the entry's value and key are; the pool keeps entries in the order they
// came and never moves them, so a cell is 8 bytes to shift or rebuild. Slot s
// has its home cell s * n / tblsize (below, in fixed point); an entry sits at
// its home cell or after it, in slot order, with no empty cell between its
// home cell and itself. That layout is the only one a set of slots has, so
// consecutive slots sit in consecutive cells and a probe window or a sweep
// share is a short forward walk. The array does not wrap: a table's last
// slots may spill past cell n, into the room up to cap; cell cap stays empty
// and ends every walk.
struct index_cell {
  uint32_t slot;  // 1 + the slot, 0 when empty
  uint32_t ref;   // the entry's place in the pool
};

struct index_cells {
  index_cell* cell;
  hslot* pool;
  uint64_t scale;     // n * 2^32 / tblsize, rounded down: the home cell is monotonic and <= the slot
  uint32_t n;         // cells the home cells spread over; n <= tblsize
  uint32_t cap;       // usable cells, at least n
  uint32_t count;     // entries (live and expired), the pool's first count places
  uint32_t pool_cap;  // places in the pool
  uint32_t grow_at;   // count at which the array grows
  uint64_t debt;      // cells walked beyond the allowance, since the last growth
  size_t cell_bytes;
  size_t pool_bytes;
};

// Cells an operation may walk without running up debt. A crafted input that
// piles its entries into few slots walks far more; its debt grows the array,
// towards the flat table, sooner than its load would.
constexpr uint32_t cfg_cells_allowance = 128;

// Home cell of slot s.
inline uint32_t cells_home(const index_cells* c, uint32_t s) {
  return static_cast<uint32_t>((uint64_t{s} * c->scale) >> 32);
}

// First cell at or after the home cell of s that is empty or holds a slot >= s:
// the cell of slot s when it is occupied, else where an entry for s belongs.
inline uint32_t cells_find(const index_cells* c, uint32_t s) {
  uint32_t p = cells_home(c, s);
  // An empty cell's 0 wraps to the largest number and ends the walk.
  while (c->cell[p].slot - 1 < s) p++;
  return p;
}

// Sets c up with its first cells for a table of tblsize slots. Returns false,
// holding nothing, when the memory is not to be had.
bool cells_init(index_cells* c, const index_mem* mem, uint32_t tblsize);

// Puts an entry for slot s (value and key in e) in cell p, moving the cells
// from p up to the first empty one, q, one cell on. REQUIRES: p ==
// cells_find(c, s), slot s unoccupied, q == cells_free_after(c, p) < c->cap,
// c->count < c->pool_cap.
void cells_insert(index_cells* c, uint32_t p, uint32_t q, uint32_t s, const hslot& e);

// First empty cell at or after p; c->cap when none is left before the end.
inline uint32_t cells_free_after(const index_cells* c, uint32_t p) {
  while (c->cell[p].slot != 0) p++;
  return p;
}

// Records that an operation walked `walked` cells.
inline void cells_charge(index_cells* c, uint32_t walked) {
  c->debt = c->debt + walked > cfg_cells_allowance ? c->debt + walked - cfg_cells_allowance : 0;
}

// Whether c should grow before it takes another entry: by its load, or by the
// work its walks cost, which a rebuild of its size pays for.
inline bool cells_want_more(const index_cells* c) {
  return c->count >= c->grow_at || c->debt > 4 * uint64_t{c->n} + 65536;
}

// Bytes of c with cap usable cells.
inline uint64_t cells_bytes(const index_cells* c, uint32_t cap) {
  return (uint64_t{cap} + 1) * sizeof(index_cell) + uint64_t{c->pool_cap} * 20;  // 20: sizeof(hslot)
}

// Makes room in the pool for the next entry. Returns false when the memory is
// not to be had, c unchanged. REQUIRES: c->count < tblsize.
bool cells_pool_room(index_cells* c, const index_mem* mem, uint32_t tblsize);

// The n of c's next size, at most tblsize.
uint32_t cells_next_n(const index_cells* c, uint32_t tblsize);

// Usable cells that c's entries need over n2 home cells, with room to grow.
// REQUIRES: c->n <= n2 <= tblsize.
uint32_t cells_cap_for(const index_cells* c, uint32_t n2, uint32_t tblsize);

// Usable cells to add when the last cluster reaches the end of the array.
inline uint32_t cells_room(uint32_t n) { return 16 + n / 256; }

// Makes cap2 cells usable, the entries where they are. Returns false when the
// memory is not to be had, c's entries unchanged. REQUIRES: cap2 >= c->cap.
bool cells_widen(index_cells* c, const index_mem* mem, uint32_t cap2);

// Rebuilds c in place over n2 home cells and cap2 usable ones. Returns false
// when the memory is not to be had, c's entries unchanged (its blocks perhaps
// larger). REQUIRES: c->n <= n2 <= tblsize, cap2 == cells_cap_for(c, n2, tblsize).
bool cells_grow(index_cells* c, const index_mem* mem, uint32_t n2, uint32_t cap2, uint32_t tblsize);

// Turns c's memory into the flat table of cfg, the same entries in their
// slots, and returns it; null when the memory is not to be had, c unchanged.
hslot* cells_to_flat(index_cells* c, const index_mem* mem, const index_cfg& cfg);

// Expires the entries of slots [from, to) whose age at pos has reached the window.
void cells_sweep(index_cells* c, uint32_t from, uint32_t to, uint32_t pos, const index_cfg& cfg);

// Returns c's memory to its owner.
void cells_free(index_cells* c, const index_mem* mem);
