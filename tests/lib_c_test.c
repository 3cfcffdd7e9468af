/* The public interface, from C: streams through buffers of random sizes,
 * down to one byte, give the program's exact stream and bytes, with its
 * statistics; objects in two threads at once give the same; misuse and
 * corrupt streams give their codes. */
#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE /* MAP_ANONYMOUS */
#include <lrdedup.h>

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
static uint64_t next_rand(uint64_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 7;
  *s ^= *s << 17;
  return *s;
}

/* Random blocks, new or copied from earlier at a random distance, with some
 * that begin like a stream marker (0xEB 0x3D 0xBE), so that references and
 * escapes both occur. */
static bytes make_data(size_t n, uint64_t seed) {
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

static bytes read_all(const char* path) {
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
static size_t piece(uint64_t* s, size_t done) {
  if (done < 30000) return 1;
  switch (next_rand(s) % 4) {
    case 0: return 1 + next_rand(s) % 7;
    case 1: return 1 + next_rand(s) % 4096;
    case 2: return 65536;
    default: return 1 + next_rand(s) % 200000;
  }
}

typedef int (*code_fn)(void* obj, lrd_in* in, lrd_out* out, int end);
static int enc_fn(void* o, lrd_in* in, lrd_out* out, int end) { return lrd_encode(o, in, out, end); }
static int dec_fn(void* o, lrd_in* in, lrd_out* out, int end) { return lrd_decode(o, in, out, end); }

/* Runs a whole input through obj with buffers of random sizes into `out`
 * (room for cap bytes); returns the bytes written, or (size_t)-1 on an
 * error. The input buffer is given again from where the call left it, as a
 * copy at another address, so that the coder keeps no pointer into it. */
static size_t run_stream(void* obj, code_fn fn, const bytes* in, unsigned char* out, size_t cap, uint64_t seed) {
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

/* Encodes as run_stream does, from a ring history of the caller's that now
 * and then, after a call that returned LRD_OK, moves to a second ring with
 * the same bytes; the ring left is made unreadable, so that a pointer the
 * encoder kept into it faults. */
static size_t run_moving_ring(lrd_encoder* e, const bytes* in, unsigned char* out, size_t cap, uint64_t seed) {
  const size_t ring = LRD_HISTORY_RING;
  unsigned char* rings[2];
  for (int k = 0; k < 2; k++) {
    rings[k] = mmap(NULL, ring, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (rings[k] == MAP_FAILED) return (size_t)-1;
  }
  int cur = 0, moves = 0, r;
  CHECK(lrd_encoder_set_history(e, rings[0], ring) == LRD_OK);
  size_t in_at = 0, out_at = 0;
  do {
    size_t n = piece(&seed, in_at);
    if (n > in->n - in_at) n = in->n - in_at;
    memcpy(rings[cur] + in_at, in->p + in_at, n);
    lrd_in bi = {rings[cur] + in_at, n, 0};
    size_t room = piece(&seed, out_at);
    if (room > cap - out_at) room = cap - out_at;
    lrd_out bo = {out + out_at, room, 0};
    r = lrd_encode(e, &bi, &bo, in_at + n == in->n);
    in_at += bi.pos;
    out_at += bo.pos;
    if (r < 0 || (r == LRD_OUTPUT_FULL && bo.pos < bo.size) || (r == LRD_OK && bi.pos < bi.size)) {
      out_at = (size_t)-1;
      break;
    }
    if (r == LRD_OK && in_at > 30000 && next_rand(&seed) % 4 == 0) {
      const int to = 1 - cur;
      mprotect(rings[to], ring, PROT_READ | PROT_WRITE);
      memcpy(rings[to], rings[cur], in_at);
      mprotect(rings[cur], ring, PROT_NONE);
      cur = to;
      CHECK(lrd_encoder_set_history(e, rings[cur], ring) == LRD_OK);
      moves++;
    }
  } while (r != LRD_DONE);
  CHECK(moves > 3);
  for (int k = 0; k < 2; k++) munmap(rings[k], ring);
  return out_at;
}

static int same(const bytes* a, const unsigned char* p, size_t n) { return n == a->n && memcmp(a->p, p, n) == 0; }

/* Decodes a whole stream through views, as a program that writes the
 * decoder's output where it lies does: each view is copied out only after
 * up to 30 more have been taken (it must stay as it was for LRD_VIEW_KEEP
 * bytes), and now and then lrd_decode copies a piece instead. With `stable`,
 * an input buffer is given again, at its place, until the decoder has taken
 * all of it; without, each call gets a copy elsewhere. Returns the bytes
 * written, or (size_t)-1 on an error. */
static size_t run_views(lrd_decoder* d, const bytes* in, unsigned char* out, size_t cap, uint64_t seed, int stable) {
  enum { most = 30 };
  lrd_view held[most + 1];
  size_t nheld = 0, in_at = 0, out_at = 0, views_at = 0;
  unsigned char* buf = malloc(200001);
  lrd_in bi = {buf, 0, 0};
  int r = LRD_OK;
  for (;;) {
    if (!stable || bi.pos == bi.size) {
      size_t n = piece(&seed, in_at);
      if (n > in->n - in_at) n = in->n - in_at;
      memcpy(buf, in->p + in_at, n);
      bi.size = n;
      bi.pos = 0;
    }
    const size_t before = bi.pos;
    const int end = in_at + (bi.size - bi.pos) == in->n;
    if (next_rand(&seed) % 8 == 0) {
      /* A copying call in turn, after every view still held is copied out. */
      for (size_t k = 0; k < nheld; k++) {
        memcpy(out + out_at, held[k].data, held[k].size);
        out_at += held[k].size;
      }
      nheld = 0;
      size_t room = piece(&seed, 1 << 20);
      if (room > cap - out_at) room = cap - out_at;
      lrd_out bo = {out + out_at, room, 0};
      r = lrd_decode(d, &bi, &bo, end);
      out_at += bo.pos;
      views_at = out_at;
    } else {
      lrd_view v;
      r = lrd_decode_view(d, &bi, &v, end);
      if (v.size > 0) {
        if (v.size > 65536 || views_at + v.size > cap) r = LRD_ERROR_BUFFER;
        held[nheld++] = v;
        views_at += v.size;
      }
    }
    in_at += bi.pos - before;
    if (nheld > most || (nheld > 0 && (r == LRD_DONE || next_rand(&seed) % 16 == 0))) {
      /* The oldest first, and all of them at the end. */
      const size_t k = r == LRD_DONE ? nheld : 1;
      for (size_t i = 0; i < k; i++) {
        memcpy(out + out_at, held[i].data, held[i].size);
        out_at += held[i].size;
      }
      memmove(held, held + k, (nheld - k) * sizeof held[0]);
      nheld -= k;
    }
    if (r < 0) break;
    if (r == LRD_DONE && nheld == 0) break;
  }
  free(buf);
  if (r < 0) fprintf(stderr, "run_views: %s\n", lrd_error_string(r));
  return r < 0 ? (size_t)-1 : out_at;
}

/* ---------------------------------------------------------------- threads */

typedef struct job {
  const bytes* data;
  const bytes* stream;
  int ok;
} job;

static void* round_trip(void* arg) {
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

/* ---------------------------------------------------------------- misuse */

static void misuse(void) {
  lrd_encoder* e = NULL;
  lrd_decoder* d = NULL;
  lrd_stats st;
  unsigned char buf[64];
  lrd_in in = {buf, 8, 0};
  lrd_out out = {buf, sizeof buf, 0};
  CHECK(lrd_encode(NULL, &in, &out, 0) == LRD_ERROR_NULL);
  CHECK(lrd_decode(NULL, &in, &out, 0) == LRD_ERROR_NULL);
  CHECK(lrd_encoder_create(NULL, NULL) == LRD_ERROR_NULL);
  CHECK(lrd_encoder_stats(NULL, &st) == LRD_ERROR_NULL);
  CHECK(lrd_decoder_fault(NULL, NULL) == LRD_ERROR_NULL);
  lrd_encoder_free(NULL);
  lrd_decoder_free(NULL);
  lrd_encoder_params ep;
  lrd_encoder_params_default(&ep);
  ep.threads = 2;
  CHECK(lrd_encoder_create(&e, &ep) == LRD_ERROR_PARAM && e == NULL);
  ep.threads = 1;
  ep.first_copy = 2;
  CHECK(lrd_encoder_create(&e, &ep) == LRD_ERROR_PARAM && e == NULL);

  CHECK(lrd_encoder_create(&e, NULL) == LRD_OK);
  CHECK(lrd_encoder_set_history(e, buf, 4096) == LRD_ERROR_PARAM);
  lrd_in bad = {buf, 4, 5};
  CHECK(lrd_encode(e, &bad, &out, 0) == LRD_ERROR_BUFFER);
  lrd_in none = {NULL, 4, 0};
  CHECK(lrd_encode(e, &none, &out, 0) == LRD_ERROR_NULL);
  memset(buf, 'a', sizeof buf);
  CHECK(lrd_encode(e, &in, &out, 0) == LRD_OK && in.pos == 8);
  CHECK(lrd_encoder_set_history(e, buf, 0) == LRD_ERROR_STATE);
  CHECK(lrd_encode(e, NULL, &out, 1) == LRD_DONE);
  CHECK(out.pos == 8 && memcmp(buf, "aaaaaaaa", 8) == 0);
  CHECK(lrd_encoder_stats(e, &st) == LRD_OK && st.bytes == 8 && st.chunks == 1);
  CHECK(lrd_encode(e, NULL, &out, 1) == LRD_ERROR_STATE);
  lrd_encoder_free(e);

  /* Input after the end was said. */
  CHECK(lrd_encoder_create(&e, NULL) == LRD_OK);
  lrd_out none_out = {NULL, 0, 0};
  in.pos = 0;
  CHECK(lrd_encode(e, &in, &none_out, 1) == LRD_OUTPUT_FULL);
  lrd_in more = {buf, 8, 0};
  CHECK(lrd_encode(e, &more, &none_out, 0) == LRD_ERROR_STATE);
  lrd_encoder_free(e);

  /* A stable input given back elsewhere; setters after the first input. */
  {
    static unsigned char zeros[200000], sink[65536];
    CHECK(lrd_decoder_create(&d, NULL) == LRD_OK);
    CHECK(lrd_decoder_set_stable_input(d) == LRD_OK);
    lrd_in zi = {zeros, sizeof zeros, 0};
    lrd_out zo = {sink, sizeof sink, 0};
    CHECK(lrd_decode(d, &zi, &zo, 1) == LRD_OUTPUT_FULL && zi.pos < zi.size);
    CHECK(lrd_decoder_set_history(d, sink) == LRD_ERROR_STATE);
    CHECK(lrd_decoder_set_stable_input(d) == LRD_ERROR_STATE);
    static unsigned char elsewhere[200000];
    lrd_in moved = {elsewhere, zi.size, zi.pos};
    zo.pos = 0;
    CHECK(lrd_decode(d, &moved, &zo, 1) == LRD_ERROR_PARAM);
    lrd_view v;
    CHECK(lrd_decode_view(d, &zi, NULL, 1) == LRD_ERROR_NULL);
    CHECK(lrd_decode_view(NULL, &zi, &v, 1) == LRD_ERROR_NULL);
    lrd_decoder_free(d);
  }

  /* Corrupt streams: the bytes they decode to, and the first fault. */
  static const struct {
    const char* stream;
    size_t n;
    int fault;
    uint64_t offset;
  } bad_streams[] = {
      {"\xEB\x3D\xBE\x00\x00\x00\x00\x00", 8, LRD_FAULT_ZERO_DISTANCE, 0},
      {"\xEB\x3D\xBE\x00\x05\x00\x00\x00", 8, LRD_FAULT_BEFORE_START, 0},
      {"\xEB\x3D\xBE\x00\x00\x00\x80\x3E", 8, LRD_FAULT_FAR_DISTANCE, 0},
      {"\xEB\x3D\xBE\x00\x10\x00", 6, LRD_FAULT_TRUNCATED_REF, 0},
  };
  /* A reference copies up to a cut: at most 65535 bytes. */
  static unsigned char big[65536];
  for (size_t k = 0; k < sizeof bad_streams / sizeof bad_streams[0]; k++) {
    CHECK(lrd_decoder_create(&d, NULL) == LRD_OK);
    lrd_in si = {bad_streams[k].stream, bad_streams[k].n, 0};
    lrd_out so = {big, sizeof big, 0};
    uint64_t off = 99;
    CHECK(lrd_decode(d, &si, &so, 1) == LRD_DONE);
    CHECK(lrd_decoder_fault(d, &off) == bad_streams[k].fault);
    CHECK(off == bad_streams[k].offset);
    CHECK(strcmp(lrd_fault_string(bad_streams[k].fault), "unknown fault") != 0);
    lrd_decoder_free(d);
  }
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: lib_c_test LRDEDUP_PROGRAM TMPDIR\n");
    return 2;
  }
  CHECK(lrd_version() == LRD_VERSION_NUMBER && strcmp(lrd_version_string(), LRD_VERSION_STRING) == 0);
  const bytes data = make_data(3000000 + next_rand(&g_rng) % 1000, 5);
  char in_path[1024], lrd_path[1024], cmd[8192];
  snprintf(in_path, sizeof in_path, "%s/lib_c_test.%d.in", argv[2], (int)getpid());
  snprintf(lrd_path, sizeof lrd_path, "%s/lib_c_test.%d.lrd", argv[2], (int)getpid());
  FILE* f = fopen(in_path, "wb");
  fwrite(data.p, 1, data.n, f);
  fclose(f);
  snprintf(cmd, sizeof cmd, "%s e %s %s > %s.stats", argv[1], in_path, lrd_path, lrd_path);
  CHECK(system(cmd) == 0);
  const bytes stream = read_all(lrd_path);
  snprintf(cmd, sizeof cmd, "%s.stats", lrd_path);
  const bytes stats = read_all(cmd);
  CHECK(stream.n > 0 && stream.n < data.n);

  const size_t cap = data.n + data.n / 16 + 65536;
  unsigned char* out = malloc(cap);
  for (int mode = 0; mode < 4; mode++) {
    /* 0: the encoder's own ring, one helper; 1: no helper; 2: the whole input
     * as the history; 3: a ring of the caller's that moves. */
    lrd_encoder_params ep;
    lrd_encoder_params_default(&ep);
    ep.threads = mode == 1 ? 0 : 1;
    lrd_encoder* e;
    CHECK(lrd_encoder_create(&e, &ep) == LRD_OK);
    if (mode == 2) CHECK(lrd_encoder_set_history(e, data.p, 0) == LRD_OK);
    const size_t n = mode == 3 ? run_moving_ring(e, &data, out, cap, 103)
                               : run_stream(e, enc_fn, &data, out, cap, 100 + (uint64_t)mode);
    CHECK(same(&stream, out, n));
    lrd_stats st;
    char line[256];
    lrd_encoder_stats(e, &st);
    snprintf(line, sizeof line, "c_discard=%llu\nsum=%llu x=%llu avglen=", (unsigned long long)st.discarded,
             (unsigned long long)st.bytes, (unsigned long long)st.chunks);
    CHECK(stats.n > 0 && strstr((const char*)stats.p, line) != NULL);
    CHECK(st.collided == 0);
    lrd_encoder_free(e);
  }
  {
    /* The first-copy rule: the same literals, references to other copies,
     * and the data back. */
    lrd_encoder_params ep;
    lrd_encoder_params_default(&ep);
    ep.first_copy = 1;
    lrd_encoder* e;
    lrd_decoder* d;
    CHECK(lrd_encoder_create(&e, &ep) == LRD_OK && lrd_decoder_create(&d, NULL) == LRD_OK);
    const size_t n = run_stream(e, enc_fn, &data, out, cap, 104);
    CHECK(n == stream.n && !same(&stream, out, n));
    const bytes first = {out, n};
    unsigned char* back = malloc(cap);
    CHECK(same(&data, back, run_stream(d, dec_fn, &first, back, cap, 105)));
    free(back);
    lrd_encoder_free(e);
    lrd_decoder_free(d);
  }
  for (int mode = 0; mode < 7; mode++) {
    /* 0: the window; 1: the output itself as the history; 2: the window,
     * with room for no more than the data; 3 to 6: views, with the window
     * or the output as the history, and a stable input or not. */
    lrd_decoder* d;
    CHECK(lrd_decoder_create(&d, NULL) == LRD_OK);
    memset(out, 0, cap);
    if (mode == 1 || mode == 4 || mode == 6) CHECK(lrd_decoder_set_history(d, out) == LRD_OK);
    if (mode >= 5) CHECK(lrd_decoder_set_stable_input(d) == LRD_OK);
    const size_t n = mode >= 3 ? run_views(d, &stream, out, cap, 200 + (uint64_t)mode, mode >= 5)
                               : run_stream(d, dec_fn, &stream, out, mode == 2 ? data.n : cap, 200 + (uint64_t)mode);
    CHECK(same(&data, out, n));
    lrd_stats st;
    lrd_decoder_stats(d, &st);
    CHECK(st.bytes == data.n && lrd_decoder_fault(d, NULL) == LRD_FAULT_NONE);
    lrd_decoder_free(d);
  }

  /* Two round trips at once, each object in its own thread. */
  job jobs[2] = {{&data, &stream, 0}, {&data, &stream, 0}};
  pthread_t t[2];
  for (int k = 0; k < 2; k++) pthread_create(&t[k], NULL, round_trip, &jobs[k]);
  for (int k = 0; k < 2; k++) pthread_join(t[k], NULL);
  CHECK(jobs[0].ok && jobs[1].ok);

  misuse();
  remove(in_path);
  remove(lrd_path);
  snprintf(cmd, sizeof cmd, "%s.stats", lrd_path);
  remove(cmd);
  free(out);
  free(data.p);
  free(stream.p);
  free(stats.p);
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
