// The ring of output blocks between the coder and the writer thread.
#include "driver/out_queue.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "os/memory.h"

namespace {

// A pipe written to is given a buffer this large where the system allows,
// so that its reader is woken for large pieces.
constexpr size_t cfg_pipe_buffer = size_t{1} << 20;

constexpr size_t cfg_out_bytes = size_t{cfg_out_slots} * cfg_out_block;

}  // namespace

status out_queue::start(int fd, progress* prog, bool sparse, uint64_t base) {
  fd_ = fd;
  prog_ = prog;
  sparse_ = sparse;
  blocks_ = static_cast<uint8_t*>(lrd::map_zeroed(cfg_out_bytes, false));
  if (!blocks_) return status::no_memory(cfg_out_bytes);
  struct stat st;
  if (sparse)
    sink_.emplace<sparse_sink>(fd, base);
  else
    sink_.emplace<stream_sink>(fd);
  if (!sparse && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) pipe_cap_ = enlarge_pipe(fd, cfg_pipe_buffer);
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // the blocks are written at once instead
  }
  return {};
}

template <class Pred>
void out_queue::wait_reporting(std::unique_lock<std::mutex>& lk, Pred pred) {
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

void out_queue::views_stay(uint64_t keep) {
  // A pipe that can tell how much it holds, a keep beyond the queue, and a
  // thread that can wait for the pipe without holding the coder.
  if (threaded_ && pipe_cap_ > 0 && keep > cfg_out_bytes && pipe_queued(fd_) >= 0) {
    sink_.emplace<pipe_ref_sink>(fd_, keep, &nap_);
    views_stay_ = true;
  }
}

status out_queue::queue(const uint8_t* p, size_t n, bool stays) {
  if (!threaded_) {
    out_batch b;  // written at once, and copied
    b.p[0] = p;
    b.len[0] = b.n = n;
    b.k = 1;
    b.copy = true;
    if (status s = put(b); !s.ok()) return s;
    fill_ = (fill_ + 1) % cfg_out_slots;
    progress_update(prog_, 0, n);
    return {};
  }
  std::unique_lock<std::mutex> lk(m_);
  if (!stays) copy_rest_ = true;
  at_[fill_] = p;
  len_[fill_] = n;
  count_++;
  fill_ = (fill_ + 1) % cfg_out_slots;
  // Woken for half the ring at a time where that is a pipe's worth: a fast
  // reader at its other end (or /dev/null) would otherwise cost two context
  // switches per block. A file gets its blocks soon, so that its size tells
  // how far a run has come. A busy writer takes the new block without being
  // woken.
  if (count_ == (pipe_cap_ > 0 ? cfg_out_slots / 2 : cfg_out_slots / 8)) work_.notify_one();
  wait_reporting(lk, [this] { return count_ < cfg_out_slots || !fail_.ok(); });
  return fail_;
}

// Stops the thread once it has written what is queued (drop: at once).
void out_queue::stop_thread(bool drop) {
  if (!threaded_) return;
  {
    std::unique_lock<std::mutex> lk(m_);
    closing_ = true;
    if (drop) dropping_ = true;
    work_.notify_one();
    wait_reporting(lk, [this] { return count_ == 0 || !fail_.ok() || dropping_; });
  }
  thread_.join();
  threaded_ = false;
}

status out_queue::finish() {
  stop_thread(false);
  if (!fail_.ok()) return fail_;
  status s = std::visit([](auto& k) { return k.finish(); }, sink_);
  finished_ = s.ok();
  return s;
}

void out_queue::abandon() {
  stop_thread(true);
  if (!finished_) std::visit([](auto& k) { k.abandon(); }, sink_);
  finished_ = true;
  // As the input's buffers: a failed munmap of our own range changes nothing.
  if (blocks_) (void)munmap(blocks_, cfg_out_bytes);
  blocks_ = nullptr;
}

// Takes the oldest queued blocks, up to half the ring, to be written in one
// call: a pipe's reader is then woken once for them (a sparse file takes one
// at a time). False when the thread is to end.
bool out_queue::take_batch(std::unique_lock<std::mutex>& lk, out_batch* b) {
  for (;;) {
    work_.wait(lk, [this] { return count_ > 0 || closing_; });
    if (count_ == 0 || dropping_) return false;
    // A pipe that still holds much of what was written is left to drain
    // while the coder has blocks to fill: its reader then takes large
    // pieces, and neither side is woken for every one.
    if (pipe_cap_ > 0 && !closing_ && count_ < cfg_out_slots - 1 && pipe_queued(fd_) > pipe_cap_ / 4) {
      lk.unlock();
      nap_.sleep();
      const int q = pipe_queued(fd_);
      if (q > pipe_cap_ / 4) nap_.longer();
      if (q == 0) nap_.shorter();
      lk.lock();
      continue;
    }
    const unsigned i = (fill_ + cfg_out_slots - count_) % cfg_out_slots;
    b->k = sparse_ ? 1 : std::min(count_, cfg_out_slots / 2);
    b->copy = copy_rest_;
    b->n = 0;
    for (unsigned j = 0; j < b->k; j++) {
      b->p[j] = at_[(i + j) % cfg_out_slots];
      b->len[j] = len_[(i + j) % cfg_out_slots];
      b->n += b->len[j];
    }
    return true;
  }
}

void out_queue::run() {
  (void)pthread_setname_np(pthread_self(), "lrd-writer");
  std::unique_lock<std::mutex> lk(m_);
  out_batch b;
  while (take_batch(lk, &b)) {
    lk.unlock();
    status s = put(b);
    lk.lock();
    if (!s.ok()) {
      fail_ = std::move(s);
      room_.notify_all();
      return;
    }
    count_ -= b.k;
    written_ += b.n;
    room_.notify_all();
  }
}
