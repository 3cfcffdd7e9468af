// Batch chunk digest: the plain reference and the choice of implementation
// by CPU.
#include "chunk/digest_batch.h"

#include <cstring>

#include "chunk/digest.h"
#include "chunk/digest_lanes.h"
#include "chunk/dispatch.h"

namespace lrd {

namespace {

void xor_into(uint8_t* blk, const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) blk[i] ^= p[i];
}

// Writes the key of the len bytes at p, as chunk_feed and chunk_close form it.
void digest_one(const uint8_t* p, uint32_t len, uint8_t* key) {
  uint8_t blk[cfg_hblk] = {};
  uint32_t r = len;
  // A lap is mixed only once a further byte arrives, so a 63-byte tail stays
  // for the closing mix.
  for (; r > hblk_fill; r -= hblk_fill, p += hblk_fill) {
    xor_into(blk, p, hblk_fill);
    blk[hblk_fill] = hblk_fill;
    hblk_mix(blk);
  }
  if (r) xor_into(blk, p, r);
  blk[hblk_fill] = static_cast<uint8_t>(r);
  hblk_mix(blk);
  std::memcpy(key, blk, 14);
  key[14] = static_cast<uint8_t>(len);
  key[15] = static_cast<uint8_t>(len >> 8);
}

}  // namespace

void digest_batch_plain(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  for (size_t i = 0; i < n; i++) digest_one(chunks[i].p, chunks[i].len, keys[i]);
}

// ---- Choice of implementation ----

namespace {

// What digest_batch runs until a choice is made: the first batch makes it.
void digest_batch_first(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

using digest_fn = void(const chunk_span*, size_t, uint8_t (*)[16]);

constexpr dispatch_entry<digest_impl, digest_fn> digest_table[] = {
    {digest_impl_auto, "auto", digest_batch_first, cpu_needs_none},
    {digest_impl_plain, "plain", digest_batch_plain, cpu_needs_none},
    {digest_impl_vec128, "vec128", digest_lanes::digest_batch_vec128, cpu_needs_none},
    {digest_impl_avx2, "avx2", LRD_X86_64_ONLY(digest_lanes::digest_batch_avx2), cpu_needs_avx2},
    {digest_impl_avx512, "avx512", LRD_X86_64_ONLY(digest_lanes::digest_batch_avx512), cpu_needs_avx512},
};
static_assert(dispatch_in_order(digest_table));
// Each is the faster where the CPU runs both (bench/digest_bench).
constexpr digest_impl digest_prefer[] = {digest_impl_avx512, digest_impl_avx2, digest_impl_vec128};

constinit dispatch digest_choice{digest_table, digest_prefer};

void digest_batch_first(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  digest_choice.choose()(chunks, n, keys);
}

}  // namespace

bool digest_impl_supported(digest_impl impl) { return digest_choice.supported(impl); }
bool digest_force(digest_impl impl) { return digest_choice.force(impl); }
digest_impl digest_impl_current() { return digest_choice.current(); }
const char* digest_impl_name(digest_impl impl) { return digest_choice.name(impl); }

void digest_batch(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) { digest_choice.fn()(chunks, n, keys); }

}  // namespace lrd
