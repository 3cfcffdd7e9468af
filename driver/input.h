// A run's input, read into one buffer (or, for the encoder's history when the
// input is not a regular file, into a ring of its last bytes).
// The encoder's input from a regular file is a read-only mapping of it, which
// is its history too: pages come from the page cache, and the coder copies
// each byte in once.
#pragma once

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lib/prefault.h"
#include "lrdedup.h"

// A pipe or socket is read in pieces this large (and a pipe's buffer made
// this large where allowed): each read or write of 64 KiB would otherwise
// wake the process at the other end. Any other input is read in pieces of
// cfg_read_small.
constexpr size_t cfg_read_piece = size_t{1} << 20;
constexpr size_t cfg_read_small = size_t{64} << 10;

// The ring of an input that cannot be mapped: the history the encoder checks
// against, and room for the reader to read ahead of it. A read never
// straddles its end.
constexpr uint64_t cfg_in_ring = LRD_HISTORY_RING + (uint64_t{32} << 20);
static_assert(cfg_in_ring % cfg_read_piece == 0, "whole reads fill the ring");

struct input_source {
  int fd = -1;
  uint8_t* buf = nullptr;   // the read buffer, or the ring
  uint64_t ring = 0;        // ring length; 0 for one buffer
  size_t piece = 0;         // most bytes a read asks for
  int pipe_cap = 0;         // the buffer of a pipe read from, 0 for any other input
  const uint8_t* map = nullptr;  // the input's first byte in the mapping
  size_t map_len = 0;       // bytes mapped from there (to the file's end when last looked at)
  size_t map_skip = 0;      // mapped bytes before map: the mapping starts on a page
  uint64_t start = 0;       // a mapped file's offset where the input starts (standard input may be anywhere)
  uint64_t at = 0;          // bytes delivered so far
  uint64_t dropped = 0;     // mapped bytes before this are released from the resident set
  bool shrunk = false;      // the mapped file ended before the bytes handed out
  lrd::prefault pf;              // commits the ring's pages ahead of the reads, where no reader does
  // The ring's reader thread, where one could be started: it reads ahead of
  // the coder and commits the pages it reads into, while the coder works on
  // what came before; input_next only hands out what it has read.
  bool reader = false;
  pthread_t thread{};
  std::atomic<uint64_t> got{0};      // bytes the reader has put in the ring
  std::atomic<int> end{0};           // 1: the input ended at got; 2: a read failed with err
  std::atomic<uint32_t> told{0};     // bumped after got or end changes: what input_next waits on
  std::atomic<uint64_t> handed{0};   // bytes handed to the coder; bumped once more to stop the reader
  std::atomic<bool> stop{false};
  int err = 0;
  uint64_t read_ahead = 0;  // how far beyond what was handed out the reader may fill the ring
};

// Sets up the input of fd (st its status). history: the encoder's, kept by a
// mapping or a ring. A pipe is read in large pieces, its buffer enlarged
// where the system allows. False, with errno set, when the ring cannot be had.
bool input_open(input_source* in, int fd, const struct stat& st, bool history);

// The ring alone, of `ring` bytes (a multiple of the read size), which keeps
// the `keep` bytes before the end of what it has handed out: input_open's
// for a history that cannot be mapped, with the program's sizes. False,
// with errno set, when the ring cannot be had.
bool input_open_ring(input_source* in, int fd, uint64_t ring, uint64_t keep);

// Points *p at the next bytes of the input: their count, 0 at the end, -1
// with errno set on a read error, or with shrunk set when a mapped file
// ended early. A mapped file is not read but handed out where it lies, so
// nobody sharing the descriptor's offset can take bytes away; at its end the
// offset is set behind the bytes handed out, as reads would have left it.
// The bytes stay put until the next call, and, with a history, as long as
// input_history says.
ssize_t input_next(input_source* in, const uint8_t** p);

// The history for the encoder: byte o at hist[o % ring] (ring 0: hist[o]).
// Changes only in input_next.
const uint8_t* input_history(const input_source* in, uint64_t* ring);

void input_close(input_source* in);
