// Stream format constants and the helpers that store and load stream bytes.
// docs/FORMAT.md describes the format in prose.
//
// The stream is the input's chunks in order, each as a plain literal (its
// bytes), an escaped literal (marker + kind 0x01, then its bytes) or a
// reference (marker + kind 0x00, then a 32-bit little-endian distance). No
// header, trailer or lengths: both sides find chunk ends with the chunker.
// Multi-byte values are stored and loaded a byte at a time, so the stream is
// the same on every host.
#pragma once

#include <cstdint>

#include "chunk/chunker.h"
#include "codec/params.h"

namespace lrd {

constexpr uint8_t fmt_marker0 = 0xEB;
constexpr uint8_t fmt_marker1 = 0x3D;
constexpr uint8_t fmt_marker2 = 0xBE;
constexpr uint8_t fmt_kind_ref = 0x00;     // 4-byte distance follows
constexpr uint8_t fmt_kind_escape = 0x01;  // a literal whose bytes begin like a marker
constexpr uint8_t fmt_kind_reserved = 0x02;  // never written; escaped when a literal begins so
constexpr uint32_t fmt_ref_bytes = 8;      // marker, kind, distance
constexpr uint32_t fmt_escape_bytes = 4;   // marker, kind

// The decoder's chunk buffer: room for the longest chunk behind the 4 held
// escape bytes and the unused slot 4, as an escaped chunk is stored from index 5.
constexpr uint32_t cfg_cbuf = 65540;
static_assert(cfg_cbuf >= fmt_escape_bytes + 1 + cfg_maxchunk, "an escaped chunk of 65535 bytes fits");

// Window bytes per entry of the fast decoder's chunk-start map. A chunk that
// is not the last has at least cfg_minchunk bytes, so a block holds at most
// one chunk start.
constexpr uint32_t cfg_mapblock = 64;
static_assert(cfg_mapblock <= cfg_minchunk, "one chunk start per map block");

// True when the first three bytes at p are the marker. REQUIRES: 3 bytes at p.
inline bool fmt_is_marker(const uint8_t* p) {
  return p[0] == fmt_marker0 && p[1] == fmt_marker1 && p[2] == fmt_marker2;
}

// True when a literal chunk's first bytes must be escaped: the marker followed
// by a kind of 0x00, 0x01 or 0x02. REQUIRES: at least 4 bytes at p.
inline bool fmt_needs_escape(const uint8_t* p) { return fmt_is_marker(p) && p[3] <= fmt_kind_reserved; }

// Writes the 4-byte header of a chunk of `kind`: the marker and the kind byte.
inline void fmt_put_header(uint8_t* p, uint8_t kind) {
  p[0] = fmt_marker0;
  p[1] = fmt_marker1;
  p[2] = fmt_marker2;
  p[3] = kind;
}

// Little-endian 32-bit value, a byte at a time.
inline void fmt_put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t fmt_get_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Writes the 8-byte reference form for `distance`.
inline void fmt_put_ref(uint8_t* p, uint32_t distance) {
  fmt_put_header(p, fmt_kind_ref);
  fmt_put_u32(p + 4, distance);
}

// Adds distance byte k (0: least significant) to d, for a distance read a
// byte at a time. A byte missing at the end of the stream counts as -1 before
// it is shifted in, so a missing byte k takes 2^(8k) off.
inline uint32_t fmt_distance_byte(uint32_t d, int v, uint32_t k) {
  return d + (static_cast<uint32_t>(v) << (8 * k));
}

}  // namespace lrd
