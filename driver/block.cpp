// Anonymous mappings, with huge pages where they pay: they save most TLB misses
// and page faults, but each touch commits and clears 2 MiB.
#include "driver/block.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {

// How far ahead of the output the decoder's window is committed.
constexpr size_t cfg_window_lead = size_t{32} << 20;

// An input this large touches most of the index's small pages anyway.
constexpr off_t cfg_large_input = off_t{256} << 20;

void* map_zeroed(size_t bytes, bool huge) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  if (huge) madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)huge;
#endif
  return p;
}

// The index is probed at random, so on huge pages a few thousand chunks
// commit and clear all of it, which takes a second and a GiB for a small
// input. Only an input known to be large gets them.
bool index_wants_huge_pages(int fd, const struct stat& st) {
  if (S_ISREG(st.st_mode)) return st.st_size >= cfg_large_input;
  if (!S_ISBLK(st.st_mode)) return false;
  const off_t here = lseek(fd, 0, SEEK_CUR), end = lseek(fd, 0, SEEK_END);
  return here >= 0 && lseek(fd, here, SEEK_SET) == here && end - here >= cfg_large_input;
}

}  // namespace

bool map_index_block(run_block* b, size_t bytes, int in_fd, const struct stat& st) {
  const bool large = index_wants_huge_pages(in_fd, st);
  b->p = map_zeroed(bytes, large);
  if (!b->p) return false;
  b->bytes = bytes;
  // A large input touches nearly every page of the index within its first
  // MiB: all are committed at once.
  if (large) prefault_start(&b->pf, b->p, bytes, bytes);
  return true;
}

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
  for (int bits = 44; bits >= 36 && !b->outmap; bits--) {
    void* p = mmap(nullptr, size_t{1} << bits, PROT_READ, MAP_SHARED, out_fd, 0);
    if (p == MAP_FAILED) continue;
    b->outmap = p;
    b->outmap_len = size_t{1} << bits;
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
  if (b->outmap) munmap(const_cast<void*>(b->outmap), b->outmap_len);
  b->p = b->chunkmap = nullptr;
  b->outmap = nullptr;
}
