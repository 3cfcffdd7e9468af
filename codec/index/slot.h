// One slot of the encoder's chunk index and the sizes of a table of them:
// what the window algorithm and both forms the table is kept in agree on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/chunker.h"
#include "codec/params.h"

namespace lrd {


// One table slot. value 0: empty; 1: expired; v >= 2: a chunk began at v - 2.
struct hslot {
  uint32_t value;
  uint8_t key[16];
};
static_assert(sizeof(hslot) == 20);

// One entry of a run while an insertion rearranges it, as the start-up line
// reports its size (sizeof(hinf)); the window algorithm keeps leaner records.
struct hinf {
  uint8_t key[16];
  uint32_t value;
  uint32_t home;  // home slot of the key being inserted
  uint32_t slot;  // slot the entry occupies, then the slot it is written to
};
static_assert(sizeof(hinf) == 28);

// Sizes of one index, and which copy of a chunk its entry names. The program
// uses index_cfg_default(); tests use small ones so that expiry and
// wrap-around run in milliseconds.
// REQUIRES: poswrap == 4 * decwinsize, cfg_probe <= tblsize <= cfg_tblsize,
// cfg_maxchunk < 3 * decwinsize (so that a sweep period remains).
struct index_cfg {
  uint32_t tblsize;
  uint32_t decwinsize;
  uint32_t poswrap;
  // false: a hit the encoder takes moves the entry to the latest copy
  // (index_refresh), so a chunk that keeps coming back within a window is
  // always in reach. true: an entry keeps the position it was added with, and
  // repeats refer to the first copy until it ages out of the window.
  bool first_copy = false;
};
constexpr index_cfg index_cfg_default() { return {cfg_tblsize, cfg_decwinsize, cfg_poswrap}; }

// Bytes of chunks per full pass of the sweep: three windows less the longest
// chunk. window.h explains why a pass must be that much shorter.
constexpr uint32_t index_sweep_period(const index_cfg& cfg) {
  return 3 * cfg.decwinsize - cfg_maxchunk;
}
static_assert(index_sweep_period(index_cfg_default()) == 0xBB800000u - 65535);

// Slots that the sweep examines after a chunk of `len` bytes.
constexpr uint32_t index_sweep_count(const index_cfg& cfg, uint32_t len) {
  return static_cast<uint32_t>(uint64_t{len} * cfg.tblsize / index_sweep_period(cfg)) + 1;
}

// Bytes the flat table needs, rounded up to whole 4096-byte pages.
constexpr uint64_t index_table_bytes(const index_cfg& cfg) {
  return (uint64_t{cfg.tblsize} * sizeof(hslot) + 4095) & ~uint64_t{4095};
}

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

// Keys sharing a window mostly differ in the length field already, so it and
// byte 13 go first; the outcome is plain equality of all 16 bytes.
inline bool index_same_key(const uint8_t* a, const uint8_t* b) {
  return a[14] == b[14] && a[15] == b[15] && a[13] == b[13] && __builtin_memcmp(a, b, 13) == 0;
}

// Asks for the cache line at p, to be written soon. GCC 12 drops a plain
// __builtin_prefetch of an address loaded through the index when the caller
// is inlined into the encoder's loop, so on x86-64 the instruction is spelt out.
inline void index_touch_ahead(const void* p) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 1, 3);
#endif
}

}  // namespace lrd
