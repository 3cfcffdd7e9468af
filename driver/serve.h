// The service loop that runs a coder body and serves its input and output
// requests from descriptors, and the statistics line of a run.
#pragma once

#include <cstdint>
#include <string>

#include "codec/coder.h"
#include "driver/input.h"
#include "lib/prefault.h"

// The files of a run, as driver_serve serves them.
struct serve_io {
  int in_fd = -1, out_fd = -1;
  const char* in_name = "";
  const char* out_name = "";
  input_source* in = nullptr;  // set up by input_open; null: plain reads from in_fd
  // The decoder writes into a regular file that it reads back through a
  // mapping reaching outmap_len bytes: written at offsets from file_start
  // on, holes for zeros.
  bool file_out = false;
  size_t outmap_len = 0;
  uint64_t file_start = 0;
};

// Runs `body` over the coder record `c` (already set up for its mode) through
// the service loop, with input from io.in and output through the writer
// thread. Returns false with a one-line message in *err ("name: reason") on
// a read or write error. When pf is given, it is told how far the output has
// come. One at a time: the buffers are the program's own.
bool driver_serve(coder* c, coro_task (*body)(coder*), const serve_io& io, std::string* err, prefault* pf);

// Runs `body` over the coder record `c` (already set up for its mode) through
// the service loop: 65536-byte reads from in_fd, 65536-byte writes to out_fd,
// the final partial write after REQ_DONE. Returns false with a one-line
// message in *err ("name: reason") on a read or write error. When pf is
// given, it is told how far the output has come. One at a time: the buffers
// are the program's own.
bool driver_serve(coder* c, coro_task (*body)(coder*), int in_fd, int out_fd,
                  const char* in_name, const char* out_name, std::string* err, prefault* pf = nullptr);

// The statistics line "sum=… x=… avglen=….…\n".
std::string driver_stats_line(uint64_t sum, uint64_t x);
