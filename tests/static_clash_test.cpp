// A program with names of its own that the library uses inside: linked with
// the static archive, it must build and run, since every internal name of
// the archive lies in the project's namespace and only lrd_ names are global.
#include <lrdedup.h>

#include <cstdio>
#include <cstring>

// A program's own, at global scope, with the signatures the archive's
// internals have.
struct chunk_index {
  int own;
};
struct coder {
  int own;
};
void index_free(chunk_index* ix) { ix->own = 0; }
void* map_zeroed(unsigned long, bool) { return nullptr; }
void decoder_reset(coder* c) { c->own = 0; }
extern const unsigned md5_t[64];
const unsigned md5_t[64] = {1};
double prefault_slow_huge_ns_per_byte = 2;

int main() {
  static unsigned char data[100000], stream[110000], back[100000];
  for (size_t i = 0; i < sizeof data; i++) data[i] = static_cast<unsigned char>(i * 7 % 251);
  size_t n = 0, m = 0;
  const bool ok = lrd_encode_buffer(data, sizeof data, stream, sizeof stream, &n, nullptr) == LRD_OK &&
                  lrd_decode_buffer(stream, n, back, sizeof back, &m, nullptr) == LRD_OK && m == sizeof data &&
                  std::memcmp(data, back, m) == 0 && md5_t[0] == 1;
  std::printf("%d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
  return ok ? 0 : 1;
}
