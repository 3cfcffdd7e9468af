// Internals of the cut scan's vector versions, shared by chunk/cutscan*.cpp
// and not for callers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/cpu.h"
#include "chunk/cutscan.h"
#include "chunk/cutscan_basis.h"

namespace lrd {

namespace cutscan_vec {

// Only a window whose value has a top byte of at most cfg_cutlimit's can be a
// candidate; those whose top byte equals it are decided by the full value.
// Returns cand with the undecided bits in eq (a subset) that fail cleared;
// bit i stands for the window ending at q[i + 15]. Scalar, and inlined into
// each vector version (see LRD_INLINE).
LRD_INLINE uint64_t settle_top_ties(const basis& b, const uint8_t* q, uint64_t cand, uint64_t eq) {
  while (eq) {
    const unsigned i = static_cast<unsigned>(__builtin_ctzll(eq));
    eq &= eq - 1;
    if (window_value(b, q + i) >= cfg_cutlimit) cand &= ~(uint64_t{1} << i);
  }
  return cand;
}

// Candidate words 0 .. words-1 of p (64 windows each): the vector versions,
// each compiled for its instruction set alone and built for x86-64 only
// (cpu.h); called only once the CPU has been checked.
void cut_words_avx2(const uint8_t* p, size_t words, uint64_t* bits);
void cut_words_gfni(const uint8_t* p, size_t words, uint64_t* bits);
void cut_words_rows(const uint8_t* p, size_t words, uint64_t* bits);

}  // namespace cutscan_vec

}  // namespace lrd
