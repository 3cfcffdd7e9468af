// The service loops that run an encoder or a decoder of the library over
// the run's files, and the statistics line of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/input.h"
#include "driver/status.h"
#include "lrdedup.h"

// The files of a run, as the loops serve them.
struct serve_io {
  int in_fd = -1, out_fd = -1;
  const char* in_name = "";
  const char* out_name = "";
  // The decoder writes into a regular file that it reads back through a
  // mapping reaching outmap_len bytes: written at offsets from file_start
  // on, holes for zeros.
  bool file_out = false;
  size_t outmap_len = 0;
  uint64_t file_start = 0;
};

// The bytes a loop read and wrote.
struct serve_totals {
  uint64_t in = 0, out = 0;
};

// Encodes `in` (opened with a history) into io.out_fd through the writer
// thread, handing the encoder the input where it lies in its history and
// letting it write straight into the output blocks. Fails with a one-line
// message ("name: reason") on a read or write error, or when the chunk index
// or the output blocks cannot be had. *t: what was read and written.
status serve_encoder(lrd_encoder* e, input_source* in, const serve_io& io, serve_totals* t);

// Decodes io.in_fd into io.out_fd through the writer thread, which writes the
// decoder's output where the decoder holds it. REQUIRES: d's input set
// stable (the input buffer stays put until the decoder has taken it).
// Fails with a one-line message on a read or write error, or when the
// decoder's memory or the buffers cannot be had. *t: what was read and
// written.
status serve_decoder(lrd_decoder* d, const serve_io& io, serve_totals* t);

// The statistics line "sum=… x=… avglen=….…\n".
std::string driver_stats_line(uint64_t sum, uint64_t x);
