// Chunk index: home slots, lookup and insertion rules, the sweep, and the
// guarantee that no entry lives long enough for its wrapped position to lie.
#include <array>
#include <cstring>
#include <map>
#include <vector>

#include "codec/index/index.h"
#include "test_util.h"

using namespace lrd;

namespace {

using key16 = std::array<uint8_t, 16>;

// A key with first word `word` (so home word % tblsize), told apart by `tag`,
// with length field `len`.
key16 make_key(uint32_t word, uint32_t tag, uint16_t len = 100) {
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

// ---------------------------------------------------------------- home slots

TEST(IndexHome, PublishedHomeSlots) {
  table t(index_cfg_default());
  const struct { uint32_t word, home; } cases[] = {
      {0x12345678, 36984441}, {0xFFFFFFFF, 15}, {53687090, 53687090}, {0xD84077F7, 31068574}};
  for (const auto& c : cases) {
    key16 k = make_key(c.word, 1);
    EXPECT_FALSE(t.find_or_add(k, 7));
    EXPECT_TRUE(t.holds(c.home, k, 9)) << c.word;
    EXPECT_TRUE(t.find_or_add(k, 8));
    EXPECT_EQ(t.ix.match_pos, 7u);
  }
}

TEST(IndexHome, LastSlotWindowWrapsToSlotZero) {
  // Home 53687090: window 53687090, 0 .. 18. A full window pushes its entries
  // across the table's end; slot 19 is past the window and untouched.
  table t(index_cfg_default());
  const uint32_t h = 53687090;
  for (uint32_t j = 0; j < 20; j++) t.set(h + j, make_key(j, 100 + j), 1000 + j);
  t.set(19, make_key(19, 999), 5555);
  key16 k = make_key(h, 1);
  EXPECT_FALSE(t.find_or_add(k, 4000));
  EXPECT_TRUE(t.holds(h, k, 4002));
  for (uint32_t j = 0; j < 19; j++) EXPECT_TRUE(t.holds(j, make_key(j, 100 + j), 1000 + j)) << j;
  EXPECT_TRUE(t.holds(19, make_key(19, 999), 5555));
}

// ---------------------------------------------------------------- lookup

TEST(IndexLookup, ReachIsNineteenSlotsPastHome) {
  const uint32_t h = 50;  // windows wrap at 64
  key16 k = make_key(h, 1);
  {
    table t(small);
    for (uint32_t j = 0; j < 19; j++) t.set(h + j, make_key(j, 100 + j), 10 + j);
    t.set(h + 19, k, 502);
    EXPECT_TRUE(t.find_or_add(k, 900));
    EXPECT_EQ(t.ix.match_pos, 500u);
  }
  {
    table t(small);
    for (uint32_t j = 0; j < 20; j++) t.set(h + j, make_key(j, 100 + j), 10 + j);
    t.set(h + 20, k, 502);
    EXPECT_FALSE(t.find_or_add(k, 900));
    EXPECT_TRUE(t.holds(h, k, 902));
    EXPECT_TRUE(t.holds(h + 20, k, 502));
  }
}

TEST(IndexLookup, EmptyEndsAndExpiredIsPassedOver) {
  const uint32_t h = 5;
  key16 k = make_key(h, 1);
  key16 e0 = make_key(h, 2);
  {
    // h live (other key), h+1 empty, h+2 holds k: absent; e0 moves into h+1.
    table t(small);
    t.set(h, e0, 20);
    t.set(h + 2, k, 30);
    EXPECT_FALSE(t.find_or_add(k, 100));
    EXPECT_TRUE(t.holds(h, k, 102));
    EXPECT_TRUE(t.holds(h + 1, e0, 20));
    EXPECT_TRUE(t.holds(h + 2, k, 30));
  }
  {
    // An expired slot with the key is never a hit; the live one behind it is.
    table t(small);
    t.set(h, k, 1);
    t.set(h + 1, k, 42);
    EXPECT_TRUE(t.find_or_add(k, 100));
    EXPECT_EQ(t.ix.match_pos, 40u);
    t.set(h + 1, e0, 42);
    EXPECT_FALSE(t.find_or_add(k, 100));
    EXPECT_TRUE(t.holds(h, k, 102));
  }
}

TEST(IndexLookup, HitLeavesTableAloneMissLeavesMatchPos) {
  table t(small);
  key16 a = make_key(3, 1), b = make_key(3, 2);
  auto changed = [&](const std::vector<hslot>& before) {
    std::vector<uint32_t> slots;
    for (uint32_t s = 0; s < small.tblsize; s++)
      if (std::memcmp(&before[s], &t.tbl[s], sizeof(hslot)) != 0) slots.push_back(s);
    return slots;
  };
  std::vector<hslot> before(t.tbl, t.tbl + small.tblsize);
  EXPECT_FALSE(t.find_or_add(a, 11));
  EXPECT_EQ(changed(before), std::vector<uint32_t>{3});  // an empty home: only it is written
  EXPECT_FALSE(t.find_or_add(b, 12));
  before.assign(t.tbl, t.tbl + small.tblsize);
  EXPECT_TRUE(t.find_or_add(a, 50));
  EXPECT_EQ(t.ix.match_pos, 11u);
  EXPECT_TRUE(changed(before).empty());
  EXPECT_FALSE(t.find_or_add(make_key(3, 3), 60));
  EXPECT_EQ(t.ix.match_pos, 11u);
}

TEST(IndexLookup, RefreshRewritesTheValueOfTheHitAlone) {
  // a and b share home 3: b's insertion moved a to slot 4, where a refresh
  // finds it. With the first-copy rule the table stays as it is.
  for (const bool first : {false, true}) {
    index_cfg c = small;
    c.first_copy = first;
    table t(c);
    const key16 a = make_key(3, 1), b = make_key(3, 2);
    EXPECT_FALSE(t.find_or_add(a, 11));
    EXPECT_FALSE(t.find_or_add(b, 12));
    const std::vector<hslot> before(t.tbl, t.tbl + c.tblsize);
    EXPECT_TRUE(t.find_or_add(a, 50));
    index_refresh(&t.ix, 50);
    for (uint32_t s = 0; s < c.tblsize; s++) {
      if (s != 4 || first) {
        EXPECT_EQ(std::memcmp(&before[s], &t.tbl[s], sizeof(hslot)), 0) << s;
      }
    }
    EXPECT_TRUE(t.holds(4, a, first ? 13 : 52));
    EXPECT_TRUE(t.find_or_add(a, 60));
    EXPECT_EQ(t.ix.match_pos, first ? 11u : 50u);
  }
}

TEST(IndexLookup, OneDifferingByteIsNeverAHit) {
  // Every byte takes part in the comparison. Flipping the top bit of any byte
  // keeps the home, as 64 divides 0x80, so the two keys share a window.
  for (int b = 0; b < 16; b++) {
    table t(small);
    key16 k = make_key(9, 0x01020304);
    key16 other = k;
    other[b] ^= 0x80;
    EXPECT_FALSE(t.find_or_add(k, 100));
    EXPECT_FALSE(t.find_or_add(other, 200)) << "byte " << b;
    EXPECT_TRUE(t.holds(9, other, 202));
  }
}

// ---------------------------------------------------------------- insertion

// Slots h .. h+m-1 hold E0 .. E(m-1) (young entries), those named in `expired`
// expired; then k is inserted at position 5000.
struct run_case {
  table t{small};
  uint32_t h;
  std::vector<key16> e;
  key16 k;
  run_case(uint32_t home, uint32_t m, std::initializer_list<uint32_t> expired)
      : h(home), k(make_key(home, 1)) {
    for (uint32_t j = 0; j < m; j++) {
      e.push_back(make_key(j, 100 + j));
      t.set(h + j, e[j], value(j));
    }
    for (uint32_t j : expired) t.at(h + j).value = 1;
    t.set(h + 20, make_key(7, 7), 77);  // just past the window
    EXPECT_FALSE(t.find_or_add(k, 5000));
    EXPECT_TRUE(t.holds(h, k, 5002));
    EXPECT_TRUE(t.holds(h + 20, make_key(7, 7), 77));
  }
  static uint32_t value(uint32_t j) { return 1000 + j; }
  bool slot_has(uint32_t s, uint32_t j, bool exp = false) {
    return t.holds(h + s, e[j], exp ? 1 : value(j));
  }
};

TEST(IndexInsert, FullWindowNothingExpiredDropsTheLast) {
  run_case r(40, 20, {});  // the window wraps at 64
  for (uint32_t j = 0; j < 19; j++) EXPECT_TRUE(r.slot_has(j + 1, j)) << j;
}

TEST(IndexInsert, FullWindowDropsTheLastExpired) {
  run_case r(3, 20, {3, 11});
  for (uint32_t j = 0; j < 11; j++) EXPECT_TRUE(r.slot_has(j + 1, j, j == 3)) << j;
  for (uint32_t j = 12; j < 20; j++) EXPECT_TRUE(r.slot_has(j, j)) << j;
}

TEST(IndexInsert, FullWindowFirstExpiredIsOverwritten) {
  run_case r(3, 20, {0});
  for (uint32_t j = 1; j < 20; j++) EXPECT_TRUE(r.slot_has(j, j)) << j;
}

TEST(IndexInsert, ShortRunKeepsItsVictimAtTheEnd) {
  {
    run_case r(60, 5, {2});  // h+5 is empty; the run wraps at 64
    EXPECT_TRUE(r.slot_has(1, 0));
    EXPECT_TRUE(r.slot_has(2, 1));
    EXPECT_TRUE(r.slot_has(3, 3));
    EXPECT_TRUE(r.slot_has(4, 4));
    EXPECT_TRUE(r.slot_has(5, 2, true));
    EXPECT_EQ(r.t.at(r.h + 6).value, 0u);
  }
  {
    run_case r(60, 5, {});
    for (uint32_t j = 0; j < 5; j++) EXPECT_TRUE(r.slot_has(j + 1, j)) << j;
    EXPECT_EQ(r.t.at(r.h + 6).value, 0u);
  }
}

TEST(IndexInsert, MovedEntriesOfWindowAgeAreExpired) {
  // Insertion at pos p. Entries the insertion moves are expired once their
  // age reaches the window; those it leaves in place are the sweep's.
  const uint32_t h = 10, p = 0x50000000, w = cfg_decwinsize;
  {
    // Run of five, E2 expired (the victim). E0 (age w) and E1 (age w - 1)
    // move; E3 (age w + 5) and E4 (stored at p: age 4w) stay put.
    table t(small);
    const uint32_t stored[5] = {p - w, p - w + 1, 0, p - w - 5, p};
    for (uint32_t j = 0; j < 5; j++) t.set(h + j, make_key(j, 100 + j), stored[j] + 2);
    t.at(h + 2).value = 1;
    EXPECT_FALSE(t.find_or_add(make_key(h, 1), p));
    EXPECT_TRUE(t.holds(h + 1, make_key(0, 100), 1));
    EXPECT_TRUE(t.holds(h + 2, make_key(1, 101), stored[1] + 2));
    EXPECT_TRUE(t.holds(h + 3, make_key(3, 103), stored[3] + 2));
    EXPECT_TRUE(t.holds(h + 4, make_key(4, 104), stored[4] + 2));
    EXPECT_TRUE(t.holds(h + 5, make_key(2, 102), 1));
  }
  {
    // A live victim carried to the end of its run is checked too.
    table t(small);
    t.set(h, make_key(0, 100), p - 10 + 2);
    t.set(h + 1, make_key(1, 101), p + 2);
    EXPECT_FALSE(t.find_or_add(make_key(h, 1), p));
    EXPECT_TRUE(t.holds(h + 1, make_key(0, 100), p - 10 + 2));
    EXPECT_TRUE(t.holds(h + 2, make_key(1, 101), 1));
  }
}

// ---------------------------------------------------------------- sweep

TEST(IndexSweep, PublishedCounts) {
  const index_cfg c = index_cfg_default();
  EXPECT_EQ(index_sweep_count(c, 64), 2u);
  EXPECT_EQ(index_sweep_count(c, 117), 2u);
  EXPECT_EQ(index_sweep_count(c, 118), 3u);
  EXPECT_EQ(index_sweep_count(c, 1000), 18u);
  EXPECT_EQ(index_sweep_count(c, 65535), 1119u);  // the product needs 64 bits
  EXPECT_EQ(index_sweep_count(c, 7500), 129u);    // 128 at a period of 3 windows: see the mend
}

TEST(IndexSweep, AgesAcrossTheWrap) {
  // The small table sweeps one slot per 64-byte chunk; ages are the program's.
  struct { uint32_t pos, stored; bool expires; } cases[] = {
      {0x3E800064, 100, true},          // age 0x3E800000
      {0x3E800064, 101, false},         // age 0x3E7FFFFF
      {10, 0xF9FFFF00, false},          // age 266, across the wrap
      {10, 10, true},                   // stored == pos: age 0xFA000000
      {0xF9FFFFFF, 0, true},            // age 0xF9FFFFFF
  };
  for (const auto& c : cases) {
    table t(small);
    key16 k = make_key(3, 1);
    t.set(3, k, c.stored + 2);
    t.ix.sweep_pos = 3;
    index_sweep(&t.ix, 64, c.pos);
    EXPECT_EQ(t.ix.sweep_pos, 4u);
    EXPECT_TRUE(t.holds(3, k, c.expires ? 1 : c.stored + 2)) << c.pos << " " << c.stored;
  }
}

TEST(IndexSweep, PointerWrapsAndMarkersStay) {
  // 64 bytes sweep 2 slots: 53687090, then 0. Empty and expired slots and the
  // key bytes of an expired entry are left as they are.
  table t(index_cfg_default());
  key16 k = make_key(1, 1);
  t.set(53687090, k, 2);
  t.set(0, k, 1);
  t.set(1, k, 2);
  t.ix.sweep_pos = 53687090;
  index_sweep(&t.ix, 64, 0x3E800000);
  EXPECT_EQ(t.ix.sweep_pos, 1u);
  EXPECT_TRUE(t.holds(53687090, k, 1));
  EXPECT_TRUE(t.holds(0, k, 1));
  EXPECT_TRUE(t.holds(1, k, 2));
  index_sweep(&t.ix, 64, 0x3E800000);
  EXPECT_EQ(t.at(2).value, 0u);
  EXPECT_EQ(t.ix.sweep_pos, 3u);
}

// ---------------------------------------------------------------- the encoder's use

// Drives an index as the encoder does, one chunk at a time, keeping the true
// 64-bit position beside the wrapped one. Every hit is checked: its wrapped
// distance must be the true distance to the chunk stored under that key, or
// the encoder would reference the wrong bytes.
struct encoder_sim {
  table t;
  uint64_t at = 0;  // true position of the current chunk
  uint32_t pos = 0;
  std::map<key16, uint64_t> stored;  // true position of each key's entry: its insertion or last refresh
  uint64_t refs = 0, discards = 0, literals = 0, out_bytes = 0, chunks = 0;
  uint64_t wrong = 0, first_wrong_at = 0, first_wrong_true = 0;

  explicit encoder_sim(const index_cfg& c) : t(c) {}

  void chunk(const key16& k, uint32_t len, bool final = false) {
    const index_cfg& c = t.cfg;
    if (t.find_or_add(k, pos)) {
      const uint32_t m = t.ix.match_pos;
      const uint32_t distance = m < pos ? pos - m : pos - m + c.poswrap;
      const uint64_t truth = at - stored[k];
      if (truth != distance && wrong++ == 0) {
        first_wrong_at = at;
        first_wrong_true = truth;
      }
      if (distance < c.decwinsize) {
        refs++;
        out_bytes += 8;
      } else {
        discards++;
        literals++;
        out_bytes += len;
      }
      index_refresh(&t.ix, pos);
      if (!c.first_copy) stored[k] = at;
    } else {
      stored[k] = at;
      literals++;
      out_bytes += len;
    }
    chunks++;
    at += len;
    pos += len;
    if (pos >= c.poswrap) pos -= c.poswrap;
    if (!final) index_sweep(&t.ix, len, pos);
  }
};

#define EXPECT_NO_WRONG_HIT(sim)                                                   \
  EXPECT_EQ((sim).wrong, 0u) << "first at true position " << (sim).first_wrong_at \
                             << ", true distance " << (sim).first_wrong_true

index_cfg first_copy(index_cfg c) {
  c.first_copy = true;
  return c;
}

TEST(IndexEncoderUse, TwoBillionZeroBytes) {
  // 30518 chunks of 65535 zero bytes share one key (home 31068574), then a
  // final chunk of 2870 bytes, with no sweep after it. With the first-copy
  // rule, the figures as published: the key's entry ages out of the window
  // and is expired at last by the sweep.
  const key16 zeros = {0xF7, 0x77, 0x40, 0xD8, 0xD6, 0x09, 0xB9, 0xEE,
                       0x7A, 0xCC, 0x72, 0x61, 0xFA, 0x45, 0xFF, 0xFF};
  for (const bool first : {true, false}) {
    encoder_sim sim(first ? first_copy(index_cfg_default()) : index_cfg_default());
    for (int k = 0; k < 30518; k++) sim.chunk(zeros, 65535);
    sim.chunk(make_key(0x01020304, 2870, 2870), 2870, true);
    EXPECT_EQ(sim.at, 2000000000u);
    EXPECT_EQ(sim.chunks, 30519u);
    if (first) {
      EXPECT_EQ(sim.discards, 11764u);
      EXPECT_EQ(sim.refs, 18752u);
      EXPECT_EQ(sim.literals, 11767u);
      EXPECT_EQ(sim.out_bytes, 771237696u);
      // The second entry for the key, at its own position 27765 chunks in.
      EXPECT_EQ(sim.stored[zeros], 27765u * 65535);
    } else {
      // Each chunk refers to the one before: the first and the final chunk
      // are the only literals.
      EXPECT_EQ(sim.discards, 0u);
      EXPECT_EQ(sim.refs, 30517u);
      EXPECT_EQ(sim.out_bytes, 65535u + 30517u * 8 + 2870);
    }
    EXPECT_NO_WRONG_HIT(sim);
  }
}

// The mend, at sizes where both faults show in milliseconds: a window of 1 MiB,
// positions wrapping at 4 MiB.
constexpr uint32_t mw = 1 << 20;

TEST(IndexMend, CraftedChunkLengthLeavesNoGap) {
  // 3145 slots and chunks of 4000 bytes: a period of 3 windows would sweep 4
  // slots per chunk and pass some slots only every 787 chunks, 3148000 bytes,
  // more than 3 windows. One key repeated, as in a long run of equal chunks,
  // tried at every home: at home 1047 the plain pace passes the entry at age
  // 1048000, just below the window, and next at 4196000, which wraps to 1696.
  const index_cfg c{3145, mw, 4 * mw, true};  // an entry that is never refreshed
  const uint32_t len = 4000;
  const uint32_t plain = static_cast<uint32_t>(uint64_t{len} * c.tblsize / (3 * mw)) + 1;
  ASSERT_GT(uint64_t{(c.tblsize + plain - 1) / plain} * len, 3ull * mw + 1)
      << "the plain pace must leave a gap for this test to mean anything";
  uint64_t wrong = 0;
  for (uint32_t home = 0; home < c.tblsize; home++) {
    encoder_sim sim(c);
    const key16 k = make_key(home, 1, len);
    for (int i = 0; i < 1400; i++) sim.chunk(k, len);  // 5.6 MB: past 4 windows
    if (sim.wrong && wrong++ == 0)
      ADD_FAILURE() << "home " << home << ": " << sim.wrong << " wrong hits";
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(IndexMend, EntryCarriedAcrossTheTableEnd) {
  // 64 slots and chunks of 48000 bytes: one slot swept per chunk, a pass every
  // 3072000 bytes, inside 3 windows. Entry E, at a home g near the table's end,
  // is inserted so that the sweep passes it at age 21 chunks, below the window.
  // 19 insertions at g then carry it to g + 19, across the table's end, while
  // the sweep is further on; the sweep next reaches it after 64 + 19 chunks,
  // at age 104 chunks, which wraps below the window. At 95 chunks a lookup of
  // E must not find it with a wrapped distance.
  const index_cfg c{64, mw, 4 * mw};
  const uint32_t len = 48000;
  ASSERT_EQ(index_sweep_count(c, len), 1u);
  uint32_t tag = 1000;
  for (uint32_t g = 64 - 19; g < 64; g++) {
    encoder_sim sim(c);
    const key16 e = make_key(g, 1, 7);
    auto filler = [&] { sim.chunk(make_key(g + 32, tag++), len); };  // homes far from E's
    while (sim.chunks < g - 20) filler();
    sim.chunk(e, len);  // chunk g - 20; the sweep after chunk g passes slot g
    while (sim.chunks < g + 21) filler();
    // The carry, while the sweep steps over g + 21 .. g + 39.
    for (int i = 0; i < 19; i++) sim.chunk(make_key(g, tag++), len);
    ASSERT_EQ(sim.t.ix.sweep_pos, (g + 40) % 64);
    while (sim.chunks < g + 75) filler();
    sim.chunk(e, len);
    while (sim.chunks < g + 200) filler();
    EXPECT_NO_WRONG_HIT(sim) << " (home " << g << ")";
  }
}

TEST(IndexMend, EntryPushedAlongWithTheSweep) {
  // 64 slots, 33000-byte chunks: one slot swept per chunk. Every chunk inserts
  // a key homed where E stands, pushing E one slot on as the sweep steps one:
  // E, 10 slots ahead of the sweep, never meets it, goes out of reach and comes
  // round the table into reach again. No pace catches an entry carried along.
  const index_cfg c{64, mw, 4 * mw};
  const uint32_t len = 33000;
  ASSERT_EQ(index_sweep_count(c, len), 1u);
  encoder_sim sim(c);
  const key16 e = make_key(10, 1, 7);
  sim.chunk(e, len);
  for (uint32_t tag = 2; sim.chunks < 130; tag++) {
    uint32_t s = 0;
    while (s < 64 && !sim.t.holds(s, e, 2)) s++;  // E, stored at 0, while live
    sim.chunk(make_key(s < 64 ? s : 0, tag), len);
  }
  sim.chunk(e, len);  // 129 slots on, 1 past its home; true age 4290000
  EXPECT_NO_WRONG_HIT(sim);
}

TEST(IndexMend, PublishedPathologicalLength) {
  // The program's sizes, chunks of 7500 bytes, one key at home 17895652: a
  // period of 3 windows sweeps 128 slots per chunk, passes the entry at age
  // 1048575000 and next after 419431 chunks, at true age 4194307500, which
  // wraps to 3500. The first-copy rule, so that the entry ages.
  encoder_sim sim(first_copy(index_cfg_default()));
  const key16 k = make_key(17895652, 1, 7500);
  for (int i = 0; i < 559300; i++) sim.chunk(k, 7500);
  EXPECT_NO_WRONG_HIT(sim);
}

}  // namespace
