// Anonymous mappings: the decoder's window with huge pages where they pay
// (they save most TLB misses and page faults, but each touch commits and
// clears 2 MiB), the encoder's index, the output's mapping.
#include "driver/block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/progress.h"
#include "driver/signals.h"

namespace {

// How far ahead of the output the decoder's window is committed.
constexpr size_t cfg_window_lead = size_t{32} << 20;

// Index blocks from this size on are advised huge pages.
constexpr size_t cfg_index_huge = size_t{4} << 20;

// The growing index's memory (resize_zeroed). A refusal ends the run here,
// its output removed: the index would go on without new entries and write
// another stream than the flat table's.
void* resize_index_block(void*, void* block, size_t old_bytes, size_t new_bytes) {
  void* p = resize_index_zeroed(block, old_bytes, new_bytes);
  if (p || new_bytes == 0) return p;
  const int e = errno;
  block_fatal_signals(true);
  progress_erase_from_signal();
  std::fprintf(stderr, "lrdedup: cannot allocate %zu MiB for the chunk index: %s\n",
               (new_bytes + (size_t{1} << 20) - 1) >> 20, std::strerror(e));
  remove_output_after_failure();
  _exit(1);
}

}  // namespace

index_mem index_memory() { return {nullptr, resize_index_block}; }

bool map_window_block(run_block* b, size_t bytes, size_t map_bytes) {
  // The window is written straight through, so its huge pages save little
  // beside the faults, and are given up where they commit slowly.
  b->p = map_zeroed(bytes, true);
  if (!b->p) return false;
  b->bytes = bytes;
  // The window fills in order, as the output grows.
  prefault_start(&b->pf, b->p, bytes, cfg_window_lead, prefault_huge_while_fast);
  b->chunkmap = map_zeroed(map_bytes, false);
  if (b->chunkmap) b->map_bytes = map_bytes;
  return true;
}

bool map_output_history(run_block* b, int out_fd, size_t map_bytes) {
  // As far as the address space allows: 16 TiB, else less.
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const size_t skip = static_cast<size_t>(b->outmap_start & (page - 1));
  for (int bits = 44; bits >= 36 && !b->outmap; bits--) {
    void* p = mmap(nullptr, size_t{1} << bits, PROT_READ, MAP_SHARED, out_fd,
                   static_cast<off_t>(b->outmap_start - skip));
    if (p == MAP_FAILED) continue;
    b->outmap = static_cast<const uint8_t*>(p) + skip;
    b->outmap_len = (size_t{1} << bits) - skip;
    b->outmap_skip = skip;
  }
  if (!b->outmap) return false;
  b->chunkmap = map_zeroed(map_bytes, false);
  if (b->chunkmap) b->map_bytes = map_bytes;
  return true;
}

void release_block(run_block* b) {
  prefault_stop(&b->pf);
  if (b->p) munmap(b->p, b->bytes);
  if (b->chunkmap) munmap(b->chunkmap, b->map_bytes);
  if (b->outmap) munmap(const_cast<uint8_t*>(static_cast<const uint8_t*>(b->outmap)) - b->outmap_skip, b->outmap_skip + b->outmap_len);
  b->p = b->chunkmap = nullptr;
  b->outmap = nullptr;
}
