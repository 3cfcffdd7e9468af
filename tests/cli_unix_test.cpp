// The program on Unix terminals and signals: what it refuses to read or
// write, its progress line, and what a signal leaves.
#include "cli_unix_util.h"

using namespace lrd;
using namespace cli_unix;

namespace {


// --- Terminals -------------------------------------------------------------

TEST(Terminal, EncodeRefusesToWriteAStreamToATerminal) {
  files f;
  std::string in = f("in"), out = f("out"), err = f("err");
  write_file(in, to_bytes("some data"));
  for (bool by_name : {false, true}) {
    pty t(true);
    owned_fd in_fd = open_fd(in, O_RDONLY), out_fd = create_fd(out), err_fd = create_fd(err);
    session s;
    s.ptys = {&t};
    s.start({"e", in, by_name ? t.name : "-"}, in_fd, by_name ? out_fd.fd : t.slave, err_fd);
    EXPECT_TRUE(exited_with(s.wait(), 1)) << by_name;
    std::string e = as_text(read_file(err));
    EXPECT_NE(e.find("refusing to write a compressed stream to a terminal"), std::string::npos) << e;
    EXPECT_EQ(e.find('\n'), e.size() - 1) << "one line: " << e;
    EXPECT_EQ(t.all(), "") << "nothing may reach the terminal";
    EXPECT_EQ(file_size(out), 0) << "nothing on standard output";
  }
}

TEST(Terminal, DecodeRefusesToReadAStreamFromATerminal) {
  files f;
  std::string out = f("out"), err = f("err"), lines = f("lines");
  for (bool by_name : {false, true}) {
    pty t(false);
    owned_fd none = null_fd(), err_fd = create_fd(err), lines_fd = create_fd(lines);
    session s;
    s.ptys = {&t};
    s.start({"d", by_name ? t.name : "-", out}, by_name ? none.fd : t.slave, lines_fd, err_fd);
    EXPECT_TRUE(exited_with(s.wait(), 1)) << by_name;
    std::string e = as_text(read_file(err));
    EXPECT_NE(e.find("refusing to read a compressed stream from a terminal"), std::string::npos) << e;
    EXPECT_EQ(e.find('\n'), e.size() - 1) << "one line: " << e;
    EXPECT_FALSE(file_exists(out)) << "refused before the output is created";
    EXPECT_EQ(file_size(lines), 0);
  }
}

TEST(Terminal, EncodeReadsATerminalAndDecodeWritesOne) {
  files f;
  std::string enc = f("enc"), err = f("err"), lines = f("lines");
  const std::string text = "hello world\n";  // shorter than a chunk can be cut: one plain literal
  {
    pty t(false);
    owned_fd lines_fd = create_fd(lines), err_fd = create_fd(err);
    session s;
    s.ptys = {&t};
    s.start({"e", "-", enc}, t.slave, lines_fd, err_fd);
    // A line, then end-of-file typed at the start of the next one.
    std::string typed = text + "\x04";
    ASSERT_EQ(write(t.master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(exited_with(s.wait(), 0)) << as_text(read_file(err));
    EXPECT_EQ(as_text(read_file(enc)), text);
    EXPECT_EQ(as_text(read_file(lines)), startup + "c_discard=0\nsum=12 x=1 avglen=12.0\n");
    EXPECT_EQ(as_text(read_file(err)), "");
  }
  {
    pty t(true);
    owned_fd in_fd = open_fd(enc, O_RDONLY), err_fd = create_fd(err);
    session s;
    s.ptys = {&t};
    s.start({"d", "-", "-"}, in_fd, t.slave, err_fd);
    EXPECT_TRUE(exited_with(s.wait(), 0)) << as_text(read_file(err));
    EXPECT_EQ(t.all(), text);
    EXPECT_EQ(as_text(read_file(err)), "sum=12 x=1 avglen=12.0\n");
  }
}

// --- Progress --------------------------------------------------------------
// Each run below lasts well over a second by construction: its input or its
// output moves one 64 KiB piece per 100 ms, and a pipe holds one piece only.

TEST(Progress, ShownOnATerminalForALongRunAndErasedBeforeTheStatistics) {
  const bytes data = random_bytes(13 * 65536, 21);
  const reference ref = encode_reference(data);
  files f;
  std::string out = f("out");
  pty t(true);
  owned_fd out_fd = create_fd(out);
  session s;
  s.data = data;
  s.ptys = {&t};
  s.start({"e", "-", "-"}, session::fed, out_fd, t.slave);
  EXPECT_TRUE(exited_with(s.wait(), 0));
  EXPECT_EQ(read_file(out), ref.stream);
  std::vector<std::string> lines = progress_lines(t.all(), startup, ref.lines.substr(startup.size()));
  ASSERT_FALSE(lines.empty());
  double mb_in = 0, mb_out = 0;
  ASSERT_EQ(std::sscanf(lines.back().c_str(), "lrdedup: %lf MB read, %lf MB written", &mb_in, &mb_out), 2)
      << lines.back();
  EXPECT_GT(mb_in, 0.0) << lines.back();
  EXPECT_LE(mb_in, static_cast<double>(data.size()) / 1e6 + 0.05) << lines.back();
  // A pipe's size is unknown: no percentage, no time left.
  EXPECT_EQ(lines.back().find("left"), std::string::npos) << lines.back();
}

TEST(Progress, CountsTheOutputAndShowsTheTimeLeftWhenTheInputSizeIsKnown) {
  // More than the 1 MiB the program makes its output pipe hold, so that the
  // slow drain keeps it running.
  const bytes data = random_bytes(32 * 65536, 22);
  const reference ref = encode_reference(data);
  files f;
  std::string in = f("in");
  write_file(in, data);
  pty t(true);
  owned_fd in_fd = open_fd(in, O_RDONLY);
  session s;
  s.ptys = {&t};
  s.start({"e", in, "-"}, in_fd, session::drained, t.slave);
  EXPECT_TRUE(exited_with(s.wait(), 0));
  EXPECT_TRUE(to_bytes(s.got) == ref.stream) << s.got.size() << " bytes";
  std::vector<std::string> lines = progress_lines(t.all(), startup, ref.lines.substr(startup.size()));
  ASSERT_FALSE(lines.empty());
  const std::string& last = lines.back();
  double mb_in = 0, mb_out = 0;
  ASSERT_EQ(std::sscanf(last.c_str(), "lrdedup: %lf MB read, %lf MB written", &mb_in, &mb_out), 2) << last;
  EXPECT_GT(mb_out, 0.0) << last;
  size_t pct_at = last.find("%, ");
  ASSERT_NE(pct_at, std::string::npos) << last;
  int pct = -1, mins = -1, secs = -1;
  ASSERT_EQ(std::sscanf(last.c_str() + last.rfind(", ", pct_at), ", %d%%, %d:%d left", &pct, &mins, &secs), 3)
      << last;
  EXPECT_GE(pct, 0);
  EXPECT_LE(pct, 100);
}

TEST(Progress, NeverWhenStandardErrorIsNotATerminal) {
  const bytes data = random_bytes(13 * 65536, 23);
  const reference ref = encode_reference(data);
  files f;
  std::string out = f("out"), err = f("err");
  owned_fd out_fd = create_fd(out), err_fd = create_fd(err);
  session s;
  s.data = data;
  s.start({"e", "-", "-"}, session::fed, out_fd, err_fd);
  EXPECT_TRUE(exited_with(s.wait(), 0));
  EXPECT_EQ(read_file(out), ref.stream);
  // Exactly the lines of a run between two named files, nothing else.
  EXPECT_EQ(as_text(read_file(err)), ref.lines);
}

TEST(Progress, NeverOnATerminalThatShowsTheData) {
  // Decoding to the terminal that is also standard error: a progress line
  // would land in the middle of the data.
  const bytes data = random_bytes(13 * 65536, 24);
  const reference ref = encode_reference(data);
  pty t(true);
  session s;
  s.data = ref.stream;
  s.ptys = {&t};
  s.start({"d", "-", "-"}, session::fed, t.slave, t.slave);
  EXPECT_TRUE(exited_with(s.wait(), 0));
  const std::string shown = t.all(), want = as_text(data) + ref.sum_line;
  EXPECT_TRUE(shown == want) << shown.size() << " bytes shown, " << want.size()
                             << " expected; progress in them: " << (shown.find("MB read") != std::string::npos);
}

TEST(Progress, ErasedByASignalAlsoWhenTheDataGoesToStandardOutput) {
  // No output file is armed for removal then; the line must go all the same.
  const bytes data = random_bytes(40 * 65536, 25);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"e", "-", "-"}, {"-c"}}) {
    files f;
    pty t(true);
    owned_fd out_fd = create_fd(f("out"));
    session s;
    s.data = data;
    s.ptys = {&t};
    bool sent = false;
    s.tick = [&] {
      t.drain();
      if (!sent && t.got.find("MB read") != std::string::npos) sent = kill(s.pid, SIGINT) == 0;
    };
    s.start(args, session::fed, out_fd, t.slave);
    EXPECT_TRUE(died_of(s.wait(), SIGINT)) << args[0];
    EXPECT_TRUE(sent) << args[0] << ": no progress line";
    const std::string shown = t.all();
    EXPECT_TRUE(shown.ends_with(erase_seq)) << args[0] << ": " << shown;
  }
}

// --- Signals, read errors: no half-written output left behind -------------

// Input for a signal mid-run: the encoder codes its input a MiB at a time, so
// its output grows only while a later batch is still being fed.
constexpr size_t mid_run_bytes = 40 * 65536;

// Runs the program with its input fed slowly and sends `sig` once `watch`
// has grown, while the run is surely under way. Returns the wait status.
int signal_mid_run(const std::vector<std::string>& args, int out_fd, const std::string& watch, int sig,
                   const bytes& data, bool ignore_hup = false) {
  owned_fd none = null_fd();
  session s;
  s.data = data;
  s.gap_ms = 20;
  bool sent = false;
  s.tick = [&] {
    if (!sent && file_size(watch) > 0) {
      kill(s.pid, sig);
      sent = true;
    }
  };
  s.start(args, session::fed, out_fd, none, false, ignore_hup);
  int st = s.wait();
  EXPECT_TRUE(sent) << "the output never grew";
  return st;
}

TEST(Signal, EndsTheRunRemovesTheOutputAndKillsTheProgram) {
  const bytes data = random_bytes(mid_run_bytes, 31);
  struct {
    int sig;
    const char* mode;
  } cases[] = {{SIGINT, "e"}, {SIGTERM, "d"}, {SIGHUP, "e"}, {SIGTERM, "e"}};
  for (auto c : cases) {
    files f;
    std::string out = f("out");
    int st = signal_mid_run({c.mode, "-", out}, null_fd(), out, c.sig, data);
    EXPECT_TRUE(died_of(st, c.sig)) << c.mode << " " << c.sig << ": status " << st;
    EXPECT_FALSE(file_exists(out)) << c.mode << " " << c.sig;
  }
}

TEST(Signal, ThroughASymbolicLinkTheFileGoesAndTheLinkStays) {
  const bytes data = random_bytes(mid_run_bytes, 32);
  files f;
  std::string target = f("target"), link = f("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  int st = signal_mid_run({"e", "-", link}, null_fd(), target, SIGINT, data);
  EXPECT_TRUE(died_of(st, SIGINT)) << st;
  EXPECT_FALSE(file_exists(target));
  struct stat ls;
  EXPECT_EQ(lstat(link.c_str(), &ls), 0) << "the link is not the program's to remove";
}

TEST(Signal, StandardOutputIsNeverRemoved) {
  const bytes data = random_bytes(mid_run_bytes, 33);
  for (const char* name : {"-", "/dev/stdout"}) {
    files f;
    std::string out = f("stdout");
    int st = signal_mid_run({"e", "-", name}, create_fd(out), out, SIGINT, data);
    EXPECT_TRUE(died_of(st, SIGINT)) << name << ": " << st;
    EXPECT_GT(file_size(out), 0) << name;
  }
}

TEST(Signal, AHangupIgnoredByTheParentIsIgnored) {
  // As under nohup: the run goes on to the end and keeps its output.
  const bytes data = random_bytes(mid_run_bytes, 34);
  const reference ref = encode_reference(data);
  files f;
  std::string out = f("out"), lines = f("lines");
  int st = signal_mid_run({"e", "-", out}, create_fd(lines), out, SIGHUP, data, true);
  EXPECT_TRUE(exited_with(st, 0)) << st;
  EXPECT_EQ(read_file(out), ref.stream);
  EXPECT_EQ(as_text(read_file(lines)), ref.lines);
}

}  // namespace
