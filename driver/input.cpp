// Mapped, ringed or plainly read input.
#include "driver/input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "codec/format.h"
#include "codec/history.h"
#include "driver/block.h"
#include "driver/fdio.h"
#include "driver/signals.h"

namespace {

uint8_t g_inbuf[cfg_iobuf];

// Mapped pages this far behind the input are dropped from the resident set
// (the page cache keeps them), checked every cfg_drop_step bytes.
constexpr uint64_t cfg_drop_behind = cfg_hist_ring;
constexpr uint64_t cfg_drop_step = uint64_t{64} << 20;

// How far ahead of the reads the ring is committed.
constexpr size_t cfg_ring_lead = size_t{32} << 20;

bool map_input(input_source* in, size_t len) {
  void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, in->fd, 0);
  if (p == MAP_FAILED) return false;
  in->map = static_cast<const uint8_t*>(p);
  in->map_len = len;
  in->size0 = len;
  arm_mapping_fault(0, in->map, len);
  return true;
}

// The reads have gone past the mapping: the file grew, so the mapping follows
// it. False, with errno set or with shrunk for a file shorter than what was
// read, when it cannot.
bool follow_growth(input_source* in) {
  struct stat st;
  if (fstat(in->fd, &st) != 0) return false;
  if (st.st_size < static_cast<off_t>(in->at)) {
    in->shrunk = true;
    return false;
  }
  const size_t len = static_cast<size_t>(st.st_size);
  void* p = mremap(const_cast<uint8_t*>(in->map), in->map_len, len, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return false;
  in->map = static_cast<const uint8_t*>(p);
  in->map_len = len;
  arm_mapping_fault(0, in->map, len);
  return true;
}

// Reading a file keeps its pages in the page cache, not in this process;
// only the mapped pages that references were checked against count, and
// those more than a window behind are let go.
void drop_behind(input_source* in) {
  if (in->at < in->dropped + cfg_drop_behind + cfg_drop_step) return;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t to = (in->at - cfg_drop_behind) & ~(page - 1);
  madvise(const_cast<uint8_t*>(in->map) + in->dropped, to - in->dropped, MADV_DONTNEED);
  in->dropped = to;
}

}  // namespace

bool input_open(input_source* in, int fd, const struct stat& st, bool history) {
  in->fd = fd;
  in->buf = g_inbuf;
  if (!history) return true;
  // A file that says it is empty may still have content (/proc): read it.
  if (S_ISREG(st.st_mode) && st.st_size > 0 && map_input(in, static_cast<size_t>(st.st_size))) return true;
  void* p = map_zeroed(cfg_hist_ring, true);
  if (!p) {
    errno = ENOMEM;
    return false;
  }
  in->buf = static_cast<uint8_t*>(p);
  in->ring = cfg_hist_ring;
  prefault_start(&in->pf, in->buf, cfg_hist_ring, cfg_ring_lead, prefault_huge_while_fast);
  return true;
}

ssize_t input_next(input_source* in, const uint8_t** p) {
  // A read never straddles the ring's end: it is whole input buffers long.
  uint8_t* to = in->ring ? in->buf + in->at % in->ring : in->buf;
  const size_t room = in->ring ? cfg_iobuf - static_cast<size_t>(in->at % cfg_iobuf) : cfg_iobuf;
  const ssize_t n = read_some(in->fd, to, room);
  if (n > 0) {
    in->at += static_cast<uint64_t>(n);
    if (in->ring) prefault_advance(&in->pf, std::min(in->at, in->ring));
  }
  if (in->map && n >= 0) {
    // The history must hold what was read; a file that ends before its size
    // at the start was cut short under the run.
    if (in->at > in->map_len && !follow_growth(in)) return -1;
    if (n == 0 && in->at < in->size0) {
      in->shrunk = true;
      return -1;
    }
    drop_behind(in);
  }
  *p = to;
  return n;
}

const uint8_t* input_history(const input_source* in, uint64_t* ring) {
  *ring = in->ring;
  return in->map ? in->map : in->ring ? in->buf : nullptr;
}

void input_close(input_source* in) {
  prefault_stop(&in->pf);
  if (in->map) {
    arm_mapping_fault(0, nullptr, 0);
    munmap(const_cast<uint8_t*>(in->map), in->map_len);
  }
  if (in->ring) munmap(in->buf, in->ring);
  in->map = nullptr;
  in->ring = 0;
}
