// The large block of a benchmark run, taken as the program takes it.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

// Anonymous, zero-filled memory with huge pages advised. committed: every page
// is committed now, so that a timed run measures the coder and not its page
// faults.
inline void* bench_map_block(size_t n, bool committed) {
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) std::abort();
#ifdef MADV_HUGEPAGE
  madvise(p, n, MADV_HUGEPAGE);
#endif
  if (committed) {
#ifdef MADV_POPULATE_WRITE
    if (madvise(p, n, MADV_POPULATE_WRITE) == 0) return p;
#endif
    std::memset(p, 0, n);
  }
  return p;
}
