// The output blocks, written in order by a second thread: the coder goes on
// while the kernel copies a block into the page cache or a pipe drains.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "driver/fdio.h"
#include "driver/out_sink.h"
#include "driver/progress.h"
#include "driver/status.h"

// The queue owns its blocks (cfg_out_slots of cfg_out_block bytes) and its
// writer thread; the sink it writes to owns the offset. The first failed
// write stops the writing; the coder learns of it at its next block. Without
// a thread, blocks are written at once. The progress line counts what has
// been written, also while the coder waits for a free block or the end of
// the writing.
//
// A pipe is given the pages of views said to stay for long (views_stay), not
// a copy: the writer then holds the coder back while the pipe still holds
// bytes it could write again. The queue's own blocks are copied: they are
// used again after a queue's worth, and a pipe's reader may pass the pages
// on to another pipe (splice) that holds them for longer.
class out_queue {
 public:
  out_queue() = default;
  out_queue(const out_queue&) = delete;
  out_queue& operator=(const out_queue&) = delete;
  ~out_queue() { abandon(); }

  // Sets up the blocks and the sink for fd (sparse: a regular file written
  // at offsets from base), and starts the writer thread where one can be
  // started. Fails (no memory) when the blocks cannot be had.
  status start(int fd, progress* prog, bool sparse = false, uint64_t base = 0);

  // The block the coder fills now.
  uint8_t* block() { return blocks_ + size_t{fill_} * cfg_out_block; }

  // Hands over the current block holding n bytes; waits for a free one.
  // The first failed write's status, once it has failed.
  status submit(size_t n) { return queue(block(), n, false); }

  // Hands over n bytes (at most a block's) of the caller's at p instead,
  // which stay put until cfg_out_slots - 1 more have been handed over.
  status submit_view(const uint8_t* p, size_t n) { return queue(p, n, views_stay_); }

  // Says that views stay put until `keep` more bytes have been handed over
  // (a window's worth, where submit_view counts on a queue's), so that a
  // pipe may be given their pages. Call before the first view; without it,
  // or with a keep within the queue, views are copied, and so is everything
  // after a block of the queue's own.
  void views_stay(uint64_t keep);

  // Waits until every block handed over is written, and finishes the sink.
  status finish();

  // Drops what is queued and stops the thread; the sink is told the run
  // failed. Harmless after finish.
  void abandon();

 private:
  // Waits for pred, updating the progress line with the bytes written meanwhile.
  template <class Pred>
  void wait_reporting(std::unique_lock<std::mutex>& lk, Pred pred);
  status queue(const uint8_t* p, size_t n, bool stays);
  status put(const out_batch& b) {
    return std::visit([&](auto& s) { return s.put(b); }, sink_);
  }
  void run();
  bool take_batch(std::unique_lock<std::mutex>& lk, out_batch* b);
  void stop_thread(bool drop);

  int fd_ = -1;
  progress* prog_ = nullptr;
  uint8_t* blocks_ = nullptr;  // cfg_out_slots blocks of cfg_out_block bytes
  out_sink sink_{stream_sink(-1)};
  bool sparse_ = false;
  bool finished_ = false;
  bool threaded_ = false;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable work_, room_;
  int pipe_cap_ = 0;     // the buffer of a pipe written to, 0 for any other output
  pipe_nap nap_;
  bool views_stay_ = false;  // views_stay's, for a pipe that can be given pages
  bool copy_rest_ = false;   // a block that does not stay as long was handed over: copies from then on
  const uint8_t* at_[cfg_out_slots] = {};  // the bytes of each queued slot
  size_t len_[cfg_out_slots] = {};
  unsigned fill_ = 0;   // the coder's block, and its slot
  unsigned count_ = 0;  // blocks queued before it, oldest first
  bool closing_ = false, dropping_ = false;
  status fail_;         // the first failed write's
  uint64_t written_ = 0, reported_ = 0;  // bytes written; those the progress line has
};
