// Reads and writes that see a signal or a non-blocking descriptor as a
// reason to try again, never as an error.
#include "driver/fdio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Waits until fd is ready for `events`; a descriptor set non-blocking by
// whoever handed it to us says EAGAIN instead of waiting itself.
void wait_ready(int fd, short events) {
  pollfd pf{fd, events, 0};
  // Any other failure is left to the call retried after it, which then
  // reports its own error.
  while (poll(&pf, 1, -1) < 0 && errno == EINTR) continue;
}

}  // namespace

unsigned reopen_closed_std_fds() {
  unsigned closed = 0;
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed |= 1u << fd;
    int k = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (k >= 0 && k != fd) {
      // A failed dup2 leaves fd closed, as it was found: no worse than before.
      (void)dup2(k, fd);
      close(k);
    }
  }
  return closed;
}

status write_all(int fd, const uint8_t* p, size_t n) { return writev_all(fd, &p, &n, 1); }

status read_some(int fd, uint8_t* p, size_t n, size_t* got) {
  for (;;) {
    const ssize_t k = read(fd, p, n);
    if (k >= 0) {
      *got = static_cast<size_t>(k);
      return {};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait_ready(fd, POLLIN);
      continue;
    }
    if (errno != EINTR) return status::from_errno();
  }
}

status writev_all(int fd, const uint8_t* const* p, const size_t* len, unsigned n, bool* by_ref) {
  constexpr unsigned cfg_most = 16;
  iovec v[cfg_most];
  unsigned first = 0;  // blocks before it are written
  size_t done = 0;     // bytes of block `first` written
  for (;;) {
    while (first < n && len[first] == done) {  // written, or empty: no call
      first++;
      done = 0;
    }
    if (first == n) return {};
    unsigned k = 0;
    for (unsigned i = first; i < n && k < cfg_most; i++, k++) {
      const size_t skip = i == first ? done : 0;
      v[k] = {const_cast<uint8_t*>(p[i]) + skip, len[i] - skip};
    }
    const bool ref = by_ref && *by_ref;
    const ssize_t w = ref ? vmsplice(fd, v, k, 0) : writev(fd, v, static_cast<int>(k));
    if (w < 0) {
      if (errno == EINTR) continue;
      if (ref && (errno == EINVAL || errno == ENOSYS || errno == EPERM)) {
        *by_ref = false;  // not a pipe after all, or not allowed: copied
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(fd, POLLOUT);
        continue;
      }
      return status::from_errno();
    }
    // Past the blocks written whole, into the one written in part.
    size_t left = static_cast<size_t>(w);
    while (first < n && left >= len[first] - done) {
      left -= len[first] - done;
      first++;
      done = 0;
    }
    done += left;
  }
}

int pipe_queued(int fd) {
  int queued = 0;
  return ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

void pipe_nap::sleep() const {
  const timespec t{0, ns_};
  nanosleep(&t, nullptr);
}

int enlarge_pipe(int fd, size_t bytes) {
#ifdef F_SETPIPE_SZ
  const int now = fcntl(fd, F_GETPIPE_SZ);
  if (now < 0) return 0;
  if (static_cast<size_t>(now) >= bytes) return now;
  const int k = fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes));
  return k >= 0 ? k : now;
#else
  (void)fd;
  (void)bytes;
  return 0;
#endif
}

std::string sys_error(const char* name) { return std::string(name) + ": " + std::strerror(errno); }
