// The ring and its reader thread.
#include "driver/input_ring.h"

#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "driver/fdio.h"
#include "os/memory.h"

using namespace lrd;

namespace {

// How far ahead of the reads the ring is committed.
constexpr size_t cfg_ring_lead = size_t{32} << 20;

// Ahead of the coder by this much, the reader lets a pipe fill.
constexpr uint64_t cfg_lazy_ahead = uint64_t{4} << 20;

// How often a reader waiting for input looks whether it is to stop (a run
// that failed while its input stays open).
constexpr int cfg_stop_check_ms = 50;

// The reader commits the ring's pages in pieces this large, ahead of its reads.
constexpr size_t cfg_commit_piece = size_t{8} << 20;

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

}  // namespace

status ring_input::open(int fd, uint64_t ring, uint64_t keep, size_t piece, int pipe_cap) {
  fd_ = fd;
  piece_ = piece;
  pipe_cap_ = pipe_cap;
  void* p = map_zeroed(ring, true);
  if (!p) return status::no_memory(ring);
  buf_ = static_cast<uint8_t*>(p);
  ring_ = ring;
  read_ahead_ = ring - keep;
  // Without a reader the coder's own reads fill the ring.
  reader_ = pthread_create(&thread_, nullptr, reader_main, this) == 0;
  if (!reader_) prefault_start(&pf_, buf_, ring, cfg_ring_lead, prefault_huge_while_fast);
  return {};
}

// Waits until the input has bytes, looking every cfg_stop_check_ms whether
// the reader is to stop: false then.
bool ring_input::reader_wait() {
  pollfd pf{fd_, POLLIN, 0};
  for (;;) {
    if (stop_.load(std::memory_order_acquire)) return false;
    const int k = poll(&pf, 1, cfg_stop_check_ms);
    if (k > 0 || (k < 0 && errno != EINTR)) return true;  // a failed poll: the read says what is wrong
  }
}

void* ring_input::reader_main(void* arg) {
  (void)pthread_setname_np(pthread_self(), "lrd-reader");
  static_cast<ring_input*>(arg)->reader_loop();
  return nullptr;
}

void ring_input::reader_loop() {
  uint64_t got = 0, committed = 0;
  bool huge = true, commit = true, nowait = true;
  pipe_nap nap;
  for (;;) {
    // Room in the ring: the coder has been handed enough.
    uint64_t handed = handed_.load(std::memory_order_acquire);
    while (got + piece_ > handed + read_ahead_ && !stop_.load(std::memory_order_acquire)) {
      handed_.wait(handed, std::memory_order_acquire);
      handed = handed_.load(std::memory_order_acquire);
    }
    // Well ahead of the coder, a pipe is left to fill: taken in large
    // pieces, it wakes the process writing it, and this thread, less often.
    if (pipe_cap_ > 0 && got - handed >= cfg_lazy_ahead && pipe_queued(fd_) < pipe_cap_ / 2) {
      nap.sleep();
      if (stop_.load(std::memory_order_acquire)) return;
      const int q = pipe_queued(fd_);
      if (q < pipe_cap_ / 2) nap.longer();
      if (q == pipe_cap_) nap.shorter();
      continue;
    }
    if (!reader_wait()) return;
    // The pages the read goes to, the first time round.
    if (commit && committed < std::min(ring_, got + piece_)) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(cfg_commit_piece, ring_ - committed));
      commit = prefault_commit(buf_, static_cast<size_t>(ring_), static_cast<size_t>(committed), n, &huge);
      committed += n;
    }
    const size_t r = static_cast<size_t>(got % ring_);
    const ssize_t n = read_ready(fd_, buf_ + r, piece_ - r % piece_, &nowait);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      err_ = n < 0 ? errno : 0;
      end_.store(n < 0 ? 2 : 1, std::memory_order_release);
    } else {
      got += static_cast<uint64_t>(n);
      got_.store(got, std::memory_order_release);
    }
    told_.fetch_add(1, std::memory_order_acq_rel);
    told_.notify_all();
    if (n <= 0) return;
  }
}

status ring_input::reader_next(const uint8_t** p, size_t* n) {
  uint64_t got = got_.load(std::memory_order_acquire);
  while (got == at_) {
    const uint32_t told = told_.load(std::memory_order_acquire);
    got = got_.load(std::memory_order_acquire);
    if (got != at_) break;
    // The end comes after the last bytes.
    if (const int end = end_.load(std::memory_order_acquire); end != 0) {
      *p = buf_ + at_ % ring_;
      *n = 0;
      return end == 1 ? status() : status::sys(err_);
    }
    told_.wait(told, std::memory_order_acquire);
    got = got_.load(std::memory_order_acquire);
  }
  const uint64_t r = at_ % ring_;
  *n = static_cast<size_t>(std::min<uint64_t>({got - at_, ring_ - r, cfg_read_piece}));
  *p = buf_ + r;
  at_ += *n;
  handed_.store(at_, std::memory_order_release);
  handed_.notify_all();
  return {};
}

status ring_input::next(const uint8_t** p, size_t* n) {
  if (reader_) return reader_next(p, n);
  // A read never straddles the ring's end: the ring is whole pieces long.
  uint8_t* to = buf_ + at_ % ring_;
  *p = to;
  *n = 0;
  status s = read_some(fd_, to, piece_ - static_cast<size_t>(at_ % piece_), n);
  if (s.ok() && *n > 0) {
    at_ += *n;
    prefault_advance(&pf_, std::min(at_, ring_));
  }
  return s;
}

// Stops the reader wherever it waits: for room (woken here), for input or in
// a pause (it looks by itself).
void ring_input::stop_reader() {
  stop_.store(true, std::memory_order_release);
  handed_.fetch_add(1, std::memory_order_release);
  handed_.notify_all();
  pthread_join(thread_, nullptr);
  reader_ = false;
}

void ring_input::close() {
  if (reader_) stop_reader();
  prefault_stop(&pf_);
  // As mapped_input's: nothing to do about a failed munmap of our own range.
  if (buf_) (void)munmap(buf_, ring_);
  buf_ = nullptr;
  ring_ = 0;
}
