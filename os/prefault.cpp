// The committing thread: a piece at a time, never beyond what the owner allows,
// and judging the cost of huge pages as it goes.
#include "os/prefault.h"

#include <pthread.h>
#include <sys/mman.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace lrd {

namespace {

// Committed per request: small enough to stop soon when told, large enough
// that the calls cost nothing beside the zero-filling.
constexpr size_t cfg_piece = size_t{8} << 20;

constexpr size_t cfg_huge_page = size_t{2} << 20;

// CPU time of this thread: a page the host backs anew stalls the thread
// inside the kernel, where it counts; being preempted does not.
int64_t thread_ns() {
  timespec t;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void* prefault_main(void* arg) {
  prefault* f = static_cast<prefault*>(arg);
  (void)pthread_setname_np(pthread_self(), "lrd-commit");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t done = 0;  // a multiple of the page size: madvise starts on a page
  bool huge = f->huge_while_fast;
  while (done < f->bytes && !f->stop.load(std::memory_order_acquire)) {
    const uint64_t at = f->reached.load(std::memory_order_acquire);
    size_t limit = f->ahead >= f->bytes
                       ? f->bytes
                       : static_cast<size_t>(std::min<uint64_t>(f->bytes, at + std::min<uint64_t>(f->ahead, at)));
    if (limit < f->bytes) limit &= ~(page - 1);
    if (done >= limit) {
      f->reached.wait(at, std::memory_order_acquire);
      continue;
    }
    const size_t n = std::min(cfg_piece, limit - done);
    if (!prefault_commit(f->p, f->bytes, done, n, &huge, f->slow_huge_ns_per_byte)) break;
    done += n;
    if (!huge && f->huge_while_fast) f->gave_up_huge.store(true, std::memory_order_relaxed);
  }
  return nullptr;
}

}  // namespace

bool prefault_commit(uint8_t* p, size_t bytes, size_t done, size_t n, bool* huge, double slow_huge) {
#ifdef MADV_POPULATE_WRITE
  const int64_t t0 = *huge ? thread_ns() : 0;
  // Fails on kernels without it (before Linux 5.14), or when memory is short;
  // the owner's own touches then commit the pages, or report the shortage.
  if (madvise(p + done, n, MADV_POPULATE_WRITE) != 0) return false;
  // Judged on pieces of a few huge pages; the first slow one gives the rest
  // of the block small pages for good, from the next huge page boundary on
  // (a huge page committed in part stays whole).
  if (*huge && n >= (size_t{4} << 20) && done + n < bytes &&
      static_cast<double>(thread_ns() - t0) > slow_huge * static_cast<double>(n)) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(p);
    const size_t from = std::min<size_t>(bytes, ((base + done + n + cfg_huge_page - 1) & ~(cfg_huge_page - 1)) - base);
    // Advice only: refused, the pages stay huge and commit as before.
    if (from < bytes) (void)madvise(p + from, bytes - from, MADV_NOHUGEPAGE);
    *huge = false;
  }
  return true;
#else
  (void)p, (void)bytes, (void)done, (void)n, (void)huge, (void)slow_huge;
  return false;
#endif
}

void prefault_start(prefault* f, void* p, size_t bytes, size_t ahead, prefault_huge huge, double slow_huge) {
  f->p = static_cast<uint8_t*>(p);
  f->huge_while_fast = huge == prefault_huge_while_fast;
  f->slow_huge_ns_per_byte = slow_huge;
  f->gave_up_huge.store(false, std::memory_order_relaxed);
  f->bytes = bytes;
  f->ahead = ahead;
  f->told = 0;
  f->reached.store(0, std::memory_order_relaxed);
  f->stop.store(false, std::memory_order_relaxed);
#ifdef MADV_POPULATE_WRITE
  f->running = pthread_create(&f->thread, nullptr, prefault_main, f) == 0;
#else
  f->running = false;
#endif
}

void prefault_stop(prefault* f) {
  if (!f->running) return;
  f->stop.store(true, std::memory_order_release);
  f->reached.fetch_add(1, std::memory_order_release);  // wakes a waiting thread
  f->reached.notify_one();
  pthread_join(f->thread, nullptr);
  f->running = false;
}

}  // namespace lrd
