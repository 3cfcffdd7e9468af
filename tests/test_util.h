// Shared test helpers: in-memory coder runs, temporary files, running the
// built program and capturing what it prints.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "chunk/chunker.h"
#include "codec/decoder.h"
#include "codec/encoder.h"

using bytes = std::vector<uint8_t>;

inline bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

inline bytes random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(rng() >> 56);
  return v;
}

// Zero-filled memory committed only where touched, as the program takes it.
struct mapped {
  void* p = nullptr;
  size_t n = 0;
  explicit mapped(size_t bytes) : n(bytes) {
    p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) std::abort();
  }
  mapped(const mapped&) = delete;
  mapped& operator=(const mapped&) = delete;
  ~mapped() { munmap(p, n); }
};

// Heap memory handed to a growing index, counted, refused past `limit` bytes.
struct heap_index_mem {
  size_t live = 0, peak = 0, limit = SIZE_MAX;
  uint64_t calls = 0;
  static void* resize(void* ctx, void* block, size_t old_bytes, size_t new_bytes) {
    auto* m = static_cast<heap_index_mem*>(ctx);
    m->calls++;
    if (new_bytes == 0) {
      std::free(block);
      m->live -= old_bytes;
      return nullptr;
    }
    if (m->live - old_bytes + new_bytes > m->limit) return nullptr;
    void* p = std::realloc(block, new_bytes);
    if (!p) return nullptr;
    if (new_bytes > old_bytes) std::memset(static_cast<uint8_t*>(p) + old_bytes, 0, new_bytes - old_bytes);
    m->live = m->live - old_bytes + new_bytes;
    m->peak = std::max(m->peak, m->live);
    return p;
  }
  index_mem mem() { return {this, resize}; }
};

// Stream and data builders shared by the coder tests.
inline bytes cat(std::initializer_list<bytes> parts) {
  bytes v;
  for (const bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}
// The 8-byte reference form: marker, kind 0x00, distance little-endian.
inline bytes ref(uint32_t d) {
  return {0xEB, 0x3D, 0xBE, 0x00, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
}
inline bytes text_like(size_t n, uint64_t seed) {
  static const char* words[] = {"the ", "chunk ", "index ", "window ", "of ", "a ", "stream\n", "data ",
                                "lrdedup ", "int main() {\n", "  return 0;\n}\n", "#include <x>\n"};
  std::mt19937_64 rng(seed);
  bytes v;
  while (v.size() < n) {
    const char* w = words[rng() % 12];
    v.insert(v.end(), w, w + std::strlen(w));
  }
  v.resize(n);
  return v;
}
// Random blocks, each either new or a copy of earlier data at a random distance.
inline bytes with_repeats(size_t n, size_t max_distance, uint64_t seed) {
  std::mt19937_64 rng(seed);
  bytes v = random_bytes(4096, seed);
  while (v.size() < n) {
    size_t len = 100 + rng() % 20000;
    if (rng() % 3 == 0) {
      bytes r = random_bytes(len, rng());
      v.insert(v.end(), r.begin(), r.end());
    } else {
      size_t d = 1 + rng() % std::min(max_distance, v.size());
      size_t from = v.size() - d;
      for (size_t i = 0; i < len; i++) v.push_back(v[from + i]);
    }
  }
  v.resize(n);
  return v;
}

// The input cut back to its last chunk end, as a fresh chunker finds it.
inline bytes up_to_last_cut(bytes v) {
  chunker ck;
  chunker_init(&ck);
  size_t last = 0;
  for (size_t i = 0; i < v.size(); i++) {
    chunk_feed(&ck, v[i]);
    if (chunk_boundary(&ck)) {
      chunk_close(&ck);
      last = i + 1;
    }
  }
  v.resize(last);
  return v;
}

// A coder record with its own small or default-sized blocks.
struct test_coder {
  std::unique_ptr<coder> c = std::make_unique<coder>();
  std::unique_ptr<mapped> block, map;
  std::unique_ptr<heap_index_mem> heap;  // a growing index's memory

  test_coder() = default;
  test_coder(test_coder&&) = default;
  ~test_coder() {
    if (heap) index_free(&c->idx);
  }

  static test_coder encoder(const index_cfg& cfg) {
    test_coder t;
    t.block = std::make_unique<mapped>(index_table_bytes(cfg));
    index_init(&t.c->idx, static_cast<hslot*>(t.block->p), cfg);
    return t;
  }
  static test_coder growing_encoder(const index_cfg& cfg) {
    test_coder t;
    t.heap = std::make_unique<heap_index_mem>();
    if (!index_init_growing(&t.c->idx, t.heap->mem(), cfg)) std::abort();
    return t;
  }
  static test_coder decoder(uint32_t winsize) {
    test_coder t;
    t.block = std::make_unique<mapped>(winsize);
    t.c->win = static_cast<uint8_t*>(t.block->p);
    t.c->winpos = 0;
    t.c->winsize = winsize;
    t.map = std::make_unique<mapped>(winsize / cfg_mapblock + 1);
    t.c->chunkmap = static_cast<uint8_t*>(t.map->p);
    return t;
  }
};

// Runs a body over `in` entirely in memory: input handed over in pieces of
// `in_piece` bytes, output buffers of `out_size` bytes. Counts the requests.
struct mem_run {
  bytes out;
  uint64_t input_requests = 0, output_requests = 0;
};
inline mem_run run_mem(coder* c, coro_task (*body)(coder*), const bytes& in, size_t in_piece = 65536,
                       size_t out_size = 65536) {
  mem_run r;
  bytes obuf(out_size);
  coro_header* h = &c->coro;
  *h = coro_header{};
  h->outptr = h->outbeg = obuf.data();
  h->outend = obuf.data() + out_size;
  size_t at = 0;
  for (;;) {
    uint32_t q = coro_call(c, body);
    if (q == REQ_DONE) break;
    if (q == REQ_INPUT) {
      r.input_requests++;
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      size_t n = std::min(in_piece, in.size() - at);
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = in.data() + at;
      h->inpend = in.data() + at + n;
      at += n;
    } else if (q == REQ_OUTPUT) {
      r.output_requests++;
      EXPECT_EQ(h->outptr, h->outend) << "an output buffer must be handed over exactly when full";
      r.out.insert(r.out.end(), obuf.begin(), obuf.end());
      h->outptr = h->outbeg;
    }
  }
  r.out.insert(r.out.end(), h->outbeg, h->outptr);
  coro_finish(h);
  return r;
}

inline bytes encode_mem(const bytes& in, const index_cfg& cfg = index_cfg_default(), size_t in_piece = 65536,
                        size_t out_size = 65536) {
  test_coder t = test_coder::encoder(cfg);
  return run_mem(t.c.get(), encoder_run, in, in_piece, out_size).out;
}

inline bytes decode_mem(const bytes& in, uint32_t winsize = cfg_decwinsize, uint32_t* fault = nullptr) {
  test_coder t = test_coder::decoder(winsize);
  bytes out = run_mem(t.c.get(), decoder_run, in).out;
  if (fault) *fault = t.c->fault;
  return out;
}

// Temporary files under the build tree's tmp folder.
inline std::string tmp_path(const std::string& name) {
  return std::string(LRDEDUP_TEST_TMP) + "/" + std::to_string(getpid()) + "_" + name;
}
inline void write_file(const std::string& path, const bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}
inline bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs a shell command line; returns the exit status and what it printed.
struct cmd_result {
  int status = -1;
  std::string out, err;
};
inline cmd_result run_cmd(const std::string& cmd) {
  std::string o = tmp_path("cmd.out"), e = tmp_path("cmd.err");
  int rc = std::system(("{ " + cmd + "; } >" + o + " 2>" + e).c_str());
  cmd_result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
  bytes ob = read_file(o), eb = read_file(e);
  r.out.assign(ob.begin(), ob.end());
  r.err.assign(eb.begin(), eb.end());
  std::remove(o.c_str());
  std::remove(e.c_str());
  return r;
}
inline std::string exe() { return LRDEDUP_EXE; }
