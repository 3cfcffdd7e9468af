// Stream format constants. docs/FORMAT.md describes the format in prose.
//
// The stream is the input's chunks in order, each as a plain literal (its
// bytes), an escaped literal (marker + kind 0x01, then its bytes) or a
// reference (marker + kind 0x00, then a 32-bit little-endian distance). No
// header, trailer or lengths: both sides find chunk ends with the chunker.
#pragma once

#include <cstdint>

constexpr uint8_t fmt_marker0 = 0xEB;
constexpr uint8_t fmt_marker1 = 0x3D;
constexpr uint8_t fmt_marker2 = 0xBE;
constexpr uint8_t fmt_kind_ref = 0x00;     // 4-byte distance follows
constexpr uint8_t fmt_kind_escape = 0x01;  // a literal whose bytes begin like a marker
constexpr uint8_t fmt_kind_reserved = 0x02;  // never written; escaped when a literal begins so
constexpr uint32_t fmt_ref_bytes = 8;      // marker, kind, distance
constexpr uint32_t fmt_escape_bytes = 4;   // marker, kind

// True when a literal chunk's first bytes must be escaped: the marker followed
// by a kind of 0x00, 0x01 or 0x02. REQUIRES: at least 4 bytes at p.
inline bool fmt_needs_escape(const uint8_t* p) {
  return p[0] == fmt_marker0 && p[1] == fmt_marker1 && p[2] == fmt_marker2 &&
         p[3] <= fmt_kind_reserved;
}
