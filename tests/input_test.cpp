// The ring a pipe is read into, by its reader thread: every byte handed out
// in order, and the bytes the coder may still check against never written
// over, however far the reader runs ahead or the writer lags.
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "driver/input.h"
#include "test_util.h"

namespace {

constexpr uint64_t mib = uint64_t{1} << 20;

TEST(InputRing, HandsOutEveryByteAndKeepsWhatItMust) {
  // A 4 MiB ring keeping 1.5 MiB: the reader may run up to 2.5 MiB ahead and
  // wraps the ring ten times.
  const uint64_t ring = 4 * mib, keep = 3 * mib / 2;
  const bytes data = random_bytes(40 * mib + 12345, 71);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    std::mt19937_64 rng(72);
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min<size_t>(data.size() - at, 1 + rng() % 300000);
      const ssize_t k = write(fds[1], data.data() + at, n);
      if (k <= 0) break;
      at += static_cast<size_t>(k);
      if (rng() % 16 == 0) usleep(200);  // now and then the reader waits for the pipe
    }
    close(fds[1]);
  });
  input_source in;
  ASSERT_TRUE(input_open_ring(&in, fds[0], ring, keep));
  std::mt19937_64 rng(73);
  uint64_t at = 0;
  for (;;) {
    const uint8_t* p = nullptr;
    const ssize_t n = input_next(&in, &p);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    ASSERT_LE(at + static_cast<uint64_t>(n), data.size());
    ASSERT_EQ(p, in.buf + at % ring) << "bytes handed out where they lie in the ring";
    ASSERT_EQ(std::memcmp(p, data.data() + at, static_cast<size_t>(n)), 0) << "at " << at;
    at += static_cast<uint64_t>(n);
    // Now and then the coder lags, and the reader runs as far ahead as it
    // may; what the ring must keep is still there.
    if (rng() % 4 == 0) usleep(2000);
    const uint64_t from = at > keep ? at - keep : 0;
    for (uint64_t o = from; o < at; o += 4093)
      ASSERT_EQ(in.buf[o % ring], data[o]) << "kept byte " << o << " written over, " << at << " handed out";
  }
  EXPECT_EQ(at, data.size());
  EXPECT_TRUE(in.reader) << "the reader thread ran";
  input_close(&in);
  writer.join();
  close(fds[0]);
}

}  // namespace
