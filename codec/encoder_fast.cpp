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

#include "chunk/cutscan.h"
#include "chunk/digest_batch.h"
#include "codec/encoder_rule.h"
#include "codec/format.h"
#include "codec/history.h"
#include "codec/worker.h"

namespace lrd {

namespace {

// Fresh input bytes per batch. The unfinished chunk of a batch (at most
// cfg_maxchunk - 1 bytes) is carried to the front of the next one, into
// tail_room bytes before the fresh ones, which so stay where they were
// copied and scanned.
constexpr size_t batch_new = size_t{512} << 10;
constexpr size_t tail_room = size_t{64} << 10;
static_assert(tail_room >= cfg_maxchunk && tail_room % 64 == 0, "a carried chunk fits, on whole bit words");
constexpr size_t scan_hist = cutscan_history;
constexpr size_t data_cap = tail_room + batch_new;
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
// its batch and the two after it.
static_assert(3 * (batch_new + cfg_maxchunk) <= cfg_enc_lag, "the history keeps what a check reads");
static_assert(scan_hist + 1 == cfg_hashwin, "the staged history completes the first window");

// A staging area, taken once for the whole run (about 1.3 MiB; three of
// them). The fresh bytes of a batch go to data + tail_room; the batch's
// first chunk, carried from the one before, ends right there, with the 15
// bytes before it that cut_candidates reads before its first position (at the
// very start zero, as the chunker's window begins; no cut at a chunk offset
// of 63 or more reads them anyway).
//
// A batch that lies whole in a ring history, with the bytes before it, is
// not staged: its data is there, in place (a ring's bytes stay the input's
// while they are coded; a mapped file's could change under the run, and
// cuts and literals must come from the same bytes, so a mapping is staged).
struct stage_area {
  alignas(64) uint8_t buf[scan_hist + data_cap];
  uint64_t bits[data_cap / 64];
  chunk_span spans[max_chunks];
  uint8_t keys[max_chunks][16];
  size_t fresh;   // fresh bytes, at data + tail_room
  size_t first;   // data offset of the batch's first chunk
  size_t rest;    // data offset of its unfinished chunk, carried to the next batch
  size_t nch;     // chunks found
  bool eof;       // the input ended in this batch: its last chunk is the final one
  // Fresh bytes [copy_at, fresh) are still in the input's history, at input
  // offsets from copy_off on: the scan pieces copy them in as they go.
  size_t copy_at;
  uint64_t copy_off;
  const uint8_t* hist;
  uint64_t hist_ring;
  uint8_t* dat;  // the batch's data: buf + scan_hist, or in the ring (then never written)
  uint8_t* data() { return dat; }
  const uint8_t* data() const { return dat; }
  bool in_place() const { return dat != buf + scan_hist; }
};

// The owner may move its history while the body waits for input (its bytes
// stay the same): a batch used where it lay is then copied in from the new
// one, with the carried chunk and the bytes before it, and its chunks follow.
void restage(stage_area* st, const uint8_t* hist, uint64_t ring) {
  if (!st || !st->in_place()) return;
  uint8_t* const data = st->buf + scan_hist;
  hist_copy(hist, ring, st->copy_off - tail_room - scan_hist, st->buf, scan_hist + tail_room + st->fresh);
  for (size_t j = 0; j < st->nch; j++) st->spans[j].p = data + (st->spans[j].p - st->dat);
  st->dat = data;
}

// A scan piece copies its fresh bytes in from the history, where they are
// not staged yet, and scans them but for its first 64 positions, whose
// windows reach into the piece before: walk_batch scans those.
void scan_piece_run(stage_area* st, uint32_t k) {
  uint8_t* const fresh = st->data() + tail_room;
  const size_t from = k * scan_piece;
  const size_t to = std::min(st->fresh, from + scan_piece);
  if (from >= to) return;
  const size_t a = std::max(from, st->copy_at);
  if (a < to) hist_copy(st->hist, st->hist_ring, st->copy_off + (a - st->copy_at), fresh + a, to - a);
  if (to - from > 64) cut_candidates(fresh + from + 64, to - from - 64, st->bits + (tail_room + from) / 64 + 1);
}

void digest_piece_run(stage_area* st, uint32_t k) {
  const size_t from = k * digest_piece;
  const size_t n = std::min(st->nch - from, digest_piece);
  digest_batch(st->spans + from, n, st->keys + from);
}

void walk_batch(stage_area* st, const stage_area* prev);

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
    digest_piece_run(j->dig, k);
    return;
  }
  scan_piece_run(j->scan, k - j->ndig);
  // The acquire makes every piece's bits visible to the walk.
  if (j->scanned.fetch_add(1, std::memory_order_acq_rel) + 1 == j->nscan) walk_batch(j->scan, j->prev);
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

// Once `st` is scanned: its first chunk, the unfinished one of `prev` (null
// at the start), carried in front of its fresh bytes; the positions the
// pieces left, whose windows reach across; and its chunks from the length
// rules.
void walk_batch(stage_area* st, const stage_area* prev) {
  uint8_t* const data = st->data();
  const size_t end = tail_room + st->fresh;
  size_t t = 0;  // the carried chunk's length
  if (prev) {
    t = tail_room + prev->fresh - prev->rest;
    // In place, the input before the fresh bytes is the carried chunk already.
    if (!st->in_place())
      std::memcpy(data + tail_room - t - scan_hist, prev->data() + prev->rest - scan_hist, t + scan_hist);
  } else {
    std::memset(data + tail_room - scan_hist, 0, scan_hist);
  }
  st->first = tail_room - t;
  // The carried chunk and the first 64 fresh positions, from the bit word the
  // chunk starts in (bits before its start are never read); then the first
  // positions of every later piece.
  const size_t from = st->first & ~size_t{63};
  const size_t head = std::min(end, tail_room + 64) - from;
  cut_candidates(data + from, head, st->bits + from / 64);
  for (size_t p = scan_piece; p < st->fresh; p += scan_piece)
    cut_candidates_plain(data + tail_room + p, std::min<size_t>(64, st->fresh - p), st->bits + (tail_room + p) / 64);
  size_t nch = 0, start = st->first;
  for (;;) {
    const uint32_t len = cutscan_next_cut(st->bits, start, end);
    if (len == 0) break;
    st->spans[nch++] = chunk_span{data + start, len};
    start += len;
  }
  if (st->eof) st->spans[nch++] = chunk_span{data + start, static_cast<uint32_t>(end - start)};
  st->nch = nch;
  st->rest = start;
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
  unsigned next_area = 1;
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
      scan->dat = scan->buf + scan_hist;
      uint8_t* const fresh = scan->data() + tail_room;
      size_t filled = 0;
      scan->eof = false;
      scan->copy_at = 0;
      scan->copy_off = coro_input_offset(h);
      while (filled < batch_new) {
        if (h->inpptr < h->inpend) {
          const size_t k = std::min(static_cast<size_t>(h->inpend - h->inpptr), batch_new - filled);
          const uint64_t o = coro_input_offset(h);
          const bool in_hist = c->hist && h->inpptr == c->hist + (c->hist_ring ? o % c->hist_ring : o) &&
                               o == scan->copy_off + (filled - scan->copy_at);
          if (!in_hist) {
            // The bytes before it first.
            if (scan->copy_at < filled)
              hist_copy(c->hist, c->hist_ring, scan->copy_off, fresh + scan->copy_at, filled - scan->copy_at);
            std::memcpy(fresh + filled, h->inpptr, k);
            scan->copy_at = filled + k;
            scan->copy_off = o + k;
          }
          h->inpptr += k;
          filled += k;
          continue;
        }
        const uint8_t* const hist = c->hist;
        const uint64_t hist_ring = c->hist_ring;
        co_await coro_yield(h, REQ_INPUT);
        if (c->hist != hist || c->hist_ring != hist_ring) {
          restage(code, c->hist, c->hist_ring);
          restage(dig, c->hist, c->hist_ring);
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
      scan->fresh = filled;
      // The history as it stands now: the owner may have moved it meanwhile.
      scan->hist = c->hist;
      scan->hist_ring = c->hist_ring;
      // All of it in a ring, with the carried chunk and its 15 bytes before
      // it, none past the ring's end: used where it lies.
      const uint64_t lead = tail_room + scan_hist;
      if (c->hist && c->hist_ring && scan->copy_at == 0 && filled > 0 && scan->copy_off >= lead &&
          (scan->copy_off - lead) % c->hist_ring + lead + filled <= c->hist_ring) {
        scan->dat = const_cast<uint8_t*>(c->hist) + scan->copy_off % c->hist_ring - tail_room;
        scan->copy_at = filled;  // nothing to copy in
      }
    }
    post_job(wk, &jb, dig, take ? scan : nullptr, walked);

    if (code) {
      s.st = code;
      s.j = 0;
      s.n = code->nch;
      s.final_batch = code->eof;
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
      scan = &areas[next_area];
      next_area = (next_area + 1) % 3;
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
