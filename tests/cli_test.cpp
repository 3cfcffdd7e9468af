// The built program: command line, --help and --version, exit statuses, what it
// prints, failures (write, read, allocation, output = input), a large input, pipes.
#include <algorithm>

#include "lrdedup.h"
#include "test_util.h"

using namespace lrd;

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
  // A first argument that does not begin with '-', or is '-', is a mode.
  for (const char* args : {" e", " e in", " in.tar", " - in", " '' in"}) {
    cmd_result r = run_cmd(exe() + args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
}

TEST(Cli, HelpAndVersionAloneAnswerOnStdoutWithStatusZero) {
  const std::string usage = run_cmd(exe() + " e").err;
  for (const char* opt : {" --help", " -h"}) {
    cmd_result r = run_cmd(exe() + opt);
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.err, "") << opt;
    // The usage lines of a short run, the option form first; then a line
    // for each option, and for e, d and '-'.
    EXPECT_EQ(r.out.rfind(usage, 0), 0u) << r.out;
    EXPECT_LT(usage.find("[OPTIONS] [FILE...]"), usage.find("e|d <input> <output>")) << usage;
    for (const char* line : {"\n  -d, --decompress", "\n  -c, --stdout", "\n  -o ", "\n  -k, --keep",
                             "\n      --rm", "\n  -f, --force", "\n  -q, --quiet", "\n  -v, --verbose",
                             "\n  -T N, --threads=N", "\n      --first-copy", "\n  -V, --version", "\n  -- ",
                             "\n  e ", "\n  d ", "\n  - "})
      EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }
  for (const char* opt : {" --version", " -V"}) {
    cmd_result r = run_cmd(exe() + opt);
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.err, "") << opt;
    // "lrdedup 1.2.3": digits and two dots, then the end of the line.
    EXPECT_EQ(r.out, "lrdedup " LRD_VERSION_STRING "\n");
    EXPECT_EQ(r.out.find_first_not_of("0123456789.", 8), r.out.size() - 1) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '.'), 2) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
  }
  cmd_result r = run_cmd(exe() + " --help >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lrdedup: (stdout): No space left on device\n");
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
  for (const char* m : {"d", "decode", "D-is-not-d", "x", "c", "''", "-"}) {
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

TEST(Cli, ChunksWithAnEarlierKeyButOtherBytesAreWrittenInFullAndCounted) {
  // From a file (read through a mapping) and from a pipe (kept in a ring).
  files f;
  const std::vector<bytes> chunks = chunks_of(random_bytes(1 << 20, 8));
  bytes in;
  for (const bytes& c : chunks) in.insert(in.end(), c.begin(), c.end());
  size_t twins = 0;
  for (size_t k = 1; twins < 3; k++) {
    if (chunks[k].size() < 142) continue;
    const bytes t = twin_of(chunks[k], k);
    in.insert(in.end(), t.begin(), t.end());
    twins++;
  }
  write_file(f.in, in);
  const std::string line = ": 3 chunks had the key of an earlier chunk but other bytes; written in full\n";
  cmd_result e = run_cmd(exe() + " e " + f.in + " " + f.enc);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, "lrdedup: " + f.in + line);
  ASSERT_EQ(run_cmd(exe() + " d " + f.enc + " " + f.out).status, 0);
  EXPECT_EQ(read_file(f.out), in);
  e = run_cmd("cat " + f.in + " | " + exe() + " e - - > " + f.enc);
  EXPECT_EQ(e.status, 0);
  EXPECT_TRUE(e.err.ends_with("\nlrdedup: (stdin)" + line)) << e.err;
  ASSERT_EQ(run_cmd(exe() + " d " + f.enc + " " + f.out).status, 0);
  EXPECT_EQ(read_file(f.out), in);
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

TEST(Cli, UnwritableStatisticsFailTheRunAndRemoveItsOutput) {
  files f;
  const bytes in = with_repeats(100000, 50000, 12);
  write_file(f.in, in);
  ASSERT_EQ(run_cmd(exe() + " e " + f.in + " " + f.enc).status, 0);
  const bytes stream = read_file(f.enc);
  for (const char* mode : {"e", "d"}) {
    const std::string& from = mode[0] == 'e' ? f.in : f.enc;
    const bytes& want = mode[0] == 'e' ? stream : in;
    cmd_result r = run_cmd(exe() + " " + mode + " " + from + " " + f.out + " >/dev/full");
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_EQ(r.err, "lrdedup: (stdout): No space left on device\n") << mode;
    EXPECT_FALSE(file_exists(f.out)) << mode;
    // With the data on standard output the statistics go to standard error.
    // Standard output is never removed: the decoder's holds every byte; the
    // encoder fails at its first line, before any data.
    r = run_cmd(exe() + " " + mode + " " + from + " - >" + f.out + " 2>/dev/full");
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_TRUE(read_file(f.out) == (mode[0] == 'd' ? want : bytes{})) << mode;
    std::remove(f.out.c_str());
  }
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

TEST(Cli, AnInputOfAQuarterGigabyteOrMoreCodesAsThroughAPipe) {
  // From a file this large the index has huge pages, committed at once from
  // a second thread; through a pipe, of unknown size, it has neither. The
  // stream must not tell the two apart.
  files f;
  write_file(f.in, {});
  ASSERT_EQ(truncate(f.in.c_str(), off_t{256} << 20), 0);
  cmd_result file = run_cmd(exe() + " e " + f.in + " " + f.enc);
  ASSERT_EQ(file.status, 0) << file.err;
  cmd_result pipe = run_cmd("cat " + f.in + " | " + exe() + " e - " + f.out);
  ASSERT_EQ(pipe.status, 0) << pipe.err;
  EXPECT_EQ(file.out, pipe.out);
  EXPECT_NE(file.out.find("\nsum=268435456 x=4097 avglen=65520.0\n"), std::string::npos) << file.out;
  const bytes stream = read_file(f.enc);
  EXPECT_EQ(stream.size(), 102391u);
  EXPECT_TRUE(stream == read_file(f.out));
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
  // Through a pipe, the encoder's history is a ring whatever the input's
  // size, so only the index grows with it.
  auto run_limited = [&](const std::string& limit, const char* mode, const std::string& in) {
    return run_cmd("ulimit -v " + limit + "; cat " + in + " | " + exe() + " " + mode + " - " + f.out);
  };
  auto expect_refused = [&](const std::string& limit, const char* mode, const std::string& in) {
    cmd_result r = run_limited(limit, mode, in);
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
  uint32_t lo = 0, hi = 2400 * 1024;
  while (hi - lo > 1024) {
    const uint32_t mid = (lo + hi) / 2;
    const bool ran = run_limited(std::to_string(mid), "e", f.in).status == 0;
    (ran ? hi : lo) = mid;
  }
  ASSERT_LT(hi, 2400u * 1024);
  write_file(f.in, random_bytes(32 << 20, 12));  // 200000 chunks: 6 MiB of index
  expect_refused(std::to_string(hi + 4096), "e", f.in);
  EXPECT_NE(run_limited(std::to_string(hi + 4096), "e", f.in).err.find("for the chunk index"), std::string::npos);
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
