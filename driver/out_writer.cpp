// The ring of output blocks between the coder and the writer thread.
#include "driver/out_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "driver/fdio.h"

namespace {

uint8_t g_outbuf[cfg_out_slots][cfg_out_block];

// A pipe written to is given a buffer this large where the system allows,
// so that its reader is woken for large pieces.
constexpr size_t cfg_pipe_buffer = size_t{1} << 20;

}  // namespace

out_writer::out_writer(int fd, progress* prog, bool sparse, uint64_t base)
    : fd_(fd), prog_(prog), sparse_(sparse), base_(base) {
  struct stat st;
  if (!sparse && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    pipe_cap_ = enlarge_pipe(fd, cfg_pipe_buffer);
  }
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;
  }
}

uint8_t* out_writer::block() { return g_outbuf[fill_]; }

template <class Pred>
void out_writer::wait_reporting(std::unique_lock<std::mutex>& lk, Pred pred) {
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

bool out_writer::ok_locked() {
  if (!failed_) return true;
  errno = err_;
  return false;
}

bool out_writer::submit(size_t n) { return queue(g_outbuf[fill_], n, false); }

void out_writer::views_stay(uint64_t keep) {
  // A pipe that can tell how much it holds, and a keep beyond the queue.
  if (pipe_cap_ > 0 && keep > uint64_t{cfg_out_slots} * cfg_out_block && pipe_queued(fd_) >= 0) {
    keep_ = keep;
    by_ref_ = true;
  }
}

bool out_writer::submit_view(const uint8_t* p, size_t n) { return queue(p, n, keep_ > 0); }

bool out_writer::queue(const uint8_t* p, size_t n, bool stays) {
  if (!threaded_) {
    if (!put(p, n)) return false;  // written at once, and copied
    fill_ = (fill_ + 1) % cfg_out_slots;
    progress_update(prog_, 0, n);
    return true;
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
  wait_reporting(lk, [this] { return count_ < cfg_out_slots || failed_; });
  return ok_locked();
}

bool out_writer::stop(bool abandon) {
  if (!threaded_) return end_sparse(abandon);
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
  if (!ok_locked()) return false;
  return end_sparse(abandon);
}

void out_writer::run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    work_.wait(lk, [this] { return count_ > 0 || closing_; });
    if (count_ == 0 || dropping_) return;
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
    // The oldest queued blocks, up to half the ring, in one call: a pipe's
    // reader is then woken once for them (a sparse file takes one at a time).
    const unsigned i = (fill_ + cfg_out_slots - count_) % cfg_out_slots;
    const unsigned k = sparse_ ? 1 : std::min(count_, cfg_out_slots / 2);
    const bool copy = copy_rest_;
    const uint8_t* p[cfg_out_slots];
    size_t len[cfg_out_slots], n = 0;
    for (unsigned j = 0; j < k; j++) {
      p[j] = at_[(i + j) % cfg_out_slots];
      len[j] = len_[(i + j) % cfg_out_slots];
      n += len[j];
    }
    lk.unlock();
    const bool ok = keep_ ? put_by_ref(p, len, k, n, copy) : k == 1 ? put(p[0], n) : writev_all(fd_, p, len, k);
    if (ok && (keep_ || k > 1)) off_ += n;
    const int e = errno;
    lk.lock();
    if (!ok) {
      failed_ = true;
      err_ = e;
      room_.notify_all();
      return;
    }
    count_ -= k;
    written_ += n;
    room_.notify_all();
  }
}

// The pipe holds the pages of the bytes given by reference until they are
// read: each must have left it before the coder can write it again, which
// it may once keep_ bytes follow it. Once these blocks are released, the
// coder may get a queue's worth ahead of what is written, so the bytes
// before end + queue - keep_ must have left the pipe first. With a window's
// keep that takes a look at the pipe once in hundreds of MiB, which finds
// them long gone; a reader that holds on to them holds the writer here, and
// the coder behind it.
bool out_writer::put_by_ref(const uint8_t* const* p, const size_t* len, unsigned k, size_t n, bool copy) {
  const bool ref = by_ref_ && !copy;
  if (!writev_all(fd_, p, len, k, ref ? &by_ref_ : nullptr)) return false;
  const uint64_t end = off_ + n, queue = uint64_t{cfg_out_slots} * cfg_out_block;
  if (ref) ref_end_ = end;
  if (end + queue <= keep_) return true;
  const uint64_t must = std::min(ref_end_, end + queue - keep_);
  while (left_pipe_ < must) {
    // The pipe holds our bytes and maybe others': what it holds bounds
    // from below what has left it.
    const int q = pipe_queued(fd_);
    if (q < 0) return false;
    left_pipe_ = end - std::min<uint64_t>(end, static_cast<uint64_t>(q));
    if (left_pipe_ >= must) break;
    pollfd pf{fd_, POLLOUT, 0};
    if (poll(&pf, 1, 0) > 0 && (pf.revents & POLLERR)) break;  // no reader: the next write fails
    nap_.sleep();
  }
  return true;
}

namespace {

// Zero blocks a sparse output leaves as holes: the file system's block size
// on most of them, and a page.
constexpr size_t cfg_hole = 4096;

// The size a sparse output is given ahead of its writes, so that the holes
// at its end read as zero bytes through a mapping, as those inside do.
constexpr uint64_t cfg_size_ahead = uint64_t{1} << 30;

bool all_zero(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    uint64_t w[4];
    std::memcpy(w, p + i, 32);
    if (w[0] | w[1] | w[2] | w[3]) return false;
  }
  for (; i < n; i++)
    if (p[i]) return false;
  return true;
}

bool pwrite_all(int fd, const uint8_t* p, size_t n, uint64_t off) {
  while (n > 0) {
    const ssize_t k = pwrite(fd, p, n, static_cast<off_t>(off));
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
    off += static_cast<uint64_t>(k);
  }
  return true;
}

}  // namespace

bool out_writer::put(const uint8_t* p, size_t n) {
  const bool ok = sparse_ ? put_sparse(p, n) : write_all(fd_, p, n);
  if (ok) off_ += n;
  return ok;
}

// Blocks start at multiples of cfg_out_block in the file, so their 4 KiB pieces
// are the file's aligned blocks.
bool out_writer::put_sparse(const uint8_t* p, size_t n) {
  if (base_ + off_ + n > size_mark_) {
    // Extending a file that someone cut short would hide the cut.
    if (size_mark_ > 0 && !kept_size()) return false;
    size_mark_ = base_ + off_ + n + cfg_size_ahead;
    if (ftruncate(fd_, static_cast<off_t>(size_mark_)) != 0) return false;
  }
  size_t i = 0;
  while (i < n) {
    size_t j = i;  // [i, j): pieces with data, written as one
    while (j < n && !all_zero(p + j, std::min(cfg_hole, n - j))) j += std::min(cfg_hole, n - j);
    if (j > i && !pwrite_all(fd_, p + i, j - i, base_ + off_ + i)) return false;
    i = j;
    while (i < n && all_zero(p + i, std::min(cfg_hole, n - i))) i += std::min(cfg_hole, n - i);
  }
  return true;
}

// A sparse file abandoned is given back the size of what was written (it
// may stay when it is standard output's); one that another process changed
// is left alone.
bool out_writer::end_sparse(bool abandon) {
  if (!sparse_) return true;
  if (!abandon) return finish_sparse();
  if (size_mark_ > 0 && !changed_size_ && ftruncate(fd_, static_cast<off_t>(base_ + off_)) != 0) {
  }
  return true;
}

// The exact size, once the file is known to have kept the size it was given,
// and the offset behind the data. Writes at offsets leave the descriptor's
// offset alone: moved, it was written through by someone sharing it.
bool out_writer::finish_sparse() {
  if (!kept_size()) return false;
  const off_t at = lseek(fd_, 0, SEEK_CUR), end = static_cast<off_t>(base_ + off_);
  if (at >= 0 && static_cast<uint64_t>(at) != base_) {
    if (ftruncate(fd_, end) != 0) {
    }
    changed_size_ = true;
    errno = EIO;
    return false;
  }
  return at >= 0 && ftruncate(fd_, end) == 0 && lseek(fd_, end, SEEK_SET) == end;
}

// Whether the file still has the size it was given; a shorter one lost data
// to another process (changed_size, errno EIO).
bool out_writer::kept_size() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) >= size_mark_) return true;
  changed_size_ = true;
  errno = EIO;
  return false;
}
