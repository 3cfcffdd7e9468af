// The encoder object: an encoder state with its index, staging memory,
// helper thread and input history, served from the caller's buffers. It writes
// straight into the caller's output buffer while that has room, and into a
// block of its own otherwise.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "codec/encoder.h"
#include "codec/encoder_fast.h"
#include "codec/history.h"
#include "codec/worker.h"
#include "lib/api_stream.h"
#include "os/memory.h"
#include "os/prefault.h"

using namespace lrd;

static_assert(LRD_WINDOW == cfg_decwinsize);
static_assert(cfg_tblsize == 53687091 && cfg_probe == 20,
              "the program's start-up line prints the table's slots (and its 28-byte probe records)");
static_assert(LRD_HISTORY_RING == cfg_hist_ring);
static_assert(LRD_ENCODER_LAG == cfg_enc_lag);
static_assert(LRD_ENCODER_LAG + uint64_t{cfg_iobuf} <= cfg_hist_lead &&
                  LRD_HISTORY_RING - LRD_WINDOW - LRD_ENCODER_LAG == 1966080,
              "a ring of LRD_HISTORY_RING leaves 1.875 MiB to read ahead");

// A growth of an index block whose new pages a thread commits, so that
// their zero-filling at first touch is not the coder's: the cells are
// rewritten right after they grow, the pool is filled in order after it.
struct enc_growth {
  void* block = nullptr;  // the block as it grew; null: none running
  prefault pf;
};

struct lrd_encoder {
  api_stream s;
  encoder_state st{};
  encoder_resources res;        // what every run of st is set up from
  lrd_encoder_params params;
  worker wk;
  enc_growth growth[2];          // one for each of the index's growing blocks
  void* stage = nullptr;
  uint8_t* ring = nullptr;       // the encoder's own history of its input
  bool caller_history = false;   // set_history: input taken where it lies
  bool flushing = false;         // a flush asked for and not yet done
  uint8_t out[cfg_iobuf];        // output while the caller gives no room
};

namespace {

// Growths smaller than this are left to the coder's touches: a thread would
// cost more than it saves.
constexpr size_t cfg_growth_commit_least = size_t{1} << 20;

// The growing index's memory. A refusal fails the body, which the calls
// report. With helper threads, the new part of a block that grew (by no more
// than its size: a growth, not the jump to the flat table, which is touched
// at random) is committed by a thread of its own while the coder goes on; a
// block's thread ends before the block changes again.
void* enc_resize_index(void* ctx, void* block, size_t old_bytes, size_t new_bytes) {
  lrd_encoder* const e = static_cast<lrd_encoder*>(ctx);
  for (enc_growth& g : e->growth) {
    if (block && g.block == block) {
      prefault_stop(&g.pf);
      g.block = nullptr;
    }
  }
  void* const p = resize_index_zeroed(block, old_bytes, new_bytes);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t from = (old_bytes + page - 1) & ~(page - 1);
  if (!p || e->wk.helpers == 0 || new_bytes > 2 * old_bytes || new_bytes < from + cfg_growth_commit_least)
    return p;
  for (enc_growth& g : e->growth) {
    if (g.block) continue;
    prefault_start(&g.pf, static_cast<uint8_t*>(p) + from, new_bytes - from, new_bytes - from);
    if (g.pf.running) g.block = p;
    break;
  }
  return p;
}

// Ends the commits of the index's growths.
void enc_stop_growths(lrd_encoder* e) {
  for (enc_growth& g : e->growth) {
    prefault_stop(&g.pf);
    g.block = nullptr;
  }
}

// Points the encoder's input at the caller's bytes, copied into the own ring
// an input buffer at a time, or (with the caller's history) taken where they
// are. The ring is made with the first input, so that a history may still
// be set after calls that gave none.
api_fed enc_feed(lrd_encoder* e, lrd_in* in) {
  if (!in || in->pos >= in->size) return api_fed::none;
  encoder_state* c = &e->st;
  const uint8_t* src = static_cast<const uint8_t*>(in->src) + in->pos;
  size_t n = in->size - in->pos;
  if (!e->caller_history) {
    if (!e->ring) {
      e->ring = static_cast<uint8_t*>(map_zeroed(cfg_hist_ring, true));
      if (!e->ring) return api_fed::failed;
      c->hist = e->ring;
      c->hist_ring = cfg_hist_ring;
    }
    // Whole input buffers fill the ring: no piece straddles its end.
    const uint64_t at = e->s.taken % cfg_hist_ring;
    const size_t room = cfg_iobuf - static_cast<size_t>(at % cfg_iobuf);
    n = n < room ? n : room;
    std::memcpy(e->ring + at, src, n);
    src = e->ring + at;
  }
  api_take_input(&e->s, in, src, n);
  return api_fed::some;
}

// Input taken where it lies is the caller's only for the call: what the body
// has not read of it is given back, to come again in a later call's buffer.
void enc_give_back(lrd_encoder* e, lrd_in* in) {
  if (!e->caller_history) return;
  coro_header* h = e->s.h;
  api_give_back(&e->s, in, h->inpptr);
  // An empty buffer where the input stands now.
  h->inpbeg = h->inpptr = h->inpend = nullptr;
  h->inp_before = e->s.taken;
}

// flush: the call is lrd_encode_flush, which returns LRD_OK only once the
// flushed output is all out.
int enc_run(lrd_encoder* e, lrd_in* in, lrd_out* out, bool flush) {
  api_stream* s = &e->s;
  coro_header* h = s->h;
  for (;;) {
    if (!api_hand_out(s, out)) return LRD_OUTPUT_FULL;
    if (s->state == api_flushing) {
      s->state = api_done;
      return LRD_DONE;
    }
    // Straight into the caller's buffer while it has room; the body holds no
    // pointer into its output buffer while it waits.
    const bool direct = out && out->pos < out->size;
    h->outbeg = h->outptr = direct ? static_cast<uint8_t*>(out->dst) + out->pos : e->out;
    h->outend = direct ? static_cast<uint8_t*>(out->dst) + out->size : e->out + cfg_iobuf;
    const api_resumed r = api_resume(s, &e->st, encoder_run, [e, in] { return enc_feed(e, in); });
    const size_t wrote = static_cast<size_t>(h->outptr - h->outbeg);
    if (direct) {
      out->pos += wrote;
      s->handed += wrote;
    } else {
      s->block = e->out;
      s->block_n = wrote;
      s->block_out = 0;
    }
    switch (r) {
      case api_r_failed: return api_error(s);
      case api_r_done: s->state = api_flushing; break;
      case api_r_fault: return LRD_ERROR_STATE;  // the encoder has no faults
      case api_r_input: {
        // Waiting for input: the body has coded all it was given, so any
        // flush asked for is coded; a flush call is over once its output
        // is out too (until then the next flush call asks for nothing new).
        e->st.flush = 0;
        const bool all = api_hand_out(s, out);
        if (all || !flush) e->flushing = false;
        return all || !flush ? LRD_OK : LRD_OUTPUT_FULL;
      }
      case api_r_output: if (direct) return LRD_OUTPUT_FULL; break;
    }
  }
}

}  // namespace

void lrd_encoder_params_default(lrd_encoder_params* p) {
  if (p) *p = lrd_encoder_params LRD_ENCODER_PARAMS_INIT;
}

int lrd_encoder_create(lrd_encoder** enc, const lrd_encoder_params* params) {
  if (!enc) return LRD_ERROR_NULL;
  *enc = nullptr;
  lrd_encoder_params p;
  lrd_encoder_params_default(&p);
  if (params && !api_read_params(&p, sizeof p, params, offsetof(lrd_encoder_params, first_copy) + sizeof p.first_copy))
    return LRD_ERROR_PARAM;
  if (!api_threads_valid(p.threads) || p.first_copy > 1) return LRD_ERROR_PARAM;
  lrd_encoder* e = new (std::nothrow) lrd_encoder;
  if (!e) return LRD_ERROR_MEMORY;
  e->params = p;
  e->s.h = &e->st.coro;
  // Without its staging memory the encoder takes the plain body: the same
  // stream, only more slowly, as lrd_encoder_fallback tells.
  e->stage = map_zeroed(encoder_stage_bytes(), false);
  e->res.cfg.first_copy = p.first_copy == 1;
  e->res.mem = index_mem{e, enc_resize_index};
  e->res.stage = e->stage;
  // One helper keeps up with the caller's thread, whose share of a batch's
  // work is the larger; a second would only take CPU time from the
  // program's writer.
  if (e->stage && worker_start(&e->wk, api_helpers(p.threads, 1)) > 0) e->res.wk = &e->wk;
  if (!encoder_init(&e->st, e->res)) {
    lrd_encoder_free(e);
    return LRD_ERROR_MEMORY;
  }
  *enc = e;
  return LRD_OK;
}

void lrd_encoder_free(lrd_encoder* e) {
  if (!e) return;
  encoder_free(&e->st);  // first: the body's helper may work on the staging memory
  enc_stop_growths(e);
  worker_stop(&e->wk);
  if (e->stage) munmap(e->stage, encoder_stage_bytes());
  if (e->ring) munmap(e->ring, cfg_hist_ring);
  delete e;
}

int lrd_encoder_reset(lrd_encoder* e) {
  if (!e) return LRD_ERROR_NULL;
  api_stream* s = &e->s;
  encoder_state* c = &e->st;
  api_stream_restart(s);  // the body's frame leaves the helper idle as it goes
  e->caller_history = e->flushing = false;
  encoder_free(c);
  enc_stop_growths(e);
  const bool ok = encoder_init(c, e->res);
  // The ring's old bytes are never read: only the index points into it.
  c->hist = e->ring;
  c->hist_ring = e->ring ? cfg_hist_ring : 0;
  if (!ok) {
    s->state = api_failed;
    return LRD_ERROR_MEMORY;
  }
  return LRD_OK;
}

int lrd_encoder_set_history(lrd_encoder* e, const void* history, uint64_t ring) {
  if (!e) return LRD_ERROR_NULL;
  if (!history) return LRD_ERROR_NULL;
  if (ring != 0 && ring < cfg_hist_ring) return LRD_ERROR_PARAM;
  // Once the own ring holds input, the history stays there; the caller's
  // may move, as its bytes stay the same.
  if (e->s.state == api_done || e->s.state == api_failed || (!e->caller_history && e->s.fed))
    return LRD_ERROR_STATE;
  e->caller_history = true;
  e->st.hist = static_cast<const uint8_t*>(history);
  e->st.hist_ring = ring;
  return LRD_OK;
}

int lrd_encode(lrd_encoder* e, lrd_in* in, lrd_out* out, int end) {
  if (!e) return LRD_ERROR_NULL;
  api_stream* s = &e->s;
  if (const int r = api_begin_call(s, in, out, end); r != LRD_OK) return api_result(s, r);
  const int r = enc_run(e, in, out, false);
  enc_give_back(e, in);
  return api_result(s, r);
}

int lrd_encode_flush(lrd_encoder* e, lrd_out* out) {
  if (!e) return LRD_ERROR_NULL;
  api_stream* s = &e->s;
  if (s->end) return api_result(s, LRD_ERROR_STATE);
  if (const int r = api_begin_call(s, nullptr, out, 0); r != LRD_OK) return api_result(s, r);
  if (s->state == api_fresh) return LRD_OK;  // nothing given, nothing held
  if (!e->flushing) {
    // The body finds the flush when it next waits for input with none left.
    e->flushing = true;
    e->st.flush = 1;
    s->poke = true;
  }
  return api_result(s, enc_run(e, nullptr, out, true));
}

int lrd_encoder_stats(const lrd_encoder* e, lrd_stats* st) {
  if (!e || !st) return LRD_ERROR_NULL;
  const encoder_state* c = &e->st;
  *st = lrd_stats{c->bytes, c->chunks, c->discarded, c->collided};
  return LRD_OK;
}

int lrd_encoder_fallback(const lrd_encoder* e) {
  if (!e) return LRD_ERROR_NULL;
  return e->st.body == encoder_body::plain ? 1 : 0;
}

size_t lrd_encode_bound(size_t n) {
  // Every chunk but the last has 64 bytes or more: at most n / 64 of them,
  // each written in full behind a 4-byte escape at worst (a reference is
  // shorter). The last chunk takes at most 8 bytes more, as a reference of a
  // chunk shorter than its 8 bytes.
  const size_t extra = n / cfg_minchunk * fmt_escape_bytes + fmt_ref_bytes;
  return n > SIZE_MAX - extra ? SIZE_MAX : n + extra;
}

int lrd_encode_buffer(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                      const lrd_encoder_params* params) {
  if (!dst_size || (src_size > 0 && !src) || (dst_capacity > 0 && !dst)) return LRD_ERROR_NULL;
  *dst_size = 0;
  lrd_encoder* e = nullptr;
  int r = lrd_encoder_create(&e, params);
  if (r != LRD_OK) return r;
  static const uint8_t none = 0;
  // The whole input is the history: no ring.
  lrd_encoder_set_history(e, src_size ? src : &none, 0);
  lrd_in in{src, src_size, 0};
  lrd_out out{dst, dst_capacity, 0};
  r = lrd_encode(e, &in, &out, 1);
  lrd_encoder_free(e);
  if (r == LRD_DONE) {
    *dst_size = out.pos;
    return LRD_OK;
  }
  return r == LRD_OK || r == LRD_OUTPUT_FULL ? LRD_OUTPUT_FULL : r;
}
