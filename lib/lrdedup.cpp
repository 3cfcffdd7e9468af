// The public interface (include/lrdedup.h): encoder and decoder objects that
// own a coder record, its memory and its helper threads, and serve the coder
// body's requests from the caller's buffers.
//
// The coder body runs as a coroutine that asks for input when its input is
// used up and hands over its output a 64 KiB block at a time. A call resumes
// it until it asks for input the caller has not given, or hands over output
// the caller's buffer cannot take whole; the rest of that output goes out in
// the calls that follow, before the body is resumed.
//
// Where the output goes: the encoder writes straight into the caller's
// buffer while it has room, and into a block of its own otherwise. The
// decoder writes into blocks of its own, since it reads its latest output
// back: slices of its window, which so holds every output byte once, or,
// with a history of the caller's, a ring of blocks; lrd_decode copies from
// them, lrd_decode_view hands them out as they are.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "codec/coder.h"
#include "codec/decoder.h"
#include "codec/dec_history.h"
#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/history.h"
#include "codec/worker.h"
#include "lrdedup.h"
#include "lib/memory.h"
#include "lib/prefault.h"

static_assert(LRD_WINDOW == cfg_decwinsize);
static_assert(LRD_HISTORY_RING == cfg_hist_ring);
static_assert(LRD_ENCODER_LAG == cfg_enc_lag);
static_assert(LRD_ENCODER_LAG + uint64_t{cfg_iobuf} <= cfg_hist_lead &&
                  LRD_HISTORY_RING - LRD_WINDOW - LRD_ENCODER_LAG == 1966080,
              "a ring of LRD_HISTORY_RING leaves 1.875 MiB to read ahead");
static_assert(LRD_DECODER_LAG == (cfg_outring_blocks - 1) * cfg_iobuf,
              "the decoder reads back from its own blocks all but the last LAG bytes");
static_assert(LRD_VIEW_KEEP == (cfg_outring_blocks - 1) * cfg_iobuf && cfg_decwinsize % cfg_iobuf == 0,
              "a block is written again only after the ring's others: in the window, much later");
static_assert(uint64_t{LRD_WINDOW} - LRD_VIEW_KEEP <= cfg_decwinsize - cfg_iobuf,
              "a window block is written again only once all the window's other blocks have been");
static_assert(int{LRD_FAULT_TRUNCATED_REF} == fault_truncated_ref && int{LRD_FAULT_ZERO_DISTANCE} == fault_zero_distance &&
              int{LRD_FAULT_FAR_DISTANCE} == fault_far_distance && int{LRD_FAULT_BEFORE_START} == fault_before_start);

namespace {

void unmap(void* p, size_t bytes) {
  if (p) munmap(p, bytes);
}

// The growing index's memory. A refusal sets the index's failed flag, which
// the calls report.
void* resize_index(void*, void* block, size_t old_bytes, size_t new_bytes) {
  return resize_index_zeroed(block, old_bytes, new_bytes);
}

// Where a stream object stands.
enum run_state { st_fresh, st_running, st_flushing, st_done, st_failed };

// What both objects share: the coder record, and output the body has
// finished that the caller has not had yet.
struct stream_core {
  coder c{};
  run_state state = st_fresh;
  bool end = false;      // the caller has said the end of the input
  uint64_t end_at = 0;   // and so its length
  uint64_t taken = 0;    // input bytes taken from the caller
  const uint8_t* block = nullptr;     // finished output
  size_t block_n = 0, block_out = 0;  // its bytes, and those handed out
};

int check_buffers(const lrd_in* in, const lrd_out* out) {
  if ((in && in->pos > in->size) || (out && out->pos > out->size)) return LRD_ERROR_BUFFER;
  if ((in && in->pos < in->size && !in->src) || (out && out->pos < out->size && !out->dst)) return LRD_ERROR_NULL;
  return LRD_OK;
}

// Points the body's input at the n bytes at src, taken from in.
void take_input(stream_core* s, lrd_in* in, const uint8_t* src, size_t n) {
  coro_header* h = &s->c.coro;
  h->inpbeg = h->inpptr = src;
  h->inpend = src + n;
  in->pos += n;
  s->taken += n;
}

// Gives back to in what the body has not read of its input: it comes again
// in the caller's next buffer.
void give_back_unread(stream_core* s, lrd_in* in) {
  const coro_header* h = &s->c.coro;
  const size_t left = static_cast<size_t>(h->inpend - h->inpptr);
  if (left == 0) return;  // in may then be null
  in->pos -= left;
  s->taken -= left;
}

// Copies what is left of the finished output into out; true when it all went.
bool hand_out(stream_core* s, lrd_out* out) {
  const size_t left = s->block_n - s->block_out;
  if (left == 0) return true;
  if (!out || out->pos == out->size) return false;
  const size_t k = left < out->size - out->pos ? left : out->size - out->pos;
  std::memcpy(static_cast<uint8_t*>(out->dst) + out->pos, s->block + s->block_out, k);
  out->pos += k;
  s->block_out += k;
  return s->block_out == s->block_n;
}

// Checks and the end flag common to the start of every call: LRD_OK to go on.
int begin_call(stream_core* s, const lrd_in* in, const lrd_out* out, int end) {
  if (s->state == st_done || s->state == st_failed) return LRD_ERROR_STATE;
  if (const int r = check_buffers(in, out); r != LRD_OK) return r;
  // Once the end is said, later calls may give only what was left untaken.
  const uint64_t given = s->taken + (in ? in->size - in->pos : 0);
  if (s->end && given > s->end_at) return LRD_ERROR_STATE;
  if (end && !s->end) {
    s->end = true;
    s->end_at = given;
  }
  return LRD_OK;
}

// How a resumption of the body ended.
enum resumed { r_input, r_output, r_done, r_failed };

// Resumes the body until it hands over output (a full buffer: r_output; its
// last: r_done) or asks for input the caller has not given (r_input).
// feed(in) points the body's input at new bytes and returns false when there
// are none; failed() says whether the run has failed since it was resumed.
// REQUIRES: the body's output buffer has room.
template <class Feed, class Failed>
resumed resume(stream_core* s, coro_task (*body)(coder*), Feed feed, Failed failed) {
  coro_header* h = &s->c.coro;
  for (;;) {
    if (s->state == st_fresh) {
      s->state = st_running;
    } else if (h->state == REQ_INPUT && h->inpptr >= h->inpend) {
      h->inp_before = s->taken;
      if (!feed()) {
        // The end comes once all the input up to it has been taken.
        if (!s->end || s->taken < s->end_at) return r_input;
        h->f_eof = 1;
      }
    }
    const uint32_t r = coro_call(&s->c, body);
    if (failed()) {
      coro_finish(h);
      s->state = st_failed;
      return r_failed;
    }
    if (r == REQ_OUTPUT) return r_output;
    if (r == REQ_DONE) {
      coro_finish(h);
      return r_done;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------- encoder

struct lrd_encoder {
  stream_core s;
  worker wk;
  void* stage = nullptr;
  uint8_t* ring = nullptr;       // the encoder's own history of its input
  bool caller_history = false;   // set_history: input taken where it lies
  uint8_t out[cfg_iobuf];        // output while the caller gives no room
};

void lrd_encoder_params_default(lrd_encoder_params* p) {
  if (p) {
    p->threads = 1;
    p->first_copy = 0;
  }
}

int lrd_encoder_create(lrd_encoder** enc, const lrd_encoder_params* params) {
  if (!enc) return LRD_ERROR_NULL;
  *enc = nullptr;
  lrd_encoder_params p;
  lrd_encoder_params_default(&p);
  if (params) p = *params;
  if (p.threads > 1 || p.first_copy > 1) return LRD_ERROR_PARAM;
  lrd_encoder* e = new (std::nothrow) lrd_encoder;
  if (!e) return LRD_ERROR_MEMORY;
  coder* c = &e->s.c;
  // Without its staging memory the encoder takes the plain body: the same
  // stream, only more slowly.
  e->stage = map_zeroed(encoder_stage_bytes(), false);
  index_cfg cfg = index_cfg_default();
  cfg.first_copy = p.first_copy == 1;
  if (!index_init_growing(&c->idx, index_mem{nullptr, resize_index}, cfg)) {
    lrd_encoder_free(e);
    return LRD_ERROR_MEMORY;
  }
  c->enc_stage = e->stage;
  if (p.threads == 1 && worker_start(&e->wk)) c->wk = &e->wk;
  *enc = e;
  return LRD_OK;
}

void lrd_encoder_free(lrd_encoder* e) {
  if (!e) return;
  coro_finish(&e->s.c.coro);  // first: the body's helper may work on the staging memory
  worker_stop(&e->wk);
  index_free(&e->s.c.idx);
  unmap(e->stage, encoder_stage_bytes());
  unmap(e->ring, cfg_hist_ring);
  delete e;
}

int lrd_encoder_set_history(lrd_encoder* e, const void* history, uint64_t ring) {
  if (!e) return LRD_ERROR_NULL;
  if (!history) return LRD_ERROR_NULL;
  if (ring != 0 && ring < cfg_hist_ring) return LRD_ERROR_PARAM;
  if (e->ring) return LRD_ERROR_STATE;
  e->caller_history = true;
  e->s.c.hist = static_cast<const uint8_t*>(history);
  e->s.c.hist_ring = ring;
  return LRD_OK;
}

namespace {

// Points the encoder's input at the caller's bytes, copied into the own ring
// an input buffer at a time, or (with the caller's history) taken where they
// are.
bool encoder_feed(lrd_encoder* e, lrd_in* in) {
  if (!in || in->pos >= in->size) return false;
  const uint8_t* src = static_cast<const uint8_t*>(in->src) + in->pos;
  size_t n = in->size - in->pos;
  if (!e->caller_history) {
    // Whole input buffers fill the ring: no piece straddles its end.
    const uint64_t at = e->s.taken % cfg_hist_ring;
    const size_t room = cfg_iobuf - static_cast<size_t>(at % cfg_iobuf);
    n = n < room ? n : room;
    std::memcpy(e->ring + at, src, n);
    src = e->ring + at;
  }
  take_input(&e->s, in, src, n);
  return true;
}

// Input taken where it lies is the caller's only for the call: what the body
// has not read of it is given back, to come again in a later call's buffer.
void give_back(lrd_encoder* e, lrd_in* in) {
  if (!e->caller_history) return;
  coro_header* h = &e->s.c.coro;
  give_back_unread(&e->s, in);
  // An empty buffer where the input stands now.
  h->inpbeg = h->inpptr = h->inpend = nullptr;
  h->inp_before = e->s.taken;
}

int encode(lrd_encoder* e, lrd_in* in, lrd_out* out) {
  stream_core* s = &e->s;
  coder* c = &s->c;
  coro_header* h = &c->coro;
  for (;;) {
    if (!hand_out(s, out)) return LRD_OUTPUT_FULL;
    if (s->state == st_flushing) {
      s->state = st_done;
      return LRD_DONE;
    }
    // Straight into the caller's buffer while it has room; the body holds no
    // pointer into its output buffer while it waits.
    const bool direct = out && out->pos < out->size;
    h->outbeg = h->outptr = direct ? static_cast<uint8_t*>(out->dst) + out->pos : e->out;
    h->outend = direct ? static_cast<uint8_t*>(out->dst) + out->size : e->out + cfg_iobuf;
    const resumed r = resume(
        s, encoder_run, [e, in] { return encoder_feed(e, in); }, [c] { return c->idx.failed; });
    const size_t wrote = static_cast<size_t>(h->outptr - h->outbeg);
    if (direct) {
      out->pos += wrote;
    } else {
      s->block = e->out;
      s->block_n = wrote;
      s->block_out = 0;
    }
    switch (r) {
      case r_failed: return LRD_ERROR_MEMORY;
      case r_done: s->state = st_flushing; break;
      case r_input: hand_out(s, out); return LRD_OK;
      case r_output: if (direct) return LRD_OUTPUT_FULL; break;
    }
  }
}

}  // namespace

int lrd_encode(lrd_encoder* e, lrd_in* in, lrd_out* out, int end) {
  if (!e) return LRD_ERROR_NULL;
  if (const int r = begin_call(&e->s, in, out, end); r != LRD_OK) return r;
  coder* c = &e->s.c;
  if (!e->caller_history && !e->ring) {
    e->ring = static_cast<uint8_t*>(map_zeroed(cfg_hist_ring, true));
    if (!e->ring) {
      e->s.state = st_failed;
      return LRD_ERROR_MEMORY;
    }
    c->hist = e->ring;
    c->hist_ring = cfg_hist_ring;
  }
  const int r = encode(e, in, out);
  give_back(e, in);
  return r;
}

int lrd_encoder_stats(const lrd_encoder* e, lrd_stats* st) {
  if (!e || !st) return LRD_ERROR_NULL;
  const coder* c = &e->s.c;
  *st = lrd_stats{c->sum, c->x, c->c_discard, c->c_collide};
  return LRD_OK;
}

// ---------------------------------------------------------------- decoder

namespace {

// How far ahead of the output the window is committed.
constexpr size_t cfg_window_lead = size_t{32} << 20;

constexpr size_t cfg_chunkmap_bytes = cfg_decwinsize / cfg_mapblock;

}  // namespace

struct lrd_decoder {
  stream_core s;
  bool committer = false;
  bool stable_input = false;  // the caller's input is read where it lies
  prefault pf;
  uint8_t* win = nullptr;
  uint8_t* chunkmap = nullptr;
  const uint8_t* user_hist = nullptr;
  uint8_t* ring = nullptr;  // with a history of the caller's: the body's output blocks, in turn
  uint64_t blocks = 0;      // output blocks handed out whole
  uint8_t in[cfg_iobuf];    // the input, copied
};

void lrd_decoder_params_default(lrd_decoder_params* p) {
  if (p) p->threads = 1;
}

int lrd_decoder_create(lrd_decoder** dec, const lrd_decoder_params* params) {
  if (!dec) return LRD_ERROR_NULL;
  *dec = nullptr;
  lrd_decoder_params p;
  lrd_decoder_params_default(&p);
  if (params) p = *params;
  if (p.threads > 1) return LRD_ERROR_PARAM;
  lrd_decoder* d = new (std::nothrow) lrd_decoder;
  if (!d) return LRD_ERROR_MEMORY;
  d->committer = p.threads == 1;
  // Without the chunk-start map every reference copies byte by byte: the
  // same output, only more slowly.
  d->chunkmap = static_cast<uint8_t*>(map_zeroed(cfg_chunkmap_bytes, false));
  coder* c = &d->s.c;
  c->chunkmap = d->chunkmap;
  c->winsize = cfg_decwinsize;
  *dec = d;
  return LRD_OK;
}

void lrd_decoder_free(lrd_decoder* d) {
  if (!d) return;
  coro_finish(&d->s.c.coro);
  prefault_stop(&d->pf);
  unmap(d->win, cfg_decwinsize);
  unmap(d->chunkmap, cfg_chunkmap_bytes);
  unmap(d->ring, cfg_outring);
  delete d;
}

int lrd_decoder_set_history(lrd_decoder* d, const void* history) {
  if (!d || !history) return LRD_ERROR_NULL;
  if (d->s.state != st_fresh) return LRD_ERROR_STATE;
  d->user_hist = static_cast<const uint8_t*>(history);
  return LRD_OK;
}

int lrd_decoder_set_stable_input(lrd_decoder* d) {
  if (!d) return LRD_ERROR_NULL;
  if (d->s.state != st_fresh) return LRD_ERROR_STATE;
  d->stable_input = true;
  return LRD_OK;
}

namespace {

// Output block k: a slice of the window, or of the ring of blocks.
uint8_t* decoder_block(lrd_decoder* d, uint64_t k) {
  return d->win ? d->win + (k % (cfg_decwinsize / cfg_iobuf)) * cfg_iobuf
                : d->ring + (k % cfg_outring_blocks) * cfg_iobuf;
}

// The body's output buffer: block k.
void point_at_block(lrd_decoder* d, uint64_t k) {
  coro_header* h = &d->s.c.coro;
  h->outbeg = h->outptr = decoder_block(d, k);
  h->outend = h->outbeg + cfg_iobuf;
}

// Makes the window, or the ring for a history of the caller's, before the
// first input. False when the memory cannot be had.
bool decoder_start(lrd_decoder* d) {
  coder* c = &d->s.c;
  if (d->user_hist) {
    d->ring = static_cast<uint8_t*>(map_zeroed(cfg_outring, false));
    if (!d->ring) return false;
    c->outmap = d->user_hist;
    c->outring = d->ring;
  } else {
    d->win = static_cast<uint8_t*>(map_zeroed(cfg_decwinsize, true));
    if (!d->win) return false;
    if (d->committer) prefault_start(&d->pf, d->win, cfg_decwinsize, cfg_window_lead, prefault_huge_while_fast);
  }
  c->win = d->win;
  c->winpos = 0;
  point_at_block(d, 0);
  return true;
}

// The body's input: the caller's bytes where they lie, with a stable input,
// else copied a buffer at a time (the body may keep pointers into its input
// until it asks for more).
bool decoder_feed(lrd_decoder* d, lrd_in* in) {
  if (!in || in->pos >= in->size) return false;
  const uint8_t* src = static_cast<const uint8_t*>(in->src) + in->pos;
  size_t n = in->size - in->pos;
  if (!d->stable_input) {
    n = n < cfg_iobuf ? n : cfg_iobuf;
    std::memcpy(d->in, src, n);
    src = d->in;
  }
  take_input(&d->s, in, src, n);
  return true;
}

// With a stable input, what the body has not read of the caller's buffer
// is given back at the end of a call and taken again at the start of the
// next, where the body still points.
void stable_give_back(lrd_decoder* d, lrd_in* in) {
  if (d->stable_input && in) give_back_unread(&d->s, in);
}
bool stable_take_again(lrd_decoder* d, lrd_in* in) {
  coro_header* h = &d->s.c.coro;
  const size_t left = static_cast<size_t>(h->inpend - h->inpptr);
  if (!d->stable_input || left == 0) return true;
  if (!in || static_cast<const uint8_t*>(in->src) + in->pos != h->inpptr ||
      static_cast<const uint8_t*>(in->src) + in->size != h->inpend)
    return false;
  in->pos += left;
  d->s.taken += left;
  return true;
}

// Runs the decoder until it has finished output (a whole block, or the last
// bytes) or waits for input: r_output, r_done, r_input. Finished output is
// left in the stream's block.
resumed decode_some(lrd_decoder* d, lrd_in* in) {
  stream_core* s = &d->s;
  coro_header* h = &s->c.coro;
  const resumed r = resume(
      s, decoder_run, [d, in] { return decoder_feed(d, in); }, [] { return false; });
  if (r == r_output || r == r_done) {
    s->block = h->outbeg;
    s->block_n = static_cast<size_t>(h->outptr - h->outbeg);
    s->block_out = 0;
  }
  if (r == r_output) {
    // The block goes out; the body fills the next one.
    d->blocks++;
    prefault_advance(&d->pf, d->blocks * cfg_iobuf);
    point_at_block(d, d->blocks);
  }
  if (r == r_done) s->state = st_flushing;
  return r;
}

// What lrd_decode and lrd_decode_view share at their start: LRD_OK to go on.
int decode_begin(lrd_decoder* d, lrd_in* in, const lrd_out* out, int end) {
  if (!d) return LRD_ERROR_NULL;
  if (const int r = begin_call(&d->s, in, out, end); r != LRD_OK) return r;
  if (!stable_take_again(d, in)) return LRD_ERROR_PARAM;
  if (d->s.state == st_fresh && !d->win && !d->ring && !decoder_start(d)) {
    d->s.state = st_failed;
    return LRD_ERROR_MEMORY;
  }
  return LRD_OK;
}

}  // namespace

int lrd_decode(lrd_decoder* d, lrd_in* in, lrd_out* out, int end) {
  if (const int r = decode_begin(d, in, out, end); r != LRD_OK) return r;
  stream_core* s = &d->s;
  int result = LRD_OK;
  for (;;) {
    if (!hand_out(s, out)) {
      result = LRD_OUTPUT_FULL;
      break;
    }
    if (s->state == st_flushing) {
      s->state = st_done;
      result = LRD_DONE;
      break;
    }
    if (decode_some(d, in) == r_input) break;
  }
  stable_give_back(d, in);
  return result;
}

int lrd_decode_view(lrd_decoder* d, lrd_in* in, lrd_view* view, int end) {
  if (!view) return LRD_ERROR_NULL;
  *view = lrd_view{nullptr, 0};
  if (const int r = decode_begin(d, in, nullptr, end); r != LRD_OK) return r;
  stream_core* s = &d->s;
  if (s->block_out == s->block_n && s->state != st_flushing && decode_some(d, in) == r_input) {
    stable_give_back(d, in);
    return LRD_OK;
  }
  // The finished output, or what a copying call left of it.
  *view = lrd_view{s->block + s->block_out, s->block_n - s->block_out};
  s->block_out = s->block_n;
  stable_give_back(d, in);
  if (s->state != st_flushing) return LRD_OUTPUT_FULL;
  s->state = st_done;
  return LRD_DONE;
}

int lrd_decoder_fault(const lrd_decoder* d, uint64_t* offset) {
  if (!d) return LRD_ERROR_NULL;
  if (offset) *offset = d->s.c.fault == fault_none ? 0 : d->s.c.fault_offset;
  return static_cast<int>(d->s.c.fault);
}

int lrd_decoder_stats(const lrd_decoder* d, lrd_stats* st) {
  if (!d || !st) return LRD_ERROR_NULL;
  *st = lrd_stats{d->s.c.sum, d->s.c.x, 0, 0};
  return LRD_OK;
}

// ---------------------------------------------------------------- texts

unsigned lrd_version(void) { return LRD_VERSION_NUMBER; }

const char* lrd_version_string(void) { return LRD_VERSION_STRING; }

const char* lrd_error_string(int code) {
  switch (code) {
    case LRD_OK: return "ok: more input wanted";
    case LRD_OUTPUT_FULL: return "output buffer full";
    case LRD_DONE: return "done";
    case LRD_ERROR_NULL: return "null object or buffer";
    case LRD_ERROR_STATE: return "call out of order: after the end or an error, or input after the end";
    case LRD_ERROR_PARAM: return "parameter out of range";
    case LRD_ERROR_MEMORY: return "cannot allocate memory";
    case LRD_ERROR_BUFFER: return "buffer position beyond its size";
    default: return "unknown result code";
  }
}

const char* lrd_fault_string(int fault) {
  switch (fault) {
    case LRD_FAULT_NONE: return "no fault";
    case LRD_FAULT_TRUNCATED_REF: return "stream ends inside a reference";
    case LRD_FAULT_ZERO_DISTANCE: return "reference with distance 0";
    case LRD_FAULT_FAR_DISTANCE: return "reference beyond the 1000 MiB window";
    case LRD_FAULT_BEFORE_START: return "reference before the start of the data";
    default: return "unknown fault";
  }
}
