// The coders see two 64 KiB buffers and nothing else: this loop fills the one
// and drains the other.
#include "driver/serve.h"

#include <cinttypes>
#include <cstdio>

#include "driver/fdio.h"
#include "driver/out_writer.h"
#include "driver/progress.h"

bool driver_serve(coder* c, coro_task (*body)(coder*), int in_fd, int out_fd,
                  const char* in_name, const char* out_name, std::string* err, prefault* pf) {
  serve_io io;
  io.in_fd = in_fd;
  io.out_fd = out_fd;
  io.in_name = in_name;
  io.out_name = out_name;
  return driver_serve(c, body, io, err, pf);
}

bool driver_serve(coder* c, coro_task (*body)(coder*), const serve_io& io, std::string* err, prefault* pf) {
  coro_header* h = &c->coro;
  input_source plain;
  input_source* in = io.in;
  if (!in) {
    input_open(&plain, io.in_fd, {}, false);
    in = &plain;
  }
  const char* const in_name = io.in_name;
  const char* const out_name = io.out_name;
  progress prog;
  progress_start(&prog, io.in_fd, io.out_fd);
  out_writer out(io.out_fd, &prog, io.file_out, io.file_start);
  if (io.file_out) c->outring = out_writer::ring();
  h->outptr = h->outbeg = out.block();
  h->outend = h->outbeg + cfg_iobuf;
  h->inpptr = h->inpbeg = h->inpend = nullptr;
  h->inp_before = 0;
  h->state = REQ_DONE;
  h->f_eof = 0;
  h->handle = nullptr;

  auto write_error = [&] {
    return out.changed_size() ? std::string(out_name) + ": file changed size while writing" : sys_error(out_name);
  };
  uint64_t out_total = 0;
  bool ok = true;
  for (;;) {
    uint32_t r = coro_call(c, body);
    if (r == REQ_DONE) break;
    if (r == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      const uint8_t* p = nullptr;
      const ssize_t n = input_next(in, &p);
      if (n < 0) {
        *err = in->shrunk ? std::string(in_name) + ": file changed size while reading" : sys_error(in_name);
        ok = false;
        break;
      }
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = p;
      h->inpend = p + n;
      c->hist = input_history(in, &c->hist_ring);
      progress_update(&prog, h->inp_before + static_cast<uint64_t>(n), 0);
    } else if (r == REQ_OUTPUT) {
      if (io.file_out && out_total + 2 * cfg_iobuf > io.outmap_len) {
        *err = std::string(out_name) + ": output larger than " + std::to_string(io.outmap_len >> 30) +
               " GiB cannot be decoded into a file; decode to standard output";
        ok = false;
        break;
      }
      if (!out.submit(cfg_iobuf)) {
        *err = write_error();
        ok = false;
        break;
      }
      h->outptr = h->outbeg = out.block();
      h->outend = h->outbeg + cfg_iobuf;
      out_total += cfg_iobuf;
      if (pf) prefault_advance(pf, out_total);
    }
  }
  if (ok && !(out.submit(static_cast<size_t>(h->outptr - h->outbeg)) && out.stop(false))) {
    *err = write_error();
    ok = false;
  }
  out.stop(true);
  progress_end(&prog);
  coro_finish(h);
  if (in == &plain) input_close(&plain);
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
