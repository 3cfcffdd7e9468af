// The two encoder bodies. encoder_run (coder.h) runs the batched one unless
// the plain one is forced; both write the same stream and the same counters.
#pragma once

#include "codec/coder.h"

// Byte by byte through chunk_feed and chunk_close: the reference.
coro_task encoder_run_plain(coder* c);

// A batch at a time: cut scan, batch digest, prefetched index probes, with a
// helper thread for the scan and digest. Uses static staging areas, so one run
// at a time in a process.
coro_task encoder_run_fast(coder* c);

// Makes encoder_run start the plain body (true) or the batched one (false, the
// default), for tests and benchmarks.
void encoder_force_plain(bool plain);

// Threads the batched body uses: 1, or 2 (the default) for a helper thread
// that scans and digests beside it, when the machine has a second core.
void encoder_fast_threads(unsigned n);
