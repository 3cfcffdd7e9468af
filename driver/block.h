// The output file as the decoder's history: mapped for reading from where
// the output starts, as far as the output may grow.
#pragma once

#include <cstddef>
#include <cstdint>

struct output_map {
  const uint8_t* p = nullptr;  // the output's first byte, mapped
  size_t len = 0;              // bytes mapped from there
  uint64_t start = 0;          // the file offset of p (where the output starts)
  size_t skip = 0;             // mapped bytes before p: the mapping starts on a page
};

// Maps the regular file out_fd for reading from m->start on, as far as the
// address space allows (pages come from the page cache, and holes read as
// zeros). False, with nothing mapped, where the file cannot be mapped; the
// decoder's window then serves.
bool map_output(output_map* m, int out_fd);

void unmap_output(output_map* m);
