// A run's input: one of three sources behind one small interface, called
// once per buffer. The encoder's input is its history too: a mapping of a
// regular file, or else a ring of its last bytes; the decoder's is read
// into one buffer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <variant>

#include "driver/input_map.h"
#include "driver/input_ring.h"
#include "driver/status.h"
#include "lrdedup.h"

// The ring of an input that cannot be mapped: the history the encoder checks
// against, and room for the reader to read ahead of it. A read never
// straddles its end.
constexpr uint64_t cfg_in_ring = LRD_HISTORY_RING + (uint64_t{32} << 20);
static_assert(cfg_in_ring % cfg_read_piece == 0, "whole reads fill the ring");

// Input without a history, read into one buffer of its own.
class plain_input {
 public:
  plain_input() = default;
  plain_input(const plain_input&) = delete;
  plain_input& operator=(const plain_input&) = delete;
  ~plain_input() { close(); }

  // Fails (no memory) when the buffer cannot be had.
  status open(int fd, size_t piece);
  status next(const uint8_t** p, size_t* n);
  const uint8_t* history() const { return nullptr; }
  void close();

 private:
  int fd_ = -1;
  uint8_t* buf_ = nullptr;  // cfg_read_piece bytes
  size_t piece_ = 0;        // most bytes a read asks for
};

class input_source {
 public:
  // Sets up the input of fd (st its status). history: the encoder's, kept by
  // a mapping or a ring. A pipe is read in large pieces, its buffer enlarged
  // where the system allows. Fails (no memory) when the buffer or the ring
  // cannot be had.
  status open(int fd, const struct stat& st, bool history);

  // The ring alone, of `ring` bytes (a multiple of cfg_read_piece), which
  // keeps the `keep` bytes before the end of what it has handed out: open's
  // for a history that cannot be mapped, with the program's sizes.
  status open_ring(int fd, uint64_t ring, uint64_t keep);

  // Points *p at the next bytes of the input, *n of them, 0 at the end. A
  // read error is the system's; a mapped file cut short is changed_size.
  // The bytes stay put until the next call, and, with a history, as long as
  // history() says.
  status next(const uint8_t** p, size_t* n) {
    return std::visit([&](auto& s) { return next_of(s, p, n); }, src_);
  }

  // The history for the encoder: byte o at hist[o % *ring] (ring 0:
  // hist[o]); null without one. Changes only in next.
  const uint8_t* history(uint64_t* ring) const;

  // A ring whose reader thread reads ahead of the coder.
  bool reads_ahead() const;

  // Lets the input go: stops its threads, unmaps it. Also on destruction.
  void close() { src_.emplace<std::monostate>(); }

 private:
  static status next_of(std::monostate&, const uint8_t**, size_t* n) {
    *n = 0;
    return {};
  }
  template <class S>
  static status next_of(S& s, const uint8_t** p, size_t* n) {
    return s.next(p, n);
  }

  std::variant<std::monostate, plain_input, mapped_input, ring_input> src_;
};
