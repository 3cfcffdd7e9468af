// The encoder's input that cannot be mapped (a pipe, a socket, a device):
// read into a ring of its last bytes, which is its history, by a reader
// thread of its own where one can be started.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "driver/status.h"
#include "os/prefault.h"

// A pipe or socket is read in pieces this large (and a pipe's buffer made
// this large where allowed): each read or write of 64 KiB would otherwise
// wake the process at the other end. Any other input is read in pieces of
// cfg_read_small.
constexpr size_t cfg_read_piece = size_t{1} << 20;
constexpr size_t cfg_read_small = size_t{64} << 10;

class ring_input {
 public:
  ring_input() = default;
  ring_input(const ring_input&) = delete;
  ring_input& operator=(const ring_input&) = delete;
  ~ring_input() { close(); }

  // A ring of `ring` bytes (REQUIRES: a multiple of cfg_read_piece) that
  // keeps the `keep` bytes before the end of what it has handed out.
  // piece: most bytes a read asks for; pipe_cap: the buffer of a pipe read
  // from, else 0. Fails (no memory) when the ring cannot be had.
  status open(int fd, uint64_t ring, uint64_t keep, size_t piece, int pipe_cap);

  // Points *p at the next bytes, *n of them, 0 at the end: what the reader
  // has read and not yet handed out, or, without a reader, one read's worth.
  // A read never straddles the ring's end.
  status next(const uint8_t** p, size_t* n);

  // Byte o of the input at history()[o % ring_len()].
  const uint8_t* history() const { return buf_; }
  uint64_t ring_len() const { return ring_; }
  // A reader thread fills the ring (else next reads).
  bool reads_ahead() const { return reader_; }

  void close();

 private:
  static void* reader_main(void* arg);
  void reader_loop();
  bool reader_wait();
  status reader_next(const uint8_t** p, size_t* n);
  void stop_reader();

  int fd_ = -1;
  uint8_t* buf_ = nullptr;
  uint64_t ring_ = 0;
  size_t piece_ = 0;
  int pipe_cap_ = 0;
  uint64_t at_ = 0;          // bytes handed out so far
  uint64_t read_ahead_ = 0;  // how far beyond what was handed out the reader may fill the ring
  lrd::prefault pf_;         // commits the ring's pages ahead of the reads, where no reader does
  // The reader reads ahead of the coder and commits the pages it reads into,
  // while the coder works on what came before; next only hands out what it
  // has read.
  bool reader_ = false;
  pthread_t thread_{};
  std::atomic<uint64_t> got_{0};      // bytes the reader has put in the ring
  std::atomic<int> end_{0};           // 1: the input ended at got_; 2: a read failed with err_
  std::atomic<uint32_t> told_{0};     // bumped after got_ or end_ changes: what next waits on
  std::atomic<uint64_t> handed_{0};   // bytes handed to the coder; bumped once more to stop the reader
  std::atomic<bool> stop_{false};
  int err_ = 0;
};
