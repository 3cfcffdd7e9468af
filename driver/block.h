// The mode's large block (the encoder's chunk index, the decoder's window) and
// the decoder's chunk-start map: zero-filled, committed only where touched.
#pragma once

#include <cstddef>

#include "codec/index.h"
#include "lib/memory.h"
#include "lib/prefault.h"

struct run_block {
  void* p = nullptr;
  size_t bytes = 0;
  void* chunkmap = nullptr;  // decoder only; null when it could not be had
  size_t map_bytes = 0;
  prefault pf;               // commits p's pages from a second thread
  const void* outmap = nullptr;  // decoder into a file: the output, mapped for reading
  size_t outmap_len = 0;         // bytes from outmap on
  uint64_t outmap_start = 0;     // the file offset of outmap (where the output starts)
  size_t outmap_skip = 0;        // mapped bytes before outmap: the mapping starts on a page
};

// Memory for the encoder's index (index_init_growing). It never
// refuses: where the memory cannot be had, the run ends with a message,
// status 1 and its output removed.
index_mem index_memory();

// Maps the decoder's window of `bytes` on huge pages, committed a little
// ahead of the output (told by prefault_advance on b->pf), and then its
// chunk-start map of map_bytes; without the map every reference takes the
// plain copy. False, with nothing mapped, when the window cannot be had.
bool map_window_block(run_block* b, size_t bytes, size_t map_bytes);

// Decoding into the regular file out_fd: maps the file for reading from
// b->outmap_start (where the output begins) as far as it may grow (a large reach of address space; the pages come from the page
// cache) and the chunk-start map of map_bytes, with no window: the output is
// the history. False, with nothing mapped, where the file cannot be mapped;
// the window then serves.
bool map_output_history(run_block* b, int out_fd, size_t map_bytes);

// Stops committing and unmaps everything mapped.
void release_block(run_block* b);
