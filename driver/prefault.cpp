#include "driver/prefault.h"

#include <sys/mman.h>

#include <algorithm>

namespace {

// Committed per request: small enough to stop soon when told, large enough
// that the calls cost nothing beside the zero-filling.
constexpr size_t piece = size_t{8} << 20;

void* prefault_main(void* arg) {
#ifdef MADV_POPULATE_WRITE
  prefault* f = static_cast<prefault*>(arg);
  size_t done = 0;
  while (done < f->bytes && !f->stop.load(std::memory_order_acquire)) {
    const uint64_t at = f->reached.load(std::memory_order_acquire);
    const size_t limit = f->ahead >= f->bytes
                             ? f->bytes
                             : static_cast<size_t>(std::min<uint64_t>(f->bytes, at + std::min<uint64_t>(f->ahead, at)));
    if (done >= limit) {
      f->reached.wait(at, std::memory_order_acquire);
      continue;
    }
    const size_t n = std::min(piece, limit - done);
    // Fails on kernels without it (before Linux 5.14), or when memory is short;
    // the owner's own touches then commit the pages, or report the shortage.
    if (madvise(f->p + done, n, MADV_POPULATE_WRITE) != 0) break;
    done += n;
  }
#else
  (void)arg;
#endif
  return nullptr;
}

}  // namespace

void prefault_start(prefault* f, void* p, size_t bytes, size_t ahead) {
  f->p = static_cast<uint8_t*>(p);
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
