// The helper threads and their job board.
#include "codec/worker.h"

#include <sched.h>

#include <thread>

namespace lrd {

namespace {

// Takes pieces until none is left. The job's fields stay put meanwhile: they
// change only in worker_begin, once no helper is busy.
void run_pieces(worker* w) {
  for (;;) {
    const uint32_t k = w->next.fetch_add(1, std::memory_order_relaxed);
    if (k >= w->count) break;
    w->fn(w->ctx, k);
    w->done.fetch_add(1, std::memory_order_release);
  }
}

void* helper_main(void* arg) {
  worker* w = static_cast<worker*>(arg);
  // Named, so that per-thread figures (top -H, /proc) tell the threads apart.
  (void)pthread_setname_np(pthread_self(), "lrd-helper");
  std::unique_lock<std::mutex> lk(w->m);
  // The last job this helper took up. From none: a job posted before the
  // thread first ran is taken up too (one already done costs a look).
  uint64_t seen = 0;
  for (;;) {
    w->cv_job.wait(lk, [w, seen] { return w->gen != seen || w->quit; });
    if (w->quit) return nullptr;
    seen = w->gen;
    w->busy++;
    lk.unlock();
    run_pieces(w);
    lk.lock();
    if (--w->busy == 0) w->cv_idle.notify_all();
  }
}

}  // namespace

unsigned worker_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

unsigned worker_start(worker* w, unsigned n) {
  if (n > worker_max_helpers) n = worker_max_helpers;
  std::lock_guard<std::mutex> lk(w->m);
  w->quit = false;
  while (w->helpers < n && pthread_create(&w->threads[w->helpers], nullptr, helper_main, w) == 0) w->helpers++;
  return w->helpers;
}

void worker_stop(worker* w) {
  if (!w->helpers) return;
  {
    std::lock_guard<std::mutex> lk(w->m);
    w->quit = true;
  }
  w->cv_job.notify_all();
  for (unsigned i = 0; i < w->helpers; i++) pthread_join(w->threads[i], nullptr);
  w->helpers = 0;
}

worker::~worker() { worker_stop(this); }

void worker_begin(worker* w, worker_piece_fn fn, void* ctx, uint32_t count) {
  std::unique_lock<std::mutex> lk(w->m);
  if (w->helpers) w->cv_idle.wait(lk, [w] { return w->busy == 0; });
  w->fn = fn;
  w->ctx = ctx;
  w->count = count;
  w->next.store(0, std::memory_order_relaxed);
  w->done.store(0, std::memory_order_relaxed);
  if (w->helpers) {
    w->gen++;
    lk.unlock();
    // Every job is the helpers' too: worker_wait_idle waits for them to run
    // it all.
    if (count > 0) w->cv_job.notify_all();
  }
}

void worker_end(worker* w) {
  run_pieces(w);
  while (w->done.load(std::memory_order_acquire) < w->count) std::this_thread::yield();
}

void worker_wait_idle(worker* w) {
  if (!w->helpers) return;
  std::unique_lock<std::mutex> lk(w->m);
  // The helpers run every piece of the job, and then none of them is on it.
  w->cv_idle.wait(lk, [w] { return w->busy == 0 && w->done.load(std::memory_order_acquire) >= w->count; });
}

}  // namespace lrd
