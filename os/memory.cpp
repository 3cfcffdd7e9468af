// mmap, madvise and mremap for the large blocks.
#include "os/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace lrd {

namespace {

// Index blocks from this size on are advised huge pages.
constexpr size_t cfg_index_huge = size_t{4} << 20;

}  // namespace

void* map_zeroed(size_t bytes, bool huge) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Advice only: refused, the block works the same on small pages.
  if (huge) (void)madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)huge;
#endif
  return p;
}

void* resize_zeroed(void* block, size_t old_bytes, size_t new_bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  old_bytes = (old_bytes + page - 1) & ~(page - 1);
  new_bytes = (new_bytes + page - 1) & ~(page - 1);
  if (new_bytes == 0) {
    // Fails only for a range this process never mapped.
    if (block) (void)munmap(block, old_bytes);
    return nullptr;
  }
  if (!block) return map_zeroed(new_bytes, false);
  if (new_bytes == old_bytes) return block;
  void* p = mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
}

void* resize_index_zeroed(void* block, size_t old_bytes, size_t new_bytes) {
  void* p = resize_zeroed(block, old_bytes, new_bytes);
#ifdef MADV_HUGEPAGE
  // The index is read at random and filled densely: huge pages save its TLB
  // misses and clear no more than it fills. Only advice: where it is not
  // taken, the index works the same on small pages.
  if (p && new_bytes >= cfg_index_huge) (void)madvise(p, new_bytes, MADV_HUGEPAGE);
#endif
  return p;
}

}  // namespace lrd
