// lr_gen BYTES SEED: writes BYTES bytes of test data to standard output, made
// of pieces that are new random bytes, zero runs, or repeats of an earlier
// piece at distances up to about 1.5 GB. Needs no memory for its history:
// a repeated piece is regenerated from its seed.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

struct piece {
  uint64_t seed;
  uint32_t len;
  bool zero;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lr_gen BYTES SEED\n");
    return 1;
  }
  uint64_t left = std::strtoull(argv[1], nullptr, 10);
  uint64_t rng = mix(std::strtoull(argv[2], nullptr, 10) + 1);
  auto next = [&] { return rng = mix(rng + 0x9E3779B97F4A7C15ull); };
  std::vector<piece> hist;  // every piece so far; ~1 MB average each
  std::vector<uint8_t> buf;
  while (left > 0) {
    piece p;
    uint64_t r = next();
    if (hist.empty() || r % 8 < 3) {
      p = {next(), static_cast<uint32_t>(1000 + next() % 2000000), false};
    } else if (r % 8 == 3) {
      p = {0, static_cast<uint32_t>(1 + next() % 300000), true};
    } else {
      // A repeat: near pieces more often than far ones.
      size_t back = 1 + (r % 8 == 4 ? next() % hist.size() : next() % std::min<size_t>(hist.size(), 40));
      p = hist[hist.size() - back];
    }
    hist.push_back(p);
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(p.len, left));
    buf.resize(n);
    uint64_t s = p.seed;
    for (uint32_t i = 0; i < n; i += 8) {
      s = mix(s + 1);
      for (uint32_t k = 0; k < 8 && i + k < n; k++) buf[i + k] = p.zero ? 0 : static_cast<uint8_t>(s >> (8 * k));
    }
    for (size_t at = 0; at < n;) {
      ssize_t w = write(STDOUT_FILENO, buf.data() + at, n - at);
      if (w <= 0) return 1;
      at += static_cast<size_t>(w);
    }
    left -= n;
  }
  return 0;
}
