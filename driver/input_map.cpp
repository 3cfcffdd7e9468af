// A mapped file handed out where it lies, followed as it grows.
#include "driver/input_map.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "driver/signals.h"
#include "lrdedup.h"

namespace {

// Mapped pages this far behind the input are dropped from the resident set
// (the page cache keeps them), checked every cfg_drop_step bytes.
constexpr uint64_t cfg_drop_behind = LRD_HISTORY_RING;
constexpr uint64_t cfg_drop_step = uint64_t{64} << 20;

// Bytes of a mapped file handed out at a time.
constexpr size_t cfg_map_piece = size_t{1} << 20;

}  // namespace

bool mapped_input::open(int fd, uint64_t start, uint64_t size) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const size_t skip = static_cast<size_t>(start & (page - 1)), len = static_cast<size_t>(size - start);
  void* p = mmap(nullptr, skip + len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start - skip));
  if (p == MAP_FAILED) return false;
  fd_ = fd;
  map_ = static_cast<const uint8_t*>(p) + skip;
  skip_ = skip;
  len_ = len;
  start_ = start;
  arm_mapping_fault(fault_slot::input, p, skip + len);
  return true;
}

// The reads have gone past the mapping: the file grew, so the mapping
// follows it.
status mapped_input::follow_growth() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return status::from_errno();
  if (static_cast<uint64_t>(st.st_size) < start_ + at_) return status::changed_size();
  const size_t len = static_cast<size_t>(static_cast<uint64_t>(st.st_size) - start_);
  void* p = mremap(const_cast<uint8_t*>(map_ - skip_), skip_ + len_, skip_ + len, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return status::from_errno();
  map_ = static_cast<const uint8_t*>(p) + skip_;
  len_ = len;
  arm_mapping_fault(fault_slot::input, p, skip_ + len);
  return {};
}

// Reading a file keeps its pages in the page cache, not in this process;
// only the mapped pages that references were checked against count, and
// those more than a window behind are let go.
void mapped_input::drop_behind() {
  if (at_ < dropped_ + cfg_drop_behind + cfg_drop_step) return;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  // In bytes of the mapping, which starts on a page.
  const uint64_t to = (skip_ + at_ - cfg_drop_behind) & ~(page - 1);
  // Advice only: pages not dropped cost resident memory, never bytes.
  (void)madvise(const_cast<uint8_t*>(map_ - skip_) + dropped_, to - dropped_, MADV_DONTNEED);
  dropped_ = to;
}

// It ends where its size says once the bytes before are handed out; a file
// that grew meanwhile is followed, one that shrank fails the run (a touch
// past its new end raises SIGBUS, which signals.cpp turns into the same
// message).
status mapped_input::next(const uint8_t** p, size_t* n) {
  if (at_ >= len_) {
    struct stat st;
    if (fstat(fd_, &st) != 0) return status::from_errno();
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    if (end < start_ + at_) return status::changed_size();
    if (end > start_ + at_)
      if (status s = follow_growth(); !s.ok()) return s;
    if (at_ >= len_) {
      // The descriptor's offset goes behind what was handed out, as reads
      // would have left it.
      if (lseek(fd_, static_cast<off_t>(start_ + at_), SEEK_SET) < 0) return status::from_errno();
      *p = map_ + at_;
      *n = 0;
      return {};
    }
  }
  *n = std::min<size_t>(cfg_map_piece, len_ - at_);
  *p = map_ + at_;
  at_ += *n;
  drop_behind();
  return {};
}

void mapped_input::close() {
  if (!map_) return;
  arm_mapping_fault(fault_slot::input, nullptr, 0);
  // Unmapping a range this process mapped fails only for arguments it never
  // passes; the address space goes with the process either way.
  (void)munmap(const_cast<uint8_t*>(map_ - skip_), skip_ + len_);
  map_ = nullptr;
}
