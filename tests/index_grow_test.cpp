// The growing index against the flat table: the same operations on both, and
// every answer, the sweep's place and every slot compared.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "codec/index/index.h"
#include "test_util.h"

using namespace lrd;

namespace {

using key16 = std::array<uint8_t, 16>;

key16 make_key(uint32_t word, uint32_t tag) {
  key16 k{};
  for (int i = 0; i < 4; i++) k[i] = static_cast<uint8_t>(word >> (8 * i));
  for (int i = 0; i < 4; i++) k[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
  return k;
}

// A flat table and a growing index driven alike, every answer compared.
struct twins {
  index_cfg cfg;
  mapped block;  // the flat table, lazily committed: a test touches part of 1 GiB
  hslot* tbl = static_cast<hslot*>(block.p);
  chunk_index flat{}, grown{};
  heap_index_mem mem;
  uint32_t pos = 0;

  explicit twins(const index_cfg& c, size_t limit = SIZE_MAX) : cfg(c), block(index_table_bytes(c)) {
    index_init(&flat, tbl, cfg);
    mem.limit = limit;
    index_init_growing(&grown, mem.mem(), cfg);
  }
  ~twins() { index_free(&grown); }
  twins(const twins&) = delete;
  twins& operator=(const twins&) = delete;

  // A chunk of len bytes with key k at pos, then the sweep after it. A hit
  // is refreshed unless `collide` takes it for other bytes.
  void chunk(const key16& k, uint32_t len, bool collide = false) {
    const bool a = index_find_or_add(&flat, k.data(), pos);
    const bool b = index_find_or_add(&grown, k.data(), pos);
    ASSERT_EQ(a, b) << "pos " << pos;
    if (a) {
      ASSERT_EQ(flat.match_pos, grown.match_pos);
      if (!collide) {
        index_refresh(&flat, pos);
        index_refresh(&grown, pos);
      }
    }
    pos = static_cast<uint32_t>((uint64_t{pos} + len) % cfg.poswrap);
    index_sweep(&flat, len, pos);
    index_sweep(&grown, len, pos);
    ASSERT_EQ(flat.sweep_pos, grown.sweep_pos);
  }

  // Every slot, read from each form.
  void same_table() {
    for (uint32_t s = 0; s < cfg.tblsize; s++) {
      const hslot a = index_slot(&flat, s), b = index_slot(&grown, s);
      ASSERT_TRUE(a.value == b.value && std::memcmp(a.key, b.key, 16) == 0)
          << "slot " << s << ": " << a.value << " flat, " << b.value << " grown";
    }
  }
};

// Keys that crowd windows: few homes, some at the table's end so that windows
// wrap, a few words per home and a few tags per word so that keys come back.
// Now and then a key anywhere, which the cells must grow for, or one of a few
// keys at the table's ends that mostly hit and sit still till the sweep
// expires them.
struct crowd {
  std::mt19937 rng;
  uint32_t tblsize;
  std::vector<uint32_t> homes;
  uint32_t spread_percent;
  crowd(uint32_t seed, uint32_t tbl, uint32_t nhomes, uint32_t spread) : rng(seed), tblsize(tbl), spread_percent(spread) {
    for (uint32_t i = 0; i < nhomes; i++)
      homes.push_back(i % 3 == 0 ? tbl - 1 - rng() % 8 : i % 3 == 1 ? rng() % 8 : rng() % tbl);
  }
  key16 next() {
    const uint32_t r = rng() % 100;
    if (r < spread_percent) return make_key(rng(), rng() % 4);
    if (r >= 90) return make_key(r % 2 ? r % 3 : tblsize - 1 - r % 3, 7);
    const uint32_t home = homes[rng() % homes.size()];
    const uint32_t word = home + tblsize * (rng() % 3);
    return make_key(word, rng() % 6);
  }
  // Mostly short chunks; some long ones sweep a good share at once.
  uint32_t len() { return rng() % 16 == 0 ? 1 + rng() % cfg_maxchunk : 1 + rng() % 400; }
};

// Drives both forms through n chunks, comparing every table each `every`
// steps and whenever the growing form changes size or form.
void run_twins(const index_cfg& cfg, crowd g, uint32_t n, uint32_t every, bool want_flat) {
  twins t(cfg);
  size_t bytes = index_bytes(&t.grown);
  uint32_t growths = 0;
  for (uint32_t i = 0; i < n; i++) {
    ASSERT_NO_FATAL_FAILURE(t.chunk(g.next(), g.len(), i % 7 == 0)) << "chunk " << i;
    const bool resized = index_bytes(&t.grown) != bytes;
    if (resized) growths++;
    bytes = index_bytes(&t.grown);
    if (resized || i % every == 0) {
      ASSERT_NO_FATAL_FAILURE(t.same_table()) << "chunk " << i;
    }
  }
  ASSERT_NO_FATAL_FAILURE(t.same_table());
  EXPECT_FALSE(t.grown.failed);
  EXPECT_EQ(t.grown.tbl != nullptr, want_flat) << growths << " growths";
  EXPECT_GT(growths, want_flat ? 3u : 0u);
}

constexpr uint32_t small_window = 1 << 15;  // chunks of 400 bytes expire after some 160 chunks
constexpr index_cfg cfg_of(uint32_t tblsize) { return {tblsize, small_window, 4 * small_window}; }

TEST(IndexGrow, CrowdedWindowsSmallTable) {
  // 1000 slots: full windows, victims, wraps, growth and the move into the flat table.
  for (uint32_t seed = 1; seed <= 6; seed++)
    ASSERT_NO_FATAL_FAILURE(run_twins(cfg_of(1000), crowd(seed, 1000, 9, 20), 20000, 1, true)) << seed;
}

TEST(IndexGrow, CrowdedWindowsWhileInCells) {
  // 100003 slots: crowded windows amid spread keys, the cells growing all along.
  for (uint32_t seed = 1; seed <= 3; seed++)
    ASSERT_NO_FATAL_FAILURE(run_twins(cfg_of(100003), crowd(seed, 100003, 12, 50), 40000, 4999, false)) << seed;
}

TEST(IndexGrow, SpreadKeysIntoTheFlatTable) {
  // Spread keys fill 4099 slots: the cells grow step by step, then go flat,
  // and the flat table goes on from there.
  for (uint32_t seed = 1; seed <= 3; seed++)
    ASSERT_NO_FATAL_FAILURE(run_twins(cfg_of(4099), crowd(seed, 4099, 3, 95), 12000, 97, true)) << seed;
}

TEST(IndexGrow, StillEntriesLeftToTheSweep) {
  // A few keys at the first and last slots of 61, looked up again and again,
  // most hits refreshed: they stay where they are and only the sweep expires
  // them (after the first window, past the wrap too), in shares of 1
  // to 3 slots that end on every slot sooner or later, slot 0 just past the
  // table's end too. Every slot compared after every step.
  for (uint32_t seed = 1; seed <= 40; seed++) {
    twins t(cfg_of(61));
    std::mt19937 rng(seed);
    const key16 pool[] = {make_key(0, 1), make_key(1, 1), make_key(59, 1), make_key(60, 1), make_key(rng(), 1)};
    for (uint32_t i = 0; i < 400; i++) {
      ASSERT_NO_FATAL_FAILURE(t.chunk(pool[rng() % 5], 1 + rng() % 1500, i % 5 == 0)) << i;
      ASSERT_NO_FATAL_FAILURE(t.same_table()) << seed << " " << i;
    }
    EXPECT_EQ(t.grown.tbl, nullptr);
  }
}

TEST(IndexGrow, DenseSlotsSpreadOverMoreCells) {
  // Every key in 2000 slots of 100003: the cells walk far for each, and their
  // debt spreads them over more cells (up to the flat table) than their load
  // would, until the walks are short again.
  twins t(cfg_of(100003));
  std::mt19937 rng(5);
  for (uint32_t i = 0; i < 20000; i++) {
    ASSERT_NO_FATAL_FAILURE(t.chunk(make_key(50000 + rng() % 2000, rng()), 100));
    if (i % 1000 == 0) {
      ASSERT_NO_FATAL_FAILURE(t.same_table()) << i;
    }
  }
  EXPECT_TRUE(t.grown.tbl || (t.grown.cells.n > 40 * t.grown.cells.count && t.grown.cells.debt == 0));
}

TEST(IndexGrow, ProgramSizesAgainstTheFlatTable) {
  // 80000 chunks at the program's sizes: digests anywhere, a fifth of them
  // coming back, some homed at the table's end. Memory stays under 40 bytes an
  // entry throughout.
  twins t(index_cfg_default());
  std::mt19937_64 rng(7);
  std::vector<key16> seen;
  for (uint32_t i = 0; i < 80000; i++) {
    key16 k;
    if (!seen.empty() && rng() % 5 == 0) {
      k = seen[rng() % seen.size()];
    } else {
      k = make_key(i % 1000 == 0 ? cfg_tblsize - 1 - i % 7 : static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng()));
      for (int b = 8; b < 16; b++) k[b] = static_cast<uint8_t>(rng());
      seen.push_back(k);
    }
    ASSERT_NO_FATAL_FAILURE(t.chunk(k, 64 + static_cast<uint32_t>(rng() % 200))) << i;
    ASSERT_LE(index_bytes(&t.grown), 40 * t.grown.cells.count + 8192) << i;
  }
  ASSERT_EQ(t.grown.tbl, nullptr);
  EXPECT_LE(t.mem.peak, 40 * t.grown.cells.count + 8192);
  // Every entry of the cells is the flat table's, and the flat table has no other.
  uint32_t held = 0;
  for (uint32_t s = 0; s < cfg_tblsize; s++) {
    if (t.tbl[s].value == 0) continue;
    held++;
    const hslot b = index_slot(&t.grown, s);
    ASSERT_TRUE(b.value == t.tbl[s].value && std::memcmp(b.key, t.tbl[s].key, 16) == 0) << s;
  }
  EXPECT_EQ(held, t.grown.cells.count);
}

TEST(IndexGrow, SweepOfTheFirstWindowOnlyCounts) {
  // While no entry can have reached the window's age the growing index's
  // sweep visits nothing; the owner's table beside it visits every share.
  // Each case sweeps the whole table of 64 slots once, with the entry at slot 0,
  // added at `added` and, unless 0, refreshed by a hit at `stored`.
  struct { uint32_t added, stored, len, sweep_at; bool expires; } cases[] = {
      {0, 0, small_window - 1, small_window - 1, false},  // age one short of the window
      {0, 0, small_window, small_window, true},           // age the window: the visits begin
      {5, 5, 0, 5, true},                                 // stored where the sweep stands: a whole wrap
      {100, 100, 0, 50, true},                            // stored past the sweep: most of a wrap
      {10, 100, 0, 50, true},                             // refreshed past the sweep
  };
  for (const auto& c : cases) {
    twins t(cfg_of(64));
    const key16 k = make_key(0, 1);
    for (chunk_index* ix : {&t.flat, &t.grown}) {
      ASSERT_FALSE(index_find_or_add(ix, k.data(), c.added));
      if (c.stored != c.added) {
        ASSERT_TRUE(index_find_or_add(ix, k.data(), c.stored));
        index_refresh(ix, c.stored);
      }
    }
    ASSERT_EQ(t.grown.tbl, nullptr);
    for (chunk_index* ix : {&t.flat, &t.grown}) {
      index_sweep(ix, c.len, c.sweep_at);
      if (c.len == 0) {
        for (uint32_t i = 1; i < 64; i++) index_sweep(ix, 0, c.sweep_at);
      }
      EXPECT_EQ(ix->sweep_pos, 0u);
      EXPECT_EQ(index_slot(ix, 0).value, c.expires ? 1u : c.stored + 2) << c.stored << " " << c.sweep_at;
    }
    ASSERT_NO_FATAL_FAILURE(t.same_table());
  }
}

TEST(IndexGrow, RefusedMemoryIsRecordedAndNoHitLies) {
  // The memory runs out while the cells grow: the index says so, asks for no
  // more, stores nothing new, and every hit names a position its key was given.
  for (size_t limit : {size_t{0}, size_t{40000}, size_t{200000}}) {
    twins t(cfg_of(100003), limit);
    if (limit == 0) {
      EXPECT_TRUE(t.grown.failed);
      continue;
    }
    std::mt19937 rng(9);
    std::map<key16, std::set<uint32_t>> given;
    uint64_t calls_at_failure = 0;
    for (uint32_t i = 0; i < 30000; i++) {
      const key16 k = make_key(rng(), rng() % 3);
      if (index_find_or_add(&t.grown, k.data(), t.pos)) {
        ASSERT_TRUE(given[k].count(t.grown.match_pos)) << i;
      }
      given[k].insert(t.pos);
      t.pos = (t.pos + 100) % t.cfg.poswrap;
      index_sweep(&t.grown, 100, t.pos);
      if (t.grown.failed && calls_at_failure == 0) calls_at_failure = t.mem.calls;
    }
    ASSERT_TRUE(t.grown.failed) << limit;
    EXPECT_EQ(t.mem.calls, calls_at_failure);
    EXPECT_LE(t.mem.live, limit);
  }
}

}  // namespace
