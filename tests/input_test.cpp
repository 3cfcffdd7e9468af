// The program's pipes. The ring a pipe is read into, by its reader thread:
// every byte handed out in order, and the bytes the coder may still check
// against never written over, however far the reader runs ahead or the
// writer lags. Views a pipe is given by reference: never written over while
// the pipe still holds them, however slow its reader.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "driver/input.h"
#include "driver/out_queue.h"
#include "test_util.h"

using namespace lrd;

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
  ASSERT_TRUE(in.open_ring(fds[0], ring, keep).ok());
  uint64_t ring_len = 0;
  const uint8_t* buf = in.history(&ring_len);
  ASSERT_EQ(ring_len, ring);
  std::mt19937_64 rng(73);
  uint64_t at = 0;
  for (;;) {
    const uint8_t* p = nullptr;
    size_t n = 0;
    ASSERT_TRUE(in.next(&p, &n).ok());
    if (n == 0) break;
    ASSERT_LE(at + static_cast<uint64_t>(n), data.size());
    ASSERT_EQ(p, buf + at % ring) << "bytes handed out where they lie in the ring";
    ASSERT_EQ(std::memcmp(p, data.data() + at, static_cast<size_t>(n)), 0) << "at " << at;
    at += static_cast<uint64_t>(n);
    // Now and then the coder lags, and the reader runs as far ahead as it
    // may; what the ring must keep is still there.
    if (rng() % 4 == 0) usleep(2000);
    const uint64_t from = at > keep ? at - keep : 0;
    for (uint64_t o = from; o < at; o += 4093)
      ASSERT_EQ(buf[o % ring], data[o]) << "kept byte " << o << " written over, " << at << " handed out";
  }
  EXPECT_EQ(at, data.size());
  EXPECT_TRUE(in.reads_ahead()) << "the reader thread ran";
  in.close();
  writer.join();
  close(fds[0]);
}

TEST(OutWriter, ViewsAPipeHoldsByReferenceAreNotWrittenOverBeforeTheyLeaveIt) {
  // The producer writes block k into slot k % 40 of its ring, so a view stays
  // put for only 39 blocks: fewer than the writer's queue and a pipe of
  // 1 MiB hold between them. A reader that often stops would see blocks
  // written over if the writer handed on views the pipe still held.
  constexpr size_t block = cfg_out_block, slots = 40, blocks = 1500;
  auto word = [](uint64_t k, size_t i) { return (k * 0x9E3779B97F4A7C15u) ^ (i * 0xD6E8FEB86659FD93u); };
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  enlarge_pipe(fds[1], size_t{1} << 20);
  uint64_t seen = 0, wrong = 0;
  std::thread reader([&] {
    std::mt19937_64 rng(74);
    std::vector<uint8_t> buf(300000);
    for (;;) {
      const ssize_t n = read(fds[0], buf.data(), 1 + rng() % buf.size());
      if (n <= 0) break;
      for (ssize_t j = 0; j < n; j++, seen++) {
        const uint64_t w = word(seen / block, seen % block / 8);
        if (buf[static_cast<size_t>(j)] != static_cast<uint8_t>(w >> (seen % 8 * 8))) wrong++;
      }
      if (rng() % 8 == 0) usleep(3000);
    }
  });
  void* ring = mmap(nullptr, slots * block, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(ring, MAP_FAILED);
  progress prog{};
  {
    out_queue out;
    ASSERT_TRUE(out.start(fds[1], &prog).ok());
    out.views_stay((slots - 1) * block);
    for (uint64_t k = 0; k < blocks; k++) {
      uint64_t* p = static_cast<uint64_t*>(ring) + k % slots * (block / 8);
      for (size_t i = 0; i < block / 8; i++) p[i] = word(k, i);
      ASSERT_TRUE(out.submit_view(reinterpret_cast<const uint8_t*>(p), block).ok());
    }
    ASSERT_TRUE(out.finish().ok());
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);
  munmap(ring, slots * block);
  EXPECT_EQ(seen, blocks * block);
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
