// A self-overwriting progress line on standard error: only when standard error
// is a terminal, the output is not one, and the run has lasted over a second.
#pragma once

#include <cstdint>

struct progress {
  bool enabled;      // standard error is a terminal and the output is not
  bool shown;        // a line is on the screen and must be erased
  uint64_t in_size;  // bytes left in the input when known (a file or block device), else 0
  uint64_t in_bytes, out_bytes;
  int64_t start_ns, next_ns;  // monotonic clock: start, next update due
};

void progress_start(progress* p, int in_fd, int out_fd);
// in_total: input bytes read so far (0 leaves the count as it is);
// out_add: output bytes just written.
void progress_update(progress* p, uint64_t in_total, uint64_t out_add);
// Erases the line, if one was shown, before the statistics are printed.
void progress_end(progress* p);
// Erases the line, if one is shown, from a signal handler (async-signal-safe).
void progress_erase_from_signal();
