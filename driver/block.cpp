// The output's mapping: a large reach of address space, nothing committed.
#include "driver/block.h"

#include <sys/mman.h>
#include <unistd.h>

bool map_output(output_map* m, int out_fd) {
  // As far as the address space allows: 16 TiB, else less.
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const size_t skip = static_cast<size_t>(m->start & (page - 1));
  for (int bits = 44; bits >= 36 && !m->p; bits--) {
    void* p = mmap(nullptr, size_t{1} << bits, PROT_READ, MAP_SHARED, out_fd, static_cast<off_t>(m->start - skip));
    if (p == MAP_FAILED) continue;
    m->p = static_cast<const uint8_t*>(p) + skip;
    m->len = (size_t{1} << bits) - skip;
    m->skip = skip;
  }
  return m->p != nullptr;
}

void unmap_output(output_map* m) {
  // Fails only for a range this process never mapped.
  if (m->p) (void)munmap(const_cast<uint8_t*>(m->p) - m->skip, m->skip + m->len);
  m->p = nullptr;
}
