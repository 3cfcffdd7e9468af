// The flat form of the chunk index, every slot in place in one table, as the
// window algorithm (window.h) sees it.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/index/slot.h"

namespace lrd {

struct flat_store {
  hslot* tbl;
  uint32_t tblsize;

  struct cursor {
    uint32_t s;
  };
  struct payload {
    uint8_t key[16];
  };

  cursor at(uint32_t h) const { return {h}; }
  void next(cursor& k) const { k.s = k.s + 1 == tblsize ? 0 : k.s + 1; }
  uint32_t value(cursor k) const { return tbl[k.s].value; }
  uint32_t* value_ref(cursor k) const { return &tbl[k.s].value; }
  bool same_key(cursor k, const uint8_t* key) const { return index_same_key(tbl[k.s].key, key); }
  payload payload_at(cursor k) const {
    payload p;
    std::memcpy(p.key, tbl[k.s].key, sizeof p.key);
    return p;
  }
  // The home slot and the one after it, where most lookups stop (a miss
  // also writes the home slot).
  void prefetch(uint32_t h) const {
    index_touch_ahead(tbl + h);
    index_touch_ahead(reinterpret_cast<const uint8_t*>(tbl + h) + 39);
  }
  bool room() const { return true; }
  payload fresh(const uint8_t* key, const payload*) const {
    payload p;
    std::memcpy(p.key, key, sizeof p.key);
    return p;
  }
  void put(cursor k, uint32_t value, const payload& p) const {
    tbl[k.s].value = value;
    std::memcpy(tbl[k.s].key, p.key, sizeof p.key);
  }
  void add(cursor k, uint32_t value, const payload& p) const { put(k, value, p); }
  template <class F>
  void visit(uint32_t from, uint32_t to, F&& f) const {
    for (uint32_t s = from; s < to; s++) f(tbl[s].value);
  }
};

}  // namespace lrd
