// The driver: the only part of the program that touches files, memory mappings
// and signals. The coders see two 64 KiB buffers and nothing else.
#include "driver/driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "driver/progress.h"

namespace {

// Output blocks: one being filled by the coder, the others queued for the
// writer thread.
constexpr unsigned out_slots = 8;

uint8_t g_inbuf[cfg_iobuf];
uint8_t g_outbuf[out_slots][cfg_iobuf];
coder g_coder;

// The output file to remove if a signal ends the run: its name, and its device
// and inode so that only that very file is removed. Written while the signals
// are blocked, before the handlers can run.
char g_remove_path[PATH_MAX];
dev_t g_remove_dev;
ino_t g_remove_ino;
volatile sig_atomic_t g_remove_armed = 0;

constexpr int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the output file if it is still the regular file this run created or
// truncated, and not something put in its place since. Async-signal-safe.
void remove_output() {
  if (!g_remove_armed) return;
  g_remove_armed = 0;
  struct stat st;
  if (lstat(g_remove_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == g_remove_dev &&
      st.st_ino == g_remove_ino)
    unlink(g_remove_path);
}

void on_fatal_signal(int sig) {
  remove_output();
  progress_erase_from_signal();
  // SA_RESETHAND has put back the default action: dying of the signal tells
  // the parent how the run ended.
  raise(sig);
}

// Catches the signals that end a run, except those the parent set to be
// ignored (nohup, background jobs of a non-interactive shell): a run started
// under nohup must go on past a hangup.
void install_signal_handlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : fatal_signals) sigaddset(&sa.sa_mask, sig);
  for (int sig : fatal_signals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

// Blocks (true) or unblocks (false) the signals that end a run.
void block_fatal_signals(bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : fatal_signals) sigaddset(&set, sig);
  sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// A closed standard descriptor would be taken by the next open(): the output
// file could become descriptor 1 or 2 and get the statistics or the messages
// written into it. Each closed one is opened on /dev/null; returns which were
// closed (bit 0 = standard input, and so on).
unsigned reopen_closed_std_fds() {
  unsigned closed = 0;
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed |= 1u << fd;
    int k = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (k >= 0 && k != fd) {
      dup2(k, fd);
      close(k);
    }
  }
  return closed;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string sys_error(const char* name) { return std::string(name) + ": " + std::strerror(errno); }

// Waits until fd is ready for `events`; a descriptor set non-blocking by
// whoever handed it to us says EAGAIN instead of waiting itself.
void wait_ready(int fd, short events) {
  pollfd pf{fd, events, 0};
  while (poll(&pf, 1, -1) < 0 && errno == EINTR) {
  }
}

// Writes all n bytes, resuming after short writes and signals.
bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = write(fd, p, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(fd, POLLOUT);
        continue;
      }
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Reads up to n bytes; 0 at the end of the input, -1 on an error.
ssize_t read_some(int fd, uint8_t* p, size_t n) {
  for (;;) {
    ssize_t k = read(fd, p, n);
    if (k >= 0) return k;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait_ready(fd, POLLIN);
      continue;
    }
    if (errno != EINTR) return k;
  }
}

// Writes the output blocks in order from a second thread, so that the coder
// goes on while the kernel copies a block into the page cache or waits for a
// pipe to drain. The first failed write stops the writing; the coder learns
// of it at its next block. Without a thread, blocks are written at once.
// The progress line counts what has been written, also while the coder
// waits for a free block or the end of the writing.
class out_writer {
 public:
  out_writer(int fd, progress* prog) : fd_(fd), prog_(prog) {
    try {
      thread_ = std::thread([this] { run(); });
      threaded_ = true;
    } catch (const std::system_error&) {
      threaded_ = false;
    }
  }
  out_writer(const out_writer&) = delete;
  out_writer& operator=(const out_writer&) = delete;
  ~out_writer() { stop(true); }

  // The block the coder fills now.
  uint8_t* block() { return g_outbuf[fill_]; }

  // Hands over the current block holding n bytes; waits for a free one.
  // False, with errno set, when a write has failed.
  bool submit(size_t n) {
    if (!threaded_) {
      if (!write_all(fd_, g_outbuf[fill_], n)) return false;
      progress_update(prog_, 0, n);
      return true;
    }
    std::unique_lock<std::mutex> lk(m_);
    len_[fill_] = n;
    count_++;
    fill_ = (fill_ + 1) % out_slots;
    // Woken for half the ring at a time: a fast sink (a pipe being read,
    // /dev/null) would otherwise cost two context switches per block. A
    // busy writer takes the new block without being woken.
    if (count_ == out_slots / 2) work_.notify_one();
    wait_reporting(lk, [this] { return count_ < out_slots || failed_; });
    return ok_locked();
  }

  // Waits until every block handed over is written (abandon: dropped).
  // False, with errno set, when a write has failed.
  bool stop(bool abandon) {
    if (!threaded_) return true;
    {
      std::lock_guard<std::mutex> lk(m_);
      closing_ = true;
      if (abandon) dropping_ = true;
      work_.notify_one();
    }
    {
      std::unique_lock<std::mutex> lk(m_);
      wait_reporting(lk, [this] { return count_ == 0 || failed_ || dropping_; });
    }
    thread_.join();
    threaded_ = false;
    std::lock_guard<std::mutex> lk(m_);
    return ok_locked();
  }

 private:
  // Waits for pred, updating the progress line with the bytes written meanwhile.
  template <class Pred>
  void wait_reporting(std::unique_lock<std::mutex>& lk, Pred pred) {
    for (;;) {
      const uint64_t add = written_ - reported_;
      reported_ = written_;
      if (add) {
        lk.unlock();
        progress_update(prog_, 0, add);
        lk.lock();
        continue;
      }
      if (pred()) return;
      room_.wait_for(lk, std::chrono::milliseconds(250));
    }
  }

  bool ok_locked() {
    if (!failed_) return true;
    errno = err_;
    return false;
  }

  void run() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      work_.wait(lk, [this] { return count_ > 0 || closing_; });
      if (count_ == 0 || dropping_) return;
      const unsigned i = (fill_ + out_slots - count_) % out_slots;  // the oldest queued
      const size_t n = len_[i];
      lk.unlock();
      const bool ok = write_all(fd_, g_outbuf[i], n);
      const int e = errno;
      lk.lock();
      if (!ok) {
        failed_ = true;
        err_ = e;
        room_.notify_all();
        return;
      }
      count_--;
      written_ += n;
      room_.notify_all();
    }
  }

  int fd_;
  progress* prog_;
  bool threaded_ = false;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable work_, room_;
  size_t len_[out_slots] = {};
  unsigned fill_ = 0;   // the coder's block
  unsigned count_ = 0;  // blocks queued before it, oldest first
  bool closing_ = false, dropping_ = false, failed_ = false;
  int err_ = 0;
  uint64_t written_ = 0, reported_ = 0;  // bytes written; those the progress line has
};

const char* fault_text(uint32_t fault) {
  switch (fault) {
    case fault_truncated_ref: return "stream ends inside a reference";
    case fault_zero_distance: return "reference with distance 0";
    case fault_far_distance: return "reference beyond the 1000 MiB window";
    case fault_before_start: return "reference before the start of the data";
    default: return "unknown fault";
  }
}

void error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

// The mode's large block: anonymous memory comes zero-filled and is committed
// only where touched, so a small input costs little of it.
void* map_block(size_t bytes, bool huge) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Huge pages save most TLB misses and page faults, but each touch commits
  // and clears 2 MiB.
  if (huge) madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)huge;
#endif
  return p;
}

// How far ahead of the output the decoder's window is committed.
constexpr size_t window_lead = size_t{32} << 20;

// The encoder's index grows in anonymous mappings of its own, zero-filled and
// committed as touched; mremap moves a grown block's pages, not its bytes. A
// refusal ends the run here, with the output removed: the index would go on
// without new entries and write another stream than the flat table's.
void* resize_index_block(void*, void* block, size_t old_bytes, size_t new_bytes) {
  constexpr size_t page = 4096;
  old_bytes = (old_bytes + page - 1) & ~(page - 1);
  new_bytes = (new_bytes + page - 1) & ~(page - 1);
  if (new_bytes == 0) {
    if (block) munmap(block, old_bytes);
    return nullptr;
  }
  if (block && new_bytes == old_bytes) return block;
  void* p = block ? mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE)
                  : mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p != MAP_FAILED) return p;
  const int e = errno;
  block_fatal_signals(true);
  progress_erase_from_signal();
  error_line("cannot allocate " + std::to_string((new_bytes + (size_t{1} << 20) - 1) >> 20) +
             " MiB for the chunk index: " + std::strerror(e));
  remove_output();
  _exit(1);
}

}  // namespace

bool driver_serve(coder* c, coro_task (*body)(coder*), int in_fd, int out_fd,
                  const char* in_name, const char* out_name, std::string* err, prefault* pf) {
  coro_header* h = &c->coro;
  progress prog;
  progress_start(&prog, in_fd, out_fd);
  out_writer out(out_fd, &prog);
  h->outptr = h->outbeg = out.block();
  h->outend = h->outbeg + cfg_iobuf;
  h->inpptr = h->inpbeg = h->inpend = nullptr;
  h->inp_before = 0;
  h->state = REQ_DONE;
  h->f_eof = 0;
  h->handle = nullptr;

  uint64_t out_total = 0;
  bool ok = true;
  for (;;) {
    uint32_t r = coro_call(c, body);
    if (r == REQ_DONE) break;
    if (r == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      ssize_t n = read_some(in_fd, g_inbuf, cfg_iobuf);
      if (n < 0) {
        *err = sys_error(in_name);
        ok = false;
        break;
      }
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = g_inbuf;
      h->inpend = g_inbuf + n;
      progress_update(&prog, h->inp_before + static_cast<uint64_t>(n), 0);
    } else if (r == REQ_OUTPUT) {
      if (!out.submit(cfg_iobuf)) {
        *err = sys_error(out_name);
        ok = false;
        break;
      }
      h->outptr = h->outbeg = out.block();
      h->outend = h->outbeg + cfg_iobuf;
      out_total += cfg_iobuf;
      if (pf) prefault_advance(pf, out_total);
    }
  }
  if (ok && !(out.submit(static_cast<size_t>(h->outptr - h->outbeg)) && out.stop(false))) {
    *err = sys_error(out_name);
    ok = false;
  }
  out.stop(true);
  progress_end(&prog);
  coro_finish(h);
  return ok;
}

std::string driver_stats_line(uint64_t sum, uint64_t x) {
  // Tenths of the average chunk length, without forming 10 * sum.
  uint64_t q = x ? (sum / x) * 10 + (sum % x) * 10 / x : 0;
  char line[128];
  std::snprintf(line, sizeof line, "sum=%" PRIu64 " x=%" PRIu64 " avglen=%" PRIu64 ".%" PRIu64 "\n",
                sum, x, q / 10, q % 10);
  return line;
}

int lrdedup_main(int argc, char** argv) {
  const unsigned closed_std = reopen_closed_std_fds();
  if (argc < 4) {
    std::fprintf(stderr, "usage: lrdedup e|d <input> <output>   ('-' for standard input or output)\n");
    return 1;
  }
  // A file size limit should fail the write (and so the run), not kill us
  // with a half-written output left behind.
  signal(SIGXFSZ, SIG_IGN);
  const bool decode = argv[1][0] == 'd';
  const bool in_std = std::strcmp(argv[2], "-") == 0;
  const bool out_std = std::strcmp(argv[3], "-") == 0;
  const char* in_name = in_std ? "(stdin)" : argv[2];
  const char* out_name = out_std ? "(stdout)" : argv[3];

  if ((in_std && (closed_std & 1)) || (out_std && (closed_std & 2))) {
    errno = EBADF;
    error_line(sys_error(in_std && (closed_std & 1) ? in_name : out_name));
    return 1;
  }

  int in_fd = in_std ? STDIN_FILENO : open(argv[2], O_RDONLY | O_NOCTTY);
  if (in_fd < 0) {
    error_line(sys_error(in_name));
    return 1;
  }
  struct stat in_st;
  if (fstat(in_fd, &in_st) != 0) {
    error_line(sys_error(in_name));
    return 1;
  }
  if (S_ISDIR(in_st.st_mode)) {
    errno = EISDIR;
    error_line(sys_error(in_name));
    return 1;
  }
  if (decode && isatty(in_fd)) {
    error_line(std::string(in_name) + ": refusing to read a compressed stream from a terminal");
    return 1;
  }

  int out_fd = STDOUT_FILENO;
  // The data goes to standard output: by '-', or by a name such as /dev/stdout
  // that opens the same pipe or file (a device like /dev/null does not count).
  bool data_on_stdout = out_std;
  bool remove_on_failure = false;
  if (!out_std) {
    // Opening the output truncates it: refuse first if it is the input itself.
    struct stat out_st;
    if (stat(argv[3], &out_st) == 0 && S_ISREG(out_st.st_mode) && same_file(out_st, in_st)) {
      error_line(std::string(out_name) + ": output is the input file");
      return 1;
    }
    // No signal may end the run between creating the file and arming its
    // removal.
    block_fatal_signals(true);
    out_fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
    if (out_fd < 0) {
      error_line(sys_error(out_name));
      return 1;
    }
    struct stat st, std_st;
    if (fstat(out_fd, &st) == 0) {
      data_on_stdout = fstat(STDOUT_FILENO, &std_st) == 0 && same_file(st, std_st) && !S_ISCHR(st.st_mode);
      // Only a regular file this run writes is removed after a failure: never
      // a device, and never the file standard output writes to. The name is
      // resolved, so that through a symbolic link the file goes, not the link.
      char resolved[PATH_MAX];
      const char* path = realpath(argv[3], resolved) ? resolved : argv[3];
      if (S_ISREG(st.st_mode) && !data_on_stdout && std::strlen(path) < sizeof g_remove_path) {
        std::strcpy(g_remove_path, path);
        g_remove_dev = st.st_dev;
        g_remove_ino = st.st_ino;
        g_remove_armed = 1;
        remove_on_failure = true;
        install_signal_handlers();
      }
    }
    block_fatal_signals(false);
  }
  // With the data on standard output, the statistics go to standard error.
  FILE* stats = data_on_stdout ? stderr : stdout;
  auto fail = [&](const std::string& msg) {
    error_line(msg);
    if (remove_on_failure) {
      block_fatal_signals(true);
      remove_output();
    }
    return 1;
  };
  if (!decode && isatty(out_fd))
    return fail(std::string(out_name) + ": refusing to write a compressed stream to a terminal");

  coder* c = &g_coder;
  const index_cfg cfg = index_cfg_default();
  // The decoder's window; the encoder's index maps its own memory as it grows.
  const size_t block_bytes = decode ? cfg_decwinsize : 0;
  // The window is written straight through, so its huge pages save little
  // beside the faults, and are given up where they commit slowly.
  void* block = decode ? map_block(block_bytes, true) : nullptr;
  if (decode && !block) {
    errno = ENOMEM;
    return fail(std::string("cannot allocate ") + std::to_string(block_bytes >> 20) +
                " MiB: " + std::strerror(ENOMEM));
  }
  // The window fills in order, as the output grows: its pages are committed a
  // little ahead of it.
  prefault pf;
  if (decode) prefault_start(&pf, block, block_bytes, window_lead, prefault_huge_while_fast);
  // The fast decoder's chunk-start map, a byte per 64 window bytes; without
  // it every reference takes the plain copy.
  const size_t map_bytes = decode ? cfg_decwinsize / cfg_mapblock : 0;
  void* chunkmap = decode ? map_block(map_bytes, false) : nullptr;
  if (decode) {
    c->win = static_cast<uint8_t*>(block);
    c->winpos = 0;
    c->winsize = cfg_decwinsize;
    c->chunkmap = static_cast<uint8_t*>(chunkmap);
  } else {
    index_init_growing(&c->idx, index_mem{nullptr, resize_index_block}, cfg);
    std::fprintf(stats, "cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i\n",
                 static_cast<int>(cfg_tblsize), static_cast<int>(cfg_decwinsize),
                 static_cast<int>(sizeof(hinf)));
    std::fflush(stats);
  }

  std::string err;
  bool ok = driver_serve(c, decode ? decoder_run : encoder_run, in_fd, out_fd, in_name, out_name, &err, &pf);
  prefault_stop(&pf);
  if (decode) munmap(block, block_bytes);
  else index_free(&c->idx);
  if (chunkmap) munmap(chunkmap, map_bytes);
  // close() reports the errors of writes that were delayed (NFS, quotas).
  if (ok && close(out_fd) != 0 && errno != EINTR) {
    err = sys_error(out_name);
    ok = false;
  }
  if (!ok) return fail(err);
  // The output is complete: from here on nothing removes it.
  g_remove_armed = 0;

  if (!decode) std::fprintf(stats, "c_discard=%" PRIu64 "\n", c->c_discard);
  std::fputs(driver_stats_line(c->sum, c->x).c_str(), stats);
  if (std::fflush(stats) != 0 || std::ferror(stats)) {
    error_line(sys_error(stats == stdout ? "(stdout)" : "(stderr)"));
    return 1;
  }
  if (decode && c->fault != fault_none) {
    error_line(std::string(in_name) + ": corrupt stream: " + fault_text(c->fault) + " at offset " +
               std::to_string(c->fault_offset));
    return 1;
  }
  return 0;
}
