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

// A pipe or socket is read in pieces this large (and a pipe's buffer made
// this large where allowed): each read or write of 64 KiB would otherwise
// wake the process at the other end. A file is read as the coder takes it.
constexpr size_t cfg_pipe_read = cfg_hist_read;

uint8_t g_inbuf[cfg_pipe_read];

// Mapped pages this far behind the input are dropped from the resident set
// (the page cache keeps them), checked every cfg_drop_step bytes.
constexpr uint64_t cfg_drop_behind = cfg_hist_ring;
constexpr uint64_t cfg_drop_step = uint64_t{64} << 20;

// Bytes of a mapped file handed out at a time.
constexpr size_t cfg_map_piece = size_t{1} << 20;

// How far ahead of the reads the ring is committed.
constexpr size_t cfg_ring_lead = size_t{32} << 20;

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

// Pipes and sockets are read in large pieces; a pipe's buffer is made as
// large where the system allows (a refusal leaves it as it was).
void set_piece(input_source* in) {
  struct stat st;
  const bool stream = fstat(in->fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  in->piece = stream ? cfg_pipe_read : cfg_iobuf;
  if (S_ISFIFO(st.st_mode)) enlarge_pipe(in->fd, cfg_pipe_read);
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
  if (in->map) return mapped_next(in, p);
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
  prefault_stop(&in->pf);
  if (in->map) {
    arm_mapping_fault(0, nullptr, 0);
    munmap(const_cast<uint8_t*>(in->map - in->map_skip), in->map_skip + in->map_len);
  }
  if (in->ring) munmap(in->buf, in->ring);
  in->map = nullptr;
  in->ring = 0;
}
