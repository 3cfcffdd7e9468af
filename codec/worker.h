// Helper threads that share the pieces of a job with their caller: the caller
// posts a job of `count` independent pieces, the helpers start on them at
// once, and the caller joins in and waits for the rest. Pieces are handed out
// through an atomic counter, so whichever thread is free takes the next one;
// a job's result must not depend on who ran which piece.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lrd {

// Runs piece k of a job over ctx.
using worker_piece_fn = void (*)(void* ctx, uint32_t k);

// The most helpers one worker runs: a batch has no more pieces than this
// many threads could share.
constexpr unsigned worker_max_helpers = 64;

// Helpers and their job board, owned by one coder at a time. Without a
// started helper the caller runs every piece itself, in worker_end.
struct worker {
  std::mutex m;
  std::condition_variable cv_job, cv_idle;
  uint64_t gen = 0;      // bumped for every job posted to the helpers
  unsigned busy = 0;     // helpers working on the job
  unsigned helpers = 0;  // helper threads running
  bool quit = false;     // the helpers are to end
  pthread_t threads[worker_max_helpers]{};
  worker_piece_fn fn = nullptr;
  void* ctx = nullptr;
  uint32_t count = 0;
  std::atomic<uint32_t> next{0}, done{0};
  ~worker();  // stops the helpers
};

// The CPUs this process may run on (its CPU affinity, as taskset sets it,
// counts); at least 1.
unsigned worker_cpus();

// Whether a helper pays: a second CPU this process may run on.
inline bool worker_second_core() { return worker_cpus() >= 2; }

// Starts helpers until n run (at most worker_max_helpers). Returns how many
// run: fewer where a thread could not be started, and the caller then runs
// their share, with the same results.
unsigned worker_start(worker* w, unsigned n);

// Ends the helpers, once they have left their job, and waits for them.
void worker_stop(worker* w);

// Posts a job; the helpers start on it at once. REQUIRES: ctx stays valid
// until worker_end (or worker_wait_idle) returns, and no job is open.
void worker_begin(worker* w, worker_piece_fn fn, void* ctx, uint32_t count);

// Runs the pieces left, then waits for those the helpers took.
void worker_end(worker* w);

// Waits until the helpers have run every piece of the job and left it, as
// before freeing what a job abandoned by its coder works on. Harmless after
// worker_end.
void worker_wait_idle(worker* w);

}  // namespace lrd
