// The index over time: the sweep and its ages across the wrap, the encoder's
// use of it over billions of bytes, and the mended corner cases.
#include <map>
#include <vector>

#include "index_test_util.h"

using namespace lrd;
using namespace lrd_test;

namespace {


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
