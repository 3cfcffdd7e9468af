// The stream coroutine and the driver's service loop, proven with a copying
// body: request protocol, exact buffer hand-over, short reads, I/O errors.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "driver/serve.h"
#include "test_util.h"

namespace {

// Copies input to output byte by byte. Its locals must survive every
// suspension: it keeps a count and a checksum in locals and publishes them
// in sum and x only at the end.
coro_task copy_body(coder* c) {
  coro_header* h = &c->coro;
  uint64_t count = 0, check = 0;
  for (;;) {
    uint8_t b = 0;
    bool over = false;
    CORO_READ(h, b, { over = true; break; });
    if (over) break;
    count++;
    check = check * 31 + b;
    CORO_WRITE(h, b);
  }
  c->sum = count;
  c->x = check;
  co_await coro_yield(h, REQ_DONE);
}

uint64_t checksum(const bytes& v) {
  uint64_t s = 0;
  for (uint8_t b : v) s = s * 31 + b;
  return s;
}

TEST(Coro, EmptyInputAsksOnceThenEnds) {
  auto c = std::make_unique<coder>();
  coded r = run_mem(c.get(), copy_body, {});
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.input_requests, 1u);
  EXPECT_EQ(r.output_requests, 0u);
  EXPECT_EQ(c->sum, 0u);
}

TEST(Coro, ExactlyOneFullBufferIsHandedOverWhenItsLastByteIsStored) {
  auto c = std::make_unique<coder>();
  bytes in = random_bytes(65536, 1);
  coded r = run_mem(c.get(), copy_body, in);
  EXPECT_EQ(r.output_requests, 1u);  // the final partial write is then 0 bytes
  EXPECT_EQ(r.out, in);
}

TEST(Coro, LocalsSurviveThousandsOfSuspensions) {
  auto c = std::make_unique<coder>();
  bytes in = random_bytes(300000, 2);
  // One input byte per request and 7-byte output buffers: ~340000 suspensions.
  coded r = run_mem(c.get(), copy_body, in, 1, 7);
  EXPECT_EQ(r.out, in);
  EXPECT_EQ(r.input_requests, in.size() + 1);
  EXPECT_EQ(r.output_requests, in.size() / 7);
  EXPECT_EQ(c->sum, in.size());
  EXPECT_EQ(c->x, checksum(in));
}

TEST(Coro, InputOffsetCountsAcrossBuffers) {
  coder c{};
  coro_header* h = &c.coro;
  uint8_t buf[10] = {};
  h->inp_before = 1000;
  h->inpbeg = buf;
  h->inpptr = buf + 3;
  EXPECT_EQ(coro_input_offset(h), 1003u);
}

struct fds {
  int in = -1, out = -1;
  ~fds() {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
  }
};

TEST(DriverServe, ShortReadsFromAPipeAreConsumedCompletely) {
  bytes in = random_bytes(200000, 3);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread writer([&] {
    for (size_t at = 0; at < in.size();) {
      size_t n = std::min<size_t>(777, in.size() - at);
      ASSERT_EQ(write(p[1], in.data() + at, n), static_cast<ssize_t>(n));
      at += n;
    }
    close(p[1]);
  });
  std::string out_path = tmp_path("pipe.out");
  fds f;
  f.in = p[0];
  f.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto c = std::make_unique<coder>();
  std::string err;
  bool ok = driver_serve(c.get(), copy_body, f.in, f.out, "pipe", "out", &err);
  writer.join();
  EXPECT_TRUE(ok) << err;
  EXPECT_EQ(read_file(out_path), in);
  EXPECT_EQ(c->x, checksum(in));
  std::remove(out_path.c_str());
}

TEST(DriverServe, OutputOfExactlyOneBufferIsWrittenWhole) {
  bytes in = random_bytes(65536, 4);
  std::string in_path = tmp_path("one.in"), out_path = tmp_path("one.out");
  write_file(in_path, in);
  fds f;
  f.in = open(in_path.c_str(), O_RDONLY);
  f.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto c = std::make_unique<coder>();
  std::string err;
  EXPECT_TRUE(driver_serve(c.get(), copy_body, f.in, f.out, "in", "out", &err)) << err;
  EXPECT_EQ(read_file(out_path), in);
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
}

TEST(DriverServe, WriteErrorIsReportedWithTheFileAndReason) {
  bytes in = random_bytes(100000, 5);
  std::string in_path = tmp_path("full.in");
  write_file(in_path, in);
  fds f;
  f.in = open(in_path.c_str(), O_RDONLY);
  f.out = open("/dev/full", O_WRONLY);
  ASSERT_GE(f.out, 0);
  auto c = std::make_unique<coder>();
  std::string err;
  EXPECT_FALSE(driver_serve(c.get(), copy_body, f.in, f.out, "in", "/dev/full", &err));
  EXPECT_EQ(err, "/dev/full: No space left on device");
  std::remove(in_path.c_str());
}

TEST(DriverServe, ReadErrorIsNotTakenForTheEndOfInput) {
  fds f;
  f.in = open("/", O_RDONLY);  // reading a directory fails with EISDIR
  f.out = open("/dev/null", O_WRONLY);
  auto c = std::make_unique<coder>();
  std::string err;
  EXPECT_FALSE(driver_serve(c.get(), copy_body, f.in, f.out, "/", "/dev/null", &err));
  EXPECT_EQ(err, "/: Is a directory");
}

TEST(DriverStats, LineFormat) {
  EXPECT_EQ(driver_stats_line(1000, 3), "sum=1000 x=3 avglen=333.3\n");
  EXPECT_EQ(driver_stats_line(0, 1), "sum=0 x=1 avglen=0.0\n");
  EXPECT_EQ(driver_stats_line(600, 7), "sum=600 x=7 avglen=85.7\n");
  // Counters past 2^31 print in full, not as wrapped 32-bit signed values.
  EXPECT_EQ(driver_stats_line(3000000000u, 45000), "sum=3000000000 x=45000 avglen=66666.6\n");
  EXPECT_EQ(driver_stats_line(10000000000000ull, 5000000000ull),
            "sum=10000000000000 x=5000000000 avglen=2000.0\n");
}

}  // namespace
