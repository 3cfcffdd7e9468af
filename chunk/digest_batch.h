// Batch chunk digest: the keys of many chunks at once, each exactly the 16
// bytes that feeding the chunk through chunk_feed and chunk_close gives.
//
// The chunks are independent, so their MD5 transforms are interleaved across
// lanes (several chunks per instruction); the implementation is chosen at run
// time by the CPU's features.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/digest.h"

namespace lrd {

static_assert(cfg_hkey == 16, "keys are written as rows of 16 bytes");

struct chunk_span {
  const uint8_t* p;
  uint32_t len;  // 0..cfg_maxchunk
};

enum digest_impl {
  digest_impl_auto,    // the fastest one the CPU supports
  digest_impl_plain,   // one chunk at a time: the reference
  digest_impl_vec128,  // 4 chunks per 128-bit vector, two groups interleaved (SSE2 on any x86-64)
  digest_impl_avx2,    // 8 chunks per AVX2 instruction, two groups interleaved
  digest_impl_avx512,  // 16 chunks per AVX-512 instruction, two groups interleaved
};

// Writes the key of chunks[i] to keys[i] for every i < n.
void digest_batch(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

// Portable reference, always built: one chunk after another, laps XORed in
// bulk and mixed by hblk_mix.
void digest_batch_plain(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

// True when this build and this CPU can run the implementation (auto: always).
bool digest_impl_supported(digest_impl impl);

// Makes digest_batch use impl (auto: choose by CPU again), for tests and
// benchmarks. Returns false and changes nothing when impl is unsupported.
bool digest_force(digest_impl impl);

// The implementation digest_batch runs now (never auto), and a short name.
digest_impl digest_impl_current();
const char* digest_impl_name(digest_impl impl);

}  // namespace lrd
