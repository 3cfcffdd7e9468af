// The encoder's state: one record per run, set up by encoder_init (encoder.h)
// from what its owner hands in, and the body it runs as a coroutine.
#pragma once

#include <cstdint>

#include "chunk/chunker.h"
#include "codec/format.h"
#include "codec/index/index.h"
#include "codec/stream.h"

namespace lrd {

struct worker;

// Which body an encoder runs: the same stream and counters either way.
enum class encoder_body : uint32_t {
  plain,    // byte by byte (encoder.h): the reference, and the fallback
  batched,  // a batch at a time (encoder_fast.h)
};

// What the owner hands an encoder; it stays the owner's to free.
struct encoder_resources {
  index_cfg cfg = index_cfg_default();
  hslot* table = nullptr;  // a zero-filled flat table of index_table_bytes(cfg); null: the index grows from mem
  index_mem mem{};         // a growing index's memory (table null)
  void* stage = nullptr;   // the batched body's staging memory, encoder_stage_bytes(), 64-byte aligned;
                           // null: the plain body
  worker* wk = nullptr;    // a started helper for the batched body; null: it works alone
};

struct encoder_state {
  coro_header coro;
  encoder_body body;   // set by encoder_init: batched where it had staging memory
  uint64_t bytes;      // total length of all chunks so far
  uint64_t chunks;     // chunks so far, the final (maybe empty) one included
  uint64_t discarded;  // chunks found but too far back to reference
  uint64_t collided;   // chunks with an earlier chunk's key but other bytes
  uint32_t pos;        // start of the current chunk, modulo poswrap
  uint32_t flush;      // set by the owner: code every chunk cut so far, then
                       // ask for input again (the body clears it)
  // The input as delivered, handed in by the owner (codec/history.h): byte o
  // at hist[o % hist_ring]; hist_ring 0: no ring, byte o at hist[o].
  const uint8_t* hist;
  uint64_t hist_ring;
  chunk_index idx;
  void* stage;         // the batched body's staging memory
  worker* wk;          // its helper, or null
  chunker ck;
  uint8_t cbuf[cfg_cbuf];  // the plain body's current chunk
};

}  // namespace lrd
