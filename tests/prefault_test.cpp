// Committing the large block from a second thread: it commits what it is
// allowed to and no more, and never changes what the owner wrote.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "os/prefault.h"
#include "test_util.h"

using namespace lrd;

namespace {

struct mapping {
  size_t bytes;
  uint8_t* p;
  explicit mapping(size_t n) : bytes(n) {
    void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    p = m == MAP_FAILED ? nullptr : static_cast<uint8_t*>(m);
  }
  ~mapping() {
    if (p) munmap(p, bytes);
  }
  // Resident pages in [from, to).
  size_t resident(size_t from, size_t to) const {
    const size_t pg = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> v((to - from + pg - 1) / pg);
    if (mincore(p + from, to - from, v.data()) != 0) return 0;
    size_t n = 0;
    for (unsigned char c : v) n += c & 1;
    return n;
  }
};

// Polls until pages [from, to) are all resident; false after a few seconds.
bool becomes_resident(const mapping& m, size_t from, size_t to) {
  const size_t pg = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (int k = 0; k < 500; k++) {
    if (m.resident(from, to) == (to - from) / pg) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Prefault, CommitsAheadOfTheOwnerButNoFurther) {
  constexpr size_t MiB = size_t{1} << 20;
  mapping m(64 * MiB);
  ASSERT_NE(m.p, nullptr);
  // No huge pages here, so residency is exact to the 4 KiB page.
  madvise(m.p, m.bytes, MADV_NOHUGEPAGE);
  prefault f;
  prefault_start(&f, m.p, m.bytes, 8 * MiB);
  if (!f.running) GTEST_SKIP() << "no thread";
  // Nothing before the owner has moved: a tiny run commits nothing extra.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(m.resident(0, m.bytes), 0u);

  // At 3 MiB, it may go 3 MiB further; at 20 MiB, 8 MiB further.
  std::memset(m.p, 0xA5, 3 * MiB);
  prefault_advance(&f, 3 * MiB);
  if (!becomes_resident(m, 0, 6 * MiB)) {
    prefault_stop(&f);
    GTEST_SKIP() << "this kernel does not commit pages on request";
  }
  EXPECT_EQ(m.resident(6 * MiB, m.bytes), 0u);
  std::memset(m.p + 3 * MiB, 0x5A, 17 * MiB);
  prefault_advance(&f, 20 * MiB);
  EXPECT_TRUE(becomes_resident(m, 0, 28 * MiB));
  EXPECT_EQ(m.resident(28 * MiB, m.bytes), 0u);
  prefault_stop(&f);
  EXPECT_FALSE(f.running);
  for (size_t i = 0; i < 20 * MiB; i += 4093) ASSERT_EQ(m.p[i], i < 3 * MiB ? 0xA5 : 0x5A) << i;
  for (size_t i = 20 * MiB; i < 28 * MiB; i += 4093) ASSERT_EQ(m.p[i], 0) << i;
}

TEST(Prefault, AllAtOnceKeepsWhatTheOwnerWritesMeanwhile) {
  constexpr size_t MiB = size_t{1} << 20;
  mapping m(48 * MiB);
  ASSERT_NE(m.p, nullptr);
  prefault f;
  prefault_start(&f, m.p, m.bytes, m.bytes);
  // The owner writes at random while the thread commits.
  std::mt19937_64 rng(5);
  std::vector<size_t> at(20000);
  for (size_t& a : at) {
    a = rng() % m.bytes;
    m.p[a] = static_cast<uint8_t>(a % 251 + 1);
  }
  if (f.running) (void)becomes_resident(m, 0, m.bytes);  // let it run to the end
  prefault_stop(&f);
  for (size_t a : at) ASSERT_EQ(m.p[a], a % 251 + 1) << a;
  size_t nonzero = 0;
  for (size_t i = 0; i < m.bytes; i += 512) nonzero += m.p[i] != 0;
  EXPECT_LE(nonzero, at.size());
}

// The THPeligible line of /proc/self/smaps for the mapping holding address a:
// 1 or 0, or -1 when the kernel does not say.
int thp_eligible(const void* a) {
  std::FILE* f = std::fopen("/proc/self/smaps", "r");
  if (!f) return -1;
  char line[512];
  bool inside = false;
  int r = -1;
  const auto x = reinterpret_cast<uintptr_t>(a);
  while (std::fgets(line, sizeof line, f)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line, "%lx-%lx ", &lo, &hi) == 2 && std::strchr(line, '-') < std::strchr(line, ' ')) {
      inside = lo <= x && x < hi;
    } else if (inside && std::sscanf(line, "THPeligible: %d", &r) == 1) {
      break;
    }
  }
  std::fclose(f);
  return r;
}

// Huge pages given up while committing: the rest of the block is small pages,
// and what the owner wrote meanwhile stays. A threshold of 0 makes every
// piece slow; a huge one, none.
TEST(Prefault, GivesUpSlowHugePagesAndKeepsTheContents) {
  constexpr size_t MiB = size_t{1} << 20;
  for (const double limit : {0.0, 1e12}) {
    SCOPED_TRACE(limit);
    mapping m(64 * MiB);
    ASSERT_NE(m.p, nullptr);
    madvise(m.p, m.bytes, MADV_HUGEPAGE);
    const int eligible_before = thp_eligible(m.p + m.bytes - 1);
    prefault f;
    prefault_start(&f, m.p, m.bytes, m.bytes, prefault_huge_while_fast, limit);
    std::mt19937_64 rng(9);
    std::vector<size_t> at(5000);
    for (size_t& a : at) {
      a = rng() % m.bytes;
      m.p[a] = static_cast<uint8_t>(a % 251 + 1);
    }
    const bool ran = f.running;
    if (ran) (void)becomes_resident(m, 0, m.bytes);
    prefault_stop(&f);
    for (size_t a : at) ASSERT_EQ(m.p[a], a % 251 + 1) << a;
    if (!ran || m.resident(0, m.bytes) < m.bytes / static_cast<size_t>(sysconf(_SC_PAGESIZE))) continue;  // not committed by request
    EXPECT_EQ(f.gave_up_huge.load(), limit == 0.0);
    if (eligible_before == 1) {
      EXPECT_EQ(thp_eligible(m.p + m.bytes - 1), limit == 0.0 ? 0 : 1);
    }
  }
}

TEST(Prefault, StopsAtOnceWhenTheOwnerNeverMoves) {
  mapping m(size_t{16} << 20);
  ASSERT_NE(m.p, nullptr);
  prefault f;
  prefault_start(&f, m.p, m.bytes, size_t{4} << 20);
  prefault_stop(&f);  // must not wait for an advance that never comes
  prefault_stop(&f);  // and a second stop is harmless
  EXPECT_FALSE(f.running);
}

}  // namespace
