// Coders run in memory: the service loop with its checks of the request
// protocol, the record of what a run produced, and coder set-ups through the
// codec's own inits, over the data of harness_data.h. Free of GoogleTest, so
// that the fuzz target and the codec benchmarks serve a coder exactly as the
// tests do.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/decoder.h"
#include "codec/decoder_fast.h"
#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/index/index.h"
#include "codec/stream.h"
#include "codec/worker.h"
#include "harness_data.h"

using namespace lrd;

using encoder_body_fn = coro_task (*)(encoder_state*);
using decoder_body_fn = coro_task (*)(decoder_state*);

// A coder that breaks the service protocol ends the process, which is what a
// fuzzer or a benchmark wants; test_util.h makes it a test failure instead.
#ifndef HARNESS_EXPECT
#define HARNESS_EXPECT(ok, what) ((ok) ? void(0) : harness_abort(what))
#endif

// ---------------------------------------------------------------- coders

// Zero-filled memory committed only where touched, as the program takes it.
struct mapped {
  void* p = nullptr;
  size_t n = 0;
  explicit mapped(size_t bytes) : n(bytes) {
    p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) std::abort();
  }
  mapped(const mapped&) = delete;
  mapped& operator=(const mapped&) = delete;
  ~mapped() { munmap(p, n); }
};

// Heap memory handed to a growing index, counted, refused past `limit` bytes.
struct heap_index_mem {
  size_t live = 0, peak = 0, limit = SIZE_MAX;
  uint64_t calls = 0;
  static void* resize(void* ctx, void* block, size_t old_bytes, size_t new_bytes) {
    auto* m = static_cast<heap_index_mem*>(ctx);
    m->calls++;
    if (new_bytes == 0) {
      std::free(block);
      m->live -= old_bytes;
      return nullptr;
    }
    if (m->live - old_bytes + new_bytes > m->limit) return nullptr;
    void* p = std::realloc(block, new_bytes);
    if (!p) return nullptr;
    if (new_bytes > old_bytes) std::memset(static_cast<uint8_t*>(p) + old_bytes, 0, new_bytes - old_bytes);
    m->live = m->live - old_bytes + new_bytes;
    m->peak = std::max(m->peak, m->live);
    return p;
  }
  index_mem mem() { return {this, resize}; }
};

// How many helper threads the encoders that test_encoder sets up get, and
// the decoders that test_decoder sets up to scan ahead.
inline unsigned harness_encoder_helpers = 1;
inline unsigned harness_decoder_helpers = 1;

// An encoder state with memory of its own, of the program's sizes or small
// ones, set up by encoder_init as the library sets up its own.
struct test_encoder {
  std::unique_ptr<encoder_state> c = std::make_unique<encoder_state>();
  std::unique_ptr<mapped> table, stage;
  std::unique_ptr<heap_index_mem> heap;  // a growing index's memory
  std::unique_ptr<worker> wk;

  test_encoder() = default;
  test_encoder(test_encoder&&) = default;
  ~test_encoder() {
    if (c) encoder_free(c.get());
  }

  // Over a flat table of its own, or (table null) growing from counted heap
  // memory; `table` the caller's otherwise. The batched body's staging
  // memory and helper unless `plain`.
  static test_encoder make(const index_cfg& cfg, bool growing, bool plain = false) {
    test_encoder t;
    encoder_resources r;
    r.cfg = cfg;
    if (growing) {
      t.heap = std::make_unique<heap_index_mem>();
      r.mem = t.heap->mem();
    } else {
      t.table = std::make_unique<mapped>(index_table_bytes(cfg));
      r.table = static_cast<hslot*>(t.table->p);
    }
    if (!plain) {
      t.stage = std::make_unique<mapped>(encoder_stage_bytes());
      r.stage = t.stage->p;
      t.wk = std::make_unique<worker>();
      if (worker_start(t.wk.get(), harness_encoder_helpers) > 0) r.wk = t.wk.get();
    }
    if (!encoder_init(t.c.get(), r)) harness_abort("no memory for a growing index");
    return t;
  }
  static test_encoder flat(const index_cfg& cfg) { return make(cfg, false); }
  static test_encoder growing(const index_cfg& cfg) { return make(cfg, true); }
};

// How a test_decoder's fast body scans its input for cuts.
enum class dec_scan {
  alone,         // itself, where a literal needs it
  helper,        // ahead, beside a helper where one starts
  helper_first,  // the same, with each buffer scanned whole by the helper before the body reads it
};

// A decoder state with a window (or, given outmap, in file mode over the
// caller's file and output ring) and a chunk map of its own, set up by
// decoder_init as the library sets up its own.
struct test_decoder {
  std::unique_ptr<decoder_state> c = std::make_unique<decoder_state>();
  std::unique_ptr<mapped> window, map, scan;
  std::unique_ptr<worker> wk;

  static test_decoder make(uint32_t winsize, const uint8_t* outmap = nullptr, const uint8_t* outring = nullptr,
                           dec_scan how = dec_scan::alone) {
    test_decoder t;
    decoder_resources r;
    if (how != dec_scan::alone) {
      // Without a second core the body claims every piece itself.
      t.scan = std::make_unique<mapped>(decoder_scan_bytes());
      t.wk = std::make_unique<worker>();
      worker_start(t.wk.get(), harness_decoder_helpers);
      r.wk = t.wk.get();
      r.scan = t.scan->p;
      r.scan_wait = how == dec_scan::helper_first;
    }
    r.winsize = winsize;
    if (!outmap) {
      t.window = std::make_unique<mapped>(winsize);
      r.win = static_cast<uint8_t*>(t.window->p);
    }
    r.outmap = outmap;
    r.outring = outring;
    t.map = std::make_unique<mapped>(winsize / cfg_mapblock + 1);
    r.chunkmap = static_cast<uint8_t*>(t.map->p);
    decoder_init(t.c.get(), r);
    return t;
  }
};

// ---------------------------------------------------------------- the service loop

// What a run wrote, how it asked, and the coder's counters at its end.
struct coded {
  bytes out;             // empty when the run was told not to keep it
  uint64_t written = 0;  // output bytes, kept or not
  uint64_t input_requests = 0, output_requests = 0;
  uint64_t data_bytes = 0, chunks = 0;  // the state's bytes and chunks
  uint32_t pos = 0;                        // encoder
  uint64_t discarded = 0;                  // encoder
  uint64_t collided = 0;                   // encoder: keys matched, bytes did not
  uint32_t fault = fault_none;             // decoder
  uint64_t fault_offset = 0;               // decoder
  uint64_t fast_refs = 0, slow_refs = 0;   // fast decoder
  uint64_t scan_helper = 0;                // fast decoder: input pieces read as its helper scanned them
  uint32_t error = coro_ok;                // why the body stopped with REQ_ERROR
};

// How run_mem hands an encoder its input pieces.
enum class pieces {
  copied,    // into one reused buffer, as from read()
  in_place,  // where they lie in the history (a mapping, or the ring filled as from a pipe)
  mixed,     // the two in turn
};

// The counters of a run's state at its end.
inline void harvest(const encoder_state& c, coded* r) {
  r->data_bytes = c.bytes;
  r->chunks = c.chunks;
  r->pos = c.pos;
  r->discarded = c.discarded;
  r->collided = c.collided;
}
inline void harvest(const decoder_state& c, coded* r) {
  r->data_bytes = c.bytes;
  r->chunks = c.chunks;
  r->fault = c.fault;
  r->fault_offset = c.fault_offset;
  r->fast_refs = c.fast_refs;
  r->slow_refs = c.slow_refs;
  r->scan_helper = c.scan_helper;
}

// Runs `body` over `in` as the driver does, entirely in memory: the input is
// copied piece by piece (`in_piece` bytes) into one reused buffer, the output
// goes to one buffer of `out_size` bytes. Junk surrounds both: a body that
// reads input outside the current piece sees junk where the stream's bytes
// were, and one that writes outside its output buffer, or beside the input
// piece, spoils a guard, checked after every resumption. Pieces land at
// aligned and unaligned addresses in turn. `how` may hand an encoder's pieces
// where they lie in its history instead (never across a ring's end).
// REQUIRES: c just set up by its init (or zero-filled), as an owner hands it
// its first buffers.
template <class State>
coded run_mem(State* c, coro_task (*body)(State*), std::span<const uint8_t> in, size_t in_piece = cfg_iobuf,
              size_t out_size = cfg_iobuf, bool keep = true, uint64_t hist_ring = 0, pieces how = pieces::copied) {
  constexpr size_t guard = 16, shifts = 16;
  constexpr uint8_t out_junk = 0x5A;
  coded r;
  bytes ibuf(guard + shifts - 1 + in_piece + guard), obuf(guard + out_size + guard, out_junk);
  uint8_t* const obeg = obuf.data() + guard;
  uint8_t in_junk = 0;
  size_t in_lead = guard, in_len = 0;
  auto guards_intact = [&] {
    for (size_t i = 0; i < guard; i++)
      if (obuf[i] != out_junk || obuf[guard + out_size + i] != out_junk || ibuf[in_lead - guard + i] != in_junk ||
          ibuf[in_lead + in_len + i] != in_junk)
        return false;
    return true;
  };

  // The first breach ends the run: what follows it would only repeat it.
  auto broken = [](bool ok, const char* what) {
    HARNESS_EXPECT(ok, what);
    return !ok;
  };

  coro_header* h = &c->coro;
  HARNESS_EXPECT(!h->handle && h->state == REQ_DONE, "a run on a state that has run before");
  h->outptr = h->outbeg = obeg;
  h->outend = obeg + out_size;
  size_t at = 0;
  // An encoder's byte check: the whole input, or (hist_ring > 0) a ring of
  // that many bytes filled as the pieces are handed over, as from a pipe.
  bytes ring(hist_ring);
  const uint8_t* piece_at = nullptr;  // where the current piece was handed over
  if constexpr (std::is_same_v<State, encoder_state>) {
    c->hist = hist_ring ? ring.data() : in.data();
    c->hist_ring = hist_ring;
  }
  for (;;) {
    const uint32_t q = coro_call(c, body);
    if (broken(guards_intact(), "wrote outside its buffers") ||
        broken(h->outbeg == obeg && h->outend == obeg + out_size && h->outptr >= h->outbeg && h->outptr <= h->outend,
               "moved the output buffer") ||
        broken(r.input_requests == 0 || (h->inpbeg == piece_at && h->inpend == h->inpbeg + in_len &&
                                         h->inpptr >= h->inpbeg && h->inpptr <= h->inpend),
               "moved the input buffer"))
      break;
    if (q == REQ_DONE) break;
    if (q == REQ_ERROR) {
      r.error = h->error;
      break;
    }
    if (q == REQ_INPUT) {
      r.input_requests++;
      if (broken(h->inpptr == h->inpend, "asked for input with some left")) break;
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      in_len = std::min(in_piece, in.size() - at);
      const bool place = how == pieces::in_place || (how == pieces::mixed && r.input_requests % 2 == 0);
      if (place && hist_ring) in_len = std::min<size_t>(in_len, hist_ring - at % hist_ring);
      if (in_len == 0) h->f_eof = 1;
      in_lead = guard + (r.input_requests - 1) % shifts;
      in_junk = static_cast<uint8_t>(0xA5 ^ at);
      std::fill(ibuf.begin(), ibuf.begin() + static_cast<std::ptrdiff_t>(in_lead), in_junk);
      std::fill(ibuf.begin() + static_cast<std::ptrdiff_t>(in_lead + in_len), ibuf.end(), in_junk);
      if (in_len) std::memcpy(ibuf.data() + in_lead, in.data() + at, in_len);
      for (size_t i = 0; hist_ring && i < in_len; i++) ring[(at + i) % hist_ring] = in[at + i];
      piece_at = !place ? ibuf.data() + in_lead : hist_ring ? ring.data() + at % hist_ring : in.data() + at;
      h->inpptr = h->inpbeg = piece_at;
      h->inpend = h->inpbeg + in_len;
      at += in_len;
    } else if (q == REQ_OUTPUT) {
      r.output_requests++;
      if (broken(h->outptr == h->outend, "handed an output buffer over before it was full")) break;
      if (keep) r.out.insert(r.out.end(), h->outbeg, h->outend);
      r.written += out_size;
      h->outptr = h->outbeg;
    } else {
      broken(false, "made an unknown request");
      break;
    }
  }
  if (keep) r.out.insert(r.out.end(), h->outbeg, h->outptr);
  r.written += static_cast<uint64_t>(h->outptr - h->outbeg);
  coro_finish(h);
  harvest(*c, &r);
  return r;
}

// One run of an encoder or decoder body with a fresh state.
inline coded encode_with(encoder_body_fn body, std::span<const uint8_t> in, const index_cfg& cfg = index_cfg_default(),
                         size_t in_piece = cfg_iobuf, size_t out_size = cfg_iobuf, uint64_t hist_ring = 0,
                         pieces how = pieces::copied) {
  test_encoder t = test_encoder::flat(cfg);
  return run_mem(t.c.get(), body, in, in_piece, out_size, true, hist_ring, how);
}
inline coded decode_with(decoder_body_fn body, std::span<const uint8_t> stream, uint32_t winsize = cfg_decwinsize,
                         size_t in_piece = cfg_iobuf, size_t out_size = cfg_iobuf, dec_scan how = dec_scan::alone) {
  test_decoder t = test_decoder::make(winsize, nullptr, nullptr, how);
  return run_mem(t.c.get(), body, stream, in_piece, out_size);
}

// The stream as the program writes it.
inline bytes encode_mem(std::span<const uint8_t> in, const index_cfg& cfg = index_cfg_default()) {
  return encode_with(encoder_run, in, cfg).out;
}

// Where two runs over the same input part ways ("" when they agree): the
// output and every counter but the fast decoder's own.
inline std::string coded_diff(const coded& a, const coded& b) {
  std::string d;
  auto note = [&](const std::string& what) { d += (d.empty() ? "" : "; ") + what; };
  if (a.out != b.out) {
    const size_t n = std::min(a.out.size(), b.out.size());
    const size_t i = static_cast<size_t>(
        std::mismatch(a.out.begin(), a.out.begin() + static_cast<std::ptrdiff_t>(n), b.out.begin()).first -
        a.out.begin());
    note("output differs from byte " + std::to_string(i) + " (" + std::to_string(a.out.size()) + " vs " +
         std::to_string(b.out.size()) + " bytes)");
  }
  auto field = [&](const char* name, uint64_t va, uint64_t vb) {
    if (va != vb) note(std::string(name) + " " + std::to_string(va) + " vs " + std::to_string(vb));
  };
  field("written", a.written, b.written);
  field("bytes", a.data_bytes, b.data_bytes);
  field("chunks", a.chunks, b.chunks);
  field("pos", a.pos, b.pos);
  field("discarded", a.discarded, b.discarded);
  field("collided", a.collided, b.collided);
  field("fault", a.fault, b.fault);
  field("fault_offset", a.fault_offset, b.fault_offset);
  field("error", a.error, b.error);
  return d;
}
