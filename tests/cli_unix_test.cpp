// The built program as a Unix filter: terminals, progress, signals and read
// errors, '-' on either side, non-blocking and closed standard descriptors.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <utility>

#include "test_util.h"

using namespace lrd;

namespace {

const std::string startup = "cfg_tblsize=53687091 cfg_decwinsize=1048576000 sizeof(hinf)=28\n";
const std::string erase_seq = "\r\033[K";

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string as_text(const bytes& b) { return std::string(b.begin(), b.end()); }

// A descriptor closed when it goes out of scope; closed on exec, so that a
// child gets only what it is handed by dup2.
struct owned_fd {
  int fd = -1;
  explicit owned_fd(int f = -1) : fd(f) {}
  owned_fd(owned_fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
  owned_fd& operator=(owned_fd&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~owned_fd() {
    if (fd >= 0) close(fd);
  }
  operator int() const { return fd; }
};
owned_fd open_fd(const std::string& path, int flags) { return owned_fd(open(path.c_str(), flags | O_CLOEXEC, 0666)); }
owned_fd create_fd(const std::string& path) { return open_fd(path, O_RDWR | O_CREAT | O_TRUNC); }
owned_fd null_fd() { return open_fd("/dev/null", O_RDWR); }
off_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A pseudo-terminal: the program gets the slave side as a standard descriptor
// (or opens it by name); the test reads the master side.
struct pty {
  int master = -1, slave = -1;
  std::string name, got;

  // raw: bytes pass unchanged (no "\n" to "\r\n", no line editing).
  explicit pty(bool raw) {
    master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    name = ptsname(master);
    slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) std::abort();
    set_nonblocking(master);
    if (raw) {
      termios t;
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
  }
  ~pty() {
    close(master);
    close(slave);
  }
  void drain() {
    char buf[65536];
    for (ssize_t k; (k = read(master, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(k));
  }
  // Everything written to the terminal so far: a mark written behind it
  // through the slave side arrives after all of it.
  std::string all() {
    const std::string mark = "<end of what the program wrote>";
    if (write(slave, mark.data(), mark.size()) != static_cast<ssize_t>(mark.size())) std::abort();
    const int64_t deadline = now_ms() + 60000;
    size_t at;
    while ((at = got.find(mark)) == std::string::npos && now_ms() < deadline) {
      pollfd pf{master, POLLIN, 0};
      poll(&pf, 1, 100);
      drain();
    }
    EXPECT_NE(at, std::string::npos) << "the terminal never delivered the mark";
    std::string text = got.substr(0, at);
    got.clear();
    return text;
  }
};

// Starts the program with the given standard descriptors and the default
// action for the signals it handles (the test's runner may ignore some).
pid_t spawn(const std::vector<std::string>& args, int in, int out, int err, bool ignore_hup = false) {
  signal(SIGPIPE, SIG_IGN);  // the test writes to pipes whose reader may be gone
  std::vector<std::string> full{exe()};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    if (ignore_hup) signal(SIGHUP, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs the program and serves it: feeds `data` into its standard input in
// pieces of `piece` bytes at least `gap_ms` apart, reads its standard output
// one piece per gap, keeps the terminals drained, and calls `tick` between
// steps.
struct session {
  static constexpr int fed = -2;      // as standard input: a pipe the session feeds
  static constexpr int drained = -3;  // as standard output: a pipe the session reads slowly
  pid_t pid = -1;
  int feed = -1, drain = -1;
  bytes data;
  size_t piece = 65536;
  int gap_ms = 100;
  std::string got;  // what was read from the program's standard output
  std::vector<pty*> ptys;
  std::function<void()> tick;

  // nonblocking: hand the pipes over in non-blocking mode.
  void start(const std::vector<std::string>& args, int in, int out, int err, bool nonblocking = false,
             bool ignore_hup = false) {
    int p[2];
    if (in == fed) {
      if (pipe2(p, O_CLOEXEC) != 0) std::abort();
      in = p[0];
      feed = p[1];
      set_nonblocking(feed);
      if (nonblocking) set_nonblocking(in);
    }
    if (out == drained) {
      if (pipe2(p, O_CLOEXEC) != 0) std::abort();
      drain = p[0];
      out = p[1];
      if (nonblocking) set_nonblocking(out);
    }
    pid = spawn(args, in, out, err, ignore_hup);
    if (feed >= 0) close(in);
    if (drain >= 0) close(out);
  }

  // Returns the wait status once the program has ended.
  int wait() {
    int64_t next_feed = now_ms(), next_drain = now_ms();
    const int64_t deadline = now_ms() + 120000;
    size_t at = 0, piece_left = piece;
    int status = 0;
    bool ended = false;
    std::vector<char> buf(65536);
    for (;;) {
      if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
      if (feed >= 0 && (ended || at == data.size())) {
        close(feed);
        feed = -1;
      }
      if (ended && drain < 0) break;
      if (tick && !ended) tick();
      const int64_t t = now_ms();
      if (t > deadline) {
        ADD_FAILURE() << "the program did not end within two minutes";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ended = true;
        if (drain >= 0) close(drain);
        drain = -1;
        break;
      }
      std::vector<pollfd> pf;
      int timeout = 20;
      int feed_at = -1, drain_at = -1;
      if (feed >= 0) {
        if (t >= next_feed) {
          feed_at = static_cast<int>(pf.size());
          pf.push_back({feed, POLLOUT, 0});
        } else {
          timeout = static_cast<int>(std::min<int64_t>(timeout, next_feed - t));
        }
      }
      if (drain >= 0) {
        if (ended || t >= next_drain) {
          drain_at = static_cast<int>(pf.size());
          pf.push_back({drain, POLLIN, 0});
        } else {
          timeout = static_cast<int>(std::min<int64_t>(timeout, next_drain - t));
        }
      }
      for (pty* p : ptys) pf.push_back({p->master, POLLIN, 0});
      poll(pf.data(), pf.size(), timeout);
      if (feed_at >= 0 && pf[static_cast<size_t>(feed_at)].revents) {
        ssize_t k = write(feed, data.data() + at, std::min(piece_left, data.size() - at));
        if (k > 0) {
          at += static_cast<size_t>(k);
          piece_left -= static_cast<size_t>(k);
          if (piece_left == 0) {
            piece_left = piece;
            next_feed = now_ms() + gap_ms;
          }
        } else if (k < 0 && errno != EAGAIN && errno != EINTR) {
          at = data.size();  // the program stopped reading: nothing more to feed
        }
      }
      if (drain_at >= 0 && pf[static_cast<size_t>(drain_at)].revents) {
        size_t want = ended ? buf.size() : piece;
        ssize_t k = read(drain, buf.data(), std::min(want, buf.size()));
        if (k > 0) {
          got.append(buf.data(), static_cast<size_t>(k));
          next_drain = now_ms() + gap_ms;
        } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
          close(drain);
          drain = -1;
        }
      }
      for (pty* p : ptys) p->drain();
    }
    return status;
  }
};

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool died_of(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

// Files of one test, removed at its end.
struct files {
  std::vector<std::string> paths;
  std::string operator()(const std::string& name) {
    paths.push_back(tmp_path("unix." + name));
    std::remove(paths.back().c_str());
    return paths.back();
  }
  ~files() {
    for (const std::string& p : paths) std::remove(p.c_str());
  }
};

// What the program writes between two named files: the stream and its lines.
struct reference {
  bytes stream;
  std::string lines;      // standard output of the encode run
  std::string sum_line;   // its last line, the one both modes print
};
reference encode_reference(const bytes& data) {
  files f;
  std::string in = f("ref.in"), enc = f("ref.enc");
  write_file(in, data);
  cmd_result r = run_cmd(exe() + " e " + in + " " + enc);
  EXPECT_EQ(r.status, 0) << r.err;
  const size_t last = r.out.rfind("sum=");
  reference ref{read_file(enc), r.out, last == std::string::npos ? "" : r.out.substr(last)};
  return ref;
}

// Random data with repeats, so that the stream holds references too.
bytes sample(size_t n, uint64_t seed) {
  bytes d = random_bytes(n / 2, seed);
  d.insert(d.end(), d.begin(), d.end());
  return d;
}

// Splits what a run showed on a terminal into the text before the progress,
// the progress lines and the text after it: before, then for every update
// the erase and a line, then the erase, then after. Fails the test if the
// shape is wrong; returns the progress lines.
std::vector<std::string> progress_lines(const std::string& tty, const std::string& before,
                                        const std::string& after) {
  std::vector<std::string> lines;
  if (tty.size() < before.size() + after.size() || tty.compare(0, before.size(), before) != 0 ||
      tty.compare(tty.size() - after.size(), after.size(), after) != 0) {
    ADD_FAILURE() << "terminal text does not start with [" << before << "] and end with [" << after
                  << "]: [" << tty << "]";
    return lines;
  }
  std::string mid = tty.substr(before.size(), tty.size() - before.size() - after.size());
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    size_t next = mid.find(erase_seq, at);
    parts.push_back(mid.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + erase_seq.size();
  }
  // E L1 E L2 ... E Ln E splits into "", L1, ..., Ln, "".
  EXPECT_GE(parts.size(), 3u) << "no progress line, or no erase after it: [" << mid << "]";
  if (parts.size() < 3) return lines;
  EXPECT_EQ(parts.front(), "");
  EXPECT_EQ(parts.back(), "") << "the last progress line was not erased";
  lines.assign(parts.begin() + 1, parts.end() - 1);
  for (const std::string& l : lines) {
    EXPECT_EQ(l.rfind("lrdedup: ", 0), 0u) << l;
    EXPECT_NE(l.find(" MB read, "), std::string::npos) << l;
    EXPECT_NE(l.find(" MB written"), std::string::npos) << l;
    EXPECT_EQ(l.find('\n'), std::string::npos) << l;
  }
  return lines;
}

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
