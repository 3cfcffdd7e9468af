// A helper thread that shares the pieces of a job with its caller: the caller
// posts a job of `count` independent pieces, the helper starts on them at
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

// One helper and its job board, owned by one coder at a time. Without a
// started helper the caller runs every piece itself, in worker_end.
struct worker {
  std::mutex m;
  std::condition_variable cv_job, cv_idle;
  uint64_t gen = 0;     // bumped for every job posted to the helper
  uint64_t seen = 0;    // the last job the helper took up
  bool active = false;  // the helper is working on a job
  bool helper = false;  // a helper thread runs
  bool quit = false;    // the helper is to end
  pthread_t thread{};
  worker_piece_fn fn = nullptr;
  void* ctx = nullptr;
  uint32_t count = 0;
  std::atomic<uint32_t> next{0}, done{0};
  ~worker();  // stops the helper
};

// Whether a helper pays: a second core this process may run on (its CPU
// affinity, as taskset sets it, counts).
bool worker_second_core();

// Starts the helper, where worker_second_core() says so. False when it
// could not be started: the caller then runs every job alone, with the same
// results.
bool worker_start(worker* w);

// Ends the helper, once it has left its job, and waits for it.
void worker_stop(worker* w);

// Posts a job; the helper starts on it at once. REQUIRES: ctx stays valid
// until worker_end returns, and no job is open.
void worker_begin(worker* w, worker_piece_fn fn, void* ctx, uint32_t count);

// Runs the pieces left, then waits for those the helper took.
void worker_end(worker* w);

// Waits until the helper has left any job, as before freeing what a job
// abandoned by its coder works on.
void worker_wait_idle(worker* w);

}  // namespace lrd
