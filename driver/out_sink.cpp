// The three ways output blocks reach their file.
#include "driver/out_sink.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

status pwrite_all(int fd, const uint8_t* p, size_t n, uint64_t off) {
  while (n > 0) {
    const ssize_t k = pwrite(fd, p, n, static_cast<off_t>(off));
    if (k < 0) {
      if (errno == EINTR) continue;
      return status::from_errno();
    }
    p += k;
    n -= static_cast<size_t>(k);
    off += static_cast<uint64_t>(k);
  }
  return {};
}

}  // namespace

status stream_sink::put(const out_batch& b) {
  status s = writev_all(fd_, b.p, b.len, b.k);
  if (s.ok()) off_ += b.n;
  return s;
}

// The pipe holds the pages of the bytes given by reference until they are
// read: each must have left it before the coder can write it again, which
// it may once keep_ bytes follow it. Once these blocks are released, the
// coder may get a queue's worth ahead of what is written, so the bytes
// before end + queue - keep_ must have left the pipe first. With a window's
// keep that takes a look at the pipe once in hundreds of MiB, which finds
// them long gone; a reader that holds on to them holds the writer here, and
// the coder behind it.
status pipe_ref_sink::put(const out_batch& b) {
  const bool ref = by_ref_ && !b.copy;
  if (status s = writev_all(fd_, b.p, b.len, b.k, ref ? &by_ref_ : nullptr); !s.ok()) return s;
  off_ += b.n;
  const uint64_t end = off_, queue = uint64_t{cfg_out_slots} * cfg_out_block;
  if (ref) ref_end_ = end;
  if (end + queue <= keep_) return {};
  const uint64_t must = std::min(ref_end_, end + queue - keep_);
  while (left_pipe_ < must) {
    // The pipe holds our bytes and maybe others': what it holds bounds
    // from below what has left it.
    const int q = pipe_queued(fd_);
    if (q < 0) return status::from_errno();
    left_pipe_ = end - std::min<uint64_t>(end, static_cast<uint64_t>(q));
    if (left_pipe_ >= must) break;
    pollfd pf{fd_, POLLOUT, 0};
    if (poll(&pf, 1, 0) > 0 && (pf.revents & POLLERR)) break;  // no reader: the next write fails
    nap_->sleep();
  }
  return {};
}

status sparse_sink::put(const out_batch& b) {
  for (unsigned j = 0; j < b.k; j++)
    if (status s = put_block(b.p[j], b.len[j]); !s.ok()) return s;
  return {};
}

// Blocks start at multiples of cfg_out_block in the file, so their 4 KiB pieces
// are the file's aligned blocks.
status sparse_sink::put_block(const uint8_t* p, size_t n) {
  if (base_ + off_ + n > size_mark_) {
    // Extending a file that someone cut short would hide the cut.
    if (size_mark_ > 0)
      if (status s = kept_size(); !s.ok()) return s;
    size_mark_ = base_ + off_ + n + cfg_size_ahead;
    if (ftruncate(fd_, static_cast<off_t>(size_mark_)) != 0) return status::from_errno();
  }
  size_t i = 0;
  while (i < n) {
    size_t j = i;  // [i, j): pieces with data, written as one
    while (j < n && !all_zero(p + j, std::min(cfg_hole, n - j))) j += std::min(cfg_hole, n - j);
    if (j > i)
      if (status s = pwrite_all(fd_, p + i, j - i, base_ + off_ + i); !s.ok()) return s;
    i = j;
    while (i < n && all_zero(p + i, std::min(cfg_hole, n - i))) i += std::min(cfg_hole, n - i);
  }
  off_ += n;
  return {};
}

void sparse_sink::abandon() {
  if (size_mark_ == 0 || changed_) return;
  // The run has failed already and says why; a size not given back leaves
  // zero bytes after the data, of a file the failed run removes where it
  // created it.
  (void)ftruncate(fd_, static_cast<off_t>(base_ + off_));
}

// The exact size, once the file is known to have kept the size it was given,
// and the offset behind the data. Writes at offsets leave the descriptor's
// offset alone: moved, it was written through by someone sharing it.
status sparse_sink::finish() {
  if (status s = kept_size(); !s.ok()) return s;
  const off_t at = lseek(fd_, 0, SEEK_CUR), end = static_cast<off_t>(base_ + off_);
  if (at < 0) return status::from_errno();
  if (static_cast<uint64_t>(at) != base_) {
    // Whoever wrote through the offset wrote into the data: the run fails
    // with that, whether or not the size ahead is taken back too.
    (void)ftruncate(fd_, end);
    changed_ = true;
    return status::changed_size();
  }
  if (ftruncate(fd_, end) != 0 || lseek(fd_, end, SEEK_SET) != end) return status::from_errno();
  return {};
}

// Whether the file still has the size it was given; a shorter one lost data
// to another process.
status sparse_sink::kept_size() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return status::from_errno();
  if (static_cast<uint64_t>(st.st_size) >= size_mark_) return {};
  changed_ = true;
  return status::changed_size();
}
