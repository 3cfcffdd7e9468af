// The ring of output blocks between the coder and the writer thread.
#include "driver/out_writer.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "driver/fdio.h"

namespace {

uint8_t g_outbuf[cfg_out_slots][cfg_iobuf];

}  // namespace

out_writer::out_writer(int fd, progress* prog) : fd_(fd), prog_(prog) {
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

bool out_writer::submit(size_t n) {
  if (!threaded_) {
    if (!write_all(fd_, g_outbuf[fill_], n)) return false;
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

void out_writer::run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    work_.wait(lk, [this] { return count_ > 0 || closing_; });
    if (count_ == 0 || dropping_) return;
    const unsigned i = (fill_ + cfg_out_slots - count_) % cfg_out_slots;  // the oldest queued
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
