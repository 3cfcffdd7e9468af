// The program on Unix files: read errors, corrupt streams, files that
// change or fill up under a run, holes, and the standard descriptors.
#include "cli_unix_util.h"

using namespace lrd;
using namespace cli_unix;

namespace {

// A descriptor reading this process's memory: `good` bytes of a file mapping,
// then pages past the end of the file, where a read fails with EIO.
struct failing_input {
  owned_fd fd;
  void* map = nullptr;
  size_t len = 0;
  explicit failing_input(const bytes& good) {
    std::string path = tmp_path("unix.mapped");
    owned_fd file = create_fd(path);
    std::remove(path.c_str());
    if (file < 0 || ftruncate(file, static_cast<off_t>(good.size())) != 0) return;
    len = 2 * good.size();
    map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (map == MAP_FAILED) {
      map = nullptr;
      return;
    }
    std::memcpy(map, good.data(), good.size());
    fd = open_fd("/proc/self/mem", O_RDONLY);
    if (fd >= 0 && lseek(fd, static_cast<off_t>(reinterpret_cast<uintptr_t>(map)), SEEK_SET) < 0)
      fd = owned_fd();
  }
  ~failing_input() {
    if (map) munmap(map, len);
  }
};



TEST(ReadError, MidRunRemovesTheOutputInBothModes) {
  const bytes data = random_bytes(1 << 20, 41);
  for (const char* mode : {"e", "d"}) {
    failing_input in(data);
    if (in.fd < 0) GTEST_SKIP() << "no /proc/self/mem to read from";
    files f;
    std::string out = f("out"), lines = f("lines"), err = f("err");
    owned_fd lines_fd = create_fd(lines), err_fd = create_fd(err);
    session s;
    s.start({mode, "-", out}, in.fd, lines_fd, err_fd);
    EXPECT_TRUE(exited_with(s.wait(), 1)) << mode;
    EXPECT_EQ(as_text(read_file(err)), "lrdedup: (stdin): Input/output error\n") << mode;
    EXPECT_FALSE(file_exists(out)) << mode;
    EXPECT_EQ(as_text(read_file(lines)), std::string(mode) == "e" ? startup : "") << mode;
  }
}

TEST(ReadError, ACorruptStreamKeepsAllItDecodes) {
  files f;
  std::string in = f("in"), out = f("out");
  // A reference with distance 0 as the first chunk (it copies zero bytes from
  // the empty window until the chunker cuts at 65535), then a literal.
  bytes stream = {0xEB, 0x3D, 0xBE, 0x00, 0, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'};
  write_file(in, stream);
  cmd_result r = run_cmd(exe() + " d " + in + " " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lrdedup: " + in + ": corrupt stream: reference with distance 0 at offset 0\n");
  EXPECT_EQ(r.out, "sum=65540 x=2 avglen=32770.0\n");
  bytes want(65535, 0);
  want.insert(want.end(), stream.end() - 5, stream.end());
  EXPECT_EQ(read_file(out), want);
}

// --- Files changed under the run, holes, a full file system ----------------

// Starts `args` with stdout to `lines` and stderr to `err`, waits until the
// file `watch` holds data, stops the program while `change` runs, lets it go
// on and returns its wait status.
int change_mid_run(const std::vector<std::string>& args, const std::string& lines, const std::string& err,
                   const std::string& watch, const std::function<void()>& change) {
  owned_fd none = null_fd(), lines_fd = create_fd(lines), err_fd = create_fd(err);
  const pid_t pid = spawn(args, none, lines_fd, err_fd);
  int st = 0;
  struct stat ws;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (stat(watch.c_str(), &ws) == 0 && ws.st_blocks > 0) {
      kill(pid, SIGSTOP);
      change();
      kill(pid, SIGCONT);
      waitpid(pid, &st, 0);
      return st;
    }
    usleep(500);
  }
  ADD_FAILURE() << "the run ended before " << watch << " held data";
  return st;
}

TEST(Changed, AFileCutShortUnderTheRunIsAnErrorAndLeavesNoOutput) {
  // The encoder reads its input through a mapping, the decoder its history
  // through one of its output: either cut short must end the run with a line,
  // status 1 and no output, never a crash or a wrong file.
  files f;
  const std::string in = f("in"), enc = f("enc"), out = f("out"), lines = f("lines"), err = f("err");
  write_file(in, sample(48 << 20, 51));
  int st = change_mid_run({"e", in, enc}, lines, err, enc, [&] { EXPECT_EQ(truncate(in.c_str(), 4096), 0); });
  EXPECT_TRUE(exited_with(st, 1)) << st;
  EXPECT_EQ(as_text(read_file(err)), "lrdedup: " + in + ": file changed size while reading\n");
  EXPECT_FALSE(file_exists(enc));

  write_file(in, sample(48 << 20, 52));
  ASSERT_EQ(run_cmd(exe() + " e " + in + " " + enc).status, 0);
  st = change_mid_run({"d", enc, out}, lines, err, out, [&] { EXPECT_EQ(truncate(out.c_str(), 0), 0); });
  EXPECT_TRUE(exited_with(st, 1)) << st;
  EXPECT_EQ(as_text(read_file(err)), "lrdedup: " + out + ": file changed size while writing\n");
  EXPECT_FALSE(file_exists(out));
}

TEST(Holes, ZeroBlocksOfADecodedFileAreLeftUnwritten) {
  files f;
  const std::string probe = f("probe"), in = f("in"), enc = f("enc"), out = f("out");
  {  // Only where the file system keeps holes.
    owned_fd p = create_fd(probe);
    struct stat ps;
    if (ftruncate(p, 1 << 20) != 0 || fstat(p, &ps) != 0 || ps.st_blocks * 512 >= (1 << 20))
      GTEST_SKIP() << "no holes on this file system";
  }
  // Zero runs that start and end off a 4 KiB block, data between them, a
  // size that is no multiple of a page.
  const bytes data = cat({random_bytes(5000, 53), bytes(300000, 0), random_bytes(7000, 54), bytes(100001, 0)});
  write_file(in, data);
  ASSERT_EQ(run_cmd(exe() + " e " + in + " " + enc).status, 0);
  ASSERT_EQ(run_cmd(exe() + " d " + enc + " " + out).status, 0);
  EXPECT_EQ(read_file(out), data);
  struct stat os;
  ASSERT_EQ(stat(out.c_str(), &os), 0);
  EXPECT_EQ(os.st_size, static_cast<off_t>(data.size()));
  // 12000 bytes of data touch at most five 4 KiB blocks.
  EXPECT_LE(os.st_blocks * 512, 5 * 4096) << "zero blocks were written";
  // Standard output gets every byte.
  cmd_result piped = run_cmd("cat " + enc + " | " + exe() + " d - - > " + out);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(read_file(out), data);
}

TEST(Full, AFullFileSystemIsAnErrorAndLeavesNoOutput) {
  files f;
  const std::string dir = tmp_path("unix.small"), in = f("in"), enc = f("enc");
  mkdir(dir.c_str(), 0700);
  if (run_cmd("mount -t tmpfs -o size=1m tmpfs " + dir).status != 0) {
    rmdir(dir.c_str());
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  write_file(in, random_bytes(4 << 20, 55));
  ASSERT_EQ(run_cmd(exe() + " e " + in + " " + enc).status, 0);
  for (const char* mode : {"e", "d"}) {
    const std::string out = dir + "/out";
    cmd_result r = run_cmd(exe() + " " + mode + " " + (mode[0] == 'e' ? in : enc) + " " + out);
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_EQ(r.err, "lrdedup: " + out + ": No space left on device\n") << mode;
    EXPECT_FALSE(file_exists(out)) << mode;
  }
  run_cmd("umount " + dir);
  rmdir(dir.c_str());
}

// --- Standard input or output that is a regular file ----------------------

// Data whose references reach past the output buffers (so a decoder reads
// them back from its history), with zero runs for holes: 6 MiB in all.
bytes std_file_data() {
  return cat({sample(4 << 20, 61), bytes(1 << 20, 0), random_bytes(3000, 62), bytes((1 << 20) + 777, 0)});
}

// Bytes of `path` that take disk blocks; -1 where the file system keeps no holes.
int64_t allocated_if_holes(const std::string& path, const std::string& probe) {
  owned_fd p = create_fd(probe);
  struct stat ps, st;
  if (ftruncate(p, 1 << 20) != 0 || fstat(p, &ps) != 0 || ps.st_blocks * 512 >= (1 << 20)) return -1;
  return stat(path.c_str(), &st) == 0 ? int64_t{st.st_blocks} * 512 : -1;
}

// Once the file behind out_fd holds data, stops the program `pid` while
// `act` runs and lets it go on: its wait status.
int act_mid_run(pid_t pid, int out_fd, const std::function<void()>& act) {
  int st = 0;
  bool acted = false;
  struct stat os;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (!acted && fstat(out_fd, &os) == 0 && os.st_blocks > 0) {
      kill(pid, SIGSTOP);
      act();
      kill(pid, SIGCONT);
      acted = true;
    }
    usleep(500);
  }
  EXPECT_TRUE(acted) << "the run ended before its output held data";
  return st;
}

TEST(StdFile, StandardOutputIntoAFileIsTheHistoryOnlyWhereItStaysAsWritten) {
  const bytes data = std_file_data();
  const reference ref = encode_reference(data);
  files f;
  const std::string enc = f("enc"), out = f("out"), probe = f("probe");
  write_file(enc, ref.stream);
  const bytes head = to_bytes("header\n"), tail = to_bytes("trailer\n");
  const std::string d = exe() + " d " + enc + " -";
  const struct {
    std::string cmd;
    bytes want;
    bool holes;  // the zero runs stay holes: decoded with the file as history
  } cases[] = {
      {d + " > " + out, data, true},
      // From an offset, and the offset left behind the data for what follows.
      {"{ printf 'header\\n'; " + d + "; printf 'trailer\\n'; } > " + out, cat({head, data, tail}), true},
      // Appended to: written through the window, every byte.
      {"printf 'header\\n' > " + out + "; " + d + " >> " + out, cat({head, data}), false},
      // The statistics go into the same file, behind the data.
      {d + " > " + out + " 2>&1", cat({data, to_bytes(ref.sum_line)}), false},
      // Old data after the start stays where the output does not reach.
      {"head -c 8000000 /dev/urandom | tr '\\0' x > " + out + "; " + d + " 1<> " + out, {}, false},
  };
  for (const auto& c : cases) {
    cmd_result r = run_cmd(c.cmd);
    EXPECT_EQ(r.status, 0) << c.cmd << ": " << r.err;
    bytes got = read_file(out);
    if (c.want.empty()) {  // the last case: data, then the old bytes beyond it
      ASSERT_EQ(got.size(), 8000000u) << c.cmd;
      EXPECT_TRUE(bytes(got.begin(), got.begin() + static_cast<long>(data.size())) == data) << c.cmd;
      EXPECT_EQ(std::count(got.begin() + static_cast<long>(data.size()), got.end(), 0), 0) << c.cmd;
    } else {
      EXPECT_TRUE(got == c.want) << c.cmd << ": " << got.size() << " bytes";
    }
    const int64_t alloc = allocated_if_holes(out, probe);
    if (c.holes && alloc >= 0) {
      EXPECT_LT(alloc, int64_t{5} << 20) << c.cmd << ": zero runs were written";
    }
    std::remove(out.c_str());
  }
}

TEST(StdFile, WrittenThroughTheSameDescriptorMeanwhileIsAnError) {
  // Another process writing through standard output's descriptor moves its
  // offset; the file no longer holds what was decoded where it was put.
  files f;
  const std::string in = f("in"), enc = f("enc"), out = f("out"), err = f("err");
  write_file(in, sample(48 << 20, 63));
  ASSERT_EQ(run_cmd(exe() + " e " + in + " " + enc).status, 0);
  owned_fd none = null_fd(), out_fd = create_fd(out), err_fd = create_fd(err);
  const int st = act_mid_run(spawn({"d", enc, "-"}, none, out_fd, err_fd), out_fd,
                             [&] { EXPECT_EQ(write(out_fd, "X", 1), 1); });
  EXPECT_TRUE(exited_with(st, 1)) << st;
  EXPECT_EQ(as_text(read_file(err)), "lrdedup: (stdout): file changed size while writing\n");
}

TEST(StdFile, StandardInputFromAFileIsReadAtItsOffsetAndPipesInLargePieces) {
  const bytes data = std_file_data();
  const reference ref = encode_reference(data);
  files f;
  const std::string in = f("in"), enc = f("enc"), got = f("got");
  write_file(in, data);
  {
    // Standard input at an offset: the data from there on, whatever is done
    // meanwhile with the offset it shares with others; at the end the
    // offset is left behind the data.
    const bytes big = sample(48 << 20, 64);
    const size_t skip = 777;
    const reference tail_ref = encode_reference(bytes(big.begin() + skip, big.end()));
    const std::string big_in = f("big");
    write_file(big_in, big);
    owned_fd in_fd = open_fd(big_in, O_RDONLY), none = null_fd(), out_fd = create_fd(enc);
    ASSERT_EQ(lseek(in_fd, static_cast<off_t>(skip), SEEK_SET), static_cast<off_t>(skip));
    const int st = act_mid_run(spawn({"e", "-", "-"}, in_fd, out_fd, none), out_fd,
                               [&] { EXPECT_EQ(lseek(in_fd, 100, SEEK_SET), 100); });
    EXPECT_TRUE(exited_with(st, 0)) << st;
    EXPECT_TRUE(read_file(enc) == tail_ref.stream);
    EXPECT_EQ(lseek(in_fd, 0, SEEK_CUR), static_cast<off_t>(big.size()));
  }
  cmd_result r;
  // Pipes on both sides, read in pieces larger than 64 KiB: the same bytes
  // and lines as between files.
  r = run_cmd("cat " + in + " | " + exe() + " e - - | cat > " + enc);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(enc) == ref.stream);
  EXPECT_EQ(r.err, ref.lines);
  r = run_cmd("cat " + enc + " | " + exe() + " d - - | cat > " + got);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(got) == data);
  EXPECT_EQ(r.err, ref.sum_line);
}

// --- Standard input and output ---------------------------------------------

TEST(Dash, EitherSideInBothModesWithTheStatisticsOffTheData) {
  const bytes data = sample(400000, 51);
  const reference ref = encode_reference(data);
  files f;
  std::string plain = f("plain"), enc = f("enc"), got = f("got");
  write_file(plain, data);
  write_file(enc, ref.stream);
  struct mode_case {
    const char* mode;
    const std::string& in;
    const bytes& want;
    std::string lines;
  } modes[] = {{"e", plain, ref.stream, ref.lines}, {"d", enc, data, ref.sum_line}};
  for (const mode_case& m : modes) {
    // How the input is given: by name, '-' on a file, '-' on a pipe.
    const struct {
      std::string arg, redirect, pipe_from;
    } ins[] = {{m.in, "", ""}, {"-", "< " + m.in, ""}, {"-", "", "cat " + m.in + " | "}};
    // How the output: by name, '-' to a file, a name for standard output.
    const struct {
      std::string arg, redirect;
    } outs[] = {{got, ""}, {"-", "> " + got}, {"/dev/stdout", "> " + got}};
    for (const auto& i : ins) {
      for (const auto& o : outs) {
        std::remove(got.c_str());
        std::string cmd = i.pipe_from + exe() + " " + m.mode + " " + i.arg + " " + o.arg + " " + i.redirect +
                          " " + o.redirect;
        cmd_result r = run_cmd(cmd);
        EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
        EXPECT_TRUE(read_file(got) == m.want) << cmd;
        // Statistics on standard output, unless the data goes there.
        const bool data_on_stdout = !o.redirect.empty();
        EXPECT_EQ(data_on_stdout ? r.err : r.out, m.lines) << cmd;
        EXPECT_EQ(data_on_stdout ? r.out : r.err, "") << cmd;
      }
    }
  }
}

TEST(Dash, NonBlockingStandardDescriptorsAreWaitedOn) {
  // Descriptors handed over in non-blocking mode say "try again" instead of
  // waiting; that is no read or write error.
  const bytes data = random_bytes(8 * 65536, 52);
  const reference ref = encode_reference(data);
  owned_fd none = null_fd();
  session s;
  s.data = data;
  s.gap_ms = 30;
  s.start({"e", "-", "-"}, session::fed, session::drained, none, true);
  EXPECT_TRUE(exited_with(s.wait(), 0));
  EXPECT_TRUE(to_bytes(s.got) == ref.stream) << s.got.size() << " bytes";
}

TEST(Dash, ClosedStandardDescriptorsNeverTakeTheOutputsPlace) {
  const bytes data = sample(200000, 53);
  const reference ref = encode_reference(data);
  files f;
  std::string in = f("in"), out = f("out");
  write_file(in, data);
  for (const char* closing : {">&-", "<&- >&-", "2>&-", "<&- 2>&-", "<&- >&- 2>&-"}) {
    std::remove(out.c_str());
    cmd_result r = run_cmd(exe() + " e " + in + " " + out + " " + closing);
    EXPECT_EQ(r.status, 0) << closing;
    EXPECT_EQ(read_file(out), ref.stream) << closing;
  }
  // Data that should come from or go to a closed descriptor cannot.
  for (const std::string& args : {"e - " + out + " <&-", "e " + in + " - >&-"}) {
    cmd_result r = run_cmd(exe() + " " + args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find("Bad file descriptor"), std::string::npos) << args << ": " << r.err;
  }
}

}  // namespace
