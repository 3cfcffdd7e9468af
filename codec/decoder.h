// The decoder: restores the data from a stream, running the same chunker over
// every decoded byte to find the chunk ends that the stream never stores.
#pragma once

#include "codec/dec_state.h"

namespace lrd {

// Sets d up for a run from r: the fast body where r gives a chunk map over a
// window that is a multiple of cfg_mapblock, else the plain one (d->body);
// winpos, the counters and the fault at zero.
// REQUIRES: no body of d running (coro_finish); r's memory zero-filled.
void decoder_init(decoder_state* d, const decoder_resources& r);

// The body that d->body names, run by coro_call.
coro_task decoder_run(decoder_state* c);

// Byte by byte: every decoded byte through the chunker. The reference.
coro_task decoder_run_plain(decoder_state* c);

}  // namespace lrd
