// The coders see buffers of the caller's and nothing else: these loops fill
// the one side from the input and hand the other to the writer thread.
#include "driver/serve.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "driver/fdio.h"
#include "driver/out_queue.h"
#include "driver/progress.h"

namespace {

// The status of a failed read or write, as the run's message.
status read_error(const status& s, const serve_io& io) { return status::message(s.line(io.in_name, "reading")); }
status write_error(const status& s, const serve_io& io) { return status::message(s.line(io.out_name, "writing")); }

// A call of the library's that failed: memory (`what` could not be had), or
// a call the loop got wrong.
status library_error(int r, const std::string& what) {
  if (r != LRD_ERROR_MEMORY) return status::message(std::string("internal error: ") + lrd_error_string(r));
  return status::message(status::sys(ENOMEM).line(what.c_str(), ""));
}

// The input a loop has read so far, and what it gives the coder next.
struct input_side {
  input_source* in;
  lrd_in bi{nullptr, 0, 0};
  uint64_t got = 0;
  bool end = false;
};

// Points s->bi at the next bytes of the input (none at its end).
status next_input(input_side* s, const serve_io& io, progress* prog) {
  const uint8_t* p = nullptr;
  size_t n = 0;
  if (status r = s->in->next(&p, &n); !r.ok()) return read_error(r, io);
  s->end = n == 0;
  s->bi = lrd_in{p, n, 0};
  s->got += n;
  progress_update(prog, s->got, 0);
  return {};
}

// The encoder's loop over the input and the output blocks.
status encode_loop(lrd_encoder* e, input_side* is, out_queue* out, const serve_io& io, progress* prog,
                   serve_totals* t) {
  lrd_out bo{out->block(), cfg_out_block, 0};
  const uint8_t* hist_at = nullptr;
  bool want = true;
  for (;;) {
    // More input only once the encoder has asked for it: its helper may
    // still read the history while it waits for room to write.
    if (want && !is->end) {
      if (status s = next_input(is, io, prog); !s.ok()) return s;
      // The input lies in its history, which a file that grew may have moved.
      uint64_t ring = 0;
      const uint8_t* hist = is->in->history(&ring);
      if (hist != hist_at && lrd_encoder_set_history(e, hist, ring) == LRD_OK) hist_at = hist;
    }
    const int r = lrd_encode(e, &is->bi, &bo, is->end);
    want = r == LRD_OK;
    if (r == LRD_OUTPUT_FULL) {
      t->out += bo.pos;
      if (status s = out->submit(bo.pos); !s.ok()) return write_error(s, io);
      bo = lrd_out{out->block(), cfg_out_block, 0};
    } else if (r == LRD_DONE) {
      break;
    } else if (r != LRD_OK) {
      return library_error(r, "cannot allocate more memory for the chunk index");
    }
  }
  t->out += bo.pos;
  status s = out->submit(bo.pos);
  if (s.ok()) s = out->finish();
  return s.ok() ? s : write_error(s, io);
}

// The decoder's loop: its views handed to the writer as they come.
status decode_loop(lrd_decoder* d, input_side* is, out_queue* out, const serve_io& io, progress* prog,
                   uint64_t* out_total) {
  bool want = true;
  for (;;) {
    // The buffer stays as it is until the decoder has taken all of it.
    if (want && !is->end)
      if (status s = next_input(is, io, prog); !s.ok()) return s;
    lrd_view v;
    const int r = lrd_decode_view(d, &is->bi, &v, is->end);
    want = r == LRD_OK;
    if (r < 0) return library_error(r, "cannot allocate " + std::to_string(LRD_WINDOW >> 20) + " MiB");
    if (v.size > 0) {
      if (io.file_out && *out_total + v.size + cfg_out_block > io.outmap_len)
        return status::message(std::string(io.out_name) + ": output larger than " +
                               std::to_string(io.outmap_len >> 30) +
                               " GiB cannot be decoded into a file; decode to standard output");
      if (status s = out->submit_view(static_cast<const uint8_t*>(v.data), v.size); !s.ok())
        return write_error(s, io);
      *out_total += v.size;
    }
    if (r == LRD_DONE) break;
  }
  status s = out->finish();
  return s.ok() ? s : write_error(s, io);
}

}  // namespace

status serve_encoder(lrd_encoder* e, input_source* in, const serve_io& io, serve_totals* t) {
  progress prog;
  progress_start(&prog, io.in_fd, io.out_fd);
  out_queue out;
  input_side is{in};
  status s = out.start(io.out_fd, &prog);
  if (s.ok()) s = encode_loop(e, &is, &out, io, &prog, t);
  out.abandon();
  progress_end(&prog);
  t->in = is.got;
  return s;
}

status serve_decoder(lrd_decoder* d, const serve_io& io, serve_totals* t) {
  input_source in;
  status s = in.open(io.in_fd, {}, false);
  progress prog;
  progress_start(&prog, io.in_fd, io.out_fd);
  out_queue out;
  input_side is{&in};
  uint64_t out_total = 0;
  if (s.ok()) s = out.start(io.out_fd, &prog, io.file_out, io.file_start);
  if (s.ok()) {
    // Views of the window stay put until it wraps; a pipe can take their pages.
    if (!io.file_out) out.views_stay(LRD_WINDOW - LRD_VIEW_KEEP);
    s = decode_loop(d, &is, &out, io, &prog, &out_total);
  }
  out.abandon();
  progress_end(&prog);
  in.close();
  t->in = is.got;
  t->out = out_total;
  return s;
}

std::string driver_stats_line(uint64_t sum, uint64_t x) {
  // Tenths of the average chunk length, without forming 10 * sum.
  uint64_t q = x ? (sum / x) * 10 + (sum % x) * 10 / x : 0;
  char line[128];
  std::snprintf(line, sizeof line, "sum=%" PRIu64 " x=%" PRIu64 " avglen=%" PRIu64 ".%" PRIu64 "\n",
                sum, x, q / 10, q % 10);
  return line;
}
