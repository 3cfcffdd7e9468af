// The encoder's chunk index: lookup, insertion with its victim rule, and the
// expiry sweep whose pace keeps every position it hands out unambiguous.
#include "codec/index.h"

#include <cstring>
#include <cstdio>

// Why no live entry reaches an age of poswrap (4 windows, W = decwinsize).
//
// Stored positions wrap at 4W, so an entry that lived that long would give the
// encoder a short distance to the wrong bytes. Take an entry stored at p and
// the sweeps whose pos lies in [p + W, p + 4W]: any of them that examines the
// entry sees its true age, W to 4W (a stored position equal to pos counts as
// 4W), and expires it. The first of their chunks begins by p + W - 1 and the
// last ends no earlier than p + 4W - (cfg_maxchunk - 1), as the chunk after it
// is at most cfg_maxchunk long: more than 3W - cfg_maxchunk bytes. A chunk of
// len bytes sweeps more than len * tblsize / period slots, so with period =
// 3W - cfg_maxchunk these sweeps step over more than tblsize slots in a row,
// which examines every entry that stays put. And it stays put: the insertions
// between these sweeps run at a pos in the same range, and an insertion
// expires every live entry it moves whose age has reached W. So every entry is
// expired or dropped by age 4W, wherever it stands.
//
// Either half alone falls short. At the plain period of 3W, chunks of one
// crafted length pass a slot every period plus up to a chunk (7500 bytes at the
// program's sizes: 4500 bytes late). Without the check on moves, an entry
// pushed up to 19 slots on after the sweep passed it waits that much longer,
// across the table's end as anywhere, and one pushed on and on, out of reach,
// can keep clear of the sweep and come round to its home window again.
// The shorter period leaves the counts of ordinary lengths as they were (64,
// 117, 118, 1000 and 65535 bytes sweep 2, 2, 3, 18 and 1119 slots), and with
// them the figures of a long run of equal chunks.

namespace {

uint32_t next_slot(uint32_t s, uint32_t tblsize) { return s + 1 == tblsize ? 0 : s + 1; }

// Keys sharing a window mostly differ in the length field already, so it and
// byte 13 go first; the outcome is plain equality of all 16 bytes.
bool same_key(const uint8_t* a, const uint8_t* b) {
  return a[14] == b[14] && a[15] == b[15] && a[13] == b[13] && std::memcmp(a, b, 13) == 0;
}

void put(hslot* slot, const uint8_t* key, uint32_t value) {
  slot->value = value;
  std::memcpy(slot->key, key, sizeof slot->key);
}

// The run's records rec[0..m), gathered from slots h.., take their new slots
// and the entry (key, pos) joins them. Returns how many records there are now,
// each to be written to its .slot: slots h.. again, one more when the run is
// shorter than the window. Both forms of the table share it.
// REQUIRES: 1 <= m <= cfg_probe, rec[i].slot == h + i modulo tblsize.
uint32_t arrange_run(hinf* rec, uint32_t m, const uint8_t* key, uint32_t pos, uint32_t h,
                     const index_cfg& cfg) {
  // Victim: the last expired record, else the last record. A record's
  // distance from h is its index, and expired outscores every distance.
  uint32_t victim = 0;
  uint32_t best = 0;
  for (uint32_t i = 0; i < m; i++) {
    const uint32_t score = rec[i].value == 1 ? 0xFFFFFFFFu : i;
    if (score >= best) {
      victim = i;
      best = score;
    }
  }

  // Records before the victim move one slot on, those behind it stay, and the
  // victim takes the slot after the run (dropped below when the window is full).
  const uint32_t last = rec[m - 1].slot;
  for (uint32_t i = m - 1; i > victim; i--) rec[i].slot = rec[i - 1].slot;
  rec[victim].slot = last;
  for (uint32_t i = 0; i < m; i++) rec[i].slot = next_slot(rec[i].slot, cfg.tblsize);

  // The records that move (0 to the victim) are checked against the window
  // here, as the sweep would: a moved entry must not slip past the sweep (see
  // the top of this file).
  for (uint32_t i = 0; i <= victim; i++) {
    if (rec[i].value >= 2 && pos_distance(pos, rec[i].value - 2, cfg.poswrap) >= cfg.decwinsize)
      rec[i].value = 1;
  }

  // A run shorter than the window keeps its victim in the empty slot that
  // ended it; a full window drops the victim for the new entry.
  hinf& fresh = m < cfg_probe ? rec[m++] : rec[victim];
  std::memcpy(fresh.key, key, sizeof fresh.key);
  fresh.value = pos + 2;
  fresh.home = h;
  fresh.slot = h;
  return m;
}

bool flat_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos) {
  hslot* const tbl = ix->tbl;
  hinf* const rec = ix->hinfs;
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t h = index_home_slot(key, tblsize);

  // The lookup and the gathering of the run walk the same slots, up to the
  // first empty one, so one walk does both; a hit just abandons the scratch.
  uint32_t m = 0;
  for (uint32_t s = h; m < cfg_probe; m++, s = next_slot(s, tblsize)) {
    const hslot& e = tbl[s];
    if (e.value == 0) break;
    if (e.value >= 2 && same_key(e.key, key)) {
      ix->match_pos = e.value - 2;
      return true;
    }
    std::memcpy(rec[m].key, e.key, sizeof rec[m].key);
    rec[m].value = e.value;
    rec[m].home = h;
    rec[m].slot = s;
  }
  if (m == 0) {
    put(&tbl[h], key, pos + 2);
    return false;
  }
  m = arrange_run(rec, m, key, pos, h, ix->cfg);
  for (uint32_t i = 0; i < m; i++) put(&tbl[rec[i].slot], rec[i].key, rec[i].value);
  return false;
}

enum class outcome { hit, miss, no_room };

// index_find_or_add on the cells. no_room, with nothing changed, when the
// entry that a miss adds finds no empty cell before the end of the array.
outcome cells_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos) {
  index_cells* const c = &ix->cells;
  hinf* const rec = ix->hinfs;
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t h = index_home_slot(key, tblsize);

  // The walk of the flat table, over cells: slots h, h + 1, ... sit in
  // consecutive cells, but slot 0, after the last slot, sits in cell 0.
  uint32_t at[cfg_probe];  // the cell of each record
  uint32_t p = cells_find(c, h);
  uint32_t walked = p - cells_home(c, h);
  uint32_t s = h;
  uint32_t m = 0;
  for (; m < cfg_probe; m++) {
    if (c->cell[p].slot != s + 1) break;
    const hslot& e = cells_entry(c, p);
    if (e.value >= 2 && same_key(e.key, key)) {
      cells_charge(c, walked + m);
      ix->match_pos = e.value - 2;
      return outcome::hit;
    }
    std::memcpy(rec[m].key, e.key, sizeof rec[m].key);
    rec[m].value = e.value;
    rec[m].home = h;
    rec[m].slot = s;
    at[m] = p;
    s = next_slot(s, tblsize);
    p = s == 0 ? 0 : p + 1;
  }

  // A run shorter than the window adds an entry for slot s, in cell p.
  uint32_t q = p;
  if (m < cfg_probe) {
    if (ix->failed) return outcome::miss;
    q = cells_free_after(c, p);
    if (q == c->cap) return outcome::no_room;
    if (!cells_pool_room(c, &ix->mem, tblsize)) {
      ix->failed = true;
      return outcome::miss;
    }
  }
  cells_charge(c, walked + m + (q - p));
  hslot added;
  if (m == 0) {
    put(&added, key, pos + 2);
    cells_insert(c, p, q, h, added);
    return outcome::miss;
  }
  // The records for slots already held are written in place first: the
  // insertion then moves them along with their cells.
  const uint32_t run = m;
  m = arrange_run(rec, m, key, pos, h, ix->cfg);
  const hinf* extra = nullptr;
  for (uint32_t i = 0; i < m; i++) {
    const uint32_t k = rec[i].slot >= h ? rec[i].slot - h : rec[i].slot + tblsize - h;
    if (k < run) put(&cells_entry(c, at[k]), rec[i].key, rec[i].value);
    else extra = &rec[i];
  }
  if (extra) {
    put(&added, extra->key, extra->value);
    cells_insert(c, p, q, s, added);
  }
  return outcome::miss;
}

// Takes the index to its next size: more cells, or the flat table once that
// is no larger. Sets ix->failed when the memory is refused.
void grow(chunk_index* ix) {
  index_cells* const c = &ix->cells;
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t n2 = cells_next_n(c, tblsize);
  const uint32_t cap2 = cells_cap_for(c, n2, tblsize);
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

// Room for the last cluster, which has reached the end of the array: a few
// more cells, or the next size when they would cost no less.
void widen(chunk_index* ix) {
  index_cells* const c = &ix->cells;
  const uint32_t cap2 = c->cap + cells_room(c->n);
  if (cells_bytes(c, cap2) >= index_table_bytes(ix->cfg)) grow(ix);
  else if (!cells_widen(c, &ix->mem, cap2)) ix->failed = true;
}

}  // namespace

void index_init(chunk_index* ix, hslot* tbl, const index_cfg& cfg) {
  ix->match_pos = 0;
  ix->sweep_pos = 0;
  std::memset(ix->hinfs, 0, sizeof ix->hinfs);
  ix->tbl = tbl;
  ix->cfg = cfg;
  ix->cells = index_cells{};
  ix->mem = index_mem{};
  ix->flat_bytes = 0;
  ix->failed = false;
}

bool index_init_growing(chunk_index* ix, const index_mem& mem, const index_cfg& cfg) {
  index_init(ix, nullptr, cfg);
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
  const uint32_t p = cells_find(&ix->cells, s);
  return ix->cells.cell[p].slot == s + 1 ? cells_entry(&ix->cells, p) : hslot{};
}

bool index_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos) {
  if (ix->tbl) return flat_find_or_add(ix, key, pos);
  if (!ix->failed && cells_want_more(&ix->cells)) {
    grow(ix);
    if (ix->tbl) return flat_find_or_add(ix, key, pos);
  }
  for (;;) {
    const outcome r = cells_find_or_add(ix, key, pos);
    if (r != outcome::no_room) return r == outcome::hit;
    widen(ix);
    if (ix->tbl) return flat_find_or_add(ix, key, pos);
  }
}

uint32_t index_sweep_count(const index_cfg& cfg, uint32_t len) {
  return static_cast<uint32_t>(uint64_t{len} * cfg.tblsize / index_sweep_period(cfg)) + 1;
}

void index_sweep(chunk_index* ix, uint32_t len, uint32_t pos) {
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t count = index_sweep_count(ix->cfg, len);
  if (!ix->tbl) {
    // A share of a whole table or more passes every slot once, pos being one.
    const uint32_t sp = ix->sweep_pos;
    const uint64_t end = uint64_t{sp} + count;
    if (count >= tblsize) {
      cells_sweep(&ix->cells, 0, tblsize, pos, ix->cfg);
    } else {
      cells_sweep(&ix->cells, sp, end < tblsize ? static_cast<uint32_t>(end) : tblsize, pos, ix->cfg);
      if (end > tblsize) cells_sweep(&ix->cells, 0, static_cast<uint32_t>(end - tblsize), pos, ix->cfg);
    }
    ix->sweep_pos = static_cast<uint32_t>(end % tblsize);
    return;
  }
  hslot* const tbl = ix->tbl;
  const uint32_t decwinsize = ix->cfg.decwinsize;
  const uint32_t poswrap = ix->cfg.poswrap;
  uint32_t sp = ix->sweep_pos;
  for (uint32_t n = count; n != 0; n--) {
    hslot& e = tbl[sp];
    if (e.value >= 2 && pos_distance(pos, e.value - 2, poswrap) >= decwinsize) e.value = 1;
    sp = next_slot(sp, tblsize);
  }
  ix->sweep_pos = sp;
}
