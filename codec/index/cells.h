// The growing form of the chunk index: the occupied slots of the table kept in
// slot order in an array of small cells that grows with them, the keys apart
// in a pool that never moves; and its view for the window algorithm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/index/slot.h"

namespace lrd {

// Cell i holds 1 + the slot of its entry (0: empty), the slot's value, and
// where the entry's key is in the pool, with 6 bits of the key beside it so
// that a lookup reads the pool only for a likely hit. Slot s has its home cell
// s * n / tblsize (below, in fixed point); an entry sits at its home cell or
// after it, in slot order, with no empty cell between its home cell and
// itself. That layout is the only one a set of slots has, so consecutive
// slots sit in consecutive cells and a probe window or a sweep share is a
// short forward walk that never leaves the array. The array does not wrap: a
// table's last slots may spill past cell n, into the room up to cap; cell cap
// stays empty and ends every walk, and cell cap - 1 is empty between two
// operations, so an insertion always finds an empty cell.
struct index_cell {
  uint32_t slot;   // 1 + the slot, 0 when empty
  uint32_t value;  // the slot's value: 1 expired, v >= 2 live
  uint32_t ref;    // the key's place in the pool, and its tag in the top bits
};
static_assert(sizeof(index_cell) == 12);

constexpr uint32_t cells_ref_bits = 26;
constexpr uint32_t cells_ref_mask = (1u << cells_ref_bits) - 1;
static_assert(cfg_tblsize <= cells_ref_mask, "a pool place, one per slot at most, fits beside the tag");

// The tag of a key: bits of it that the home slot does not use.
inline uint32_t cells_tag(const uint8_t* key) {
  return uint32_t{static_cast<uint8_t>(key[12] ^ key[14])} >> 2 << cells_ref_bits;
}

struct index_cells {
  index_cell* cell;
  uint8_t (*pool)[16];  // keys, in the order their entries came
  uint64_t scale;       // n * 2^32 / tblsize, rounded down: the home cell is monotonic and <= the slot
  uint32_t n;           // cells the home cells spread over; n <= tblsize
  uint32_t cap;         // usable cells, at least n
  uint32_t count;       // entries (live and expired), the pool's first count places
  uint32_t pool_cap;    // places in the pool
  uint32_t grow_at;     // count at which the array grows
  uint64_t debt;        // cells walked beyond the allowance, since the last growth
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

// Asks for the home cell of slot h and the next line, where its run is found.
inline void cells_prefetch(const index_cells* c, uint32_t h) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(c->cell + cells_home(c, h));
  index_touch_ahead(p);
  index_touch_ahead(p + 64);
}

// First empty cell at or after p.
inline uint32_t cells_free_after(const index_cells* c, uint32_t p) {
  while (c->cell[p].slot != 0) p++;
  return p;
}

// Puts an entry for slot s in cell p, moving the cells from p up to the first
// empty one, q, one cell on. REQUIRES: p == cells_find(c, s), slot s
// unoccupied, q == cells_free_after(c, p) < c->cap.
inline void cells_insert(index_cells* c, uint32_t p, uint32_t q, uint32_t s, uint32_t value, uint32_t ref) {
  std::memmove(c->cell + p + 1, c->cell + p, (q - p) * sizeof *c->cell);
  c->cell[p] = index_cell{s + 1, value, ref};
  c->count++;
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

// Whether the last usable cell is taken: then c must widen before the next
// operation.
inline bool cells_full_at_end(const index_cells* c) { return c->cell[c->cap - 1].slot != 0; }

// Bytes of c with cap usable cells.
inline uint64_t cells_bytes(const index_cells* c, uint32_t cap) {
  return (uint64_t{cap} + 1) * sizeof(index_cell) + uint64_t{c->pool_cap} * 16;
}

// Sets c up with its first cells for a table of tblsize slots. Returns false,
// holding nothing, when the memory is not to be had.
bool cells_init(index_cells* c, const index_mem* mem, uint32_t tblsize);

// Makes room in the pool for the next entry. Returns false when the memory is
// not to be had, c unchanged. REQUIRES: c->count < tblsize.
bool cells_pool_room(index_cells* c, const index_mem* mem, uint32_t tblsize);

// The n of c's next size, at most tblsize.
uint32_t cells_next_n(const index_cells* c, uint32_t tblsize);

// Usable cells that c's entries need over n2 home cells, with room to grow.
// REQUIRES: c->n <= n2 <= tblsize.
uint32_t cells_cap_for(const index_cells* c, uint32_t n2, uint32_t tblsize);

// Usable cells to add when the last cell is taken.
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

// Returns c's memory to its owner.
void cells_free(index_cells* c, const index_mem* mem);

// The cells as the window algorithm (window.h) sees a table: a cursor
// on a slot, its value and key, rewriting an occupied slot, adding an entry
// where a run ends, and the sweep's visit of a range of slots.
struct cells_store {
  index_cells* c;
  const index_mem* mem;
  bool* failed;          // the index's: set when memory is refused
  uint32_t tblsize;
  uint32_t walked = 0;   // cells walked by this operation, for the debt

  struct cursor {
    uint32_t p;  // the cell of slot s, or where an entry for it belongs
    uint32_t s;
  };
  using payload = uint32_t;  // what moves with a value: the cell's ref

  cursor at(uint32_t h) {
    const uint32_t p = cells_find(c, h);
    walked += p - cells_home(c, h);
    return {p, h};
  }
  void next(cursor& k) {
    // Slot 0, after the last slot, sits in cell 0 when it is occupied.
    k.s = k.s + 1 == tblsize ? 0 : k.s + 1;
    k.p = k.s == 0 ? 0 : k.p + 1;
    walked++;
  }
  uint32_t value(cursor k) const { return c->cell[k.p].slot == k.s + 1 ? c->cell[k.p].value : 0; }
  // An occupied slot's value, where it stays until the cells next change.
  uint32_t* value_ref(cursor k) const { return &c->cell[k.p].value; }
  bool same_key(cursor k, const uint8_t* key) const {
    const uint32_t r = c->cell[k.p].ref;
    return (r & ~cells_ref_mask) == cells_tag(key) && index_same_key(c->pool[r & cells_ref_mask], key);
  }
  payload payload_at(cursor k) const { return c->cell[k.p].ref; }
  // Whether an entry may be added: false, with *failed, when memory is refused.
  bool room() {
    if (*failed) return false;
    if (c->count < c->pool_cap || cells_pool_room(c, mem, tblsize)) return true;
    *failed = true;
    return false;
  }
  // The key of a new entry, in the place of a dropped one or in the next
  // place (room() first).
  payload fresh(const uint8_t* key, const payload* dropped) {
    const uint32_t r = dropped ? *dropped & cells_ref_mask : c->count;
    std::memcpy(c->pool[r], key, 16);
    return r | cells_tag(key);
  }
  void put(cursor k, uint32_t value, payload r) {
    c->cell[k.p].value = value;
    c->cell[k.p].ref = r;
  }
  // An entry for the empty slot the run ended at.
  void add(cursor k, uint32_t value, payload r) {
    const uint32_t q = cells_free_after(c, k.p);
    walked += q - k.p;
    cells_insert(c, k.p, q, k.s, value, r);
  }
  // f(value) for each occupied slot of [from, to), in slot order.
  template <class F>
  void visit(uint32_t from, uint32_t to, F&& f) {
    for (uint32_t p = cells_find(c, from);; p++) {
      const uint32_t v = c->cell[p].slot;
      if (v == 0) {
        if (p >= c->cap) return;
        continue;
      }
      if (v - 1 >= to) return;
      f(c->cell[p].value);
    }
  }
};

}  // namespace lrd
