// The fast decoder body: the plain body's output, counters and faults for
// every stream, without feeding the chunker byte by byte.
#pragma once

#include <cstddef>

#include "codec/dec_state.h"

namespace lrd {

// Literal chunk ends from a cut-candidate scan of the input, references as
// memcpy when their source is a known whole chunk (chunkmap); every other
// reference takes the plain byte-by-byte copy.
// REQUIRES: c set up by decoder_init with a chunk map, winsize a multiple of
// cfg_mapblock.
coro_task decoder_run_fast(decoder_state* c);

// Bytes of the memory the body scans input ahead in beside a helper
// (decoder_resources::scan).
size_t decoder_scan_bytes();

// Has the helper leave the input buffer the body is in: the rest of it the
// body scans itself. For an owner whose caller gets the buffer back at the
// end of a call and may drop it. Harmless without a helper or a buffer.
void decoder_scan_pause(decoder_state* c);

}  // namespace lrd
