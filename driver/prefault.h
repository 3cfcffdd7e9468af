// Commits the pages of the large block from a second thread. The kernel
// zero-fills every page at its first touch, which for a GiB costs a large
// share of a run (far more in a virtual machine, whose host also backs each
// page at first use); done beside the coder it costs the coder nothing.
// Committing never changes the block's contents, so the thread needs no
// coordination with the coder's reads and writes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct prefault {
  uint8_t* p = nullptr;
  size_t bytes = 0;
  size_t ahead = 0;  // most bytes committed beyond the owner's position
  uint64_t told = 0;  // the owner's last position given to the thread
  std::atomic<uint64_t> reached{0};
  std::atomic<bool> stop{false};
  pthread_t thread{};
  bool running = false;
};

// Starts committing [p, p + bytes) in order, never more than `ahead` bytes
// (nor more than the position itself, so a small run commits little) beyond
// the position given by prefault_advance. ahead = bytes: all of it, at once.
// Does nothing where the kernel cannot commit pages on request or no thread
// can be started: the pages are then committed by first touch, as always.
void prefault_start(prefault* f, void* p, size_t bytes, size_t ahead);

// The owner has reached byte `pos` of the block (it goes through it in order).
// Told a MiB at a time: a waiting thread is woken by a system call.
inline void prefault_advance(prefault* f, uint64_t pos) {
  if (!f->running || (pos >> 20) == (f->told >> 20)) return;
  f->told = pos;
  f->reached.store(pos, std::memory_order_release);
  f->reached.notify_one();
}

// Ends the thread, whether done or not, and waits for it.
void prefault_stop(prefault* f);
