// The batched encoder body: the same stream and counters as the plain body in
// encoder.cpp, with the per-byte work done a batch at a time.
//
// Why batches: in the plain body every byte pays a dependent CRC step and its
// share of an MD5 transform, and every chunk a cold probe of the index.
// None of that needs the byte-at-a-time order. A cut depends only on the 16
// bytes ending at it and on the chunk's length, so cut_candidates finds the
// candidates of a whole staged buffer in independent lanes and a short serial
// pass applies the length rules; chunks are independent for their keys, so
// digest_batch interleaves their transforms; and once all keys of a batch are
// known, the probe windows of the next chunks can be prefetched while the
// current one is looked up. Only the index work and the output stay in chunk
// order, exactly as the plain body does them.
//
// Two threads, three batches: while the body codes batch i (index, byte
// check, output: work that must stay in chunk order), the helper
// (codec/worker.h) digests batch i+1, whose cuts are known, and copies in and
// scans batch i+2. The body then walks the cuts of batch i+2, a short serial
// pass. Whichever thread is free takes the next piece of digest or scan, and
// the cut bits and keys do not depend on who computed them, so the stream
// stays the same.
#include "codec/encoder_fast.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "codec/encoder_rule.h"
#include "codec/encoder_stage.h"
#include "codec/format.h"
#include "codec/worker.h"

namespace lrd {

namespace {

// Chunks ahead whose probe windows are prefetched: enough to cover a DRAM
// miss with the work of the chunks in between.
constexpr size_t prefetch_ahead = 32;

// One job for the helper while the body codes: the digest of one batch, then
// the scan of the next, whose cuts the thread that finishes its last scan
// piece then walks.
struct job {
  stage_area* dig = nullptr;   // batch to digest, or null
  stage_area* scan = nullptr;  // batch to copy in and scan, or null
  const stage_area* prev = nullptr;  // the batch before scan, whose unfinished chunk it carries on
  uint32_t ndig = 0, nscan = 0;
  std::atomic<uint32_t> scanned{0};
};

void job_piece(void* ctx, uint32_t k) {
  job* j = static_cast<job*>(ctx);
  if (k < j->ndig) {
    stage_digest_piece(j->dig, k);
    return;
  }
  stage_scan_piece(j->scan, k - j->ndig);
  // The acquire makes every piece's bits visible to the walk.
  if (j->scanned.fetch_add(1, std::memory_order_acq_rel) + 1 == j->nscan) stage_walk(j->scan, j->prev);
}

void post_job(worker* wk, job* j, stage_area* dig, stage_area* scan, const stage_area* prev) {
  j->dig = dig;
  j->scan = scan;
  j->prev = prev;
  j->ndig = dig ? static_cast<uint32_t>((dig->nch + digest_piece - 1) / digest_piece) : 0;
  // An empty batch still has its cuts walked, by one piece.
  j->nscan = scan ? std::max<uint32_t>(1, static_cast<uint32_t>((scan->fresh + scan_piece - 1) / scan_piece)) : 0;
  j->scanned.store(0, std::memory_order_relaxed);
  worker_begin(wk, job_piece, j, j->ndig + j->nscan);
}

// Where the chunk loop stands in the current batch, and the output it could
// not finish because the output buffer filled up.
struct batch_state {
  stage_area* st = nullptr;
  size_t j = 0;            // next chunk of the batch to code
  size_t n = 0;            // chunks in the batch
  bool final_batch = false;  // the last chunk of the batch is the final chunk
  uint8_t hdr[fmt_ref_bytes];
  const uint8_t* out_p[2];  // pending output: a header, then a chunk's bytes
  size_t out_n[2];
  void start(stage_area* a) {
    st = a;
    j = 0;
    n = a->nch;
    final_batch = a->eof;
  }
};

// Puts a chunk's header (hn bytes of s->hdr) and bytes (p, len) in the output
// buffer when they fit without filling it. A write that fills the buffer must
// hand it over first, so that is left to the coroutine: false, with the
// output pending in s.
inline bool put_chunk(coro_header* h, batch_state* s, size_t hn, const uint8_t* p, size_t len) {
  if (static_cast<size_t>(h->outend - h->outptr) > hn + len) {
    std::memcpy(h->outptr, s->hdr, hn);
    h->outptr += hn;
    std::memcpy(h->outptr, p, len);
    h->outptr += len;
    return true;
  }
  s->out_p[0] = s->hdr;
  s->out_n[0] = hn;
  s->out_p[1] = p;
  s->out_n[1] = len;
  return false;
}

// Codes chunks s->j.. of the batch: lookup, distance rule, output, counters,
// sweep, in the plain order. Returns true when a chunk's output did not fit
// (s->out_* hold it, s->j is past that chunk); false when the batch is done.
// A plain function, so the hot loop keeps its values in registers.
bool run_chunks(encoder_state* c, batch_state* s) {
  coro_header* h = &c->coro;
  chunk_index* ix = &c->idx;
  const chunk_span* spans = s->st->spans;
  uint8_t(*keys)[16] = s->st->keys;
  uint32_t pos = c->pos;
  uint64_t bytes = c->bytes, chunks = c->chunks;
  const size_t n = s->n;
  bool pending = false;
  size_t j = s->j;
  for (; j < n && !pending; j++) {
    if (j + prefetch_ahead < n) index_prefetch(ix, keys[j + prefetch_ahead]);
    const uint32_t len = spans[j].len;
    const uint8_t* p = spans[j].p;
    if (const uint32_t distance = enc_ref_distance(c, keys[j], pos, bytes, p, len)) {
      fmt_put_ref(s->hdr, distance);
      pending = !put_chunk(h, s, fmt_ref_bytes, s->hdr, 0);
    } else {
      size_t hn = 0;
      if (len >= 4 && fmt_needs_escape(p)) {
        fmt_put_header(s->hdr, fmt_kind_escape);
        hn = fmt_escape_bytes;
      }
      pending = !put_chunk(h, s, hn, p, len);
    }
    enc_chunk_done(ix, len, s->final_batch && j + 1 == n, &pos, &bytes, &chunks);
  }
  s->j = j;
  c->pos = pos;
  c->bytes = bytes;
  c->chunks = chunks;
  return pending;
}

// Leaves the helper idle before the staging memory it may work on goes: the
// owner can end a run in the middle of a job.
struct idle_on_exit {
  worker* wk;
  ~idle_on_exit() { worker_wait_idle(wk); }
};

}  // namespace

size_t encoder_stage_bytes() { return 3 * sizeof(stage_area); }

coro_task encoder_run_fast(encoder_state* c) {
  coro_header* h = &c->coro;
  enc_start(c);
  worker solo;  // no helper: every piece is the body's own
  worker* const wk = c->wk ? c->wk : &solo;
  const idle_on_exit idle{wk};

  // Batches in turn: `code` is coded while `dig` is digested and `scan` is
  // taken in and scanned; then `scan`'s cuts are walked and the three move on.
  stage_area* const areas = static_cast<stage_area*>(c->stage);
  stage_area* code = nullptr;
  stage_area* dig = nullptr;
  stage_area* scan = &areas[0];
  const stage_area* walked = nullptr;  // the batch walked last: its unfinished chunk is carried on
  job jb;
  batch_state s;
  bool more = true;  // input remains to be taken
  bool draining = false;  // a flush: the batches in flight are coded before more input is taken
  for (;;) {
    const bool take = more && !draining;
    if (take) {
      // Take in up to batch_new fresh bytes. Input that lies in the history
      // is copied in by the scan pieces, on both threads; other input here.
      stage_begin(scan, coro_input_offset(h));
      size_t filled = 0;
      while (filled < batch_new) {
        if (h->inpptr < h->inpend) {
          stage_take(c, scan, &filled);
          continue;
        }
        const uint8_t* const hist = c->hist;
        const uint64_t hist_ring = c->hist_ring;
        co_await coro_yield(h, REQ_INPUT);
        if (c->hist != hist || c->hist_ring != hist_ring) {
          stage_rehome(code, c->hist, c->hist_ring);
          stage_rehome(dig, c->hist, c->hist_ring);
        }
        if (h->inpptr >= h->inpend && h->f_eof) {
          scan->eof = true;
          break;
        }
        // A flush ends the batch where the input ends: its unfinished chunk
        // is carried on as at any batch's end, so no cut moves.
        if (h->inpptr >= h->inpend && c->flush) {
          draining = true;
          break;
        }
      }
      stage_end(c, scan, filled);
    }
    post_job(wk, &jb, dig, take ? scan : nullptr, walked);

    if (code) {
      s.start(code);
      while (run_chunks(c, &s)) {
        for (int k = 0; k < 2; k++) {
          const uint8_t* src = s.out_p[k];
          size_t len = s.out_n[k];
          CORO_WRITE_BLOCK(h, src, len);
        }
      }
    }
    worker_end(wk);
    if (c->idx.failed) CORO_FAIL(h, coro_no_memory);
    if (!more && !dig) break;
    code = dig;
    dig = nullptr;
    if (take) {
      walked = scan;
      more = !scan->eof;
      dig = scan;
      scan = &areas[(scan - areas + 1) % 3];
    }
    if (draining && !code && !dig) {
      // Every chunk cut so far is coded: the flush is done.
      draining = false;
      c->flush = 0;
    }
  }
  co_await coro_yield(h, REQ_DONE);
}

}  // namespace lrd
