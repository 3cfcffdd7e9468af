// The batched encoder body: the plain body's stream and counters, a batch at
// a time.
#pragma once

#include <cstddef>

#include "codec/enc_state.h"

namespace lrd {

// Bytes of staging memory the batched body needs (encoder_resources::stage):
// about 3 MiB, not necessarily zero-filled.
size_t encoder_stage_bytes();

// Cut scan, batch digest and prefetched index probes, sharing the scan and
// digest with the helper thread c->wk (codec/worker.h) when there is one.
// Input handed over where it lies in the history (byte o at c->hist[o %
// c->hist_ring]) is not copied when it comes but by the scan pieces, on
// either thread; so the owner moves the history (a mapping that follows a
// growing file) only while the body waits for input, never while it waits
// for an output buffer.
// REQUIRES: c set up by encoder_init with staging memory.
coro_task encoder_run_fast(encoder_state* c);

}  // namespace lrd
