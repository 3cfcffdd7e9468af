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
// A second thread: the cut scan alone runs below 1 GB/s on one core, so the
// worker (codec/worker.h) scans batch i+1 while the body codes batch i, and
// both then share the digest of batch i+1. The cut bits and keys do not depend
// on who computed them, so the stream stays the same.
#include "codec/encoder_fast.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "chunk/cutscan.h"
#include "chunk/digest_batch.h"
#include "codec/format.h"
#include "codec/history.h"
#include "codec/worker.h"

namespace {

// Fresh input bytes per batch. The unfinished chunk of a batch (at most
// cfg_maxchunk - 1 bytes) is carried to the front of the next one.
constexpr size_t batch_new = size_t{1} << 20;
constexpr size_t scan_hist = cutscan_history;
constexpr size_t data_cap = cfg_maxchunk + batch_new;
constexpr size_t max_chunks = data_cap / cfg_minchunk + 2;
// Chunks ahead whose probe windows are prefetched: enough to cover a DRAM
// miss with the work of the chunks in between.
constexpr size_t prefetch_ahead = 32;

// Pieces of work: scan pieces are whole multiples of 64 bytes, so that each
// owns its words of the bit map.
constexpr size_t scan_piece = size_t{64} << 10;
constexpr size_t digest_piece = 256;  // chunks
static_assert(scan_piece % 64 == 0, "a scan piece owns whole words of the bit map");
// From a chunk being coded, the input taken in reaches at most to the end of
// its batch, the next batch and the rest of one read of the owner's.
static_assert(2 * (batch_new + cfg_maxchunk) + cfg_hist_read <= cfg_hist_lead, "the history ring keeps the window");
static_assert(scan_hist + 1 == cfg_hashwin, "the staged history completes the first window");

// A staging area, taken once for the whole run (about 2.5 MiB; two of them,
// one being coded while the other is filled and scanned). The 15 history
// bytes in front of the data are the ones cut_candidates reads before its
// first position; at the very start they are zero, as the chunker's window
// begins. No cut at a chunk offset of 63 or more reads them anyway.
struct stage_area {
  alignas(64) uint8_t buf[scan_hist + data_cap];
  uint64_t bits[(data_cap + 63) / 64];
  chunk_span spans[max_chunks];
  uint8_t keys[max_chunks][16];
  size_t filled;  // staged data bytes
  size_t nch;     // chunks found in them
  bool eof;       // the input ended in this batch: its last chunk is the final one
};

void scan_piece_fn(void* ctx, uint32_t k) {
  stage_area* st = static_cast<stage_area*>(ctx);
  const size_t from = k * scan_piece;
  const size_t to = std::min(st->filled, from + scan_piece);
  cut_candidates(st->buf + scan_hist + from, to - from, st->bits + from / 64);
}

void digest_piece_fn(void* ctx, uint32_t k) {
  stage_area* st = static_cast<stage_area*>(ctx);
  const size_t from = k * digest_piece;
  const size_t n = std::min(st->nch - from, digest_piece);
  digest_batch(st->spans + from, n, st->keys + from);
}

// Once the scan of `nxt` is done: its chunks from the length rules, their
// keys, and its unfinished chunk, with the history in front of it, carried
// to the front of `cur`'s buffer. Returns the carried chunk's length.
size_t finish_batch(worker* wk, stage_area* nxt, stage_area* cur) {
  uint8_t* const data = nxt->buf + scan_hist;
  const size_t filled = nxt->filled;
  size_t nch = 0, start = 0;
  for (;;) {
    const uint32_t len = cutscan_next_cut(nxt->bits, start, filled);
    if (len == 0) break;
    nxt->spans[nch++] = chunk_span{data + start, len};
    start += len;
  }
  if (nxt->eof) nxt->spans[nch++] = chunk_span{data + start, static_cast<uint32_t>(filled - start)};
  nxt->nch = nch;
  worker_begin(wk, digest_piece_fn, nxt, static_cast<uint32_t>((nch + digest_piece - 1) / digest_piece));
  worker_end(wk);
  if (nxt->eof) return 0;
  std::memcpy(cur->buf, data + start - scan_hist, filled - start + scan_hist);
  return filled - start;
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
bool run_chunks(coder* c, batch_state* s) {
  coro_header* h = &c->coro;
  chunk_index* ix = &c->idx;
  const uint32_t poswrap = ix->cfg.poswrap;
  const uint32_t window = ix->cfg.decwinsize;
  const chunk_span* spans = s->st->spans;
  uint8_t(*keys)[16] = s->st->keys;
  uint32_t pos = c->pos;
  uint64_t sum = c->sum, x = c->x, discard = c->c_discard;
  const size_t n = s->n;
  bool pending = false;
  size_t j = s->j;
  for (; j < n && !pending; j++) {
    if (j + prefetch_ahead < n) index_prefetch(ix, keys[j + prefetch_ahead]);
    const uint32_t len = spans[j].len;
    const uint8_t* p = spans[j].p;
    bool as_ref = false;
    if (index_find_or_add(ix, keys[j], pos)) {
      const uint32_t distance = pos_distance(pos, ix->match_pos, poswrap);
      if (distance >= window) {
        discard++;
      } else if (hist_equal(c, sum, distance, p, len)) {
        as_ref = true;
        fmt_put_ref(s->hdr, distance);
        pending = !put_chunk(h, s, fmt_ref_bytes, s->hdr, 0);
      } else {
        c->c_collide++;
      }
    }
    if (!as_ref) {
      size_t hn = 0;
      if (len >= 4 && fmt_needs_escape(p)) {
        fmt_put_header(s->hdr, fmt_kind_escape);
        hn = fmt_escape_bytes;
      }
      pending = !put_chunk(h, s, hn, p, len);
    }
    sum += len;
    pos += len;
    if (pos >= poswrap) pos -= poswrap;
    x++;
    if (!(s->final_batch && j + 1 == n)) index_sweep(ix, len, pos);
  }
  s->j = j;
  c->pos = pos;
  c->sum = sum;
  c->x = x;
  c->c_discard = discard;
  return pending;
}

// Leaves the helper idle before the staging memory it may work on goes: the
// owner can end a run in the middle of a job.
struct idle_on_exit {
  worker* wk;
  ~idle_on_exit() { worker_wait_idle(wk); }
};

}  // namespace

size_t encoder_stage_bytes() { return 2 * sizeof(stage_area); }

coro_task encoder_run_fast(coder* c) {
  coro_header* h = &c->coro;

  chunker_init(&c->ck);
  c->x = 0;
  c->sum = 0;
  c->pos = 0;
  c->c_discard = 0;
  c->c_collide = 0;
  worker solo;  // no helper: every piece is the body's own
  worker* const wk = c->wk ? c->wk : &solo;
  const idle_on_exit idle{wk};

  // Batch i is coded from `cur` while batch i+1 is filled into `nxt` and
  // scanned by the worker; then both threads digest batch i+1, its unfinished
  // chunk is carried to the front of cur's buffer, and the two swap.
  stage_area* cur = static_cast<stage_area*>(c->enc_stage);
  stage_area* nxt = cur + 1;
  bool have_cur = false;
  size_t tail = 0;  // bytes of the unfinished chunk at the front of nxt's data
  std::memset(nxt->buf, 0, scan_hist);
  batch_state s;
  for (;;) {
    const bool more = !(have_cur && cur->eof);
    if (more) {
      // Stage up to batch_new fresh bytes behind the carried-over chunk.
      uint8_t* const data = nxt->buf + scan_hist;
      size_t filled = tail;
      const size_t want = tail + batch_new;
      nxt->eof = false;
      while (filled < want) {
        if (h->inpptr < h->inpend) {
          size_t k = std::min(static_cast<size_t>(h->inpend - h->inpptr), want - filled);
          std::memcpy(data + filled, h->inpptr, k);
          h->inpptr += k;
          filled += k;
          continue;
        }
        co_await coro_yield(h, REQ_INPUT);
        if (h->inpptr >= h->inpend && h->f_eof) {
          nxt->eof = true;
          break;
        }
      }
      nxt->filled = filled;
      // Candidates of the whole staged data (the carried chunk is scanned
      // again: its bits are at other indexes now, and it is short on average).
      worker_begin(wk, scan_piece_fn, nxt, static_cast<uint32_t>((filled + scan_piece - 1) / scan_piece));
    }

    if (have_cur) {
      s.st = cur;
      s.j = 0;
      s.n = cur->nch;
      s.final_batch = cur->eof;
      while (run_chunks(c, &s)) {
        for (int k = 0; k < 2; k++) {
          const uint8_t* src = s.out_p[k];
          size_t len = s.out_n[k];
          CORO_WRITE_BLOCK(h, src, len);
        }
      }
    }
    if (!more) break;
    worker_end(wk);
    tail = finish_batch(wk, nxt, cur);
    std::swap(cur, nxt);
    have_cur = true;
  }
  co_await coro_yield(h, REQ_DONE);
}
