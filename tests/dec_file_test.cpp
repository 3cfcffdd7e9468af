// Decoding into a file: the output file and the output buffers are the
// history. Both bodies must give, for every stream, what the window gives.
#include <sys/mman.h>

#include <cstring>

#include "codec/dec_history.h"
#include "codec/decoder.h"
#include "codec/decoder_fast.h"
#include "test_util.h"

using namespace lrd;

namespace {

struct decoded {
  bytes out;
  uint64_t data_bytes, chunks;
  uint32_t fault;
};

// Runs a body in file mode as the driver does: the output buffers are a ring
// of cfg_outring_blocks buffers handed out in order, and a buffer handed over
// is appended to the "file", which the body reads through outmap.
decoded run_file(decoder_body_fn body, const bytes& in, uint32_t winsize, size_t in_piece) {
  const size_t cap = 4 * in.size() * 65536 / 8 + (64u << 20);
  mapped file(cap);
  bytes ring(cfg_outring, 0x5A);
  uint8_t* f = static_cast<uint8_t*>(file.p);
  test_decoder t = test_decoder::make(winsize, f, ring.data());
  decoder_state* c = t.c.get();
  coro_header* h = &c->coro;
  uint64_t blk = 0, written = 0;
  h->outptr = h->outbeg = ring.data();
  h->outend = h->outbeg + cfg_iobuf;
  size_t at = 0;
  for (;;) {
    const uint32_t q = coro_call(c, body);
    if (q == REQ_DONE) break;
    if (q == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      const size_t n = std::min(in_piece, in.size() - at);
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = in.data() + at;
      h->inpend = in.data() + at + n;
      at += n;
    } else {
      EXPECT_EQ(h->outptr, h->outend);
      EXPECT_LE(written + cfg_iobuf, cap);
      std::memcpy(f + written, h->outbeg, cfg_iobuf);
      written += cfg_iobuf;
      blk++;
      // The buffer about to be reused holds stale bytes: poison them, so a
      // body that still reads them there gives wrong output.
      h->outptr = h->outbeg = ring.data() + (blk % cfg_outring_blocks) * cfg_iobuf;
      std::memset(h->outbeg, 0xC3, cfg_iobuf);
      h->outend = h->outbeg + cfg_iobuf;
    }
  }
  decoded d;
  d.out.assign(f, f + written);
  d.out.insert(d.out.end(), h->outbeg, h->outptr);
  d.data_bytes = c->bytes;
  d.chunks = c->chunks;
  d.fault = c->fault;
  coro_finish(h);
  return d;
}

decoded run_window(decoder_body_fn body, const bytes& in, uint32_t winsize) {
  test_decoder t = test_decoder::make(winsize);
  decoded d;
  d.out = run_mem(t.c.get(), body, in).out;
  d.data_bytes = t.c->bytes;
  d.chunks = t.c->chunks;
  d.fault = t.c->fault;
  return d;
}

void expect_same(const bytes& stream, uint32_t winsize, const std::string& what) {
  const decoded w = run_window(decoder_run_plain, stream, winsize);
  for (auto body : {decoder_run_plain, decoder_run_fast}) {
    if (body == decoder_run_fast && winsize % cfg_mapblock) continue;
    for (size_t piece : {size_t{65536}, size_t{777}}) {
      const decoded f = run_file(body, stream, winsize, piece);
      const std::string at = what + (body == decoder_run_fast ? " fast" : " plain") + " piece " +
                             std::to_string(piece) + " window " + std::to_string(winsize);
      EXPECT_TRUE(f.out == w.out) << at << ": " << f.out.size() << " vs " << w.out.size();
      EXPECT_EQ(f.data_bytes, w.data_bytes) << at;
      EXPECT_EQ(f.chunks, w.chunks) << at;
      EXPECT_EQ(f.fault, w.fault) << at;
    }
  }
}

TEST(DecodeToFile, EncoderStreamsAtEveryDistanceClass) {
  // Repeats just written (in the current buffer), a few buffers back (in the
  // ring), at the ring's edge and far back (in the file).
  for (size_t maxd : {size_t{3000}, size_t{300000}, size_t{600000}, size_t{4000000}}) {
    const bytes data = with_repeats(6000000, maxd, maxd);
    expect_same(encode_mem(data), cfg_decwinsize, "repeats " + std::to_string(maxd));
  }
}

TEST(DecodeToFile, SmallWindowsWrapAndHostileStreams) {
  const bytes data = with_repeats(3000000, 200000, 7);
  const bytes stream = encode_mem(data);
  for (uint32_t w : {4096u, 65536u, 1u << 20, 1000000u}) expect_same(stream, w, "encoded");
  // References of every hostile kind: distance 0, beyond the data, beyond the
  // window, truncated, and short ones that read their own copy.
  std::mt19937_64 rng(11);
  for (int k = 0; k < 40; k++) {
    bytes s;
    while (s.size() < 400000) {
      if (rng() % 3) {
        const bytes lit = random_bytes(50 + rng() % 3000, rng());
        s.insert(s.end(), lit.begin(), lit.end());
      } else {
        const uint32_t kinds[] = {0u, 1u + uint32_t(rng() % 100), uint32_t(rng() % 2000000),
                                  uint32_t(rng()), 0x3E800000u, uint32_t(rng() % 600000)};
        const bytes r = ref(kinds[rng() % 6]);
        s.insert(s.end(), r.begin(), r.end());
      }
    }
    if (k % 2) s.resize(s.size() - 1 - rng() % 6);
    for (uint32_t w : {4096u, 1u << 16, cfg_decwinsize}) expect_same(s, w, "hostile " + std::to_string(k));
  }
}

}  // namespace
