// The two decoder bodies. decoder_run (coder.h) starts the fast one when the
// window size is a multiple of 64, else the plain one; tests run both on the
// same streams and compare output, counters and faults.
#pragma once

#include "codec/coder.h"

// Byte by byte: every decoded byte through the chunker. The reference.
coro_task decoder_run_plain(coder* c);

// Literal chunk ends from a cut-candidate scan of the input, references as
// memcpy when their source is a known whole chunk; falls back to the plain
// byte-by-byte copy for every other reference. Same output, counters, faults.
// REQUIRES: as decoder_run, and winsize a multiple of 64.
coro_task decoder_run_fast(coder* c);
