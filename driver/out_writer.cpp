// The ring of output blocks between the coder and the writer thread.
#include "driver/out_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "driver/fdio.h"

namespace {

uint8_t g_outbuf[cfg_out_slots][cfg_iobuf];

}  // namespace

out_writer::out_writer(int fd, progress* prog, bool sparse) : fd_(fd), prog_(prog), sparse_(sparse) {
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;
  }
}

uint8_t* out_writer::block() { return g_outbuf[fill_]; }

const uint8_t* out_writer::ring() { return g_outbuf[0]; }

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

bool out_writer::submit(size_t n) {
  if (!threaded_) {
    // Written at once, but handed out in the same order as with the thread:
    // the decoder reads its latest output back from these blocks.
    if (!put(g_outbuf[fill_], n)) return false;
    fill_ = (fill_ + 1) % cfg_out_slots;
    progress_update(prog_, 0, n);
    return true;
  }
  std::unique_lock<std::mutex> lk(m_);
  len_[fill_] = n;
  count_++;
  fill_ = (fill_ + 1) % cfg_out_slots;
  // Woken for half the ring at a time: a fast sink (a pipe being read,
  // /dev/null) would otherwise cost two context switches per block. A
  // busy writer takes the new block without being woken.
  if (count_ == cfg_out_slots / 2) work_.notify_one();
  wait_reporting(lk, [this] { return count_ < cfg_out_slots || failed_; });
  return ok_locked();
}

bool out_writer::stop(bool abandon) {
  if (!threaded_) return abandon || !sparse_ || finish_sparse();
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
  return abandon || !sparse_ || finish_sparse();
}

void out_writer::run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    work_.wait(lk, [this] { return count_ > 0 || closing_; });
    if (count_ == 0 || dropping_) return;
    const unsigned i = (fill_ + cfg_out_slots - count_) % cfg_out_slots;  // the oldest queued
    const size_t n = len_[i];
    lk.unlock();
    const bool ok = put(g_outbuf[i], n);
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

// Blocks start at multiples of cfg_iobuf in the file, so their 4 KiB pieces
// are the file's aligned blocks.
bool out_writer::put_sparse(const uint8_t* p, size_t n) {
  if (off_ + n > size_mark_) {
    // Extending a file that someone cut short would hide the cut.
    if (size_mark_ > 0 && !kept_size()) return false;
    size_mark_ = off_ + n + cfg_size_ahead;
    if (ftruncate(fd_, static_cast<off_t>(size_mark_)) != 0) return false;
  }
  size_t i = 0;
  while (i < n) {
    size_t j = i;  // [i, j): pieces with data, written as one
    while (j < n && !all_zero(p + j, std::min(cfg_hole, n - j))) j += std::min(cfg_hole, n - j);
    if (j > i && !pwrite_all(fd_, p + i, j - i, off_ + i)) return false;
    i = j;
    while (i < n && all_zero(p + i, std::min(cfg_hole, n - i))) i += std::min(cfg_hole, n - i);
  }
  return true;
}

// The exact size, once the file is known to have kept the size it was given.
bool out_writer::finish_sparse() { return kept_size() && ftruncate(fd_, static_cast<off_t>(off_)) == 0; }

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
