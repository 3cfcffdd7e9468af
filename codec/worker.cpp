// The helper thread and its job board.
#include "codec/worker.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

struct job_board {
  std::mutex m;
  std::condition_variable cv_job, cv_idle;
  uint64_t gen = 0;     // bumped for every job posted to the helper
  bool active = false;  // the helper is working on a job
  bool helper = false;  // a helper thread runs
  worker_piece_fn fn = nullptr;
  void* ctx = nullptr;
  uint32_t count = 0;
  std::atomic<uint32_t> next{0}, done{0};
};
// Never destroyed: the helper waits on it until the process ends, and
// destroying a condition variable with a waiter blocks the exit.
job_board& g_job = *new job_board;
std::atomic<unsigned> g_threads{2};

// Takes pieces until none is left. The job's fields stay put meanwhile: they
// change only in worker_begin, once the helper is idle.
void run_pieces(job_board* b) {
  for (;;) {
    const uint32_t k = b->next.fetch_add(1, std::memory_order_relaxed);
    if (k >= b->count) break;
    b->fn(b->ctx, k);
    b->done.fetch_add(1, std::memory_order_release);
  }
}

void* helper_main(void* arg) {
  job_board* b = static_cast<job_board*>(arg);
  std::unique_lock<std::mutex> lk(b->m);
  uint64_t seen = 0;
  for (;;) {
    b->cv_job.wait(lk, [&] { return b->gen != seen; });
    seen = b->gen;
    b->active = true;
    lk.unlock();
    run_pieces(b);
    lk.lock();
    b->active = false;
    b->cv_idle.notify_all();
  }
  return nullptr;
}

bool use_helper() { return g_job.helper && g_threads.load(std::memory_order_relaxed) >= 2; }

}  // namespace

void worker_threads(unsigned n) { g_threads.store(n, std::memory_order_relaxed); }

void worker_prepare() {
  job_board* b = &g_job;
  if (!b->helper && g_threads.load(std::memory_order_relaxed) >= 2 && std::thread::hardware_concurrency() >= 2) {
    pthread_t t;
    if (pthread_create(&t, nullptr, helper_main, b) == 0) {
      pthread_detach(t);
      b->helper = true;
    }
  }
  if (!b->helper) return;
  std::unique_lock<std::mutex> lk(b->m);
  b->cv_idle.wait(lk, [b] { return !b->active; });
}

void worker_begin(worker_piece_fn fn, void* ctx, uint32_t count) {
  job_board* b = &g_job;
  std::unique_lock<std::mutex> lk(b->m);
  if (b->helper) b->cv_idle.wait(lk, [b] { return !b->active; });
  b->fn = fn;
  b->ctx = ctx;
  b->count = count;
  b->next.store(0, std::memory_order_relaxed);
  b->done.store(0, std::memory_order_relaxed);
  if (use_helper()) {
    b->gen++;
    lk.unlock();
    b->cv_job.notify_one();
  }
}

void worker_end() {
  job_board* b = &g_job;
  run_pieces(b);
  while (b->done.load(std::memory_order_acquire) < b->count) std::this_thread::yield();
}
