// The decoder's state: one record per run, set up by decoder_init
// (decoder.h) from what its owner hands in, and the body it runs as a
// coroutine.
#pragma once

#include <cstdint>

#include "chunk/chunker.h"
#include "codec/format.h"
#include "codec/stream.h"

namespace lrd {

struct worker;

// A fault in a stream that the encoder never writes. The decoder still writes
// what the stream decodes to; the driver then reports the first fault.
enum dec_fault : uint32_t {
  fault_none = 0,
  fault_truncated_ref,   // the stream ends inside a reference's distance
  fault_zero_distance,   // a reference with distance 0
  fault_far_distance,    // a distance of the window size or more
  fault_before_start,    // a distance reaching back beyond the data decoded so far
};

// Which body a decoder runs: the same output, counters and faults either way.
enum class decoder_body : uint32_t {
  plain,  // byte by byte (decoder.h): the reference, and the fallback
  fast,   // without feeding the chunker byte by byte (decoder_fast.h)
};

// What the owner hands a decoder (codec/dec_history.h): the window, or the
// output file and its output buffers; all zero-filled and the owner's to free.
struct decoder_resources {
  uint32_t winsize = 0;            // cfg_decwinsize in the program; smaller in tests
  uint8_t* win = nullptr;          // winsize bytes; null: file mode
  const uint8_t* outmap = nullptr;   // file mode: the output file, mapped for reading
  const uint8_t* outring = nullptr;  // file mode: the owner's output buffers, in a ring
  // The chunk starts of the window, winsize / cfg_mapblock bytes; null (or a
  // window that is no multiple of cfg_mapblock): the plain body.
  uint8_t* chunkmap = nullptr;
  bool fault_stop = false;         // the first fault ends the stream (REQ_FAULT)
  // The fast body's helper, started, and the memory it scans the input ahead
  // in, decoder_scan_bytes(); either null: the body scans alone.
  worker* wk = nullptr;
  void* scan = nullptr;
  bool scan_wait = false;          // tests: the helper scans each buffer whole before the body reads it
};

struct decoder_state {
  coro_header coro;
  decoder_body body;   // set by decoder_init: fast where it had the chunk map
  uint64_t bytes;      // total length of all chunks so far
  uint64_t chunks;     // chunks so far, the final (maybe empty) one included
  uint8_t* win;        // the last winsize decoded bytes, a ring; null in file mode
  const uint8_t* outmap;
  const uint8_t* outring;
  uint32_t winpos;     // where the next decoded byte is stored
  uint32_t winsize;
  uint8_t* chunkmap;
  // File mode, within one call of the owner's: output offsets from call_from
  // on that are already handed over lie at callbuf[o - call_from] (they may
  // not have reached the file yet); null when the owner keeps no such buffer.
  const uint8_t* callbuf;
  uint64_t call_from;
  uint32_t fault_stop;
  uint32_t fault;          // first dec_fault met, or fault_none
  uint64_t fault_offset;   // stream offset of the first faulty reference's marker
  uint64_t fast_refs;      // fast body: references copied whole by memcpy
  uint64_t slow_refs;      // fast body: references left to the byte-by-byte copy
  uint64_t scan_helper;    // fast body: input pieces read as the helper scanned them
  worker* wk;              // decoder_resources::wk and scan: the owner may also
  void* scan;              // hand them in between input buffers
  uint32_t scan_wait;
  chunker ck;
  uint32_t nbuf;           // bytes of the current chunk held in cbuf
  uint8_t cbuf[cfg_cbuf];
};

}  // namespace lrd
