// The helper thread and its job board.
#include "codec/worker.h"

#include <sched.h>

#include <thread>

namespace lrd {

namespace {

// Takes pieces until none is left. The job's fields stay put meanwhile: they
// change only in worker_begin, once the helper is idle.
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
  std::unique_lock<std::mutex> lk(w->m);
  for (;;) {
    w->cv_job.wait(lk, [w] { return w->gen != w->seen || w->quit; });
    if (w->quit) return nullptr;
    w->seen = w->gen;
    w->active = true;
    lk.unlock();
    run_pieces(w);
    lk.lock();
    w->active = false;
    w->cv_idle.notify_all();
  }
}

}  // namespace

bool worker_second_core() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) >= 2;
  return std::thread::hardware_concurrency() >= 2;
}

bool worker_start(worker* w) {
  if (w->helper) return true;
  if (!worker_second_core()) return false;
  w->quit = false;
  w->helper = pthread_create(&w->thread, nullptr, helper_main, w) == 0;
  return w->helper;
}

void worker_stop(worker* w) {
  if (!w->helper) return;
  {
    std::lock_guard<std::mutex> lk(w->m);
    w->quit = true;
  }
  w->cv_job.notify_one();
  pthread_join(w->thread, nullptr);
  w->helper = false;
}

worker::~worker() { worker_stop(this); }

void worker_begin(worker* w, worker_piece_fn fn, void* ctx, uint32_t count) {
  std::unique_lock<std::mutex> lk(w->m);
  if (w->helper) w->cv_idle.wait(lk, [w] { return !w->active; });
  w->fn = fn;
  w->ctx = ctx;
  w->count = count;
  w->next.store(0, std::memory_order_relaxed);
  w->done.store(0, std::memory_order_relaxed);
  if (w->helper) {
    w->gen++;
    lk.unlock();
    w->cv_job.notify_one();
  }
}

void worker_end(worker* w) {
  run_pieces(w);
  while (w->done.load(std::memory_order_acquire) < w->count) std::this_thread::yield();
}

void worker_wait_idle(worker* w) {
  if (!w->helper) return;
  std::unique_lock<std::mutex> lk(w->m);
  // A job posted but not yet taken up is still to come.
  w->cv_idle.wait(lk, [w] { return w->seen == w->gen && !w->active; });
}

}  // namespace lrd
