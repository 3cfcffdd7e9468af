// The decoder object: a decoder state with its window (or a history of the
// caller's), chunk-start map, page committer and input-scanning helper,
// served from the caller's buffers. It writes into blocks of its own, since
// it reads its latest output back: slices of its window, which so holds
// every output byte once, or, with a history of the caller's, a ring of
// blocks. lrd_decode copies from them, lrd_decode_view hands them out as
// they are.
#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "codec/dec_history.h"
#include "codec/decoder.h"
#include "codec/decoder_fast.h"
#include "codec/decoder_rule.h"
#include "codec/params.h"
#include "codec/worker.h"
#include "lib/api_stream.h"
#include "os/memory.h"
#include "os/prefault.h"

using namespace lrd;

static_assert(LRD_DECODER_LAG == (cfg_outring_blocks - 1) * cfg_iobuf,
              "the decoder reads back from its own blocks all but the last LAG bytes");
static_assert(LRD_VIEW_KEEP == (cfg_outring_blocks - 1) * cfg_iobuf && cfg_decwinsize % cfg_iobuf == 0,
              "a block is written again only after the ring's others: in the window, much later");
static_assert(uint64_t{LRD_WINDOW} - LRD_VIEW_KEEP <= cfg_decwinsize - cfg_iobuf,
              "a window block is written again only once all the window's other blocks have been");
static_assert(int{LRD_FAULT_TRUNCATED_REF} == fault_truncated_ref && int{LRD_FAULT_ZERO_DISTANCE} == fault_zero_distance &&
              int{LRD_FAULT_FAR_DISTANCE} == fault_far_distance && int{LRD_FAULT_BEFORE_START} == fault_before_start);

namespace {

// How far ahead of the output the window is committed.
constexpr size_t cfg_window_lead = size_t{32} << 20;

constexpr size_t cfg_chunkmap_bytes = cfg_decwinsize / cfg_mapblock;

}  // namespace

struct lrd_decoder {
  api_stream s;
  decoder_state st{};
  lrd_decoder_params params;
  bool stable_input = false;  // the caller's input is read where it lies
  prefault pf;
  worker wk;                  // scans the body's input ahead, where it runs
  void* scan = nullptr;       // its memory, decoder_scan_bytes()
  bool scan_helper = false;   // wk started and scan had
  bool scan_tried = false;    // once: a helper that cannot start is not asked again
  uint8_t* win = nullptr;
  uint8_t* chunkmap = nullptr;
  const uint8_t* user_hist = nullptr;
  uint8_t* ring = nullptr;  // with a history of the caller's: the body's output blocks, in turn
  uint64_t blocks = 0;      // output blocks handed out whole
  const uint8_t* held = nullptr;  // stable input: where the piece given back starts
  uint8_t in[cfg_iobuf];    // the input, copied
};

namespace {

// Output block k: a slice of the window, or of the ring of blocks.
uint8_t* dec_block(lrd_decoder* d, uint64_t k) {
  return d->win ? d->win + (k % (cfg_decwinsize / cfg_iobuf)) * cfg_iobuf
                : d->ring + (k % cfg_outring_blocks) * cfg_iobuf;
}

// The body's output buffer: block k.
void dec_point_at_block(lrd_decoder* d, uint64_t k) {
  coro_header* h = d->s.h;
  h->outbeg = h->outptr = dec_block(d, k);
  h->outend = h->outbeg + cfg_iobuf;
}

// What every run of the decoder's state is set up from: its window, or the
// caller's history and the ring of blocks, and the chunk-start map.
decoder_resources dec_resources(lrd_decoder* d) {
  decoder_resources r;
  r.winsize = cfg_decwinsize;
  r.win = d->user_hist ? nullptr : d->win;
  r.outmap = d->user_hist;
  r.outring = d->user_hist ? d->ring : nullptr;
  r.chunkmap = d->chunkmap;
  r.fault_stop = !d->params.decode_through;
  if (d->scan_helper) {
    r.wk = &d->wk;
    r.scan = d->scan;
  }
  return r;
}

// Makes the window, or the ring for a history of the caller's, before the
// first call. False when the memory cannot be had.
bool dec_start(lrd_decoder* d) {
  if (d->user_hist) {
    if (!d->ring) d->ring = static_cast<uint8_t*>(map_zeroed(cfg_outring, false));
    if (!d->ring) return false;
  } else {
    if (!d->win) d->win = static_cast<uint8_t*>(map_zeroed(cfg_decwinsize, true));
    if (!d->win) return false;
    // A helper pays only beside the caller's thread.
    if (d->params.threads != 0 && !d->pf.running && worker_second_core())
      prefault_start(&d->pf, d->win, cfg_decwinsize, cfg_window_lead, prefault_huge_while_fast);
  }
  decoder_init(&d->st, dec_resources(d));
  d->blocks = 0;
  dec_point_at_block(d, 0);
  return true;
}

// Empties a block of map_zeroed memory for a new stream, which must never
// read the old one's bytes: its pages go back to the kernel, which zero-fills
// them at the next touch. Where the kernel refuses, the block goes and null
// is left: the window is mapped anew at the next start, and without a chunk
// map the decoder takes the plain body, with the same output.
uint8_t* dec_emptied(uint8_t* p, size_t bytes) {
  if (!p || madvise(p, bytes, MADV_DONTNEED) == 0) return p;
  (void)munmap(p, bytes);  // a failure leaves a mapping nobody uses again
  return nullptr;
}

// Back to a decoder that has decoded nothing, its memory kept: the window
// and the chunk map emptied, the committer stopped.
void dec_restart(lrd_decoder* d) {
  api_stream_restart(&d->s);
  decoder_start(&d->st);
  prefault_stop(&d->pf);
  d->win = dec_emptied(d->win, cfg_decwinsize);
  d->chunkmap = dec_emptied(d->chunkmap, cfg_chunkmap_bytes);
  if (!d->chunkmap) d->chunkmap = static_cast<uint8_t*>(map_zeroed(cfg_chunkmap_bytes, false));
  d->held = nullptr;
}

// Starts the input-scanning helper once the body is handed buffers that it
// pays for, in either mode; it stays across resets. Where it cannot start,
// the body scans alone, with the same output.
void dec_scan_helper(lrd_decoder* d) {
  // By default only where a CPU is left beside the caller's thread and a
  // writer's: on two, the scan it takes off the caller costs the writer more.
  if (d->scan_tried) return;
  d->scan_tried = true;
  const unsigned helpers = api_helpers(d->params.threads, 1, 1);
  if (helpers == 0) return;
  d->scan = map_zeroed(decoder_scan_bytes(), false);
  d->scan_helper = d->scan && worker_start(&d->wk, helpers) > 0;
  if (!d->scan_helper) {
    if (d->scan) munmap(d->scan, decoder_scan_bytes());
    d->scan = nullptr;
    return;
  }
  d->st.wk = &d->wk;
  d->st.scan = d->scan;
}

// The body's input: the caller's bytes where they lie, with a stable input,
// else copied a buffer at a time (the body may keep pointers into its input
// until it asks for more). A stable input is taken a piece of
// cfg_stable_piece at a time, and a piece counts as taken only once the body
// has read the last of it: until then the body may still read any of it (a
// cut scan reaches back, a block write may pause in the middle).
bool dec_feed(lrd_decoder* d, lrd_in* in) {
  if (!in || in->pos >= in->size) return false;
  const uint8_t* src = static_cast<const uint8_t*>(in->src) + in->pos;
  size_t n = in->size - in->pos;
  const size_t most = d->stable_input ? size_t{cfg_stable_piece} : size_t{cfg_iobuf};
  n = n < most ? n : most;
  if (n >= cfg_scan_ahead_min) dec_scan_helper(d);
  if (!d->stable_input) {
    std::memcpy(d->in, src, n);
    src = d->in;
  }
  api_take_input(&d->s, in, src, n);
  return true;
}

// With a stable input, at the end of a call: while the body is in the middle
// of its piece, all of the piece is given back (the body may read any of it
// again); once it waits for input, or is over, only what it has not read.
void dec_stable_give_back(lrd_decoder* d, lrd_in* in) {
  if (!d->stable_input || !in) return;
  // The caller may drop what it gets back once the call returns: the scan
  // helper leaves it now.
  if (d->scan_helper) decoder_scan_pause(&d->st);
  const coro_header* h = d->s.h;
  const bool in_piece = d->s.state == api_running && h->state != REQ_INPUT;
  d->held = in_piece ? h->inpbeg : h->inpptr;
  api_give_back(&d->s, in, d->held);
}

// At the start of a call: the piece given back is taken again, where the
// body still points. False when the caller gave other input.
bool dec_stable_take_again(lrd_decoder* d, lrd_in* in) {
  const coro_header* h = d->s.h;
  if (!d->stable_input || !d->held || d->held == h->inpend || d->s.state != api_running) return true;
  if (!in || static_cast<const uint8_t*>(in->src) + in->pos != d->held ||
      static_cast<const uint8_t*>(in->src) + in->size != h->inpend)
    return false;
  const size_t n = static_cast<size_t>(h->inpend - d->held);
  in->pos += n;
  d->s.taken += n;
  d->held = nullptr;
  return true;
}

// Runs the decoder until it has finished output (a whole block, the last
// bytes, or those before a fault) or waits for input. Finished output is
// left in the stream's block.
api_resumed dec_some(lrd_decoder* d, lrd_in* in) {
  api_stream* s = &d->s;
  coro_header* h = s->h;
  const api_resumed r = api_resume(s, &d->st, decoder_run,
                                   [d, in] { return dec_feed(d, in) ? api_fed::some : api_fed::none; });
  if (r == api_r_input) return r;
  s->block = h->outbeg;
  s->block_n = static_cast<size_t>(h->outptr - h->outbeg);
  s->block_out = 0;
  if (r == api_r_output) {
    // The block goes out; the body fills the next one.
    d->blocks++;
    prefault_advance(&d->pf, d->blocks * cfg_iobuf);
    dec_point_at_block(d, d->blocks);
  }
  if (r == api_r_done) s->state = api_flushing;
  if (r == api_r_fault) s->state = api_faulting;
  return r;
}

// What lrd_decode and lrd_decode_view share at their start: LRD_OK to go on.
// out: the buffer lrd_decode fills, which the body reads back within the call.
int dec_begin(lrd_decoder* d, lrd_in* in, const lrd_out* out, int end) {
  api_stream* s = &d->s;
  if (const int r = api_begin_call(s, in, out, end); r != LRD_OK) return r;
  if (!dec_stable_take_again(d, in)) return LRD_ERROR_PARAM;
  if (s->state == api_fresh && !dec_start(d)) return LRD_ERROR_MEMORY;
  d->st.callbuf = out ? static_cast<const uint8_t*>(out->dst) + out->pos : nullptr;
  d->st.call_from = s->handed;
  return LRD_OK;
}

// The end of a call: no pointer into the caller's output kept, and, after
// the body ran, the stable input's give-back.
int dec_end(lrd_decoder* d, lrd_in* in, int r) {
  d->st.callbuf = nullptr;
  if (in) dec_stable_give_back(d, in);
  return api_result(&d->s, r);
}

// Once the finished output is all out: where the stream stands.
bool dec_over(api_stream* s, int* r) {
  if (s->state == api_flushing) {
    s->state = api_done;
    *r = LRD_DONE;
    return true;
  }
  if (s->state == api_faulting) {
    *r = LRD_ERROR_CORRUPT;
    return true;
  }
  return false;
}

}  // namespace

void lrd_decoder_params_default(lrd_decoder_params* p) {
  if (p) *p = lrd_decoder_params LRD_DECODER_PARAMS_INIT;
}

int lrd_decoder_create(lrd_decoder** dec, const lrd_decoder_params* params) {
  if (!dec) return LRD_ERROR_NULL;
  *dec = nullptr;
  lrd_decoder_params p;
  lrd_decoder_params_default(&p);
  if (params && !api_read_params(&p, sizeof p, params, offsetof(lrd_decoder_params, decode_through) + sizeof p.decode_through))
    return LRD_ERROR_PARAM;
  if (!api_threads_valid(p.threads) || p.decode_through > 1) return LRD_ERROR_PARAM;
  lrd_decoder* d = new (std::nothrow) lrd_decoder;
  if (!d) return LRD_ERROR_MEMORY;
  d->params = p;
  d->s.h = &d->st.coro;
  // Without the chunk-start map the decoder takes the plain body: the same
  // output, only more slowly, as lrd_decoder_fallback tells. Set up here, so
  // that the body is known before the first call; every run starts afresh.
  d->chunkmap = static_cast<uint8_t*>(map_zeroed(cfg_chunkmap_bytes, false));
  decoder_init(&d->st, dec_resources(d));
  *dec = d;
  return LRD_OK;
}

void lrd_decoder_free(lrd_decoder* d) {
  if (!d) return;
  coro_finish(&d->st.coro);  // first: the body's helper may be in its input
  prefault_stop(&d->pf);
  worker_stop(&d->wk);
  if (d->scan) munmap(d->scan, decoder_scan_bytes());
  if (d->win) munmap(d->win, cfg_decwinsize);
  if (d->chunkmap) munmap(d->chunkmap, cfg_chunkmap_bytes);
  if (d->ring) munmap(d->ring, cfg_outring);
  delete d;
}

int lrd_decoder_reset(lrd_decoder* d) {
  if (!d) return LRD_ERROR_NULL;
  dec_restart(d);
  d->user_hist = nullptr;
  d->stable_input = false;
  return LRD_OK;
}

int lrd_decoder_set_history(lrd_decoder* d, const void* history) {
  if (!d || !history) return LRD_ERROR_NULL;
  if (!api_setters_open(&d->s)) return LRD_ERROR_STATE;
  // Calls that gave no input may have started the body on the window.
  if (d->s.state != api_fresh) dec_restart(d);
  if (d->win) munmap(d->win, cfg_decwinsize);
  d->win = nullptr;
  d->user_hist = static_cast<const uint8_t*>(history);
  return LRD_OK;
}

int lrd_decoder_set_stable_input(lrd_decoder* d) {
  if (!d) return LRD_ERROR_NULL;
  if (!api_setters_open(&d->s)) return LRD_ERROR_STATE;
  d->stable_input = true;
  return LRD_OK;
}

int lrd_decode(lrd_decoder* d, lrd_in* in, lrd_out* out, int end) {
  if (!d) return LRD_ERROR_NULL;
  if (const int r = dec_begin(d, in, out, end); r != LRD_OK) return dec_end(d, nullptr, r);
  api_stream* s = &d->s;
  int r = LRD_OK;
  for (;;) {
    if (!api_hand_out(s, out)) {
      r = LRD_OUTPUT_FULL;
      break;
    }
    if (dec_over(s, &r) || dec_some(d, in) == api_r_input) break;
  }
  return dec_end(d, in, r);
}

int lrd_decode_view(lrd_decoder* d, lrd_in* in, lrd_view* view, int end) {
  if (!d) return LRD_ERROR_NULL;
  if (!view) return api_result(&d->s, LRD_ERROR_NULL);
  *view = lrd_view{nullptr, 0};
  if (const int r = dec_begin(d, in, nullptr, end); r != LRD_OK) return dec_end(d, nullptr, r);
  api_stream* s = &d->s;
  int r = LRD_OK;
  if (s->block_out == s->block_n) {
    if (dec_over(s, &r)) return dec_end(d, in, r);
    if (dec_some(d, in) == api_r_input) return dec_end(d, in, LRD_OK);
  }
  // The finished output, or what a copying call left of it.
  *view = lrd_view{s->block + s->block_out, s->block_n - s->block_out};
  s->handed += view->size;
  s->block_out = s->block_n;
  if (view->size == 0 && dec_over(s, &r)) return dec_end(d, in, r);
  if (s->state == api_flushing) {
    s->state = api_done;
    return dec_end(d, in, LRD_DONE);
  }
  return dec_end(d, in, LRD_OUTPUT_FULL);
}

int lrd_decoder_fault(const lrd_decoder* d, uint64_t* offset) {
  if (!d) return LRD_ERROR_NULL;
  if (offset) *offset = d->st.fault == fault_none ? 0 : d->st.fault_offset;
  return static_cast<int>(d->st.fault);
}

int lrd_decoder_stats(const lrd_decoder* d, lrd_stats* st) {
  if (!d || !st) return LRD_ERROR_NULL;
  *st = lrd_stats{d->st.bytes, d->st.chunks, 0, 0};
  return LRD_OK;
}

int lrd_decoder_fallback(const lrd_decoder* d) {
  if (!d) return LRD_ERROR_NULL;
  return d->st.body == decoder_body::plain ? 1 : 0;
}

int lrd_decode_buffer(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                      const lrd_decoder_params* params) {
  if (!dst_size || (src_size > 0 && !src) || (dst_capacity > 0 && !dst)) return LRD_ERROR_NULL;
  *dst_size = 0;
  lrd_decoder* d = nullptr;
  int r = lrd_decoder_create(&d, params);
  if (r != LRD_OK) return r;
  // The output is its own history: no window. The input stays put.
  static const uint8_t none = 0;
  lrd_decoder_set_history(d, dst_capacity ? dst : &none);
  lrd_decoder_set_stable_input(d);
  lrd_in in{src, src_size, 0};
  lrd_out out{dst, dst_capacity, 0};
  do {
    r = lrd_decode(d, &in, &out, 1);
  } while (r == LRD_OK && in.pos < in.size);
  lrd_decoder_free(d);
  *dst_size = out.pos;
  if (r == LRD_DONE) return LRD_OK;
  return r == LRD_OK || r == LRD_OUTPUT_FULL ? LRD_OUTPUT_FULL : r;
}
