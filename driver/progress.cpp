// Progress line: bytes read and written, ratio, speed; percentage and time left
// when the input's size is known. At most four updates a second.
#include "driver/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t delay_ns = 1000000000;  // nothing for runs shorter than a second
constexpr int64_t period_ns = 250000000;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void progress_start(progress* p, int in_fd, int /*out_fd*/) {
  *p = progress{};
  p->enabled = isatty(STDERR_FILENO) == 1;
  if (!p->enabled) return;
  struct stat st;
  if (fstat(in_fd, &st) == 0 && S_ISREG(st.st_mode)) p->in_size = static_cast<uint64_t>(st.st_size);
  p->start_ns = now_ns();
  p->next_ns = p->start_ns + delay_ns;
}

void progress_update(progress* p, uint64_t in_total, uint64_t out_add) {
  if (!p->enabled) return;
  if (in_total) p->in_bytes = in_total;
  p->out_bytes += out_add;
  const int64_t t = now_ns();
  if (t < p->next_ns) return;
  p->next_ns = t + period_ns;

  const double secs = static_cast<double>(t - p->start_ns) / 1e9;
  const double mb_in = static_cast<double>(p->in_bytes) / 1e6;
  const double mb_out = static_cast<double>(p->out_bytes) / 1e6;
  const double ratio = p->in_bytes ? 100.0 * static_cast<double>(p->out_bytes) / static_cast<double>(p->in_bytes) : 0.0;
  const double speed = secs > 0 ? mb_in / secs : 0.0;
  char tail[64] = "";
  if (p->in_size && p->in_bytes <= p->in_size && speed > 0) {
    const double left = (static_cast<double>(p->in_size - p->in_bytes) / 1e6) / speed;
    std::snprintf(tail, sizeof tail, "  %3.0f%%  %d:%02d left",
                  100.0 * static_cast<double>(p->in_bytes) / static_cast<double>(p->in_size),
                  static_cast<int>(left) / 60, static_cast<int>(left) % 60);
  }
  std::fprintf(stderr, "\r\033[Klrdedup: %.1f MB read, %.1f MB written (%.1f%%), %.0f MB/s%s", mb_in,
               mb_out, ratio, speed, tail);
  std::fflush(stderr);
  p->shown = true;
}

void progress_end(progress* p) {
  if (p->shown) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  p->shown = false;
}
