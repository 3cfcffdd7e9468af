// Internals of the interleaved digest versions, shared by chunk/digest*.cpp
// and not for callers: the feed that hands chunks to lanes, and the versions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/digest_batch.h"

namespace lrd {

namespace digest_lanes {

// The AVX-512 version's two groups of 16; lane masks are 32-bit.
constexpr unsigned max_lanes = 32;
static_assert(max_lanes <= 32, "lane masks are 32-bit");

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
  alignas(64) uint8_t stage[max_lanes][2 * cfg_hblk];
};

// Starts a batch on lanes (<= max_lanes) lanes; every lane's state is to be reset.
void feed_start(feed* f, const chunk_span* chunks, size_t n, uint8_t (*keys)[16], unsigned lanes);

// Prepares the next step. False when no lane holds a chunk: the batch is done.
bool feed_step(feed* f);

// After a step with a nonzero final_mask: head[w][lane] is word w (0-3) of
// each lane's mixed block. Writes the finished lanes' keys and refills them.
void feed_finish(feed* f, const uint32_t (*head)[max_lanes]);

// The interleaved versions. vec128 runs on any CPU; the others are compiled
// for their instruction set alone (AVX2; AVX-512 F, BW and VL), built for
// x86-64 only (cpu.h), and called only after the CPU has been checked.
void digest_batch_vec128(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);
void digest_batch_avx2(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);
void digest_batch_avx512(const chunk_span* chunks, size_t n, uint8_t (*keys)[16]);

}  // namespace digest_lanes

}  // namespace lrd
