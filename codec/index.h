// The encoder's chunk index: a table of 20-byte slots mapping a chunk key to
// the position where a chunk with that key began. Open addressing with 20-slot
// probe windows; an expiry sweep walks the table at a pace tied to the bytes
// coded, so entries too old to be referenced are marked expired. The table is
// flat, or grows with its entries (index_cells.h) and gives the same answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/chunker.h"
#include "codec/index_cells.h"

constexpr uint32_t cfg_tblsize = 53687091;      // slots: 20 * 53687091 bytes just under 1 GiB
constexpr uint32_t cfg_decwinsize = 0x3E800000; // 1000 MiB: decoder history, entry lifetime
constexpr uint32_t cfg_poswrap = 0xFA000000;    // positions are counted modulo this
constexpr uint32_t cfg_probe = 20;              // slots examined from a key's home slot
static_assert(cfg_poswrap == 4ull * cfg_decwinsize,
              "positions wrap at four windows: a window for references plus a sweep period of three");

// One table slot. value 0: empty; 1: expired; v >= 2: a chunk began at v - 2.
struct hslot {
  uint32_t value;
  uint8_t key[16];
};
static_assert(sizeof(hslot) == 20);

// The entry of occupied cell p of a growing index (index_cells.h).
inline hslot& cells_entry(const index_cells* c, uint32_t p) { return c->pool[c->cell[p].ref]; }

// One entry of a run while an insertion rearranges it.
// `home` is never read back: it keeps the record at the 28 bytes that the
// start-up line reports as sizeof(hinf).
struct hinf {
  uint8_t key[16];
  uint32_t value;
  uint32_t home;  // home slot of the key being inserted
  uint32_t slot;  // slot the entry occupies, then the slot it is written to
};
static_assert(sizeof(hinf) == 28);

// Sizes of one index. The program uses index_cfg_default(); tests use small
// ones so that expiry and wrap-around run in milliseconds.
// REQUIRES: poswrap == 4 * decwinsize, tblsize >= cfg_probe,
// cfg_maxchunk < 3 * decwinsize (so that a sweep period remains).
struct index_cfg {
  uint32_t tblsize;
  uint32_t decwinsize;
  uint32_t poswrap;
};
constexpr index_cfg index_cfg_default() { return {cfg_tblsize, cfg_decwinsize, cfg_poswrap}; }

// Bytes of chunks per full pass of the sweep: three windows less the longest
// chunk. index.cpp explains why a pass must be that much shorter.
constexpr uint32_t index_sweep_period(const index_cfg& cfg) {
  return 3 * cfg.decwinsize - cfg_maxchunk;
}
static_assert(index_sweep_period(index_cfg_default()) == 0xBB800000u - 65535);

// Bytes the table needs, rounded up to whole 4096-byte pages.
constexpr uint64_t index_table_bytes(const index_cfg& cfg) {
  return (uint64_t{cfg.tblsize} * sizeof(hslot) + 4095) & ~uint64_t{4095};
}

struct chunk_index {
  uint32_t match_pos;       // position stored in the entry of the last hit
  uint32_t sweep_pos;       // next slot the sweep examines
  hinf hinfs[cfg_probe];    // scratch of an insertion
  hslot* tbl;               // cfg.tblsize slots, zero-filled; null while the table is in cells
  index_cfg cfg;
  index_cells cells;        // the table while it grows
  index_mem mem;            // where a growing index gets its memory; resize null for the owner's table
  size_t flat_bytes;        // bytes of tbl when the index took it from mem, else 0
  bool failed;              // memory was refused: see index_init_growing
};

// Distance from a chunk stored at `stored` to the position `pos`, both modulo
// poswrap: 1 to poswrap. A stored position equal to pos lies a whole wrap back.
// The encoder's reference distance and an entry's age both follow this rule.
inline uint32_t pos_distance(uint32_t pos, uint32_t stored, uint32_t poswrap) {
  return stored < pos ? pos - stored : pos - stored + poswrap;
}

// Home slot of a key: its bytes 0-3 as a little-endian number, modulo tblsize.
inline uint32_t index_home_slot(const uint8_t* key, uint32_t tblsize) {
  const uint32_t w = uint32_t{key[0]} | uint32_t{key[1]} << 8 | uint32_t{key[2]} << 16 |
                     uint32_t{key[3]} << 24;
  return w % tblsize;
}

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

// Asks for the memory that looking key up will read. Only a hint: the
// index may grow before the lookup.
inline void index_prefetch(const chunk_index* ix, const uint8_t* key) {
  const uint32_t h = index_home_slot(key, ix->cfg.tblsize);
  if (!ix->tbl) {
    // The home cell and the next: the entries are found from there.
    const index_cell* cell = ix->cells.cell + cells_home(&ix->cells, h);
    __builtin_prefetch(cell, 1, 3);
    __builtin_prefetch(cell + 1, 1, 3);
    return;
  }
  // The home slot and the one after it: most lookups stop there; a miss also
  // writes the home slot.
  const uint8_t* slot = reinterpret_cast<const uint8_t*>(ix->tbl + h);
  __builtin_prefetch(slot, 1, 3);
  __builtin_prefetch(slot + 39, 1, 3);
}

// Looks key up; on a hit sets match_pos to the stored position and returns
// true, leaving the table unchanged. On a miss stores (key, pos) at the key's
// home slot and returns false; every live entry the insertion moves whose age
// at pos has reached cfg.decwinsize is expired on the way. REQUIRES: pos < cfg.poswrap.
bool index_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos);

// After a chunk of `len` bytes whose successor starts at `pos`: examines the
// next share of slots and expires the entries whose age has reached the window.
// REQUIRES: len <= cfg_maxchunk, pos < cfg.poswrap.
void index_sweep(chunk_index* ix, uint32_t len, uint32_t pos);

// Slots that index_sweep examines after a chunk of `len` bytes.
uint32_t index_sweep_count(const index_cfg& cfg, uint32_t len);
