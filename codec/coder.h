// The coder record: the one piece of state of a run, shared by the driver and
// the coder body it runs as a coroutine.
#pragma once

#include <cstdint>

#include "chunk/chunker.h"
#include "codec/format.h"
#include "codec/index/index.h"
#include "codec/stream.h"

namespace lrd {

struct worker;

struct coder {
  coro_header coro;
  uint64_t sum;   // total length of all chunks so far
  uint64_t x;     // number of chunks so far, the final (maybe empty) one included
  uint32_t pos;   // encoder: start of the current chunk, modulo poswrap
  chunker ck;
  uint32_t nbuf;  // decoder: bytes of the current chunk held in cbuf
  uint8_t cbuf[cfg_cbuf];

  // Encoder tail. The owner hands in the input's history (codec/history.h),
  // against which every reference is checked before it is written.
  chunk_index idx;
  uint64_t c_discard;  // chunks found but too far back to reference
  uint64_t c_collide;  // chunks with an earlier chunk's key but other bytes
  const uint8_t* hist; // the input as delivered: byte o at hist[o % hist_ring]
  uint64_t hist_ring;  // length of that ring; 0: no ring, byte o at hist[o]
  void* enc_stage;     // the batched body's staging memory (encoder_stage_bytes); null: the plain body
  worker* wk;          // the batched body's helper thread; null: it works alone
  uint32_t flush;      // set by the owner: code every chunk cut so far, then
                       // ask for input again (the body clears it)

  // Decoder tail. The owner hands in the window, or the output file and its
  // output buffers (codec/dec_history.h), and, for the fast body, the
  // chunk-start map of winsize / cfg_mapblock bytes; all zero-filled.
  uint8_t* win;        // the last winsize decoded bytes, a ring; null in file mode
  const uint8_t* outmap;   // file mode: the output file, mapped for reading
  const uint8_t* outring;  // file mode: the owner's output buffers, in a ring
  uint32_t winpos;     // where the next decoded byte is stored
  uint32_t winsize;    // cfg_decwinsize in the program; smaller in tests
  uint8_t* chunkmap;   // chunk starts of the window (null: every reference copies byte by byte)
  // File mode, within one call of the owner's: output offsets from call_from
  // on that are already handed over lie at callbuf[o - call_from] (they may
  // not have reached the file yet); null when the owner keeps no such buffer.
  const uint8_t* callbuf;
  uint64_t call_from;
  uint32_t fault_stop; // set by the owner: the first fault ends the stream (REQ_FAULT)
  uint32_t fault;      // first dec_fault met, or fault_none (decoder.h)
  uint64_t fault_offset;   // stream offset of the first faulty reference's marker
  uint64_t dec_fast_refs;  // fast decoder: references copied whole by memcpy
  uint64_t dec_slow_refs;  // fast decoder: references left to the byte-by-byte copy
};

}  // namespace lrd
