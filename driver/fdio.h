// Descriptor I/O: standard descriptors that can be relied on, and reads and
// writes that go on across signals and non-blocking descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/status.h"

// A closed standard descriptor would be taken by the next open(): the output
// file could become descriptor 1 or 2 and get the statistics or the messages
// written into it. Opens each closed one on /dev/null; returns which were
// closed (bit 0 = standard input, and so on).
unsigned reopen_closed_std_fds();

// Writes all n bytes, resuming after short writes and signals, and waiting
// on a descriptor that says EAGAIN.
status write_all(int fd, const uint8_t* p, size_t n);

// Reads up to n bytes into p, likewise resumed and waited for: *got is 0 at
// the end of the input.
status read_some(int fd, uint8_t* p, size_t n, size_t* got);

// Writes the n blocks at p[i], len[i] bytes each, in order, as write_all
// does, with as few calls as the system takes.
//
// With *by_ref, fd is a pipe given the pages themselves (vmsplice), no copy:
// the caller must leave the bytes as they are until they have left the pipe.
// A system that refuses it sets *by_ref false, and the rest is copied.
status writev_all(int fd, const uint8_t* const* p, const size_t* len, unsigned n, bool* by_ref = nullptr);

// Makes the buffer of the pipe fd hold `bytes` where the system allows; a
// refusal leaves it as it was, which only costs more wakeups. Returns the
// buffer's size then, 0 where it cannot tell (fd is no pipe).
int enlarge_pipe(int fd, size_t bytes);

// The pause of a side that can wait while a pipe fills or drains, so that
// the other side moves large pieces and neither is woken for each: from a
// fraction of a millisecond (a pipe of 1 MiB between fast programs) up to
// tens where the other side is slow. A pause after which the pipe has not
// got where it was wanted makes the next twice as long; one after which it
// went empty or full, so that the other side waited, half as long.
class pipe_nap {
 public:
  void sleep() const;
  void longer() { ns_ = ns_ * 2 < cfg_most_ns ? ns_ * 2 : cfg_most_ns; }
  void shorter() { ns_ = ns_ / 2 > cfg_least_ns ? ns_ / 2 : cfg_least_ns; }

 private:
  static constexpr long cfg_least_ns = 100000, cfg_most_ns = 20000000;
  long ns_ = 300000;
};

// Bytes the pipe fd holds, not yet read; -1 where it cannot tell.
int pipe_queued(int fd);

// "name: " and the text of errno.
std::string sys_error(const char* name);
