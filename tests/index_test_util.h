// What the index tests share: keys with chosen home slots and a table of
// the given sizes.
#pragma once

#include <array>
#include <cstring>

#include "codec/index/index.h"
#include "test_util.h"

namespace lrd_test {

using namespace lrd;

using key16 = std::array<uint8_t, 16>;

// A key with first word `word` (so home word % tblsize), told apart by `tag`,
// with length field `len`.
inline key16 make_key(uint32_t word, uint32_t tag, uint16_t len = 100) {
  key16 k{};
  for (int i = 0; i < 4; i++) k[i] = static_cast<uint8_t>(word >> (8 * i));
  for (int i = 0; i < 4; i++) k[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
  k[13] = 0x5A;
  k[14] = static_cast<uint8_t>(len);
  k[15] = static_cast<uint8_t>(len >> 8);
  return k;
}

// A table of the given sizes, zero-filled, lazily committed: the default one
// is 1 GiB, of which a test touches a few pages.
struct table {
  index_cfg cfg;
  mapped block;
  hslot* tbl;
  chunk_index ix;
  explicit table(const index_cfg& c)
      : cfg(c), block(index_table_bytes(c)), tbl(static_cast<hslot*>(block.p)) {
    index_init(&ix, tbl, cfg);
  }

  hslot& at(uint32_t s) { return tbl[s % cfg.tblsize]; }
  void set(uint32_t s, const key16& k, uint32_t value) {
    at(s).value = value;
    std::memcpy(at(s).key, k.data(), 16);
  }
  bool holds(uint32_t s, const key16& k, uint32_t value) {
    return at(s).value == value && std::memcmp(at(s).key, k.data(), 16) == 0;
  }
  bool find_or_add(const key16& k, uint32_t pos) { return index_find_or_add(&ix, k.data(), pos); }
};

const index_cfg small{64, cfg_decwinsize, cfg_poswrap};  // 64 slots, the program's ages

}  // namespace lrd_test
