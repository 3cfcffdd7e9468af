// Mapped, ringed or plainly read input.
#include "driver/input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "lib/memory.h"
#include "driver/fdio.h"
#include "driver/signals.h"

using namespace lrd;

namespace {

uint8_t g_inbuf[cfg_read_piece];

// Mapped pages this far behind the input are dropped from the resident set
// (the page cache keeps them), checked every cfg_drop_step bytes.
constexpr uint64_t cfg_drop_behind = LRD_HISTORY_RING;
constexpr uint64_t cfg_drop_step = uint64_t{64} << 20;

// Bytes of a mapped file handed out at a time.
constexpr size_t cfg_map_piece = size_t{1} << 20;

// How far ahead of the reads the ring is committed.
constexpr size_t cfg_ring_lead = size_t{32} << 20;

// What the ring keeps before the end of what the coder was handed: a coder
// handed bytes up to h checks against bytes from h less the window, its lag
// and the hand-out before it.
constexpr uint64_t cfg_ring_keep = LRD_WINDOW + LRD_ENCODER_LAG + cfg_read_piece;

// Ahead of the coder by this much, the reader lets a pipe fill.
constexpr uint64_t cfg_lazy_ahead = uint64_t{4} << 20;

// How often a reader waiting for input looks whether it is to stop (a run
// that failed while its input stays open).
constexpr int cfg_stop_check_ms = 50;

// The reader commits the ring's pages in pieces this large, ahead of its reads.
constexpr size_t cfg_commit_piece = size_t{8} << 20;

// Maps the file from the offset `start` where the input begins to its end
// (`size`).
bool map_input(input_source* in, uint64_t start, uint64_t size) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const size_t skip = static_cast<size_t>(start & (page - 1)), len = static_cast<size_t>(size - start);
  void* p = mmap(nullptr, skip + len, PROT_READ, MAP_SHARED, in->fd, static_cast<off_t>(start - skip));
  if (p == MAP_FAILED) return false;
  in->map = static_cast<const uint8_t*>(p) + skip;
  in->map_skip = skip;
  in->map_len = len;
  in->start = start;
  arm_mapping_fault(0, p, skip + len);
  return true;
}

// The reads have gone past the mapping: the file grew, so the mapping follows
// it. False, with errno set or with shrunk for a file shorter than what was
// read, when it cannot.
bool follow_growth(input_source* in) {
  struct stat st;
  if (fstat(in->fd, &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) < in->start + in->at) {
    in->shrunk = true;
    return false;
  }
  const size_t len = static_cast<size_t>(static_cast<uint64_t>(st.st_size) - in->start), skip = in->map_skip;
  void* p = mremap(const_cast<uint8_t*>(in->map - skip), skip + in->map_len, skip + len, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return false;
  in->map = static_cast<const uint8_t*>(p) + skip;
  in->map_len = len;
  arm_mapping_fault(0, p, skip + len);
  return true;
}

// Reading a file keeps its pages in the page cache, not in this process;
// only the mapped pages that references were checked against count, and
// those more than a window behind are let go.
void drop_behind(input_source* in) {
  if (in->at < in->dropped + cfg_drop_behind + cfg_drop_step) return;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  // In bytes of the mapping, which starts on a page.
  const uint64_t to = (in->map_skip + in->at - cfg_drop_behind) & ~(page - 1);
  madvise(const_cast<uint8_t*>(in->map - in->map_skip) + in->dropped, to - in->dropped, MADV_DONTNEED);
  in->dropped = to;
}

// A mapped file is not read: its bytes are handed out where they lie in the
// mapping, and the coder copies them in once. It ends where its size says
// once the bytes before are handed out; a file that grew meanwhile is
// followed, one that shrank fails the run (a touch past its new end raises
// SIGBUS, which signals.cpp turns into the same message).
ssize_t mapped_next(input_source* in, const uint8_t** p) {
  if (in->at >= in->map_len) {
    struct stat st;
    if (fstat(in->fd, &st) != 0) return -1;
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    if (end < in->start + in->at) {
      in->shrunk = true;
      return -1;
    }
    if (end > in->start + in->at && !follow_growth(in)) return -1;
    if (in->at >= in->map_len) {
      // The descriptor's offset goes behind what was handed out, as reads
      // would have left it.
      if (lseek(in->fd, static_cast<off_t>(in->start + in->at), SEEK_SET) < 0) return -1;
      *p = in->map + in->at;
      return 0;
    }
  }
  const size_t n = std::min<size_t>(cfg_map_piece, in->map_len - in->at);
  *p = in->map + in->at;
  in->at += n;
  drop_behind(in);
  return static_cast<ssize_t>(n);
}

// Reads what is there without waiting where the kernel can (a reader
// sharing the pipe may have taken what poll saw), else as read() does.
ssize_t read_ready(int fd, uint8_t* p, size_t n, bool* nowait) {
#ifdef RWF_NOWAIT
  if (*nowait) {
    iovec v{p, n};
    const ssize_t k = preadv2(fd, &v, 1, -1, RWF_NOWAIT);
    if (k >= 0 || errno != EOPNOTSUPP) return k;
    *nowait = false;
  }
#else
  *nowait = false;
#endif
  return read(fd, p, n);
}

// Waits until fd has input, looking every cfg_stop_check_ms whether the
// reader is to stop: false then.
bool reader_wait(input_source* in) {
  pollfd pf{in->fd, POLLIN, 0};
  for (;;) {
    if (in->stop.load(std::memory_order_acquire)) return false;
    const int k = poll(&pf, 1, cfg_stop_check_ms);
    if (k > 0 || (k < 0 && errno != EINTR)) return true;  // a failed poll: the read says what is wrong
  }
}

void* reader_main(void* arg) {
  input_source* in = static_cast<input_source*>(arg);
  const uint64_t ring = in->ring;
  uint64_t got = 0, committed = 0;
  bool huge = true, commit = true, nowait = true;
  pipe_nap nap;
  const int pipe_cap = in->pipe_cap;
  for (;;) {
    // Room in the ring: the coder has been handed enough.
    uint64_t handed = in->handed.load(std::memory_order_acquire);
    while (got + in->piece > handed + in->read_ahead && !in->stop.load(std::memory_order_acquire)) {
      in->handed.wait(handed, std::memory_order_acquire);
      handed = in->handed.load(std::memory_order_acquire);
    }
    // Well ahead of the coder, a pipe is left to fill: taken in large
    // pieces, it wakes the process writing it, and this thread, less often.
    if (pipe_cap > 0 && got - handed >= cfg_lazy_ahead && pipe_queued(in->fd) < pipe_cap / 2) {
      nap.sleep();
      if (in->stop.load(std::memory_order_acquire)) return nullptr;
      const int q = pipe_queued(in->fd);
      if (q < pipe_cap / 2) nap.longer();
      if (q == pipe_cap) nap.shorter();
      continue;
    }
    if (!reader_wait(in)) return nullptr;
    // The pages the read goes to, the first time round.
    if (commit && committed < std::min(ring, got + in->piece)) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(cfg_commit_piece, ring - committed));
      commit = prefault_commit(in->buf, static_cast<size_t>(ring), static_cast<size_t>(committed), n, &huge);
      committed += n;
    }
    const size_t r = static_cast<size_t>(got % ring);
    const ssize_t n = read_ready(in->fd, in->buf + r, in->piece - r % in->piece, &nowait);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      in->err = n < 0 ? errno : 0;
      in->end.store(n < 0 ? 2 : 1, std::memory_order_release);
    } else {
      got += static_cast<uint64_t>(n);
      in->got.store(got, std::memory_order_release);
    }
    in->told.fetch_add(1, std::memory_order_acq_rel);
    in->told.notify_all();
    if (n <= 0) return nullptr;
  }
}

// What the reader has read and not yet handed out, up to a read's worth.
ssize_t reader_next(input_source* in, const uint8_t** p) {
  uint64_t got = in->got.load(std::memory_order_acquire);
  while (got == in->at) {
    const uint32_t told = in->told.load(std::memory_order_acquire);
    got = in->got.load(std::memory_order_acquire);
    if (got != in->at) break;
    // The end comes after the last bytes.
    if (const int end = in->end.load(std::memory_order_acquire); end != 0) {
      *p = in->buf + in->at % in->ring;
      if (end == 1) return 0;
      errno = in->err;
      return -1;
    }
    in->told.wait(told, std::memory_order_acquire);
    got = in->got.load(std::memory_order_acquire);
  }
  const uint64_t r = in->at % in->ring;
  const size_t n = static_cast<size_t>(std::min<uint64_t>({got - in->at, in->ring - r, cfg_read_piece}));
  *p = in->buf + r;
  in->at += n;
  in->handed.store(in->at, std::memory_order_release);
  in->handed.notify_all();
  return static_cast<ssize_t>(n);
}

// Starts the ring's reader; false where it cannot, and the coder's own
// reads then fill the ring.
bool start_reader(input_source* in) { return pthread_create(&in->thread, nullptr, reader_main, in) == 0; }

// Stops the reader wherever it waits: for room (woken here), for input or in
// a pause (it looks by itself).
void stop_reader(input_source* in) {
  in->stop.store(true, std::memory_order_release);
  in->handed.fetch_add(1, std::memory_order_release);
  in->handed.notify_all();
  pthread_join(in->thread, nullptr);
  in->reader = false;
}

// Pipes and sockets are read in large pieces; a pipe's buffer is made as
// large where the system allows (a refusal leaves it as it was).
void set_piece(input_source* in) {
  struct stat st;
  const bool stream = fstat(in->fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  in->piece = stream ? cfg_read_piece : cfg_read_small;
  if (stream && S_ISFIFO(st.st_mode)) in->pipe_cap = enlarge_pipe(in->fd, cfg_read_piece);
}

}  // namespace

bool input_open(input_source* in, int fd, const struct stat& st, bool history) {
  in->fd = fd;
  in->buf = g_inbuf;
  set_piece(in);
  if (!history) return true;
  // A file that says it is empty may still have content (/proc): read it.
  // Standard input may start anywhere in its file.
  const off_t start = S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
  if (start >= 0 && st.st_size > start && map_input(in, static_cast<uint64_t>(start), static_cast<uint64_t>(st.st_size)))
    return true;
  return input_open_ring(in, fd, cfg_in_ring, cfg_ring_keep);
}

bool input_open_ring(input_source* in, int fd, uint64_t ring, uint64_t keep) {
  in->fd = fd;
  set_piece(in);
  void* p = map_zeroed(ring, true);
  if (!p) {
    errno = ENOMEM;
    return false;
  }
  in->buf = static_cast<uint8_t*>(p);
  in->ring = ring;
  in->read_ahead = ring - keep;
  in->reader = start_reader(in);
  if (!in->reader) prefault_start(&in->pf, in->buf, ring, cfg_ring_lead, prefault_huge_while_fast);
  return true;
}

ssize_t input_next(input_source* in, const uint8_t** p) {
  if (in->map) return mapped_next(in, p);
  if (in->reader) return reader_next(in, p);
  // A read never straddles the ring's end: the ring is whole pieces long.
  uint8_t* to = in->ring ? in->buf + in->at % in->ring : in->buf;
  const size_t room = in->ring ? in->piece - static_cast<size_t>(in->at % in->piece) : in->piece;
  const ssize_t n = read_some(in->fd, to, room);
  if (n > 0) {
    in->at += static_cast<uint64_t>(n);
    if (in->ring) prefault_advance(&in->pf, std::min(in->at, in->ring));
  }
  *p = to;
  return n;
}

const uint8_t* input_history(const input_source* in, uint64_t* ring) {
  *ring = in->ring;
  return in->map ? in->map : in->ring ? in->buf : nullptr;
}

void input_close(input_source* in) {
  if (in->reader) stop_reader(in);
  prefault_stop(&in->pf);
  if (in->map) {
    arm_mapping_fault(0, nullptr, 0);
    munmap(const_cast<uint8_t*>(in->map - in->map_skip), in->map_skip + in->map_len);
  }
  if (in->ring) munmap(in->buf, in->ring);
  in->map = nullptr;
  in->ring = 0;
}
