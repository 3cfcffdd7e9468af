// Long runs through the built program (label "slow"): the window limit and
// the expiry sweep on 2 GB of zeros, and a round trip beyond the 4 GiB wrap.
#include "test_util.h"

namespace {

std::string sh(const std::string& script) {
  std::string quoted;
  for (char ch : script) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return "bash -o pipefail -c '" + quoted + "'";
}

TEST(Slow, TwoGigabytesOfZeros) {
  std::string enc = tmp_path("zeros.lrd");
  cmd_result e = run_cmd(sh("head -c 2000000000 /dev/zero | " + exe() + " e - " + enc));
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_NE(e.out.find("\nc_discard=11764\nsum=2000000000 x=30519 avglen=65532.9\n"), std::string::npos)
      << e.out;
  // Count the references: the literals are zero bytes, so every marker is one.
  FILE* f = std::fopen(enc.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint64_t size = 0, refs = 0;
  std::vector<uint8_t> buf(1 << 20);
  uint32_t tail = 0;  // the last 3 bytes seen, across buffer edges
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;) {
    for (size_t i = 0; i < n; i++) {
      if ((tail & 0xFFFFFF) == 0xEB3DBE && buf[i] == 0) refs++;
      tail = (tail << 8) | buf[i];
    }
    size += n;
  }
  std::fclose(f);
  EXPECT_EQ(size, 771237696u);
  EXPECT_EQ(refs, 18752u);  // and so 30519 - 18752 = 11767 literal chunks
  cmd_result d = run_cmd(sh(exe() + " d " + enc + " - | cmp - <(head -c 2000000000 /dev/zero)"));
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.err, "sum=2000000000 x=30519 avglen=65532.9\n");
  std::remove(enc.c_str());
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
