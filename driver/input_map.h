// The encoder's input from a regular file: a read-only mapping of it, which
// is its history too. Pages come from the page cache, and the coder copies
// each byte in once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/status.h"

class mapped_input {
 public:
  mapped_input() = default;
  mapped_input(const mapped_input&) = delete;
  mapped_input& operator=(const mapped_input&) = delete;
  ~mapped_input() { close(); }

  // Maps the file fd from the offset `start` where the input begins to its
  // end (`size`), and arms the input's mapping-fault slot. False where it
  // cannot be mapped (a ring serves then).
  bool open(int fd, uint64_t start, uint64_t size);

  // Points *p at the next bytes, *n of them, 0 at the end. Not read but
  // handed out where they lie, so nobody sharing the descriptor's offset can
  // take bytes away; at the end the offset is set behind the bytes handed
  // out, as reads would have left it. A file that grew is followed; one cut
  // short before the bytes handed out fails (changed_size).
  status next(const uint8_t** p, size_t* n);

  // Byte o of the input at history()[o]; moves only in next.
  const uint8_t* history() const { return map_; }

  void close();

 private:
  status follow_growth();
  void drop_behind();

  int fd_ = -1;
  const uint8_t* map_ = nullptr;  // the input's first byte in the mapping
  size_t len_ = 0;          // bytes mapped from there (to the file's end when last looked at)
  size_t skip_ = 0;         // mapped bytes before map_: the mapping starts on a page
  uint64_t start_ = 0;      // the file offset where the input starts (standard input may be anywhere)
  uint64_t at_ = 0;         // bytes handed out so far
  uint64_t dropped_ = 0;    // mapped bytes before this are released from the resident set
};
