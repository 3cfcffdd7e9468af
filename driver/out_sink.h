// Where the output blocks go, in one of three forms: written in order (a
// file, a device, a pipe given copies), a pipe given the pages themselves,
// or a regular file written sparsely. Each owns its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "driver/fdio.h"
#include "driver/status.h"
#include "lrdedup.h"

// Output blocks: one being filled by the coder, the others queued for the
// writer thread, which writes up to half of them at once to a pipe (1 MiB).
// A block handed over is written before 31 more are: what the decoder's
// views and its history in the output file need (LRD_VIEW_KEEP,
// LRD_DECODER_LAG).
constexpr size_t cfg_out_block = size_t{64} << 10;
constexpr unsigned cfg_out_slots = 32;
static_assert((cfg_out_slots - 1) * uint64_t{cfg_out_block} <= LRD_VIEW_KEEP &&
              (cfg_out_slots - 1) * uint64_t{cfg_out_block} <= LRD_DECODER_LAG);

// The queued blocks written in one call, oldest first. copy: a block that
// does not stay put for long was handed over (before or among these), so a
// pipe gets copies from then on.
struct out_batch {
  const uint8_t* p[cfg_out_slots];
  size_t len[cfg_out_slots];
  unsigned k = 0;
  size_t n = 0;  // the sum of len
  bool copy = false;
};

// In order, with as few calls as the system takes.
class stream_sink {
 public:
  explicit stream_sink(int fd) : fd_(fd) {}
  status put(const out_batch& b);
  status finish() { return {}; }
  void abandon() {}

 private:
  int fd_;
  uint64_t off_ = 0;  // bytes written
};

// A pipe given the pages of blocks that stay put for long (keep bytes
// handed over after them), not copies: it then holds the writer back while
// the pipe still holds bytes that the coder could write again. A system that
// refuses gets copies. nap: the queue's, as the pipe has one pace.
class pipe_ref_sink {
 public:
  pipe_ref_sink(int fd, uint64_t keep, pipe_nap* nap) : fd_(fd), keep_(keep), nap_(nap) {}
  status put(const out_batch& b);
  status finish() { return {}; }
  void abandon() {}

 private:
  int fd_;
  uint64_t keep_;
  pipe_nap* nap_;
  bool by_ref_ = true;     // the pipe is given pages (until refused)
  uint64_t off_ = 0;       // bytes written
  uint64_t ref_end_ = 0;   // the end of the bytes given by reference
  uint64_t left_pipe_ = 0; // bytes known to have left the pipe
};

// A regular file written at offsets from `base` (where the output starts in
// it); whole 4 KiB blocks of zero bytes are left as holes, and finish() sets
// the file's exact size and the descriptor's offset behind the data, as
// writes would have left it. A file that another process shortens meanwhile,
// or writes into through the same descriptor (its offset moved), fails the
// run with changed_size.
class sparse_sink {
 public:
  sparse_sink(int fd, uint64_t base) : fd_(fd), base_(base) {}
  status put(const out_batch& b);
  status finish();
  // A file abandoned is given back the size of what was written (it may stay
  // when it is standard output's); one that another process changed is left
  // alone.
  void abandon();

 private:
  status put_block(const uint8_t* p, size_t n);
  status kept_size();

  int fd_;
  uint64_t base_;
  uint64_t off_ = 0;        // bytes written
  uint64_t size_mark_ = 0;  // the size the file was last given (0: none yet)
  bool changed_ = false;    // another process changed the file
};

using out_sink = std::variant<stream_sink, pipe_ref_sink, sparse_sink>;
