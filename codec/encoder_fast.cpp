// The batched encoder body: the same stream and counters as the plain body in
// encoder.cpp, with the per-byte work done a batch at a time.
//
// Why batches: in the plain body every byte pays a dependent CRC step and its
// share of an MD5 transform, and every chunk a cold probe of the 1 GiB index.
// None of that needs the byte-at-a-time order. A cut depends only on the 16
// bytes ending at it and on the chunk's length, so cut_candidates finds the
// candidates of a whole staged buffer in independent lanes and a short serial
// pass applies the length rules; chunks are independent for their keys, so
// digest_batch interleaves their transforms; and once all keys of a batch are
// known, the probe windows of the next chunks can be prefetched while the
// current one is looked up. Only the index work and the output stay in chunk
// order, exactly as the plain body does them.
#include "codec/encoder_fast.h"

#include <atomic>
#include <cstring>

#include "chunk/cutscan.h"
#include "chunk/digest_batch.h"
#include "codec/coder.h"
#include "codec/format.h"

namespace {

// Fresh input bytes per batch. The unfinished chunk of a batch (at most
// cfg_maxchunk - 1 bytes) is carried to the front of the next one.
constexpr size_t batch_new = size_t{1} << 20;
constexpr size_t hist = cutscan_history;
constexpr size_t data_cap = cfg_maxchunk + batch_new;
constexpr size_t max_chunks = data_cap / cfg_minchunk + 2;
// Chunks ahead whose probe windows are prefetched: enough to cover a DRAM
// miss with the work of the chunks in between.
constexpr size_t prefetch_ahead = 12;

// The staging area, taken once for the whole run (about 2.5 MiB). The 15
// history bytes in front of the data are the ones cut_candidates reads before
// its first position; at the very start they are zero, as the chunker's
// window begins. No cut at a chunk offset of 63 or more reads them anyway.
struct stage_area {
  alignas(64) uint8_t buf[hist + data_cap];
  uint64_t bits[(data_cap + 63) / 64];
  chunk_span spans[max_chunks];
  uint8_t keys[max_chunks][16];
};
stage_area g_stage;

std::atomic<bool> g_force_plain{false};

// Where the chunk loop stands in the current batch, and the output it could
// not finish because the output buffer filled up.
struct batch_state {
  size_t j = 0;            // next chunk of the batch to code
  size_t n = 0;            // chunks in the batch
  bool final_batch = false;  // the last chunk of the batch is the final chunk
  uint8_t hdr[fmt_ref_bytes];
  const uint8_t* out_p[2];  // pending output: a header, then a chunk's bytes
  size_t out_n[2];
};

inline uint32_t home_of(const uint8_t* key, uint32_t tblsize) {
  uint32_t w;
  std::memcpy(&w, key, 4);  // little-endian host, as index.cpp reads it
  return w % tblsize;
}

inline void prefetch_home(const chunk_index* ix, const uint8_t* key) {
  const uint8_t* slot = reinterpret_cast<const uint8_t*>(ix->tbl + home_of(key, ix->cfg.tblsize));
  // The home slot and the one after it: most lookups stop there; a miss also
  // writes the home slot.
  __builtin_prefetch(slot, 1, 3);
  __builtin_prefetch(slot + 39, 1, 3);
}

// Puts len bytes in the output buffer when they fit without filling it; a
// write that fills it must hand the buffer over first, so that is left to the
// coroutine.
inline bool put_room(coro_header* h, const uint8_t* p, size_t len) {
  if (static_cast<size_t>(h->outend - h->outptr) <= len) return false;
  std::memcpy(h->outptr, p, len);
  h->outptr += len;
  return true;
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
  const chunk_span* spans = g_stage.spans;
  uint8_t(*keys)[16] = g_stage.keys;
  uint32_t pos = c->pos;
  uint64_t sum = c->sum, x = c->x, discard = c->c_discard;
  const size_t n = s->n;
  bool pending = false;
  size_t j = s->j;
  for (; j < n && !pending; j++) {
    if (j + prefetch_ahead < n) prefetch_home(ix, keys[j + prefetch_ahead]);
    const uint8_t* key = keys[j];
    const uint32_t len = spans[j].len;
    const uint8_t* p = spans[j].p;
    bool as_ref = false;
    uint32_t distance = 0;
    if (index_find_or_add(ix, key, pos)) {
      const uint32_t m = ix->match_pos;
      distance = m < pos ? pos - m : pos - m + poswrap;
      if (distance < window)
        as_ref = true;
      else
        discard++;
    }
    if (as_ref) {
      uint8_t* hd = s->hdr;
      hd[0] = fmt_marker0;
      hd[1] = fmt_marker1;
      hd[2] = fmt_marker2;
      hd[3] = fmt_kind_ref;
      std::memcpy(hd + 4, &distance, 4);  // little-endian host
      if (!put_room(h, hd, fmt_ref_bytes)) {
        s->out_p[0] = hd;
        s->out_n[0] = fmt_ref_bytes;
        s->out_n[1] = 0;
        pending = true;
      }
    } else {
      size_t hn = 0;
      if (len >= 4 && fmt_needs_escape(p)) {
        uint8_t* hd = s->hdr;
        hd[0] = fmt_marker0;
        hd[1] = fmt_marker1;
        hd[2] = fmt_marker2;
        hd[3] = fmt_kind_escape;
        hn = fmt_escape_bytes;
      }
      if (static_cast<size_t>(h->outend - h->outptr) > hn + len) {
        if (hn) {
          std::memcpy(h->outptr, s->hdr, hn);
          h->outptr += hn;
        }
        std::memcpy(h->outptr, p, len);
        h->outptr += len;
      } else {
        s->out_p[0] = s->hdr;
        s->out_n[0] = hn;
        s->out_p[1] = p;
        s->out_n[1] = len;
        pending = true;
      }
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

}  // namespace

void encoder_force_plain(bool plain) { g_force_plain.store(plain, std::memory_order_relaxed); }

coro_task encoder_run(coder* c) {
  return g_force_plain.load(std::memory_order_relaxed) ? encoder_run_plain(c) : encoder_run_fast(c);
}

coro_task encoder_run_fast(coder* c) {
  coro_header* h = &c->coro;
  stage_area& st = g_stage;
  uint8_t* const data = st.buf + hist;

  chunker_init(&c->ck);
  c->x = 0;
  c->sum = 0;
  c->pos = 0;
  c->c_discard = 0;
  std::memset(st.buf, 0, hist);

  batch_state s;
  size_t tail = 0;  // bytes of the unfinished chunk at the front of data
  bool eof = false;
  for (;;) {
    // Stage up to batch_new fresh bytes behind the carried-over chunk.
    size_t filled = tail;
    const size_t want = tail + batch_new;
    while (filled < want) {
      if (h->inpptr < h->inpend) {
        size_t k = static_cast<size_t>(h->inpend - h->inpptr);
        if (k > want - filled) k = want - filled;
        std::memcpy(data + filled, h->inpptr, k);
        h->inpptr += k;
        filled += k;
        continue;
      }
      co_await coro_yield(h, REQ_INPUT);
      if (h->inpptr >= h->inpend && h->f_eof) {
        eof = true;
        break;
      }
    }

    // Cuts: candidates of the whole staged data (the carried chunk is scanned
    // again: its bits are at other indexes now, and it is short on average),
    // then the length rules from each chunk's start.
    cut_candidates(data, filled, st.bits);
    size_t nch = 0, start = 0;
    for (;;) {
      const uint32_t len = cutscan_next_cut(st.bits, start, filled);
      if (len == 0) break;
      st.spans[nch++] = chunk_span{data + start, len};
      start += len;
    }
    if (eof) st.spans[nch++] = chunk_span{data + start, static_cast<uint32_t>(filled - start)};
    digest_batch(st.spans, nch, st.keys);

    s.j = 0;
    s.n = nch;
    s.final_batch = eof;
    while (run_chunks(c, &s)) {
      for (int k = 0; k < 2; k++) {
        const uint8_t* src = s.out_p[k];
        size_t len = s.out_n[k];
        CORO_WRITE_BLOCK(h, src, len);
      }
    }
    if (eof) break;

    // Carry the unfinished chunk, with the history in front of it, to the front.
    tail = filled - start;
    std::memmove(st.buf, data + start - hist, tail + hist);
  }
  co_await coro_yield(h, REQ_DONE);
}
