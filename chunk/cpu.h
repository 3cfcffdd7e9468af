// The CPU features the vector versions need: what the build's baseline has,
// what this CPU has (asked once), and the attributes that compile one
// function, not a whole file, for a wider instruction set.
#pragma once

namespace lrd {

// The vector versions are written for x86-64 (they hold pointers in 64-bit
// lanes); elsewhere only the portable versions are built.
#if defined(__x86_64__)
#define LRD_X86_64 1
#endif

// The function f where the vector versions are built, null elsewhere: an
// entry of a dispatch table with a null function is never supported.
#ifdef LRD_X86_64
#define LRD_X86_64_ONLY(f) (f)
#else
#define LRD_X86_64_ONLY(f) nullptr
#endif

// One bit per feature. The AVX-512 parts travel together as the versions use
// them; split_256 marks the first Zen cores, which run each 256-bit
// operation as two 128-bit halves.
enum cpu_feature : unsigned {
  cpu_avx2 = 1u << 0,
  cpu_avx512f = 1u << 1,
  cpu_avx512bw = 1u << 2,
  cpu_avx512vl = 1u << 3,
  cpu_gfni = 1u << 4,
  cpu_split_256 = 1u << 5,
};

// The features every CPU that runs this build has, as the compiler was told.
constexpr unsigned cpu_baseline = 0
#ifdef __AVX2__
                                  | cpu_avx2
#endif
#ifdef __AVX512F__
                                  | cpu_avx512f
#endif
#ifdef __AVX512BW__
                                  | cpu_avx512bw
#endif
#ifdef __AVX512VL__
                                  | cpu_avx512vl
#endif
#ifdef __GFNI__
                                  | cpu_gfni
#endif
    ;

// The features of this CPU, asked of it once (the compiler's runtime also
// checks that the OS saves the wider registers); nothing where the vector
// versions are not built.
inline unsigned cpu_features() {
  static const unsigned f = [] {
    unsigned m = 0;
#ifdef LRD_X86_64
    if (__builtin_cpu_supports("avx2")) m |= cpu_avx2;
    if (__builtin_cpu_supports("avx512f")) m |= cpu_avx512f;
    if (__builtin_cpu_supports("avx512bw")) m |= cpu_avx512bw;
    if (__builtin_cpu_supports("avx512vl")) m |= cpu_avx512vl;
    if (__builtin_cpu_supports("gfni")) m |= cpu_gfni;
    if (__builtin_cpu_is("znver1")) m |= cpu_split_256;
#endif
    return m;
  }();
  return f;
}

// True when this CPU has every feature of need; no question is asked for
// those the baseline has.
inline bool cpu_has(unsigned need) {
  return (need & ~cpu_baseline) == 0 || (cpu_features() & need) == need;
}

// Instruction sets for the vector versions' functions, one attribute each:
// the function and nothing else in its file is compiled for the set, so no
// inline function of a shared header is ever compiled for it by accident.
// Empty where the baseline has the set already.
#if defined(LRD_X86_64) && !defined(__AVX2__)
#define LRD_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define LRD_TARGET_AVX2
#endif
#if defined(LRD_X86_64) && !(defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__))
#define LRD_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
#else
#define LRD_TARGET_AVX512
#endif
#if defined(LRD_X86_64) && !(defined(__GFNI__) && defined(__AVX512F__) && defined(__AVX512BW__))
#define LRD_TARGET_GFNI __attribute__((target("gfni,avx512f,avx512bw")))
#else
#define LRD_TARGET_GFNI
#endif
// What each kind of version needs.
constexpr unsigned cpu_needs_none = 0;
constexpr unsigned cpu_needs_avx2 = cpu_avx2;
constexpr unsigned cpu_needs_avx512 = cpu_avx512f | cpu_avx512bw | cpu_avx512vl;
constexpr unsigned cpu_needs_gfni = cpu_gfni | cpu_avx512f | cpu_avx512bw;

// For a helper of a vector version: inlined into its caller at every
// optimisation level, so no copy of it exists on its own. A helper of one
// version carries that version's target as well; a scalar helper shared with
// plain code carries none, and is compiled for each caller's set inside it.
#define LRD_INLINE inline __attribute__((always_inline))

}  // namespace lrd
