// The coders see two 64 KiB buffers and nothing else: this loop fills the one
// and drains the other.
#include "driver/serve.h"

#include <cinttypes>
#include <cstdio>

#include "driver/fdio.h"
#include "driver/out_writer.h"
#include "driver/progress.h"

namespace {

uint8_t g_inbuf[cfg_iobuf];

}  // namespace

bool driver_serve(coder* c, coro_task (*body)(coder*), int in_fd, int out_fd,
                  const char* in_name, const char* out_name, std::string* err, prefault* pf) {
  coro_header* h = &c->coro;
  progress prog;
  progress_start(&prog, in_fd, out_fd);
  out_writer out(out_fd, &prog);
  h->outptr = h->outbeg = out.block();
  h->outend = h->outbeg + cfg_iobuf;
  h->inpptr = h->inpbeg = h->inpend = nullptr;
  h->inp_before = 0;
  h->state = REQ_DONE;
  h->f_eof = 0;
  h->handle = nullptr;

  uint64_t out_total = 0;
  bool ok = true;
  for (;;) {
    uint32_t r = coro_call(c, body);
    if (r == REQ_DONE) break;
    if (r == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      ssize_t n = read_some(in_fd, g_inbuf, cfg_iobuf);
      if (n < 0) {
        *err = sys_error(in_name);
        ok = false;
        break;
      }
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = g_inbuf;
      h->inpend = g_inbuf + n;
      progress_update(&prog, h->inp_before + static_cast<uint64_t>(n), 0);
    } else if (r == REQ_OUTPUT) {
      if (!out.submit(cfg_iobuf)) {
        *err = sys_error(out_name);
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
    *err = sys_error(out_name);
    ok = false;
  }
  out.stop(true);
  progress_end(&prog);
  coro_finish(h);
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
