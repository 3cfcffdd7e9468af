// A helper thread that shares the pieces of a job with its caller: the caller
// posts a job of `count` independent pieces, the helper starts on them at
// once, and the caller joins in and waits for the rest. Pieces are handed out
// through an atomic counter, so whichever thread is free takes the next one;
// a job's result must not depend on who ran which piece.
#pragma once

#include <cstdint>

// Runs piece k of a job over ctx.
using worker_piece_fn = void (*)(void* ctx, uint32_t k);

// Threads a job may use: 1, or 2 (the default) for the helper, when the
// machine has a second core. For tests and benchmarks.
void worker_threads(unsigned n);

// Starts the helper once per process, if wanted; without it the caller runs
// every piece itself. Then waits until the helper has left any job a run
// abandoned by its driver may have left behind.
void worker_prepare();

// Posts a job; the helper starts on it at once. REQUIRES: ctx stays valid
// until worker_end returns, and no job is open.
void worker_begin(worker_piece_fn fn, void* ctx, uint32_t count);

// Runs the pieces left, then waits for those the helper took.
void worker_end();
