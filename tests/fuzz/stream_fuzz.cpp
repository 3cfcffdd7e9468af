// libFuzzer target: decodes arbitrary bytes as a stream (it must stay in
// bounds and count what it writes), and round-trips arbitrary bytes as data
// through a small encoder and decoder (they must agree, without a fault). The
// plain and the fast decoder body must give the same bytes, fault and count.
#include <cstdlib>

#include "codec/decoder_fast.h"
#include "tests/harness.h"

using namespace lrd;

namespace {

constexpr uint32_t fuzz_window = 1 << 13;
constexpr index_cfg fuzz_cfg{257, fuzz_window, 4 * fuzz_window};
constexpr size_t fuzz_out = 4099;  // an output buffer that no stream unit divides

// Decodes with both bodies; aborts where they disagree.
coded decode(std::span<const uint8_t> in, size_t piece) {
  const coded plain = decode_with(decoder_run_plain, in, fuzz_window, piece, fuzz_out);
  const coded fast = decode_with(decoder_run_fast, in, fuzz_window, piece, fuzz_out);
  if (!coded_diff(plain, fast).empty()) std::abort();
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 97;
  const std::span<const uint8_t> body(data + 1, size - 1);
  if (data[0] & 0x80) {
    const coded out = decode(body, piece);
    if (out.data_bytes != out.out.size()) std::abort();
    return 0;
  }
  // Repeat the data so that references occur.
  const bytes in = cat({bytes(body.begin(), body.end()), bytes(body.begin(), body.end())});
  const coded stream = encode_with(encoder_run, in, fuzz_cfg, piece, fuzz_out);
  const coded back = decode(stream.out, piece);
  if (back.out != in || back.fault != fault_none || back.data_bytes != in.size()) std::abort();
  return 0;
}
