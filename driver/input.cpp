// The choice of an input's source, and the plainly read one.
#include "driver/input.h"

#include <sys/mman.h>
#include <unistd.h>

#include "driver/fdio.h"
#include "os/memory.h"

namespace {

// What the ring keeps before the end of what the coder was handed: a coder
// handed bytes up to h checks against bytes from h less the window, its lag
// and the hand-out before it.
constexpr uint64_t cfg_ring_keep = LRD_WINDOW + LRD_ENCODER_LAG + cfg_read_piece;

// Pipes and sockets are read in large pieces; a pipe's buffer is made as
// large where the system allows (a refusal leaves it as it was). Sets the
// read size, and returns the pipe's buffer (0: no pipe).
int read_size(int fd, size_t* piece) {
  struct stat st;
  const bool stream = fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  *piece = stream ? cfg_read_piece : cfg_read_small;
  return stream && S_ISFIFO(st.st_mode) ? enlarge_pipe(fd, cfg_read_piece) : 0;
}

}  // namespace

status plain_input::open(int fd, size_t piece) {
  fd_ = fd;
  piece_ = piece;
  buf_ = static_cast<uint8_t*>(lrd::map_zeroed(cfg_read_piece, false));
  return buf_ ? status() : status::no_memory(cfg_read_piece);
}

status plain_input::next(const uint8_t** p, size_t* n) {
  *p = buf_;
  *n = 0;
  return read_some(fd_, buf_, piece_, n);
}

void plain_input::close() {
  // Nothing to do about a failed munmap of a range of our own.
  if (buf_) (void)munmap(buf_, cfg_read_piece);
  buf_ = nullptr;
}

status input_source::open(int fd, const struct stat& st, bool history) {
  size_t piece = 0;
  if (!history) {
    read_size(fd, &piece);
    return src_.emplace<plain_input>().open(fd, piece);
  }
  // A file that says it is empty may still have content (/proc): read it.
  // Standard input may start anywhere in its file.
  const off_t start = S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
  if (start >= 0 && st.st_size > start &&
      src_.emplace<mapped_input>().open(fd, static_cast<uint64_t>(start), static_cast<uint64_t>(st.st_size)))
    return {};
  return open_ring(fd, cfg_in_ring, cfg_ring_keep);
}

status input_source::open_ring(int fd, uint64_t ring, uint64_t keep) {
  size_t piece = 0;
  const int pipe_cap = read_size(fd, &piece);
  return src_.emplace<ring_input>().open(fd, ring, keep, piece, pipe_cap);
}

const uint8_t* input_source::history(uint64_t* ring) const {
  *ring = 0;
  if (const auto* r = std::get_if<ring_input>(&src_)) {
    *ring = r->ring_len();
    return r->history();
  }
  if (const auto* m = std::get_if<mapped_input>(&src_)) return m->history();
  return nullptr;
}

bool input_source::reads_ahead() const {
  const auto* r = std::get_if<ring_input>(&src_);
  return r && r->reads_ahead();
}
