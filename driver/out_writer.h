// The output blocks, written in order by a second thread: the coder goes on
// while the kernel copies a block into the page cache or a pipe drains.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "driver/fdio.h"
#include "lrdedup.h"
#include "driver/progress.h"

// Output blocks: one being filled by the coder, the others queued for the
// writer thread, which writes up to half of them at once to a pipe (1 MiB).
// A block handed over is written before 31 more are: what the decoder's
// views and its history in the output file need (LRD_VIEW_KEEP,
// LRD_DECODER_LAG).
constexpr size_t cfg_out_block = size_t{64} << 10;
constexpr unsigned cfg_out_slots = 32;
static_assert((cfg_out_slots - 1) * uint64_t{cfg_out_block} <= LRD_VIEW_KEEP &&
              (cfg_out_slots - 1) * uint64_t{cfg_out_block} <= LRD_DECODER_LAG);

// The first failed write stops the writing; the coder learns of it at its
// next block. Without a thread, blocks are written at once. The progress
// line counts what has been written, also while the coder waits for a free
// block or the end of the writing. One at a time: the blocks are the
// program's own, cfg_out_block bytes each.
//
// A pipe is given the pages of views said to stay for long (views_stay), not
// a copy: the writer then holds the coder back while the pipe still holds
// bytes it could write again. The program's own blocks are copied: they
// are used again after a queue's worth, and a pipe's reader may pass the
// pages on to another pipe (splice) that holds them for longer.
//
// Sparse: the output is a regular file, written at offsets from `base` (where
// the output starts in it); whole 4 KiB blocks of zero bytes are left as
// holes, and stop() sets the file's exact size and the descriptor's offset
// behind the data, as writes would have left it. A file that another process
// shortens meanwhile, or writes into through the same descriptor (its offset
// moved), fails the run.
class out_writer {
 public:
  out_writer(int fd, progress* prog, bool sparse = false, uint64_t base = 0);
  out_writer(const out_writer&) = delete;
  out_writer& operator=(const out_writer&) = delete;
  ~out_writer() { stop(true); }

  // The block the coder fills now.
  uint8_t* block();

  // After a failure: the file was shortened, or written to, by another process.
  bool changed_size() const { return changed_size_; }

  // Hands over the current block holding n bytes; waits for a free one.
  // False, with errno set, when a write has failed.
  bool submit(size_t n);

  // Hands over n bytes (at most a block's) of the caller's at p instead,
  // which stay put until cfg_out_slots - 1 more have been handed over.
  bool submit_view(const uint8_t* p, size_t n);

  // Says that views stay put until `keep` more bytes have been handed over
  // (a window's worth, where submit_view counts on a queue's), so that a
  // pipe may be given their pages. Call before the first view; without it,
  // or with a keep within the queue, views are copied, and so is everything
  // after a block of the program's own.
  void views_stay(uint64_t keep);

  // Waits until every block handed over is written (abandon: dropped).
  // False, with errno set, when a write has failed.
  bool stop(bool abandon);

 private:
  // Waits for pred, updating the progress line with the bytes written meanwhile.
  template <class Pred>
  void wait_reporting(std::unique_lock<std::mutex>& lk, Pred pred);
  bool ok_locked();
  void run();
  // Writes the n bytes at p that follow those written so far.
  bool put(const uint8_t* p, size_t n);
  bool put_sparse(const uint8_t* p, size_t n);
  bool put_by_ref(const uint8_t* const* p, const size_t* len, unsigned k, size_t n, bool copy);
  bool queue(const uint8_t* p, size_t n, bool stays);
  bool end_sparse(bool abandon);
  bool finish_sparse();
  bool kept_size();

  int fd_;
  progress* prog_;
  bool sparse_;
  uint64_t base_;           // sparse: the file offset of the first byte
  bool changed_size_ = false;
  uint64_t off_ = 0;        // bytes put so far
  uint64_t size_mark_ = 0;  // sparse: the size the file was last given (0: none yet)
  bool threaded_ = false;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable work_, room_;
  int pipe_cap_ = 0;     // the buffer of a pipe written to, 0 for any other output
  pipe_nap nap_;
  uint64_t keep_ = 0;        // views_stay's, for a pipe that can be given pages (else 0)
  bool copy_rest_ = false;   // a block that does not stay as long was handed over: copies from then on
  bool by_ref_ = false;      // the writer gives the pipe pages (until refused)
  uint64_t ref_end_ = 0;     // the end of the bytes given by reference
  uint64_t left_pipe_ = 0;   // bytes known to have left the pipe
  const uint8_t* at_[cfg_out_slots] = {};  // the bytes of each queued slot
  size_t len_[cfg_out_slots] = {};
  unsigned fill_ = 0;   // the coder's block, and its slot
  unsigned count_ = 0;  // blocks queued before it, oldest first
  bool closing_ = false, dropping_ = false, failed_ = false;
  int err_ = 0;
  uint64_t written_ = 0, reported_ = 0;  // bytes written; those the progress line has
};
