// The chunk index's window algorithm, written once over a slot store (the
// flat table, flat.h, or the cells, cells.h): the lookup and the
// gathering of a run, the victim rule, the moves of a run, and the sweep's
// ages. A store is bound at compile time; its calls are inline.
#pragma once

#include <cstdint>

#include "codec/index/slot.h"
#include "codec/index/state.h"

namespace lrd {

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
// them the figures of a long run of equal chunks by the first-copy rule.
//
// A hit the encoder takes refreshes its entry (index_refresh): the value is
// rewritten with the current pos, in the same slot, and nothing moves. That
// is a store at the new pos of an entry that stays put, so the argument runs
// afresh from there; the old store's span just ends early. The hit found the
// entry live, so by the argument for its last store its age was true, below
// 4W, and so was the distance the encoder took from it. Each refresh raises
// stored_end as an insertion does, so the first window's shortcut in
// window_sweep still sees every stored position.

// A store S offers: cursor at(h) on slot h and next(cursor&) to the slot
// after it; value(cursor), 0 for an empty slot; value_ref(cursor), where an
// occupied slot's value lies until the store next changes; same_key(cursor,
// key) for a slot whose value is >= 2; payload_at(cursor), what moves with a
// value to another slot; room(), whether an entry may be added; fresh(key, dropped),
// the payload of a new key (in the place of a dropped entry's, when given);
// put(cursor, value, payload) on an occupied slot; add(cursor, value,
// payload) on the empty slot that ended a run (once per operation, last);
// visit(from, to, f), f(value&) for each occupied slot of [from, to).

// One entry of a run while an insertion rearranges it.
template <class S>
struct window_rec {
  uint32_t value;
  typename S::payload pay;
};

// index_find_or_add over store st.
template <class S>
bool window_find_or_add(chunk_index* ix, S& st, const uint8_t* key, uint32_t pos) {
  const index_cfg& cfg = ix->cfg;
  const uint32_t h = index_home_slot(key, cfg.tblsize);

  // The lookup and the gathering of the run walk the same slots, up to the
  // first empty one, so one walk does both; a hit just abandons the records.
  window_rec<S> rec[cfg_probe];
  typename S::cursor at[cfg_probe];
  typename S::cursor k = st.at(h);
  uint32_t m = 0;
  for (; m < cfg_probe; m++) {
    const uint32_t v = st.value(k);
    if (v == 0) break;
    if (v >= 2 && st.same_key(k, key)) {
      ix->match_pos = v - 2;
      ix->match_value = st.value_ref(k);
      return true;
    }
    rec[m].value = v;
    rec[m].pay = st.payload_at(k);
    at[m] = k;
    st.next(k);
  }
  // A run shorter than the window grows by an entry: when there is no room
  // for it, the table stays as it is.
  if (m < cfg_probe && !st.room()) return false;
  if (pos + 1 > ix->stored_end) ix->stored_end = pos + 1;
  if (m == 0) {
    st.add(k, pos + 2, st.fresh(key, nullptr));
    return false;
  }

  // Victim: the last expired entry, else the last entry.
  uint32_t victim = m - 1;
  for (uint32_t i = m; i-- > 0;) {
    if (rec[i].value == 1) {
      victim = i;
      break;
    }
  }
  // The entries before the victim move one slot on and the new one takes
  // slot h; those behind it stay. The victim takes the empty slot after the
  // run, or is dropped when the window is full. Each entry that moves is
  // checked against the window here, as the sweep would: a moved entry must
  // not slip past the sweep (see above).
  for (uint32_t i = 0; i <= victim; i++) {
    if (rec[i].value >= 2 && pos_distance(pos, rec[i].value - 2, cfg.poswrap) >= cfg.decwinsize)
      rec[i].value = 1;
  }
  const bool full = m == cfg_probe;
  const typename S::payload fresh = st.fresh(key, full ? &rec[victim].pay : nullptr);
  for (uint32_t i = victim; i > 0; i--) st.put(at[i], rec[i - 1].value, rec[i - 1].pay);
  st.put(at[0], pos + 2, fresh);
  if (!full) st.add(k, rec[victim].value, rec[victim].pay);
  return false;
}

// index_sweep over store st.
template <class S>
void window_sweep(chunk_index* ix, S& st, uint32_t len, uint32_t pos) {
  const uint32_t tblsize = ix->cfg.tblsize;
  const uint32_t count = index_sweep_count(ix->cfg, len);
  const uint32_t sp = ix->sweep_pos;
  const uint64_t end = uint64_t{sp} + count;
  ix->sweep_pos = static_cast<uint32_t>(end % tblsize);
  // While pos is under a window and every position stored lies before it, no
  // entry's age can have reached the window: the sweep only moves on. That is
  // all of the first window of input.
  const uint32_t decwinsize = ix->cfg.decwinsize;
  if (pos < decwinsize && pos >= ix->stored_end) return;
  const uint32_t poswrap = ix->cfg.poswrap;
  auto expire = [pos, poswrap, decwinsize](uint32_t& v) {
    if (v >= 2 && pos_distance(pos, v - 2, poswrap) >= decwinsize) v = 1;
  };
  // A share of a whole table or more passes every slot, pos being one.
  if (count >= tblsize) {
    st.visit(0, tblsize, expire);
    return;
  }
  st.visit(sp, end < tblsize ? static_cast<uint32_t>(end) : tblsize, expire);
  if (end > tblsize) st.visit(0, static_cast<uint32_t>(end - tblsize), expire);
}

}  // namespace lrd
