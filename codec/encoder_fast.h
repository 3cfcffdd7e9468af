// The batched encoder body: the plain body's stream and counters, a batch at
// a time.
#pragma once

#include "codec/coder.h"

// Cut scan, batch digest and prefetched index probes, sharing the scan and
// digest with the worker thread (codec/worker.h). Uses static staging areas,
// so one run at a time in a process. REQUIRES: as encoder_run.
coro_task encoder_run_fast(coder* c);
