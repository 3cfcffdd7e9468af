// What the tests of the program on Unix share: running it with chosen
// descriptors, terminals, signals and files, and reading what it left.
#pragma once

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

namespace cli_unix {

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

}  // namespace cli_unix
