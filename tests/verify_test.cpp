// Chunks with the key of an earlier chunk but other bytes, made as anyone can
// make them: each goes into the stream in full, decodes to its own bytes and
// is counted, from both encoder bodies alike, with the input kept whole or in
// a ring as from a pipe.
#include "codec/encoder_fast.h"
#include "codec/history.h"
#include "test_util.h"

using namespace lrd;

namespace {

struct twin_input {
  bytes data;
  uint64_t twins = 0;
  size_t last_twinned = 0;  // the last chunk given a twin
};

// Random chunks in order; wherever `twin_here(offset, k)` says so, a twin of
// chunk k goes in before it (offset: the twin's start).
template <class F>
twin_input with_twins(const std::vector<bytes>& chunks, F twin_here) {
  twin_input t;
  for (size_t k = 0; k < chunks.size(); k++) {
    size_t first = twin_here(t.data.size(), k);
    if (first < k && chunks[first].size() >= 142) {
      const bytes tw = twin_of(chunks[first], k);
      t.data.insert(t.data.end(), tw.begin(), tw.end());
      t.twins++;
      t.last_twinned = first;
    }
    t.data.insert(t.data.end(), chunks[k].begin(), chunks[k].end());
  }
  return t;
}

// Both bodies write the same stream, which decodes to the input; returns it.
coded encode_checked(const bytes& in, const index_cfg& cfg, uint64_t hist_ring) {
  const coded plain = encode_with(encoder_run_plain, in, cfg, cfg_iobuf, cfg_iobuf, hist_ring);
  const coded fast = encode_with(encoder_run_fast, in, cfg, cfg_iobuf, cfg_iobuf, hist_ring);
  EXPECT_EQ(coded_diff(plain, fast), "");
  const coded back = decode_with(decoder_run, plain.out, cfg.decwinsize);
  EXPECT_TRUE(back.out == in) << "the stream decodes to other bytes";
  EXPECT_EQ(back.fault, fault_none);
  return plain;
}

TEST(Twins, NextToTheirChunkFarFromItAndAcrossTheInputBufferEdge) {
  const std::vector<bytes> chunks = chunks_of(random_bytes(3 << 20, 5));
  size_t straddler = 0;  // the chunk over the first input buffer's end
  for (size_t k = 0, at = 0; k < chunks.size(); at += chunks[k].size(), k++)
    if (at < cfg_iobuf && at + chunks[k].size() > cfg_iobuf) straddler = k;
  const twin_input t = with_twins(chunks, [&](size_t, size_t k) -> size_t {
    if (k == 4) return 3;                             // right after it, in one batch
    if (k == chunks.size() - 1) return straddler;     // megabytes later
    if (k > 1000 && k % 97 == 0) return k * 7 / 13;  // many pairs, far apart
    return k;
  });
  ASSERT_GT(t.twins, 80u);
  const index_cfg cfg{1 << 17, 1 << 23, 1 << 25};  // a window over the whole input, a small table
  for (uint64_t ring : {uint64_t{0}, cfg.decwinsize + cfg_hist_lead}) {
    const coded e = encode_checked(t.data, cfg, ring);
    EXPECT_EQ(e.collided, t.twins) << ring;
    EXPECT_GE(e.out.size(), t.data.size()) << "no chunk here repeats: no reference is right";
  }
  // A true repeat is still a reference, to the chunk: its twin, found under
  // its key, left the index as it was.
  const bytes again = cat({t.data, chunks[t.last_twinned]});
  EXPECT_EQ(encode_checked(again, cfg, 0).out.size(), encode_checked(t.data, cfg, 0).out.size() + 8);
}

TEST(Twins, AcrossThePositionWrapWithTheHistoryInARing) {
  // A small window and position wrap, and a ring that wraps too: wherever a
  // chunk ends just past a multiple of the wrap, its twin follows it, so the
  // twin's position is below the stored one.
  const index_cfg cfg{4099, 1 << 15, 1 << 17};
  const std::vector<bytes> chunks = chunks_of(random_bytes(10 << 20, 6));
  const twin_input t = with_twins(chunks, [&](size_t at, size_t k) -> size_t {
    return k > 0 && at % cfg.poswrap < chunks[k - 1].size() ? k - 1 : k;
  });
  ASSERT_GT(t.twins, 40u);
  const uint64_t ring = cfg.decwinsize + cfg_hist_lead;
  ASSERT_GT(t.data.size(), 2 * ring);
  EXPECT_EQ(encode_checked(t.data, cfg, ring).collided, t.twins);
  EXPECT_EQ(encode_checked(t.data, cfg, 0).collided, t.twins);
}

}  // namespace
