// The built program: command line, exit statuses, what it prints, the mended
// failure cases (write and read errors, allocation, output = input), pipes.
#include "test_util.h"

namespace {

const char* startup = "cfg_tblsize=53687091 cfg_decwinsize=1048576000 sizeof(hinf)=28\n";

struct files {
  std::string in = tmp_path("cli.in"), enc = tmp_path("cli.enc"), out = tmp_path("cli.out");
  ~files() {
    std::remove(in.c_str());
    std::remove(enc.c_str());
    std::remove(out.c_str());
  }
};

TEST(Cli, TooFewArgumentsExitOneWithNothingOnStdout) {
  for (const char* args : {"", " e", " e in"}) {
    cmd_result r = run_cmd(exe() + args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
}

TEST(Cli, MissingInputDoesNotCreateTheOutput) {
  files f;
  cmd_result r = run_cmd(exe() + " e " + f.in + " " + f.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(file_exists(f.out));
  EXPECT_EQ(r.err, "lrdedup: " + f.in + ": No such file or directory\n");
}

TEST(Cli, UnwritableOutputExitsOne) {
  files f;
  write_file(f.in, to_bytes("abc"));
  cmd_result r = run_cmd(exe() + " e " + f.in + " /nonexistent-dir/x");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
}

TEST(Cli, ModeIsTheFirstLetterD) {
  files f;
  write_file(f.in, {});
  for (const char* m : {"d", "decode", "D-is-not-d", "x", "c", "''"}) {
    cmd_result r = run_cmd(exe() + " " + m + " " + f.in + " " + f.out + " ignored extra");
    EXPECT_EQ(r.status, 0) << m;
    bool decodes = m[0] == 'd';
    EXPECT_EQ(r.out.rfind(startup, 0) == 0, !decodes) << m << ": " << r.out;
  }
}

TEST(Cli, EmptyInputEncodesToThreeLinesAndAnEmptyStream) {
  files f;
  write_file(f.in, {});
  cmd_result r = run_cmd(exe() + " e " + f.in + " " + f.enc);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(startup) + "c_discard=0\nsum=0 x=1 avglen=0.0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(read_file(f.enc).empty());
  r = run_cmd(exe() + " d " + f.enc + " " + f.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "sum=0 x=1 avglen=0.0\n");
  EXPECT_TRUE(read_file(f.out).empty());
}

TEST(Cli, RoundTripWithMatchingStatistics) {
  files f;
  bytes in = random_bytes(300000, 7);
  bytes again(in.begin(), in.begin() + 200000);
  in.insert(in.end(), again.begin(), again.end());
  write_file(f.in, in);
  cmd_result e = run_cmd(exe() + " e " + f.in + " " + f.enc);
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_LT(read_file(f.enc).size(), 320000u);
  cmd_result d = run_cmd(exe() + " d " + f.enc + " " + f.out);
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(read_file(f.out), in);
  // The decoder's line equals the encoder's last line.
  EXPECT_EQ(e.out.substr(e.out.rfind("sum=")), d.out);
  EXPECT_EQ(d.out.rfind("sum=500000 x=", 0), 0u);
}

TEST(Cli, OutputNamingTheInputIsRefusedBeforeTruncating) {
  files f;
  bytes in = random_bytes(5000, 8);
  write_file(f.in, in);
  std::string link = tmp_path("cli.link");
  std::remove(link.c_str());
  ASSERT_EQ(::link(f.in.c_str(), link.c_str()), 0);
  for (const std::string& out : {f.in, link}) {
    cmd_result r = run_cmd(exe() + " e " + f.in + " " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("output is the input"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(f.in), in);
  }
  std::remove(link.c_str());
}

TEST(Cli, FullDiskIsAnErrorNotASuccess) {
  files f;
  write_file(f.in, random_bytes(200000, 9));
  cmd_result r = run_cmd(exe() + " e " + f.in + " /dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lrdedup: /dev/full: No space left on device\n");
  // The statistics are not printed for a run that failed.
  EXPECT_EQ(r.out.find("sum="), std::string::npos);
}

TEST(Cli, FailedRunRemovesItsHalfWrittenOutput) {
  files f;
  // A file size limit makes a write fail part way through the output.
  write_file(f.in, random_bytes(400000, 10));
  cmd_result r = run_cmd("ulimit -f 100; " + exe() + " e " + f.in + " " + f.enc);
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(file_exists(f.enc));

  // Larger runs fail while many output blocks are still queued for writing,
  // in both directions, with the write's own error.
  write_file(f.in, with_repeats(6000000, 3000000, 11));
  ASSERT_EQ(run_cmd(exe() + " e " + f.in + " " + f.enc).status, 0);
  for (const char* mode : {"e", "d"}) {
    const std::string in = mode[0] == 'e' ? f.in : f.enc;
    r = run_cmd("ulimit -f 1000; " + exe() + " " + mode + " " + in + " " + f.out);
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_EQ(r.err, "lrdedup: " + f.out + ": File too large\n") << mode;
    EXPECT_EQ(r.out.find("sum="), std::string::npos) << mode;
    EXPECT_FALSE(file_exists(f.out)) << mode;
  }
}

TEST(Cli, DirectoryInputIsAnError) {
  files f;
  cmd_result r = run_cmd(exe() + " e / " + f.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lrdedup: /: Is a directory\n");
  EXPECT_FALSE(file_exists(f.out));
}

TEST(Cli, AllocationFailureIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit allows";
#else
  files f;
  auto expect_refused = [&](const std::string& limit, const char* mode, const std::string& in) {
    cmd_result r = run_cmd("ulimit -v " + limit + "; " + exe() + " " + mode + " " + in + " " + f.out);
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_NE(r.err.find("cannot allocate"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.out.find("sum="), std::string::npos) << mode;
    EXPECT_FALSE(file_exists(f.out)) << mode;
  };
  // The decoder maps its window at the start.
  write_file(f.in, to_bytes("abc"));
  expect_refused("400000", "d", f.in);
  // The encoder's index grows with the input. The least address space (KiB,
  // to a MiB) that a tiny input runs in, and 4 MiB more, is refused part way
  // through an input whose index needs more: that run fails as a whole.
  uint32_t lo = 0, hi = 400 * 1024;
  while (hi - lo > 1024) {
    const uint32_t mid = (lo + hi) / 2;
    const bool ran = run_cmd("ulimit -v " + std::to_string(mid) + "; " + exe() + " e " + f.in + " " + f.out).status == 0;
    (ran ? hi : lo) = mid;
  }
  ASSERT_LT(hi, 400u * 1024);
  write_file(f.in, random_bytes(32 << 20, 12));  // 200000 chunks: 6 MiB of index
  expect_refused(std::to_string(hi + 4096), "e", f.in);
#endif
}

TEST(Cli, PipesKeepTheDataCleanAndMoveStatisticsToStderr) {
  files f;
  bytes in = random_bytes(150000, 11);
  in.insert(in.end(), in.begin(), in.end());
  write_file(f.in, in);
  cmd_result r = run_cmd("cat " + f.in + " | " + exe() + " e - - | " + exe() + " d - " + f.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(f.out), in);
  EXPECT_EQ(r.err.rfind(startup, 0), 0u) << r.err;
  EXPECT_EQ(r.out.rfind("sum=300000 x=", 0), 0u) << r.out;
}

}  // namespace
