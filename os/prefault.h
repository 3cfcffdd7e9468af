// Commits the pages of the large block from a second thread, so that their
// zero-filling at first touch costs the coder nothing.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lrd {

// The kernel zero-fills every page at its first touch, which for a GiB costs a
// large share of a run (far more in a virtual machine, whose host also backs
// each page at first use). Committing never changes the block's contents, so
// the thread needs no coordination with the coder's reads and writes.
struct prefault {
  uint8_t* p = nullptr;
  size_t bytes = 0;
  size_t ahead = 0;  // most bytes committed beyond the owner's position
  uint64_t told = 0;  // the owner's last position given to the thread
  std::atomic<uint64_t> reached{0};
  std::atomic<bool> stop{false};
  bool huge_while_fast = false;
  double slow_huge_ns_per_byte = 0;  // prefault_start's

  std::atomic<bool> gave_up_huge{false};  // the rest of the block has small pages
  pthread_t thread{};
  bool running = false;
};

// What the thread does about huge pages advised for the block.
enum prefault_huge {
  prefault_huge_keep,  // commit them as they are
  // Give them up (for the rest of the block, 4 KiB pages) as soon as they
  // commit more slowly than small pages would. A virtual machine whose host
  // has taken back the guest's free memory backs each huge page anew at
  // first touch, several times slower than the scattered small pages it
  // still holds; for a block written in order, small pages cost little.
  prefault_huge_while_fast,
};

// Commit time (CPU ns a byte) beyond which prefault_huge_while_fast gives
// up huge pages. Small pages commit at about 0.3 ns a byte when the memory
// is at hand and 0.5 to 0.75 when a virtual machine's host must back them
// first; huge pages at 0.1 and 2.3. Tests pass 0 to have them given up at
// once.
constexpr double cfg_slow_huge_ns_per_byte = 0.75;

// Starts committing [p, p + bytes) in order, never more than `ahead` bytes
// (nor more than the position itself, so a small run commits little) beyond
// the position given by prefault_advance. ahead = bytes: all of it, at once.
// Does nothing where the kernel cannot commit pages on request or no thread
// can be started: the pages are then committed by first touch, as always.
// slow_huge: the threshold prefault_huge_while_fast judges by.
void prefault_start(prefault* f, void* p, size_t bytes, size_t ahead,
                    prefault_huge huge = prefault_huge_keep,
                    double slow_huge = cfg_slow_huge_ns_per_byte);

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

// The committing step itself, for a thread of the owner's: commits n bytes
// from `done` on of the block of `bytes` at p. *huge: the block's huge pages
// are still wanted; when they commit slowly, they are given up for the rest
// of the block and *huge cleared (slow as prefault_start's slow_huge). False
// where the kernel cannot commit pages on request: touches commit them then.
bool prefault_commit(uint8_t* p, size_t bytes, size_t done, size_t n, bool* huge,
                     double slow_huge = cfg_slow_huge_ns_per_byte);

}  // namespace lrd
