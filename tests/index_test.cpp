// Chunk index: home slots, and the rules of lookup, refresh and insertion.
#include <map>
#include <vector>

#include "index_test_util.h"

using namespace lrd;
using namespace lrd_test;

namespace {

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

}  // namespace
