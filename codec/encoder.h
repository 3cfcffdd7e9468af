// The encoder: cuts the input into chunks and writes each as a reference to an
// earlier chunk with the same key, or as its own (maybe escaped) bytes.
#pragma once

#include "codec/coder.h"

namespace lrd {

// The encoder body, run by coro_call: the batched body (encoder_fast.h) where
// the owner handed in its staging memory, else the plain one.
// REQUIRES: idx set up by index_init over a zero-filled table, or by
// index_init_growing (the program's way).
coro_task encoder_run(coder* c);

// Byte by byte through chunk_feed and chunk_close: the reference that the
// batched body is tested against. Same stream, same counters.
coro_task encoder_run_plain(coder* c);

}  // namespace lrd
