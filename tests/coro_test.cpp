// The stream coroutine, proven with a copying body: request protocol, exact
// buffer hand-over, locals across suspensions; and the driver's service
// loops over the library's coders: short reads, I/O errors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "driver/serve.h"
#include "test_util.h"

using namespace lrd;

namespace {

// Copies input to output byte by byte. Its locals must survive every
// suspension: it keeps a count and a checksum in locals and publishes them
// in bytes and chunks only at the end.
coro_task copy_body(decoder_state* c) {
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
  c->bytes = count;
  c->chunks = check;
  co_await coro_yield(h, REQ_DONE);
}

uint64_t checksum(const bytes& v) {
  uint64_t s = 0;
  for (uint8_t b : v) s = s * 31 + b;
  return s;
}

TEST(Coro, EmptyInputAsksOnceThenEnds) {
  auto c = std::make_unique<decoder_state>();
  coded r = run_mem(c.get(), copy_body, {});
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.input_requests, 1u);
  EXPECT_EQ(r.output_requests, 0u);
  EXPECT_EQ(c->bytes, 0u);
}

TEST(Coro, ExactlyOneFullBufferIsHandedOverWhenItsLastByteIsStored) {
  auto c = std::make_unique<decoder_state>();
  bytes in = random_bytes(65536, 1);
  coded r = run_mem(c.get(), copy_body, in);
  EXPECT_EQ(r.output_requests, 1u);  // the final partial write is then 0 bytes
  EXPECT_EQ(r.out, in);
}

TEST(Coro, LocalsSurviveThousandsOfSuspensions) {
  auto c = std::make_unique<decoder_state>();
  bytes in = random_bytes(300000, 2);
  // One input byte per request and 7-byte output buffers: ~340000 suspensions.
  coded r = run_mem(c.get(), copy_body, in, 1, 7);
  EXPECT_EQ(r.out, in);
  EXPECT_EQ(r.input_requests, in.size() + 1);
  EXPECT_EQ(r.output_requests, in.size() / 7);
  EXPECT_EQ(c->bytes, in.size());
  EXPECT_EQ(c->chunks, checksum(in));
}

TEST(Coro, InputOffsetCountsAcrossBuffers) {
  decoder_state c{};
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

// The service loops over the library's coders: the encoder served from a
// pipe written in short pieces, the decoder's output of exactly one buffer,
// and errors named with their file.
TEST(Serve, AnEncoderFedFromAPipeInShortPiecesWritesTheStream) {
  const bytes in = with_repeats(3 << 20, 1 << 20, 3);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread writer([&] {
    for (size_t at = 0; at < in.size();) {
      const size_t n = std::min<size_t>(777, in.size() - at);
      ASSERT_EQ(write(p[1], in.data() + at, n), static_cast<ssize_t>(n));
      at += n;
    }
    close(p[1]);
  });
  const std::string out_path = tmp_path("pipe.out");
  fds f;
  f.in = p[0];
  f.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  input_source src;
  struct stat st;
  ASSERT_EQ(fstat(f.in, &st), 0);
  ASSERT_TRUE(src.open(f.in, st, true).ok());
  lrd_encoder* e = nullptr;
  ASSERT_EQ(lrd_encoder_create(&e, nullptr), LRD_OK);
  serve_io io;
  io.in_fd = f.in;
  io.out_fd = f.out;
  serve_totals t;
  const status s = serve_encoder(e, &src, io, &t);
  EXPECT_TRUE(s.ok()) << s.line("", "");
  lrd_stats stats;
  lrd_encoder_stats(e, &stats);
  lrd_encoder_free(e);
  src.close();
  writer.join();
  EXPECT_EQ(read_file(out_path), encode_mem(in));
  EXPECT_EQ(stats.bytes, in.size());
  EXPECT_EQ(t.in, in.size());
  EXPECT_EQ(t.out, read_file(out_path).size());
  std::remove(out_path.c_str());
}

// Decodes `in_path` into the descriptor out: serve_decoder's result and message.
bool decode_fd(const std::string& in_path, int out, const char* out_name, std::string* err) {
  fds f;
  f.in = open(in_path.c_str(), O_RDONLY);
  lrd_decoder* d = nullptr;
  if (lrd_decoder_create(&d, nullptr) != LRD_OK || lrd_decoder_set_stable_input(d) != LRD_OK) return false;
  serve_io io;
  io.in_fd = f.in;
  io.out_fd = out;
  io.in_name = in_path.c_str();
  io.out_name = out_name;
  serve_totals t;
  const status s = serve_decoder(d, io, &t);
  lrd_decoder_free(d);
  *err = s.line("", "");
  return s.ok();
}

TEST(Serve, OutputOfExactlyOneBufferIsWrittenWhole) {
  const bytes data = random_bytes(65536, 4);
  const std::string in_path = tmp_path("one.lrd"), out_path = tmp_path("one.out");
  write_file(in_path, encode_mem(data));
  fds f;
  f.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string err;
  EXPECT_TRUE(decode_fd(in_path, f.out, "out", &err)) << err;
  EXPECT_EQ(read_file(out_path), data);
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
}

TEST(Serve, WriteErrorIsReportedWithTheFileAndReason) {
  const std::string in_path = tmp_path("full.lrd");
  write_file(in_path, encode_mem(random_bytes(100000, 5)));
  fds f;
  f.out = open("/dev/full", O_WRONLY);
  ASSERT_GE(f.out, 0);
  std::string err;
  EXPECT_FALSE(decode_fd(in_path, f.out, "/dev/full", &err));
  EXPECT_EQ(err, "/dev/full: No space left on device");
  std::remove(in_path.c_str());
}

TEST(Serve, ReadErrorIsNotTakenForTheEndOfInput) {
  fds f;
  f.out = open("/dev/null", O_WRONLY);
  std::string err;
  // Reading a directory fails with EISDIR.
  EXPECT_FALSE(decode_fd("/", f.out, "/dev/null", &err));
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
