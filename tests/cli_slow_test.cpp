// Long runs (label "slow"): 2 GB of zeros through the program, and through
// the library by the first-copy rule, where the window limit and the expiry
// sweep show; and a round trip beyond the 4 GiB wrap.
#include <algorithm>

#include <lrdedup.h>

#include "test_util.h"

using namespace lrd;

namespace {

std::string sh(const std::string& script) {
  std::string quoted;
  for (char ch : script) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return "bash -o pipefail -c '" + quoted + "'";
}

// Markers in a stream whose literals are all zero bytes: each is a reference.
struct ref_counter {
  uint64_t size = 0, refs = 0;
  uint32_t tail = 0;  // the last 3 bytes seen, across buffer edges
  void add(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
      if ((tail & 0xFFFFFF) == 0xEB3DBE && p[i] == 0) refs++;
      tail = (tail << 8) | p[i];
    }
    size += n;
  }
};

TEST(Slow, TwoGigabytesOfZeros) {
  // The program refers each chunk of 65535 zero bytes to the one before: only
  // the first and the final chunk (2870 bytes) are literals.
  std::string enc = tmp_path("zeros.lrd");
  cmd_result e = run_cmd(sh("head -c 2000000000 /dev/zero | " + exe() + " e - " + enc));
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_NE(e.out.find("\nc_discard=0\nsum=2000000000 x=30519 avglen=65532.9\n"), std::string::npos) << e.out;
  const bytes stream = read_file(enc);
  ref_counter n;
  n.add(stream.data(), stream.size());
  EXPECT_EQ(n.size, 65535u + 30517u * 8 + 2870u);
  EXPECT_EQ(n.refs, 30517u);
  cmd_result d = run_cmd(sh(exe() + " d " + enc + " - | cmp - <(head -c 2000000000 /dev/zero)"));
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.err, "sum=2000000000 x=30519 avglen=65532.9\n");
  std::remove(enc.c_str());
}

TEST(Slow, TwoGigabytesOfZerosByTheFirstCopyRule) {
  // The first copy's entry ages out of the window: the chunks from 16001 on
  // are literals, counted as discards, until the sweep lets the entry go after
  // chunk 27764; the rest refer to chunk 27765. Through the library, the
  // stream decoded as it comes.
  lrd_encoder_params ep;
  lrd_encoder_params_default(&ep);
  ep.first_copy = 1;
  lrd_encoder* e = nullptr;
  lrd_decoder* d = nullptr;
  ASSERT_EQ(lrd_encoder_create(&e, &ep), LRD_OK);
  ASSERT_EQ(lrd_decoder_create(&d, nullptr), LRD_OK);
  const uint64_t total = 2000000000;
  std::vector<uint8_t> zeros(1 << 20), obuf(1 << 20), dbuf(1 << 20);
  ref_counter n;
  uint64_t fed = 0, back = 0, nonzero = 0;
  for (int re = LRD_OK; re != LRD_DONE;) {
    lrd_in in{zeros.data(), static_cast<size_t>(std::min<uint64_t>(zeros.size(), total - fed)), 0};
    const int end = fed + in.size == total;
    do {
      lrd_out out{obuf.data(), obuf.size(), 0};
      re = lrd_encode(e, &in, &out, end);
      ASSERT_GE(re, 0) << lrd_error_string(re);
      n.add(obuf.data(), out.pos);
      lrd_in din{obuf.data(), out.pos, 0};
      int rd;
      do {
        lrd_out dout{dbuf.data(), dbuf.size(), 0};
        rd = lrd_decode(d, &din, &dout, re == LRD_DONE);
        ASSERT_GE(rd, 0) << lrd_error_string(rd);
        for (size_t i = 0; i < dout.pos; i++) nonzero += dbuf[i] != 0;
        back += dout.pos;
      } while (rd == LRD_OUTPUT_FULL || (re == LRD_DONE && rd != LRD_DONE));
    } while (re == LRD_OUTPUT_FULL || (end && re != LRD_DONE));
    fed += in.pos;
  }
  lrd_stats st;
  ASSERT_EQ(lrd_encoder_stats(e, &st), LRD_OK);
  EXPECT_EQ(st.discarded, 11764u);
  EXPECT_EQ(st.chunks, 30519u);
  EXPECT_EQ(n.size, 771237696u);
  EXPECT_EQ(n.refs, 18752u);  // and so 30519 - 18752 = 11767 literal chunks
  EXPECT_EQ(back, total);
  EXPECT_EQ(nonzero, 0u);
  EXPECT_EQ(lrd_decoder_fault(d, nullptr), LRD_FAULT_NONE);
  lrd_encoder_free(e);
  lrd_decoder_free(d);
}

TEST(Slow, RoundTripBeyondThePositionWrapThroughPipes) {
  // 4.3 GB: past 4194304000, where positions wrap, with repeats near and
  // beyond the 1000 MiB window.
  const std::string gen = std::string(LRDEDUP_GEN) + " 4300000000 5";
  cmd_result want = run_cmd(sh(gen + " | sha256sum"));
  ASSERT_EQ(want.status, 0);
  cmd_result got = run_cmd(sh(gen + " | " + exe() + " e - - | " + exe() + " d - - | sha256sum"));
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, want.out);
  // Both sides print the same statistics line, with the full 64-bit sum.
  size_t first = got.err.find("sum=4300000000 x=");
  ASSERT_NE(first, std::string::npos) << got.err;
  std::string line = got.err.substr(first, got.err.find('\n', first) - first);
  EXPECT_NE(got.err.find(line, first + 1), std::string::npos) << got.err;
}

}  // namespace
