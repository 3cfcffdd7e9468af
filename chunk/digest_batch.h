// Batch chunk digest: the keys of many chunks at once, each exactly the 16
// bytes that feeding the chunk through chunk_feed and chunk_close gives. The
// chunks are independent, so their MD5 transforms are interleaved across
// lanes (several chunks per instruction); the implementation is chosen at run
// time by the CPU's features.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/digest.h"

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

// Shared by the implementations in chunk/; not for callers.
namespace digest_lanes {

// The AVX-512 version's two groups of 16; lane masks are 32-bit.
constexpr unsigned max_lanes = 32;

// Hands chunks to the lanes of an interleaved implementation, one transform
// per lane per step, and turns finished lanes into keys. A lane's block state
// lives in the implementation; this tracks where each lane is in its chunk.
// A chunk's last lap is staged when the lane takes the chunk, so that a step
// only picks pointers, without a branch per lane.
struct feed {
  const chunk_span* chunks;
  size_t n, next;  // chunks[next] is the next chunk to start
  uint8_t (*keys)[16];
  unsigned lanes;
  unsigned active;   // lanes that hold a chunk or wait for one
  unsigned waiting;  // lanes whose start is staggered, see feed_start
  // Per lane: its chunk (an idle lane has none and reads zeros), the offset
  // of the next lap in it, the laps left before the last one, the last lap
  // with its fill index, the idle steps left before a staggered start.
  size_t idx[max_lanes];
  bool busy[max_lanes];
  const uint8_t* p[max_lanes];
  uint32_t off[max_lanes];
  uint32_t left[max_lanes];
  const uint8_t* last[max_lanes];
  uint32_t last_fill[max_lanes];
  uint32_t wait[max_lanes];
  // Set by feed_step for the step to run: 64 readable bytes per lane (byte 63
  // is ignored), the fill index, lanes whose transform is their chunk's last.
  const uint8_t* src[max_lanes];
  uint32_t fill[max_lanes];
  uint32_t final_mask;
  // Lanes starting a chunk, whose block state must be cleared first.
  uint32_t reset_mask;
  uint32_t refilled;  // lanes given a chunk by feed_finish, for the next step
  // The last lap of each lane's chunk, copied just below 64 zero bytes, as the
  // lap itself may end at unreadable memory.
  alignas(64) uint8_t stage[max_lanes][128];
};

// Starts a batch on lanes (<= max_lanes) lanes; every lane's state is to be reset.
void feed_start(feed* f, const chunk_span* chunks, size_t n, uint8_t (*keys)[16], unsigned lanes);

// Prepares the next step. False when no lane holds a chunk: the batch is done.
bool feed_step(feed* f);

// After a step with a nonzero final_mask: head[w][lane] is word w (0-3) of
// each lane's mixed block. Writes the finished lanes' keys and refills them.
void feed_finish(feed* f, const uint32_t (*head)[max_lanes]);

// Present in every build; does its work only when compiled for AVX2.
extern const bool avx2_built;
void digest_batch_avx2(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

// Present in every build; does its work only when compiled for AVX-512 (F, BW, VL).
extern const bool avx512_built;
void digest_batch_avx512(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

}  // namespace digest_lanes
