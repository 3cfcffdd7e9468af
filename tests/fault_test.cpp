// The fault sweep: every call of the program's to the C library (open, read,
// write, mappings, thread starts, ...) is made to fail in turn, one per run,
// in every mode. A run either recovers, with exact output and statistics, or
// fails with status 1, one "lrdedup:" line giving that call's own error, and
// no output file left. Never wrong bytes with status 0, never a crash.
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <sstream>

#include "test_util.h"

using namespace lrd;

namespace {

// What a call is made to fail with: an error it really returns, and for the
// calls that a signal can interrupt, EINTR.
const std::map<std::string, std::vector<int>> cfg_faults = {
    {"open", {EACCES, EINTR}},     {"read", {EIO, EINTR}},        {"preadv2", {EIO, EINTR, EOPNOTSUPP}},
    {"poll", {EINTR, ENOMEM}},
    {"write", {ENOSPC, EINTR}},    {"writev", {ENOSPC, EINTR}},   {"vmsplice", {EINVAL, ENOMEM, EINTR}},
    {"pwrite", {ENOSPC, EINTR}},   {"mmap", {ENOMEM}},            {"mremap", {ENOMEM}},
    {"munmap", {EINVAL}},          {"madvise", {EINVAL}},         {"ftruncate", {EIO, EINTR}},
    {"fstat", {EIO}},              {"stat", {EIO}},               {"lstat", {EIO}},
    {"close", {EIO, EINTR}},       {"fcntl", {EINVAL}},           {"lseek", {EINVAL}},
    {"pthread_create", {EAGAIN}},
};

// How a side is given: 'f' a named file, 'p' a pipe, 'r' standard input or
// output redirected to a regular file.
struct mode {
  const char* name;
  const char* letter;  // e or d
  char in, out;
};

const mode cfg_modes[] = {
    {"encode_file_to_file", "e", 'f', 'f'},   {"encode_pipe_to_file", "e", 'p', 'f'},
    {"encode_file_to_pipe", "e", 'f', 'p'},   {"encode_redirected", "e", 'r', 'r'},
    {"decode_file_to_file", "d", 'f', 'f'},   {"decode_pipe_to_file", "d", 'p', 'f'},
    {"decode_file_to_pipe", "d", 'f', 'p'},   {"decode_redirected", "d", 'r', 'r'},
};

void PrintTo(const mode& m, std::ostream* os) { *os << m.name; }

struct outcome {
  int status = -1;
  bytes out;
  std::string stdout_text, stderr_text;
  bool out_exists = false;
};

std::string slurp(const std::string& path) {
  const bytes b = read_file(path);
  std::remove(path.c_str());
  return std::string(b.begin(), b.end());
}

// One run of the program in mode m over `in`, with `env` before it.
outcome run_mode(const mode& m, const std::string& in, const std::string& env) {
  const std::string out = tmp_path("fault.out"), so = tmp_path("fault.so"), se = tmp_path("fault.se"),
                    rc = tmp_path("fault.rc");
  std::remove(out.c_str());
  const std::string args = std::string(" ") + m.letter + " " + (m.in == 'f' ? in : "-") + " " +
                           (m.out == 'f' ? out : "-");
  // The pipes are real: cat feeds the one and drains the other.
  const std::string redirect = (m.in == 'r' ? " <" + in : "") + (m.out == 'r' ? " >" + out : m.out == 'f' ? " >" + so : "");
  std::string cmd = "( " + env + " " + exe() + args + redirect + " 2>" + se + "; echo $? >" + rc + " )";
  if (m.in == 'p') cmd = "cat " + in + " | " + cmd;
  if (m.out == 'p') cmd += " | cat >" + out;
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  outcome o;
  o.status = std::atoi(slurp(rc).c_str());
  o.out_exists = file_exists(out);
  o.out = read_file(out);
  std::remove(out.c_str());
  if (m.out == 'f') o.stdout_text = slurp(so);
  o.stderr_text = slurp(se);
  return o;
}

std::string preload() {
  // The sanitizer runtime wants to be first of the libraries; the shim
  // passes each call on to it, so it may come before.
  return std::string("LD_PRELOAD=") + LRDEDUP_FAULT_SHIM +
         " ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0";
}

class FaultSweep : public ::testing::TestWithParam<mode> {};

TEST_P(FaultSweep, EveryFailedCallEndsInExactOutputOrACleanFailure) {
  const mode& m = GetParam();
  const std::string plain = tmp_path("fault.plain"), stream = tmp_path("fault.lrd");
  // Some 6 input buffers, half of them repeats, so that references, several
  // blocks of output and the helper threads all take part.
  const bytes data = with_repeats(400000, 150000, 19);
  write_file(plain, data);
  ASSERT_EQ(run_cmd(exe() + " e " + plain + " " + stream).status, 0);
  const bool enc = m.letter[0] == 'e';
  const std::string in = enc ? plain : stream;
  const bytes want = enc ? read_file(stream) : data;

  // A run without faults: what every recovered run must match, and how many
  // calls of each kind there are.
  const std::string counts = tmp_path("fault.counts");
  const outcome clean = run_mode(m, in, preload() + " LRD_FAULT_COUNT=" + counts);
  ASSERT_EQ(clean.status, 0) << clean.stderr_text;
  ASSERT_TRUE(clean.out == want);
  std::istringstream cs(slurp(counts));
  std::map<std::string, unsigned> calls;
  for (std::string name; cs >> name;) cs >> calls[name];
  ASSERT_GT(calls["mmap"] + calls["read"], 0u) << "the shim saw no calls";

  unsigned runs = 0, failed = 0;
  for (const auto& [name, errnos] : cfg_faults) {
    // Threads may make a call or two more than in the clean run.
    for (unsigned n = 1; n <= calls[name] + 2; n++) {
      for (int e : errnos) {
        const std::string what = name + ":" + std::to_string(n) + ":" + std::to_string(e);
        SCOPED_TRACE(what);
        const outcome o = run_mode(m, in, preload() + " LRD_FAULT=" + what);
        runs++;
        ASSERT_TRUE(o.status == 0 || o.status == 1) << "status " << o.status << "\n" << o.stderr_text;
        if (o.status == 0) {
          ASSERT_TRUE(o.out == want) << "exit 0 with other bytes";
          // The statistics, and nothing else; with standard output not to be
          // looked at, they go to standard error, where they cannot be data.
          EXPECT_EQ(o.stdout_text + o.stderr_text, clean.stdout_text + clean.stderr_text);
          continue;
        }
        failed++;
        // The message is the last line on stderr, after any statistics line
        // printed at the start, and gives the error of the call that failed.
        const std::string& err = o.stderr_text;
        const size_t at = err.find("lrdedup: ");
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(err.find('\n', at), err.size() - 1) << err;
        EXPECT_NE(err.find(std::strerror(e), at), std::string::npos) << err;
        if (m.out == 'f') {
          EXPECT_FALSE(o.out_exists) << "a failed run left its output";
        }
        if (HasFatalFailure() || HasNonfatalFailure()) return;
      }
    }
  }
  std::remove(plain.c_str());
  std::remove(stream.c_str());
  // Both outcomes must occur, or the sweep has not reached the program.
  EXPECT_GT(failed, 0u);
  EXPECT_LT(failed, runs);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep, ::testing::ValuesIn(cfg_modes),
                         [](const ::testing::TestParamInfo<mode>& i) { return std::string(i.param.name); });

}  // namespace
