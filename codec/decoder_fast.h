// The fast decoder body: the plain body's output, counters and faults for
// every stream, without feeding the chunker byte by byte.
#pragma once

#include "codec/coder.h"

namespace lrd {

// Literal chunk ends from a cut-candidate scan of the input, references as
// memcpy when their source is a known whole chunk (chunkmap); every other
// reference takes the plain byte-by-byte copy.
// REQUIRES: as decoder_run, and winsize a multiple of cfg_mapblock.
coro_task decoder_run_fast(coder* c);

}  // namespace lrd
