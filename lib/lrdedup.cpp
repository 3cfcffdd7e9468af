// The public interface (include/lrdedup.h): encoder and decoder objects that
// own a coder record, its memory and its helper threads, and serve the coder
// body's requests from the caller's buffers.
//
// The coder body runs as a coroutine that asks for input when its input is
// used up and hands over its output a 64 KiB block at a time. A call resumes
// it until it asks for input the caller has not given, or hands over a block
// the caller's buffer cannot take whole; the rest of that block goes out in
// the calls that follow, before the body is resumed.
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

// What both objects share: the coder record, the body's last request, and
// the part of an output block still to be handed out.
struct stream_core {
  coder c{};
  run_state state = st_fresh;
  bool end = false;      // the caller has said the end of the input
  uint64_t end_at = 0;   // and so its length
  uint64_t taken = 0;    // input bytes taken from the caller
  uint8_t* block = nullptr;  // the block the body filled
  size_t block_n = 0, block_out = 0;  // its bytes, and those handed out
};

int check_buffers(const lrd_in* in, const lrd_out* out) {
  if ((in && in->pos > in->size) || (out && out->pos > out->size)) return LRD_ERROR_BUFFER;
  if ((in && in->pos < in->size && !in->src) || (out && out->pos < out->size && !out->dst)) return LRD_ERROR_NULL;
  return LRD_OK;
}

// Hands out what is left of the body's block; true when it all went.
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

// Checks and the end flag common to the start of both calls: LRD_OK to go on.
int begin_call(stream_core* s, lrd_in* in, lrd_out* out, int end) {
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

// The service loop of one call. feed(s, in) points the body's input at new
// bytes and returns false when there are none; on_block(s) is told of every
// block the body fills, before it is handed out; failed(s) says whether the
// run has failed since it was resumed.
template <class Feed, class Block, class Failed>
int serve(stream_core* s, coro_task (*body)(coder*), lrd_in* in, lrd_out* out, Feed feed, Block on_block,
          Failed failed) {
  coro_header* h = &s->c.coro;
  for (;;) {
    if (!hand_out(s, out)) return LRD_OUTPUT_FULL;
    if (s->state == st_flushing) {
      s->state = st_done;
      return LRD_DONE;
    }
    if (s->state == st_fresh) {
      s->state = st_running;
    } else if (h->state == REQ_OUTPUT) {
      on_block(s);  // the block went out: the body fills the next one
    } else if (h->state == REQ_INPUT && h->inpptr >= h->inpend) {
      h->inp_before = s->taken;
      if (!feed(s, in)) {
        // The end comes once all the input up to it has been taken.
        if (!s->end || s->taken < s->end_at) return LRD_OK;
        h->f_eof = 1;
      }
    }
    const uint32_t r = coro_call(&s->c, body);
    if (failed(s)) {
      coro_finish(h);
      s->state = st_failed;
      return LRD_ERROR_MEMORY;
    }
    if (r == REQ_OUTPUT || r == REQ_DONE) {
      s->block = h->outbeg;
      s->block_n = static_cast<size_t>(h->outptr - h->outbeg);
      s->block_out = 0;
      if (r == REQ_DONE) {
        coro_finish(h);
        s->state = st_flushing;
      }
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
  uint8_t out[cfg_iobuf];
};

void lrd_encoder_params_default(lrd_encoder_params* p) {
  if (p) p->threads = 1;
}

int lrd_encoder_create(lrd_encoder** enc, const lrd_encoder_params* params) {
  if (!enc) return LRD_ERROR_NULL;
  *enc = nullptr;
  lrd_encoder_params p;
  lrd_encoder_params_default(&p);
  if (params) p = *params;
  if (p.threads > 1) return LRD_ERROR_PARAM;
  lrd_encoder* e = new (std::nothrow) lrd_encoder;
  if (!e) return LRD_ERROR_MEMORY;
  coder* c = &e->s.c;
  // Without its staging memory the encoder takes the plain body: the same
  // stream, only more slowly.
  e->stage = map_zeroed(encoder_stage_bytes(), false);
  if (!index_init_growing(&c->idx, index_mem{nullptr, resize_index}, index_cfg_default())) {
    lrd_encoder_free(e);
    return LRD_ERROR_MEMORY;
  }
  c->enc_stage = e->stage;
  if (p.threads == 1 && worker_start(&e->wk)) c->wk = &e->wk;
  c->coro.outbeg = c->coro.outptr = e->out;
  c->coro.outend = e->out + cfg_iobuf;
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
  coro_header* h = &e->s.c.coro;
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
  h->inpbeg = h->inpptr = src;
  h->inpend = src + n;
  in->pos += n;
  e->s.taken += n;
  return true;
}

// Input taken where it lies is the caller's only for the call: what the body
// has not read of it is given back, to come again in a later call's buffer.
void give_back(lrd_encoder* e, lrd_in* in) {
  coro_header* h = &e->s.c.coro;
  if (h->inpptr < h->inpend) {
    const size_t left = static_cast<size_t>(h->inpend - h->inpptr);
    in->pos -= left;
    e->s.taken -= left;
  }
  h->inpbeg = h->inpptr = h->inpend = nullptr;
}

}  // namespace

int lrd_encode(lrd_encoder* e, lrd_in* in, lrd_out* out, int end) {
  if (!e) return LRD_ERROR_NULL;
  if (const int r = begin_call(&e->s, in, out, end); r != LRD_OK) return r;
  coder* c = &e->s.c;
  coro_header* h = &c->coro;
  if (!e->caller_history && !e->ring) {
    e->ring = static_cast<uint8_t*>(map_zeroed(cfg_hist_ring, true));
    if (!e->ring) {
      e->s.state = st_failed;
      return LRD_ERROR_MEMORY;
    }
    c->hist = e->ring;
    c->hist_ring = cfg_hist_ring;
  }
  const int r = serve(
      &e->s, encoder_run, in, out, [e](stream_core*, lrd_in* i) { return encoder_feed(e, i); },
      [h](stream_core*) { h->outptr = h->outbeg; }, [c](stream_core*) { return c->idx.failed; });
  if (e->caller_history) give_back(e, in);
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
  prefault pf;
  uint8_t* win = nullptr;
  uint8_t* chunkmap = nullptr;
  const uint8_t* user_hist = nullptr;
  uint8_t* ring = nullptr;  // the body's output blocks, in turn
  uint32_t next_block = 0;
  uint64_t handed = 0;      // whole blocks handed out, in bytes
  uint8_t in[cfg_iobuf];
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
  d->ring = static_cast<uint8_t*>(map_zeroed(cfg_outring, false));
  d->chunkmap = static_cast<uint8_t*>(map_zeroed(cfg_chunkmap_bytes, false));
  if (!d->ring) {
    lrd_decoder_free(d);
    return LRD_ERROR_MEMORY;
  }
  d->committer = p.threads == 1;
  coder* c = &d->s.c;
  c->chunkmap = d->chunkmap;  // without it every reference copies byte by byte
  c->winsize = cfg_decwinsize;
  c->outring = d->ring;
  c->coro.outbeg = c->coro.outptr = d->ring;
  c->coro.outend = d->ring + cfg_iobuf;
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
  if (d->s.state != st_fresh || d->win) return LRD_ERROR_STATE;
  d->user_hist = static_cast<const uint8_t*>(history);
  return LRD_OK;
}

int lrd_decode(lrd_decoder* d, lrd_in* in, lrd_out* out, int end) {
  if (!d) return LRD_ERROR_NULL;
  if (const int r = begin_call(&d->s, in, out, end); r != LRD_OK) return r;
  coder* c = &d->s.c;
  coro_header* h = &c->coro;
  if (d->s.state == st_fresh) {
    if (d->user_hist) {
      c->outmap = d->user_hist;
    } else if (!d->win) {
      d->win = static_cast<uint8_t*>(map_zeroed(cfg_decwinsize, true));
      if (!d->win) {
        d->s.state = st_failed;
        return LRD_ERROR_MEMORY;
      }
      if (d->committer) prefault_start(&d->pf, d->win, cfg_decwinsize, cfg_window_lead, prefault_huge_while_fast);
    }
    c->win = d->win;
    c->winpos = 0;
  }
  return serve(
      &d->s, decoder_run, in, out,
      // The stream is copied in: the body may keep pointers into its input
      // until it asks for more.
      [d](stream_core*, lrd_in* i) {
        if (!i || i->pos >= i->size) return false;
        size_t n = i->size - i->pos;
        n = n < cfg_iobuf ? n : cfg_iobuf;
        std::memcpy(d->in, static_cast<const uint8_t*>(i->src) + i->pos, n);
        i->pos += n;
        d->s.taken += n;
        coro_header* hh = &d->s.c.coro;
        hh->inpbeg = hh->inpptr = d->in;
        hh->inpend = d->in + n;
        return true;
      },
      // The blocks are handed out in turn, so that the body finds its latest
      // output in them (codec/dec_history.h).
      [d, h](stream_core*) {
        d->next_block = (d->next_block + 1) % cfg_outring_blocks;
        h->outbeg = h->outptr = d->ring + size_t{d->next_block} * cfg_iobuf;
        h->outend = h->outbeg + cfg_iobuf;
        d->handed += cfg_iobuf;
        prefault_advance(&d->pf, d->handed);
      },
      [](stream_core*) { return false; });
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
