/* What the tests of the public interface from C share: checks, data with
 * repeats, the program's stream of it, and a streaming loop over buffers of
 * random sizes. */
#ifndef LIB_C_UTIL_H
#define LIB_C_UTIL_H

#include <lrdedup.h>

#include <dirent.h>
#include <sched.h>
#include <sys/wait.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static int g_failed = 0, g_passed = 0;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (cond) {                                                      \
      g_passed++;                                                    \
    } else {                                                         \
      g_failed++;                                                    \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                \
  } while (0)

typedef struct bytes {
  unsigned char* p;
  size_t n;
} bytes;

static uint64_t g_rng = 88172645463325252ull;
static inline uint64_t next_rand(uint64_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 7;
  *s ^= *s << 17;
  return *s;
}

/* Random blocks, new or copied from earlier at a random distance, with some
 * that begin like a stream marker (0xEB 0x3D 0xBE), so that references and
 * escapes both occur. */
static inline bytes make_data(size_t n, uint64_t seed) {
  bytes b = {malloc(n), n};
  size_t at = 0;
  while (at < n) {
    size_t len = 100 + next_rand(&seed) % 20000;
    if (len > n - at) len = n - at;
    if (at < 4096 || next_rand(&seed) % 3 == 0) {
      for (size_t i = 0; i < len; i++) b.p[at + i] = (unsigned char)(next_rand(&seed) >> 56);
      if (len >= 4 && next_rand(&seed) % 4 == 0) memcpy(b.p + at, "\xEB\x3D\xBE\x01", 4);
    } else {
      size_t d = 1 + next_rand(&seed) % at;
      for (size_t i = 0; i < len; i++) b.p[at + i] = b.p[at - d + i];
    }
    at += len;
  }
  return b;
}

static inline bytes read_all(const char* path) {
  bytes b = {NULL, 0};
  FILE* f = fopen(path, "rb");
  if (!f) return b;
  fseek(f, 0, SEEK_END);
  b.n = (size_t)ftell(f);
  fseek(f, 0, SEEK_SET);
  b.p = malloc(b.n + 1);
  if (fread(b.p, 1, b.n, f) != b.n) b.n = 0;
  fclose(f);
  return b;
}

/* A buffer size for the next call: one byte for a stretch, then anything up
 * to 200 KiB, mostly small. */
static inline size_t piece(uint64_t* s, size_t done) {
  if (done < 30000) return 1;
  switch (next_rand(s) % 4) {
    case 0: return 1 + next_rand(s) % 7;
    case 1: return 1 + next_rand(s) % 4096;
    case 2: return 65536;
    default: return 1 + next_rand(s) % 200000;
  }
}

typedef int (*code_fn)(void* obj, lrd_in* in, lrd_out* out, int end);
static inline int enc_fn(void* o, lrd_in* in, lrd_out* out, int end) { return lrd_encode(o, in, out, end); }
static inline int dec_fn(void* o, lrd_in* in, lrd_out* out, int end) { return lrd_decode(o, in, out, end); }

/* Runs a whole input through obj with buffers of random sizes into `out`
 * (room for cap bytes); returns the bytes written, or (size_t)-1 on an
 * error. The input buffer is given again from where the call left it, as a
 * copy at another address, so that the coder keeps no pointer into it. */
static inline size_t run_stream(void* obj, code_fn fn, const bytes* in, unsigned char* out, size_t cap, uint64_t seed) {
  size_t in_at = 0, out_at = 0;
  unsigned char* copy = malloc(200001);
  for (;;) {
    size_t n = piece(&seed, in_at);
    if (n > in->n - in_at) n = in->n - in_at;
    memcpy(copy, in->p + in_at, n);
    lrd_in bi = {copy, n, 0};
    size_t room = piece(&seed, out_at);
    if (room > cap - out_at) room = cap - out_at;
    lrd_out bo = {out + out_at, room, 0};
    const int end = in_at + n == in->n;
    const int r = fn(obj, &bi, &bo, end);
    in_at += bi.pos;
    out_at += bo.pos;
    if (r < 0 || (r == LRD_OUTPUT_FULL && bo.pos < bo.size) || (r == LRD_OK && bi.pos < bi.size)) {
      fprintf(stderr, "run_stream: %s\n", lrd_error_string(r));
      free(copy);
      return (size_t)-1;
    }
    if (r == LRD_DONE) break;
  }
  free(copy);
  return out_at;
}

static inline int same(const bytes* a, const unsigned char* p, size_t n) { return n == a->n && memcmp(a->p, p, n) == 0; }

/* ---------------------------------------------------------------- threads */

typedef struct job {
  const bytes* data;
  const bytes* stream;
  int ok;
} job;

static inline void* round_trip(void* arg) {
  job* j = arg;
  lrd_encoder* e;
  lrd_decoder* d;
  unsigned char* out = malloc(j->data->n + j->data->n / 16 + 65536);
  j->ok = lrd_encoder_create(&e, NULL) == LRD_OK && lrd_decoder_create(&d, NULL) == LRD_OK;
  if (j->ok) {
    size_t n = run_stream(e, enc_fn, j->data, out, j->data->n + j->data->n / 16 + 65536, 7);
    j->ok = same(j->stream, out, n);
    if (!j->ok) fprintf(stderr, "round trip: the stream differs (%zu bytes)\n", n);
    bytes s = {out, n};
    unsigned char* back = malloc(j->data->n);
    n = run_stream(d, dec_fn, &s, back, j->data->n, 9);
    if (!same(j->data, back, n)) {
      fprintf(stderr, "round trip: the data differs (%zu bytes)\n", n);
      j->ok = 0;
    }
    free(back);
  }
  lrd_encoder_free(e);
  lrd_decoder_free(d);
  free(out);
  return NULL;
}

/* The test's data (3 MB with repeats and marker-like blocks) and the
 * program's stream and statistics of it, through files in tmpdir. */
typedef struct program_run {
  bytes data, stream, stats;
} program_run;

static inline program_run run_program(const char* program, const char* tmpdir, const char* name) {
  program_run p;
  p.data = make_data(3000000 + next_rand(&g_rng) % 1000, 5);
  char in_path[1024], lrd_path[1024], cmd[8192];
  snprintf(in_path, sizeof in_path, "%s/%s.%d.in", tmpdir, name, (int)getpid());
  snprintf(lrd_path, sizeof lrd_path, "%s/%s.%d.lrd", tmpdir, name, (int)getpid());
  FILE* f = fopen(in_path, "wb");
  fwrite(p.data.p, 1, p.data.n, f);
  fclose(f);
  snprintf(cmd, sizeof cmd, "%s e %s %s > %s.stats", program, in_path, lrd_path, lrd_path);
  CHECK(system(cmd) == 0);
  p.stream = read_all(lrd_path);
  snprintf(cmd, sizeof cmd, "%s.stats", lrd_path);
  p.stats = read_all(cmd);
  CHECK(p.stream.n > 0 && p.stream.n < p.data.n);
  remove(in_path);
  remove(lrd_path);
  remove(cmd);
  return p;
}

#endif
