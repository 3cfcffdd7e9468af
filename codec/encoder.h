// The encoder: cuts the input into chunks and writes each as a reference to an
// earlier chunk with the same key, or as its own (maybe escaped) bytes.
#pragma once

#include "codec/enc_state.h"

namespace lrd {

// Sets e up for a run from r: its index over r.table, or growing from r.mem;
// the batched body where r.stage is given, else the plain one (e->body); the
// counters at zero, no history (the owner sets hist and hist_ring). False,
// with e->idx.failed, when a growing index cannot have its first memory.
// REQUIRES: e zero-filled or freed by encoder_free; encoder_free(e) when done.
bool encoder_init(encoder_state* e, const encoder_resources& r);

// Ends the body's run, if any (its helper left idle), and returns the
// memory a growing index took. The resources stay the owner's.
void encoder_free(encoder_state* e);

// The body that e->body names, run by coro_call.
coro_task encoder_run(encoder_state* c);

// Byte by byte through chunk_feed and chunk_close: the reference that the
// batched body is tested against. Same stream, same counters.
coro_task encoder_run_plain(encoder_state* c);

}  // namespace lrd
