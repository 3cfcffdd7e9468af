// The encoder's chunk index: lookup, insertion with its victim rule, and the
// expiry sweep whose pace keeps every position it hands out unambiguous.
#include "codec/index.h"

#include <cstring>

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

}  // namespace

void index_init(chunk_index* ix, hslot* tbl, const index_cfg& cfg) {
  ix->match_pos = 0;
  ix->sweep_pos = 0;
  std::memset(ix->hinfs, 0, sizeof ix->hinfs);
  ix->tbl = tbl;
  ix->cfg = cfg;
}

bool index_find_or_add(chunk_index* ix, const uint8_t* key, uint32_t pos) {
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
  for (uint32_t i = 0; i < m; i++) rec[i].slot = next_slot(rec[i].slot, tblsize);

  // The records that move (0 to the victim) are checked against the window
  // here, as the sweep would: a moved entry must not slip past the sweep (see
  // the top of this file).
  const uint32_t decwinsize = ix->cfg.decwinsize;
  const uint32_t poswrap = ix->cfg.poswrap;
  for (uint32_t i = 0; i <= victim; i++) {
    if (rec[i].value >= 2 && pos_distance(pos, rec[i].value - 2, poswrap) >= decwinsize)
      rec[i].value = 1;
  }

  // A run shorter than the window keeps its victim in the empty slot that
  // ended it; a full window drops the victim for the new entry.
  hinf& fresh = m < cfg_probe ? rec[m++] : rec[victim];
  std::memcpy(fresh.key, key, sizeof fresh.key);
  fresh.value = pos + 2;
  fresh.home = h;
  fresh.slot = h;

  for (uint32_t i = 0; i < m; i++) put(&tbl[rec[i].slot], rec[i].key, rec[i].value);
  return false;
}

uint32_t index_sweep_count(const index_cfg& cfg, uint32_t len) {
  return static_cast<uint32_t>(uint64_t{len} * cfg.tblsize / index_sweep_period(cfg)) + 1;
}

void index_sweep(chunk_index* ix, uint32_t len, uint32_t pos) {
  hslot* const tbl = ix->tbl;
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t decwinsize = ix->cfg.decwinsize;
  const uint32_t poswrap = ix->cfg.poswrap;
  uint32_t sp = ix->sweep_pos;
  for (uint32_t n = index_sweep_count(ix->cfg, len); n != 0; n--) {
    hslot& e = tbl[sp];
    if (e.value >= 2 && pos_distance(pos, e.value - 2, poswrap) >= decwinsize) e.value = 1;
    sp = next_slot(sp, tblsize);
  }
  ix->sweep_pos = sp;
}
