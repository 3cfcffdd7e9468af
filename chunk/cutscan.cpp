// Cut candidate scan: the reference, eight rolling CRC-32 lanes for any CPU,
// the frame around the vector versions, and the choice among them by CPU.
//
// The rolling step crc' = (crc >> 8) ^ crctab[(crc ^ b) & 0xFF] ^ crcrem[old]
// is one dependent table load per byte, so a single lane runs at the load
// latency. A lane can start anywhere: the CRC-32 of the 15 bytes before its
// segment plus its first byte is the plain CRC of those 16 bytes, computed
// from 0 without removal. Eight lanes interleave their chains and the core
// overlaps their loads.
#include "chunk/cutscan.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "chunk/chunker.h"
#include "chunk/cutscan_vec.h"
#include "chunk/dispatch.h"

namespace lrd {

namespace {

// The chunker's tables, built once.
const chunker& tables() {
  static const chunker c = [] {
    chunker t;
    chunker_init(&t);
    return t;
  }();
  return c;
}

inline uint32_t step_in(const uint32_t* tab, uint32_t crc, uint8_t b) {
  return (crc >> 8) ^ tab[(crc ^ b) & 0xFF];
}

inline uint32_t step_roll(const uint32_t* tab, const uint32_t* rem, uint32_t crc, uint8_t b, uint8_t old) {
  return (crc >> 8) ^ tab[(crc ^ b) & 0xFF] ^ rem[old];
}

// Value of the window ending just before p[0], i.e. over p[-16 .. -1], from 0.
inline uint32_t crc_before(const uint32_t* tab, const uint8_t* p) {
  uint32_t crc = 0;
  for (int k = -16; k < 0; k++) crc = step_in(tab, crc, p[k]);
  return crc;
}

// Scans [from, to) with one lane, OR-ing candidate bits in. REQUIRES: p[from-16] readable,
// except that the very first window of the buffer may reach 16 bytes back.
void scan_one(const uint8_t* p, size_t from, size_t to, uint64_t* bits) {
  const chunker& t = tables();
  uint32_t crc = crc_before(t.crctab, p + from);
  for (size_t i = from; i < to; i++) {
    crc = step_roll(t.crctab, t.crcrem, crc, p[i], p[i - 16]);
    if (crc < cfg_cutlimit) bits[i >> 6] |= uint64_t{1} << (i & 63);
  }
}

}  // namespace

uint32_t cutscan_window_crc(const uint8_t* p) { return crc_before(tables().crctab, p + 16); }

// The reference reads one byte before the first window (p[-16]); its removal
// term cancels against the start value, so its content never matters. To keep
// the stated precondition of 15 bytes, the first window is computed directly.
void cut_candidates_plain(const uint8_t* p, size_t n, uint64_t* bits) {
  std::memset(bits, 0, ((n + 63) / 64) * sizeof(uint64_t));
  if (n == 0) return;
  const chunker& t = tables();
  uint32_t crc = 0;
  for (int k = -15; k <= 0; k++) crc = step_in(t.crctab, crc, p[k]);
  if (crc < cfg_cutlimit) bits[0] |= 1;
  for (size_t i = 1; i < n; i++) {
    crc = step_roll(t.crctab, t.crcrem, crc, p[i], p[i - 16]);
    if (crc < cfg_cutlimit) bits[i >> 6] |= uint64_t{1} << (i & 63);
  }
}

namespace {

// Bit k of the result: v[k] < cfg_cutlimit, for 64 values.
inline uint64_t below_limit_mask(const uint32_t* v) {
#if defined(__SSE2__)
  // SSE2 compares signed: flip the top bit of both sides.
  const __m128i bias = _mm_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i lim = _mm_set1_epi32(static_cast<int>(cfg_cutlimit ^ 0x80000000u));
  uint64_t m = 0;
  for (int k = 0; k < 64; k += 16) {
    __m128i x[4];
    for (int j = 0; j < 4; j++) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + k + 4 * j));
      x[j] = _mm_cmplt_epi32(_mm_xor_si128(a, bias), lim);
    }
    __m128i packed = _mm_packs_epi16(_mm_packs_epi32(x[0], x[1]), _mm_packs_epi32(x[2], x[3]));
    m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(packed))) << k;
  }
  return m;
#else
  uint64_t m = 0;
  for (int k = 0; k < 64; k++) m |= static_cast<uint64_t>(v[k] < cfg_cutlimit) << k;
  return m;
#endif
}

void cut_candidates_lanes(const uint8_t* p, size_t n, uint64_t* bits) {
  // Lanes: enough chains to hide the table-load latency. Each lane owns a
  // fixed-size segment of a block, so one base pointer addresses all of them
  // and every lane's value stays in a register.
  constexpr size_t lanes = 8;
  constexpr size_t seg = 2048;  // bytes per lane per block
  static_assert(seg % 64 == 0, "each lane fills whole words of bits");
  constexpr size_t block = lanes * seg;
  // Short buffers, and the first 64 bytes (whose first window may reach only
  // 15 bytes back), go through the reference.
  const size_t head = n < 64 ? n : 64;
  cut_candidates_plain(p, head, bits);
  if (n <= head) return;
  std::memset(bits + 1, 0, ((n + 63) / 64 - 1) * sizeof(uint64_t));

  const chunker& t = tables();
  const uint32_t* tab = t.crctab;
  const uint32_t* rem = t.crcrem;
  size_t at = 64;
  alignas(64) uint32_t vals[lanes][64];  // each lane's values over one word
  for (; n - at >= block; at += block) {
    const uint8_t* b = p + at;
    uint32_t crc[lanes];
#pragma GCC unroll 16
    for (size_t l = 0; l < lanes; l++) crc[l] = crc_before(tab, b + l * seg);
    for (size_t w = 0; w < seg; w += 64) {
      for (size_t k = 0; k < 64; k++) {
#pragma GCC unroll 16
        for (size_t l = 0; l < lanes; l++) {
          const uint8_t* q = b + l * seg + w + k;
          crc[l] = (crc[l] >> 8) ^ tab[(crc[l] ^ q[0]) & 0xFF] ^ rem[q[-16]];
          vals[l][k] = crc[l];
        }
      }
#pragma GCC unroll 16
      for (size_t l = 0; l < lanes; l++) bits[(at + l * seg + w) / 64] = below_limit_mask(vals[l]);
    }
  }
  if (at < n) scan_one(p, at, n, bits);
}

#ifdef LRD_X86_64
// cut_candidates by a vector version of whole words: those words, then the
// rest of the last word by one lane, short buffers by the reference.
void cut_candidates_words(void (*words_fn)(const uint8_t*, size_t, uint64_t*), const uint8_t* p, size_t n,
                          uint64_t* bits) {
  const size_t words = n / 64;
  if (words == 0) return cut_candidates_plain(p, n, bits);
  words_fn(p, words, bits);
  if (n % 64) {
    bits[words] = 0;
    scan_one(p, words * 64, n, bits);
  }
}

void cut_candidates_avx2(const uint8_t* p, size_t n, uint64_t* bits) {
  cut_candidates_words(cutscan_vec::cut_words_avx2, p, n, bits);
}

void cut_candidates_gfni(const uint8_t* p, size_t n, uint64_t* bits) {
  cut_candidates_words(cutscan_vec::cut_words_gfni, p, n, bits);
}

void cut_candidates_rows(const uint8_t* p, size_t n, uint64_t* bits) {
  cut_candidates_words(cutscan_vec::cut_words_rows, p, n, bits);
}
#endif

// ---- Choice of implementation ----

// Where 256-bit operations run as two halves, the nibble shuffles lose even
// to the eight scalar lanes, and the table rows beat both (bench/cutscan_bench
// on a first Zen core: avx2 620, lanes 750, rows 950 MB/s). Elsewhere the
// rows are unmeasured, so the shuffles keep their place.
bool avx2_worth() { return !(cpu_features() & cpu_split_256); }
bool rows_worth() { return (cpu_features() & cpu_split_256) != 0; }

// What cut_candidates runs until a choice is made: the first scan makes it.
void cut_candidates_first(const uint8_t* p, size_t n, uint64_t* bits);

using cut_fn = void(const uint8_t*, size_t, uint64_t*);

constexpr dispatch_entry<cutscan_impl, cut_fn> cut_table[] = {
    {cutscan_impl_auto, "auto", cut_candidates_first, cpu_needs_none},
    {cutscan_impl_plain, "plain", cut_candidates_plain, cpu_needs_none},
    {cutscan_impl_lanes, "lanes", cut_candidates_lanes, cpu_needs_none},
    {cutscan_impl_avx2, "avx2", LRD_X86_64_ONLY(cut_candidates_avx2), cpu_needs_avx2, avx2_worth},
    {cutscan_impl_gfni, "gfni", LRD_X86_64_ONLY(cut_candidates_gfni), cpu_needs_gfni},
    {cutscan_impl_rows, "rows", LRD_X86_64_ONLY(cut_candidates_rows), cpu_needs_avx2, rows_worth},
};
static_assert(dispatch_in_order(cut_table));
// Fastest first where the CPU runs them; an entry not worth taking on this
// CPU is passed over (bench/cutscan_bench).
constexpr cutscan_impl cut_prefer[] = {cutscan_impl_gfni, cutscan_impl_avx2, cutscan_impl_rows, cutscan_impl_lanes};

constinit dispatch cut_choice{cut_table, cut_prefer};

void cut_candidates_first(const uint8_t* p, size_t n, uint64_t* bits) { cut_choice.choose()(p, n, bits); }

}  // namespace

bool cutscan_impl_supported(cutscan_impl impl) { return cut_choice.supported(impl); }
bool cutscan_force(cutscan_impl impl) { return cut_choice.force(impl); }
cutscan_impl cutscan_impl_current() { return cut_choice.current(); }
const char* cutscan_impl_name(cutscan_impl impl) { return cut_choice.name(impl); }

void cut_candidates(const uint8_t* p, size_t n, uint64_t* bits) { cut_choice.fn()(p, n, bits); }

}  // namespace lrd
