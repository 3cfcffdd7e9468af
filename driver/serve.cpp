// The coders see buffers of the caller's and nothing else: these loops fill
// the one side from the input and hand the other to the writer thread.
#include "driver/serve.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "driver/fdio.h"
#include "driver/out_writer.h"
#include "driver/progress.h"

namespace {

std::string write_error(const out_writer& out, const serve_io& io) {
  return out.changed_size() ? std::string(io.out_name) + ": file changed size while writing" : sys_error(io.out_name);
}

// A call of the library's that failed: memory (`what` could not be had), or
// a call the loop got wrong.
std::string library_error(int r, const char* what) {
  if (r != LRD_ERROR_MEMORY) return std::string("internal error: ") + lrd_error_string(r);
  errno = ENOMEM;
  return sys_error(what);
}

// The input a loop has read so far, and what it gives the coder next.
struct input_side {
  input_source* in;
  lrd_in bi{nullptr, 0, 0};
  uint64_t got = 0;
  bool end = false;
};

// Points s->bi at the next bytes of the input (none at its end). False on a
// read error, with the message in *err.
bool next_input(input_side* s, const serve_io& io, progress* prog, std::string* err) {
  const uint8_t* p = nullptr;
  const ssize_t n = input_next(s->in, &p);
  if (n < 0) {
    *err = s->in->shrunk ? std::string(io.in_name) + ": file changed size while reading" : sys_error(io.in_name);
    return false;
  }
  s->end = n == 0;
  s->bi = lrd_in{p, static_cast<size_t>(n), 0};
  s->got += static_cast<uint64_t>(n);
  progress_update(prog, s->got, 0);
  return true;
}

}  // namespace

bool serve_encoder(lrd_encoder* e, input_source* in, const serve_io& io, serve_totals* t, std::string* err) {
  progress prog;
  progress_start(&prog, io.in_fd, io.out_fd);
  out_writer out(io.out_fd, &prog);
  lrd_out bo{out.block(), cfg_out_block, 0};
  input_side is{in};
  const uint8_t* hist_at = nullptr;
  bool want = true, ok = true;
  for (;;) {
    // More input only once the encoder has asked for it: its helper may
    // still read the history while it waits for room to write.
    if (want && !is.end) {
      if (!next_input(&is, io, &prog, err)) {
        ok = false;
        break;
      }
      // The input lies in its history, which a file that grew may have moved.
      uint64_t ring = 0;
      const uint8_t* hist = input_history(in, &ring);
      if (hist != hist_at && lrd_encoder_set_history(e, hist, ring) == LRD_OK) hist_at = hist;
    }
    const int r = lrd_encode(e, &is.bi, &bo, is.end);
    want = r == LRD_OK;
    if (r == LRD_OUTPUT_FULL) {
      t->out += bo.pos;
      if (!out.submit(bo.pos)) {
        *err = write_error(out, io);
        ok = false;
        break;
      }
      bo = lrd_out{out.block(), cfg_out_block, 0};
    } else if (r == LRD_DONE) {
      break;
    } else if (r != LRD_OK) {
      *err = library_error(r, "cannot allocate more memory for the chunk index");
      ok = false;
      break;
    }
  }
  t->out += bo.pos;
  if (ok && !(out.submit(bo.pos) && out.stop(false))) {
    *err = write_error(out, io);
    ok = false;
  }
  out.stop(true);
  progress_end(&prog);
  t->in = is.got;
  return ok;
}

bool serve_decoder(lrd_decoder* d, const serve_io& io, serve_totals* t, std::string* err) {
  input_source in;
  input_open(&in, io.in_fd, {}, false);
  progress prog;
  progress_start(&prog, io.in_fd, io.out_fd);
  out_writer out(io.out_fd, &prog, io.file_out, io.file_start);
  // Views of the window stay put until it wraps; a pipe can take their pages.
  if (!io.file_out) out.views_stay(LRD_WINDOW - LRD_VIEW_KEEP);
  input_side is{&in};
  uint64_t out_total = 0;
  bool want = true, ok = true;
  for (;;) {
    // The buffer stays as it is until the decoder has taken all of it.
    if (want && !is.end && !next_input(&is, io, &prog, err)) {
      ok = false;
      break;
    }
    lrd_view v;
    const int r = lrd_decode_view(d, &is.bi, &v, is.end);
    want = r == LRD_OK;
    if (r < 0) {
      *err = library_error(r, ("cannot allocate " + std::to_string(LRD_WINDOW >> 20) + " MiB").c_str());
      ok = false;
      break;
    }
    if (v.size > 0) {
      if (io.file_out && out_total + v.size + cfg_out_block > io.outmap_len) {
        *err = std::string(io.out_name) + ": output larger than " + std::to_string(io.outmap_len >> 30) +
               " GiB cannot be decoded into a file; decode to standard output";
        ok = false;
        break;
      }
      if (!out.submit_view(static_cast<const uint8_t*>(v.data), v.size)) {
        *err = write_error(out, io);
        ok = false;
        break;
      }
      out_total += v.size;
    }
    if (r == LRD_DONE) break;
  }
  if (ok && !out.stop(false)) {
    *err = write_error(out, io);
    ok = false;
  }
  out.stop(true);
  progress_end(&prog);
  input_close(&in);
  t->in = is.got;
  t->out = out_total;
  return ok;
}

std::string driver_stats_line(uint64_t sum, uint64_t x) {
  // Tenths of the average chunk length, without forming 10 * sum.
  uint64_t q = x ? (sum / x) * 10 + (sum % x) * 10 / x : 0;
  char line[128];
  std::snprintf(line, sizeof line, "sum=%" PRIu64 " x=%" PRIu64 " avglen=%" PRIu64 ".%" PRIu64 "\n",
                sum, x, q / 10, q % 10);
  return line;
}
