// libFuzzer target: decodes arbitrary bytes as a stream (it must stay in
// bounds and count what it writes), and round-trips arbitrary bytes as data
// through a small encoder and decoder (they must agree, without a fault). The
// plain and the fast decoder body must give the same bytes, fault and count.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/decoder.h"
#include "codec/decoder_fast.h"
#include "codec/encoder.h"

namespace {

constexpr uint32_t fuzz_window = 1 << 13;
constexpr index_cfg fuzz_cfg{257, fuzz_window, 4 * fuzz_window};

// Runs a body over `in`, handing input over in pieces of `piece` bytes.
std::vector<uint8_t> run(coder* c, coro_task (*body)(coder*), const uint8_t* in, size_t n, size_t piece) {
  std::vector<uint8_t> out;
  uint8_t obuf[4099];
  coro_header* h = &c->coro;
  *h = coro_header{};
  h->outptr = h->outbeg = obuf;
  h->outend = obuf + sizeof obuf;
  size_t at = 0;
  for (;;) {
    uint32_t q = coro_call(c, body);
    if (q == REQ_DONE) break;
    if (q == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      size_t k = std::min(piece, n - at);
      if (k == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = in + at;
      h->inpend = in + at + k;
      at += k;
    } else if (q == REQ_OUTPUT) {
      out.insert(out.end(), obuf, obuf + sizeof obuf);
      h->outptr = h->outbeg;
    }
  }
  out.insert(out.end(), h->outbeg, h->outptr);
  coro_finish(h);
  return out;
}

std::vector<uint8_t> decode_with(coro_task (*body)(coder*), const uint8_t* in, size_t n, size_t piece,
                                 uint32_t* fault, uint64_t* sum) {
  auto c = std::make_unique<coder>();
  std::vector<uint8_t> win(fuzz_window), map(fuzz_window / cfg_mapblock + 1);
  c->win = win.data();
  c->winpos = 0;
  c->winsize = fuzz_window;
  c->chunkmap = map.data();
  std::vector<uint8_t> out = run(c.get(), body, in, n, piece);
  *fault = c->fault;
  *sum = c->sum;
  return out;
}

// Decodes with both bodies; aborts where they disagree.
std::vector<uint8_t> decode(const uint8_t* in, size_t n, size_t piece, uint32_t* fault, uint64_t* sum) {
  uint32_t fault_fast = 0;
  uint64_t sum_fast = 0;
  std::vector<uint8_t> out = decode_with(decoder_run_plain, in, n, piece, fault, sum);
  std::vector<uint8_t> fast = decode_with(decoder_run_fast, in, n, piece, &fault_fast, &sum_fast);
  if (out != fast || *fault != fault_fast || *sum != sum_fast) std::abort();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 97;
  const uint8_t* body = data + 1;
  const size_t n = size - 1;
  uint32_t fault = 0;
  uint64_t sum = 0;
  if (data[0] & 0x80) {
    std::vector<uint8_t> out = decode(body, n, piece, &fault, &sum);
    if (sum != out.size()) std::abort();
    return 0;
  }
  // Repeat the data so that references occur.
  std::vector<uint8_t> in(body, body + n);
  in.insert(in.end(), body, body + n);
  auto c = std::make_unique<coder>();
  std::vector<hslot> tbl(fuzz_cfg.tblsize);
  index_init(&c->idx, tbl.data(), fuzz_cfg);
  std::vector<uint8_t> stream = run(c.get(), encoder_run, in.data(), in.size(), piece);
  std::vector<uint8_t> back = decode(stream.data(), stream.size(), piece, &fault, &sum);
  if (back != in || fault != fault_none || sum != in.size()) std::abort();
  return 0;
}
