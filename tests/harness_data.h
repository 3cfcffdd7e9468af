// The harness's data: generated inputs, stream bytes spelt out, and the
// oracles the coders are checked against (the chunk lengths a fresh chunker
// gives, keys, twins with another chunk's key). Free of GoogleTest.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "chunk/chunker.h"
#include "chunk/digest.h"

using namespace lrd;

using bytes = std::vector<uint8_t>;

inline void harness_abort(const char* what) {
  std::fprintf(stderr, "harness: %s\n", what);
  std::abort();
}

// ---------------------------------------------------------------- data

inline bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

inline bytes random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(rng() >> 56);
  return v;
}

inline bytes cat(std::initializer_list<bytes> parts) {
  bytes v;
  for (const bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// Words of a small vocabulary: many short repeats that rarely line up with
// chunk boundaries.
inline bytes text_like(size_t n, uint64_t seed) {
  static const char* words[] = {"the ", "chunk ", "index ", "window ", "of ", "a ", "stream\n", "data ",
                                "lrdedup ", "int main() {\n", "  return 0;\n}\n", "#include <x>\n"};
  std::mt19937_64 rng(seed);
  bytes v;
  while (v.size() < n) {
    const char* w = words[rng() % 12];
    v.insert(v.end(), w, w + std::strlen(w));
  }
  v.resize(n);
  return v;
}

// Random blocks of 100 + [0, max_len) bytes, each either new or a copy of
// earlier data at a random distance.
inline bytes with_repeats(size_t n, size_t max_distance, uint64_t seed, size_t max_len = 20000) {
  std::mt19937_64 rng(seed);
  bytes v = random_bytes(4096, seed);
  v.reserve(n + 100 + max_len);
  while (v.size() < n) {
    size_t len = 100 + rng() % max_len;
    if (rng() % 3 == 0) {
      bytes r = random_bytes(len, rng());
      v.insert(v.end(), r.begin(), r.end());
    } else {
      size_t d = 1 + rng() % std::min(max_distance, v.size());
      size_t from = v.size() - d;
      for (size_t i = 0; i < len; i++) v.push_back(v[from + i]);
    }
  }
  v.resize(n);
  return v;
}

// ---------------------------------------------------------------- stream bytes

// The 8-byte reference form, spelt out rather than taken from codec/format.h.
inline bytes ref(uint32_t d) {
  return {0xEB, 0x3D, 0xBE, 0x00, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
}
inline const bytes stream_marker = {0xEB, 0x3D, 0xBE};
inline const bytes stream_escape = {0xEB, 0x3D, 0xBE, 0x01};

// Writes the marker and `kind` over the four bytes at `at`.
inline void put_marker(bytes* v, size_t at, uint8_t kind) {
  std::copy(stream_marker.begin(), stream_marker.end(), v->begin() + static_cast<std::ptrdiff_t>(at));
  (*v)[at + 3] = kind;
}

// Markers of kinds 0 to 4 at `count` random places.
inline void sprinkle_markers(bytes* v, size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (size_t k = 0; k < count && v->size() >= 4; k++) {
    size_t at = rng() % (v->size() - 3);
    put_marker(v, at, uint8_t(rng() % 5));
  }
}

// ---------------------------------------------------------------- oracles

inline std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char t[3];
  for (size_t i = 0; i < n; i++) {
    std::snprintf(t, sizeof t, "%02x", p[i]);
    s += t;
  }
  return s;
}

// CRC-32 bit by bit (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF): no
// table, so nothing it shares with the chunker's.
inline uint32_t crc32_bitwise(const uint8_t* p, size_t n) {
  uint32_t r = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) {
    r ^= p[i];
    for (int k = 0; k < 8; k++) r = (r >> 1) ^ (0xEDB88320 & (0u - (r & 1)));
  }
  return ~r;
}

// Chunk lengths of `data` as a fresh chunker cuts it, the final (maybe empty)
// chunk last.
inline std::vector<uint32_t> chunk_lengths(std::span<const uint8_t> data) {
  chunker ck;
  chunker_init(&ck);
  std::vector<uint32_t> out;
  for (uint8_t b : data) {
    chunk_feed_nodigest(&ck, b);
    if (chunk_boundary(&ck)) out.push_back(chunk_close_nodigest(&ck));
  }
  out.push_back(ck.clen);
  return out;
}

// Start offsets of the chunks, the final one's included.
inline std::vector<size_t> chunk_starts(std::span<const uint8_t> data) {
  std::vector<uint32_t> lens = chunk_lengths(data);
  std::vector<size_t> starts{0};
  for (size_t k = 0; k + 1 < lens.size(); k++) starts.push_back(starts.back() + lens[k]);
  return starts;
}

// The data cut back to its last chunk end.
inline bytes up_to_last_cut(bytes v) {
  v.resize(chunk_starts(v).back());
  return v;
}

// A chunk of exactly `len` bytes beginning with `prefix`: random bytes that
// the chunker cuts after the last and not before. A cut depends on the chunk's
// bytes alone, so the chunk keeps its length wherever it is placed.
inline bytes chunk_of(size_t len, const bytes& prefix = {}, uint64_t seed0 = 1) {
  for (uint64_t seed = seed0 * 1000003;; seed++) {
    bytes v = random_bytes(len + 200, seed);
    std::copy(prefix.begin(), prefix.end(), v.begin());
    std::vector<uint32_t> lens = chunk_lengths(v);
    if (lens.size() > 1 && lens[0] == len) return bytes(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(len));
  }
}

// The key a fresh chunker gives `chunk` fed alone.
inline bytes chunk_key(std::span<const uint8_t> chunk) {
  chunker ck;
  chunker_init(&ck);
  for (uint8_t b : chunk) chunk_feed(&ck, b);
  chunk_close(&ck);
  return bytes(ck.hkey, ck.hkey + cfg_hkey);
}

// Other bytes with the key and the cuts of `chunk`, made without any search,
// as anyone could: bytes 16-62 of the first two 63-byte laps changed alike, so
// the XOR of the laps there is kept, and lap 2's bytes 0-15 by what the first
// mix leaves different; the second mix then sees the same block. The last 16
// bytes stay, so the cut at the end stays; a delta that cuts earlier is
// replaced by another. REQUIRES: chunk is a whole chunk (cut at its end and
// not before) of at least 142 bytes.
inline bytes twin_of(const bytes& chunk, uint64_t seed) {
  if (chunk.size() < 142) harness_abort("twin_of: a chunk of 142 bytes or more");
  for (uint64_t s = seed * 7919;; s++) {
    bytes t = chunk;
    const bytes d = random_bytes(47, s);
    for (size_t i = 0; i < 47; i++) {
      t[16 + i] ^= d[i];
      t[79 + i] ^= d[i];
    }
    uint8_t a[cfg_hblk] = {}, b[cfg_hblk] = {};
    for (size_t i = 0; i < 64; i++) {
      hblk_absorb(a, chunk[i]);
      hblk_absorb(b, t[i]);
    }
    for (size_t i = 0; i < 16; i++) t[63 + i] ^= static_cast<uint8_t>(a[i] ^ b[i]);
    if (chunk_lengths(t) != chunk_lengths(chunk)) continue;
    if (t == chunk || chunk_key(t) != chunk_key(chunk)) harness_abort("twin_of: the construction failed");
    return t;
  }
}

// The chunks of `data` (its final piece dropped), each a chunk wherever it is
// placed after a cut.
inline std::vector<bytes> chunks_of(const bytes& data) {
  const std::vector<size_t> s = chunk_starts(data);
  std::vector<bytes> v;
  for (size_t k = 0; k + 1 < s.size(); k++)
    v.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(s[k]), data.begin() + static_cast<std::ptrdiff_t>(s[k + 1]));
  return v;
}
