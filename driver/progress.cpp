// Progress line: bytes read and written, ratio, speed; percentage and time left
// when the input's size is known. At most four updates a second.
#include "driver/progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t cfg_delay_ns = 1000000000;  // nothing for runs shorter than a second
constexpr int64_t cfg_period_ns = 250000000;
constexpr char cfg_erase_seq[] = "\r\033[K";

// Set while a line is on the screen, for progress_erase_from_signal.
volatile sig_atomic_t g_on_screen = 0;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Bytes between the current offset and the end of a regular file or block
// device; 0 when unknown (pipes, terminals, sockets).
uint64_t bytes_left(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0) return 0;
  off_t end = 0;
  if (S_ISREG(st.st_mode)) {
    end = st.st_size;
  } else if (S_ISBLK(st.st_mode)) {
    end = lseek(fd, 0, SEEK_END);
    if (lseek(fd, here, SEEK_SET) != here) return 0;
  }
  return end > here ? static_cast<uint64_t>(end - here) : 0;
}

}  // namespace

void progress_start(progress* p, int in_fd, int out_fd) {
  *p = progress{};
  // On a terminal that also shows the output, the line would land in the data.
  p->enabled = isatty(STDERR_FILENO) == 1 && isatty(out_fd) != 1;
  if (!p->enabled) return;
  p->in_size = bytes_left(in_fd);
  p->start_ns = now_ns();
  p->next_ns = p->start_ns + cfg_delay_ns;
}

void progress_update(progress* p, uint64_t in_total, uint64_t out_add) {
  if (!p->enabled) return;
  if (in_total) p->in_bytes = in_total;
  p->out_bytes += out_add;
  const int64_t t = now_ns();
  if (t < p->next_ns) return;
  p->next_ns = t + cfg_period_ns;

  const double secs = static_cast<double>(t - p->start_ns) / 1e9;
  const double mb_in = static_cast<double>(p->in_bytes) / 1e6;
  const double mb_out = static_cast<double>(p->out_bytes) / 1e6;
  const double ratio =
      p->in_bytes ? 100.0 * static_cast<double>(p->out_bytes) / static_cast<double>(p->in_bytes) : 0.0;
  const double speed = secs > 0 ? mb_in / secs : 0.0;
  char tail[64] = "";
  if (p->in_size && p->in_bytes <= p->in_size && speed > 0) {
    const double left = (static_cast<double>(p->in_size - p->in_bytes) / 1e6) / speed;
    const long long s = static_cast<long long>(std::min(left, 1e7));  // a stalled start: no overflow
    std::snprintf(tail, sizeof tail, ", %.0f%%, %lld:%02lld left",
                  100.0 * static_cast<double>(p->in_bytes) / static_cast<double>(p->in_size), s / 60,
                  s % 60);
  }
  char line[256];
  int n = std::snprintf(line, sizeof line, "lrdedup: %.1f MB read, %.1f MB written (%.1f%%), %.0f MB/s%s",
                        mb_in, mb_out, ratio, speed, tail);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  // A line as wide as the terminal would wrap, and the carriage return would
  // then go back to the start of its last row only.
  struct winsize ws;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && len > ws.ws_col - 1u)
    len = ws.ws_col - 1u;
  // Marked before it is written: a signal that comes as soon as the line
  // shows must find it marked.
  p->shown = true;
  g_on_screen = 1;
  std::fputs(cfg_erase_seq, stderr);
  std::fwrite(line, 1, len, stderr);
  std::fflush(stderr);
}

void progress_end(progress* p) {
  if (p->shown) {
    std::fputs(cfg_erase_seq, stderr);
    std::fflush(stderr);
  }
  p->shown = false;
  g_on_screen = 0;
}

void progress_erase_from_signal() {
  if (g_on_screen) {
    ssize_t r = write(STDERR_FILENO, cfg_erase_seq, sizeof cfg_erase_seq - 1);
    (void)r;
  }
}
