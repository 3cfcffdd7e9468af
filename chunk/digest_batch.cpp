// Batch chunk digest: the plain reference and the choice of implementation
// by CPU.
#include "chunk/digest_batch.h"

#include <atomic>
#include <cstring>

#include "chunk/digest.h"
#include "chunk/digest_lanes.h"

namespace {

void xor_into(uint8_t* blk, const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) blk[i] ^= p[i];
}

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

// ---- Choice of implementation ----

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool cpu_has_avx512() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
#else
  return false;
#endif
}

// Each in this order is the faster where the CPU runs both (bench/digest_bench).
digest_impl best_impl() {
  if (digest_impl_supported(digest_impl_avx512)) return digest_impl_avx512;
  if (digest_impl_supported(digest_impl_avx2)) return digest_impl_avx2;
  return digest_impl_vec128;
}

// auto until the first batch or digest_force picks one.
std::atomic<digest_impl> current_impl{digest_impl_auto};

}  // namespace

void digest_batch_plain(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  for (size_t i = 0; i < n; i++) digest_one(chunks[i].p, chunks[i].len, keys[i]);
}

bool digest_impl_supported(digest_impl impl) {
  switch (impl) {
    case digest_impl_auto:
    case digest_impl_plain:
    case digest_impl_vec128:
      return true;
    case digest_impl_avx2:
      return digest_lanes::avx2_built && cpu_has_avx2();
    case digest_impl_avx512:
      return digest_lanes::avx512_built && cpu_has_avx512();
  }
  return false;
}

bool digest_force(digest_impl impl) {
  if (!digest_impl_supported(impl)) return false;
  current_impl.store(impl == digest_impl_auto ? best_impl() : impl, std::memory_order_relaxed);
  return true;
}

digest_impl digest_impl_current() {
  digest_impl impl = current_impl.load(std::memory_order_relaxed);
  if (impl == digest_impl_auto) {
    impl = best_impl();
    current_impl.store(impl, std::memory_order_relaxed);
  }
  return impl;
}

const char* digest_impl_name(digest_impl impl) {
  switch (impl) {
    case digest_impl_auto: return "auto";
    case digest_impl_plain: return "plain";
    case digest_impl_vec128: return "vec128";
    case digest_impl_avx2: return "avx2";
    case digest_impl_avx512: return "avx512";
  }
  return "?";
}

void digest_batch(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]) {
  switch (digest_impl_current()) {
    case digest_impl_avx512:
      digest_lanes::digest_batch_avx512(chunks, n, keys);
      return;
    case digest_impl_avx2:
      digest_lanes::digest_batch_avx2(chunks, n, keys);
      return;
    case digest_impl_vec128:
      digest_lanes::digest_batch_vec128(chunks, n, keys);
      return;
    default:
      digest_batch_plain(chunks, n, keys);
      return;
  }
}
