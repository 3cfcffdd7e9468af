/* The public interface, from C: streams through buffers of random sizes,
 * down to one byte, give the program's exact stream and bytes, with its
 * statistics; objects in two threads at once give the same; misuse and
 * corrupt streams give their codes. */
#define _GNU_SOURCE /* MAP_ANONYMOUS, sched_setaffinity */
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

/* A size from 1 to `most`, spread evenly over its powers of two. */
static size_t log_size(uint64_t* seed, size_t most) {
  unsigned bits = 0;
  while (((size_t)2 << bits) <= most) bits++;
  const size_t top = (size_t)1 << (next_rand(seed) % (bits + 1));
  size_t n = top + next_rand(seed) % top;
  return n > most ? most : n;
}

/* Decodes as a demanding caller does: each input piece (1 byte to 1 MiB) a
 * fresh buffer, given again until the decoder has taken all of it and then
 * spoilt and freed at once; each output buffer (1 byte to out_most) fresh,
 * and spoilt and freed once copied out. With `hist`, that copy is the
 * decoder's history (spoilt beforehand, so that a read of a byte not yet
 * written shows), and the caller writes each buffer there only after the
 * call. Returns the bytes decoded into got, or (size_t)-1. */
static size_t run_hostile(const bytes* stream, unsigned char* got, size_t cap, unsigned char* hist, int stable,
                          size_t out_most, uint64_t seed) {
  lrd_decoder* d;
  if (lrd_decoder_create(&d, NULL) != LRD_OK) return (size_t)-1;
  if (hist) {
    memset(hist, 0xA5, cap);
    CHECK(lrd_decoder_set_history(d, hist) == LRD_OK);
  }
  if (stable) CHECK(lrd_decoder_set_stable_input(d) == LRD_OK);
  size_t in_at = 0, out_at = 0;
  unsigned char* piece_buf = NULL;
  lrd_in bi = {NULL, 0, 0};
  int r;
  do {
    if (bi.pos == bi.size) {
      if (piece_buf) {
        memset(piece_buf, 0x5A, bi.size);
        free(piece_buf);
      }
      size_t n = log_size(&seed, (size_t)1 << 20);
      if (n > stream->n - in_at) n = stream->n - in_at;
      piece_buf = malloc(n + 1);
      memcpy(piece_buf, stream->p + in_at, n);
      bi = (lrd_in){piece_buf, n, 0};
    }
    const size_t before = bi.pos;
    size_t room = log_size(&seed, out_most);
    if (room > cap - out_at) room = cap - out_at;
    unsigned char* ob = malloc(room + 1);
    lrd_out bo = {ob, room, 0};
    r = lrd_decode(d, &bi, &bo, in_at + (bi.size - before) == stream->n);
    in_at += bi.pos - before;
    memset(piece_buf, 0x5A, bi.pos); /* taken: the caller's again */
    memcpy(hist ? hist + out_at : got + out_at, ob, bo.pos);
    memset(ob, 0x3C, room + 1);
    free(ob);
    out_at += bo.pos;
    if (!stable && r == LRD_OK && bi.pos < bi.size) CHECK(0);
  } while (r == LRD_OK || r == LRD_OUTPUT_FULL);
  free(piece_buf);
  lrd_decoder_free(d);
  if (hist) memcpy(got, hist, out_at);
  if (r != LRD_DONE) fprintf(stderr, "run_hostile: %s\n", lrd_error_string(r));
  return r == LRD_DONE ? out_at : (size_t)-1;
}

/* Stable input in pieces, with and without a history, output buffers up to
 * 8 MiB; and 5 MiB of zeros, whose references reach back a few bytes, with
 * a history and output buffers of 2 to 8 MiB. */
static void demanding_caller(const bytes* data, const bytes* stream) {
  unsigned char* got = malloc(data->n);
  unsigned char* hist = malloc(data->n);
  for (int k = 0; k < 8; k++) {
    const size_t n = run_hostile(stream, got, data->n, k % 2 ? hist : NULL, k < 6, k < 4 ? 1000 : (size_t)8 << 20,
                                 400 + (uint64_t)k);
    if (!same(data, got, n)) fprintf(stderr, "demanding caller %d: %zu bytes\n", k, n);
    CHECK(same(data, got, n));
  }
  free(got);
  free(hist);

  const size_t zn = (size_t)5 << 20;
  bytes zeros = {calloc(zn, 1), zn};
  size_t sn = 0;
  unsigned char* zs = malloc(lrd_encode_bound(zn));
  CHECK(lrd_encode_buffer(zeros.p, zn, zs, lrd_encode_bound(zn), &sn, NULL) == LRD_OK && sn < 70000);
  const bytes zstream = {zs, sn};
  got = malloc(zn);
  hist = malloc(zn);
  for (int k = 0; k < 3; k++) {
    const size_t n = run_hostile(&zstream, got, zn, hist, k, (size_t)2 << (20 + k), 500 + (uint64_t)k);
    CHECK(same(&zeros, got, n));
  }
  free(got);
  free(hist);
  free(zs);
  free(zeros.p);
}

/* One-shot calls and the bound: the program's stream and bytes; too small
 * a buffer says so. */
static void one_shot(const bytes* data, const bytes* stream) {
  const size_t cap = lrd_encode_bound(data->n);
  CHECK(lrd_encode_bound(0) == 8 && lrd_encode_bound(640) == 640 + 40 + 8 && lrd_encode_bound(SIZE_MAX) == SIZE_MAX);
  unsigned char* s = malloc(cap);
  size_t n = 0;
  CHECK(lrd_encode_buffer(data->p, data->n, s, cap, &n, NULL) == LRD_OK && same(stream, s, n));
  CHECK(lrd_encode_buffer(data->p, data->n, s, n - 1, &n, NULL) == LRD_OUTPUT_FULL);
  CHECK(lrd_encode_buffer(NULL, 0, s, cap, &n, NULL) == LRD_OK && n == 0);
  unsigned char* back = malloc(data->n);
  CHECK(lrd_decode_buffer(stream->p, stream->n, back, data->n, &n, NULL) == LRD_OK && same(data, back, n));
  CHECK(lrd_decode_buffer(stream->p, stream->n, back, data->n - 1, &n, NULL) == LRD_OUTPUT_FULL);
  CHECK(n == data->n - 1 && memcmp(back, data->p, n) == 0);
  CHECK(lrd_decode_buffer("\xEB\x3D\xBE\x00\x05\x00\x00\x00", 8, back, data->n, &n, NULL) == LRD_ERROR_CORRUPT);
  free(back);
  free(s);
}

/* A flush hands out everything before the chunk the input ends in, and the
 * stream stays the one without flushes. */
static void flushes(const bytes* data, const bytes* stream) {
  for (int threads = 0; threads < 2; threads++) {
    lrd_encoder_params ep = LRD_ENCODER_PARAMS_INIT;
    ep.threads = (unsigned)threads;
    lrd_encoder* e;
    CHECK(lrd_encoder_create(&e, &ep) == LRD_OK);
    unsigned char* s = malloc(lrd_encode_bound(data->n));
    unsigned char* back = malloc(data->n);
    uint64_t seed = 600 + (uint64_t)threads;
    size_t in_at = 0, n = 0, flushes = 0;
    int r = LRD_OK;
    while (r != LRD_DONE) {
      size_t k = log_size(&seed, (size_t)256 << 10);
      if (k > data->n - in_at) k = data->n - in_at;
      lrd_in bi = {data->p + in_at, k, 0};
      const int end = in_at + k == data->n;
      do {
        lrd_out bo = {s + n, 50000, 0};
        r = lrd_encode(e, &bi, &bo, end);
        n += bo.pos;
      } while (r == LRD_OUTPUT_FULL || (end && r == LRD_OK));
      in_at += k;
      if (end || next_rand(&seed) % 2) continue;
      do {
        lrd_out bo = {s + n, 1 + next_rand(&seed) % 70000, 0};
        r = lrd_encode_flush(e, &bo);
        n += bo.pos;
      } while (r == LRD_OUTPUT_FULL);
      CHECK(r == LRD_OK);
      /* The stream so far ends at a cut: decoded whole, it is the input but
       * for less than one chunk. */
      const bytes part = {s, n};
      size_t got = 0;
      CHECK(lrd_decode_buffer(part.p, part.n, back, data->n, &got, NULL) == LRD_OK);
      CHECK(got <= in_at && in_at - got < 65535 && memcmp(back, data->p, got) == 0);
      flushes++;
    }
    CHECK(flushes > 2 && same(stream, s, n));
    lrd_encoder_free(e);
    free(s);
    free(back);
  }
}

/* One core: no helper threads, and the same output. Run in a child pinned
 * to one CPU. */
static void one_core(const bytes* data, const bytes* stream) {
  const pid_t pid = fork();
  if (pid == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(0);
    job j = {data, stream, 0};
    lrd_encoder* e;
    lrd_decoder* d;
    lrd_encoder_create(&e, NULL);
    lrd_decoder_create(&d, NULL);
    unsigned char buf[65536];
    lrd_out o = {buf, sizeof buf, 0};
    lrd_in in = {stream->p, 65536, 0};
    lrd_decode(d, &in, &o, 0);
    int threads = 0;
    DIR* dir = opendir("/proc/self/task");
    for (struct dirent* ent; dir && (ent = readdir(dir));) threads += ent->d_name[0] != '.';
    if (dir) closedir(dir);
    lrd_encoder_free(e);
    lrd_decoder_free(d);
    round_trip(&j);
    _exit(threads == 1 && j.ok ? 0 : 1);
  }
  int status = 1;
  CHECK(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* ---------------------------------------------------------------- misuse */

/* Every rejected call spends the object: the good call after it is refused
 * too, until a reset, after which the object codes as a new one. */
static void rejected_then_good(const bytes* data, const bytes* stream) {
  unsigned char buf[64], sink[64];
  memset(buf, 'a', sizeof buf);
  for (int k = 0; k < 14; k++) {
    const int dec = k >= 6;
    lrd_encoder* e = NULL;
    lrd_decoder* d = NULL;
    CHECK(dec ? lrd_decoder_create(&d, NULL) == LRD_OK : lrd_encoder_create(&e, NULL) == LRD_OK);
    lrd_in in = {buf, 8, 0};
    lrd_out out = {sink, sizeof sink, 0};
    lrd_view v;
    switch (k % 7) {
      case 0: in.pos = 9; break;                    /* pos beyond size */
      case 1: out.pos = sizeof sink + 1; break;
      case 2: in.src = NULL; break;                 /* bytes at no address */
      case 3: out.dst = NULL; break;
      case 4: {                                     /* input after the end */
        lrd_in none = {NULL, 0, 0};
        CHECK((dec ? lrd_decode(d, &none, &out, 1) : lrd_encode(e, &none, &out, 1)) == LRD_DONE);
        out.pos = 0;
        break;
      }
      case 5: break;                                /* decoder: a null view */
      case 6: {                                     /* decoder: a stable input given back elsewhere */
        static unsigned char zeros[200000], elsewhere[200000], zsink[65536];
        CHECK(lrd_decoder_set_stable_input(d) == LRD_OK);
        lrd_in zi = {zeros, sizeof zeros, 0};
        lrd_out zo = {zsink, sizeof zsink, 0};
        CHECK(lrd_decode(d, &zi, &zo, 1) == LRD_OUTPUT_FULL && zi.pos < zi.size);
        CHECK(lrd_decoder_set_history(d, zsink) == LRD_ERROR_STATE);
        CHECK(lrd_decoder_set_stable_input(d) == LRD_ERROR_STATE);
        in = (lrd_in){elsewhere, zi.size, zi.pos};
        out.pos = 0;
        break;
      }
    }
    int r;
    if (k == 5) {
      lrd_in none = {NULL, 0, 0};
      r = lrd_encoder_set_history(e, NULL, 0) == LRD_ERROR_NULL ? lrd_encode(e, &none, NULL, 0) : -99;
      CHECK(r == LRD_OK); /* a setter's refusal spends nothing */
      r = lrd_decode_view(NULL, &in, &v, 0) == LRD_ERROR_NULL ? LRD_ERROR_NULL : -99;
    } else if (k == 12) {
      r = lrd_decode_view(d, &in, NULL, 0);
    } else {
      r = dec ? lrd_decode(d, &in, &out, 0) : lrd_encode(e, &in, &out, 0);
    }
    CHECK(r < 0);
    if (k == 5) {
      lrd_encoder_free(e);
      continue;
    }
    in = (lrd_in){buf, 8, 0};
    out = (lrd_out){sink, sizeof sink, 0};
    r = dec ? lrd_decode(d, &in, &out, 1) : lrd_encode(e, &in, &out, 1);
    if (r != LRD_ERROR_STATE || in.pos != 0) fprintf(stderr, "rejected call %d: then %d\n", k, r);
    CHECK(r == LRD_ERROR_STATE && in.pos == 0);
    /* After a reset: a new stream, the whole one. */
    unsigned char* got = malloc(data->n + data->n / 16 + 65536);
    if (dec) {
      CHECK(lrd_decoder_reset(d) == LRD_OK);
      CHECK(same(data, got, run_stream(d, dec_fn, stream, got, data->n, 300 + (uint64_t)k)));
    } else {
      CHECK(lrd_encoder_reset(e) == LRD_OK);
      CHECK(same(stream, got, run_stream(e, enc_fn, data, got, data->n + data->n / 16 + 65536, 300 + (uint64_t)k)));
    }
    free(got);
    lrd_encoder_free(e);
    lrd_decoder_free(d);
  }
}

/* A fault in the middle of a real stream: by default the bytes before the
 * faulty chunk, exactly, then the error; a reset then forgets the stream,
 * so that a reference before the new start reads zeros, not old bytes. */
static void fault_midstream(const bytes* data, const bytes* stream) {
  size_t at = stream->n / 2;
  while (at + 8 <= stream->n && memcmp(stream->p + at, "\xEB\x3D\xBE\x00", 4) != 0) at++;
  CHECK(at + 8 <= stream->n);
  bytes bad = {malloc(stream->n), stream->n};
  memcpy(bad.p, stream->p, stream->n);
  memset(bad.p + at + 4, 0, 4); /* distance 0 */
  lrd_decoder* d;
  lrd_decoder_params dp = LRD_DECODER_PARAMS_INIT;
  CHECK(lrd_decoder_create(&d, &dp) == LRD_OK);
  unsigned char* out = malloc(data->n);
  size_t n = 0;
  int r;
  lrd_in in = {bad.p, bad.n, 0};
  do {
    lrd_out o = {out + n, 4096, 0};
    r = lrd_decode(d, &in, &o, 1);
    n += o.pos;
  } while (r == LRD_OUTPUT_FULL || r == LRD_OK);
  uint64_t off = 0;
  CHECK(r == LRD_ERROR_CORRUPT && lrd_decoder_fault(d, &off) == LRD_FAULT_ZERO_DISTANCE && off == at);
  /* The same bytes as the stream cut before the faulty reference. */
  lrd_decoder* whole;
  CHECK(lrd_decoder_create(&whole, NULL) == LRD_OK);
  bytes cut = {bad.p, at};
  unsigned char* want = malloc(data->n);
  const size_t wn = run_stream(whole, dec_fn, &cut, want, data->n, 5);
  CHECK(n > 0 && n == wn && memcmp(out, want, n) == 0 && memcmp(out, data->p, n) == 0);
  lrd_decoder_free(whole);

  CHECK(lrd_decoder_reset(d) == LRD_OK);
  lrd_in ref = {"\xEB\x3D\xBE\x00\x05\x00\x00\x00", 8, 0};
  lrd_out o = {out, 65536, 0};
  CHECK(lrd_decode(d, &ref, &o, 1) == LRD_ERROR_CORRUPT && o.pos == 0);
  lrd_decoder_free(d);
  dp.decode_through = 1;
  CHECK(lrd_decoder_create(&d, &dp) == LRD_OK);
  CHECK(run_stream(d, dec_fn, stream, want, data->n, 6) == data->n);
  CHECK(lrd_decoder_reset(d) == LRD_OK);
  ref.pos = 0;
  o.pos = 0;
  CHECK(lrd_decode(d, &ref, &o, 1) == LRD_DONE && o.pos >= 64);
  size_t nz = 0;
  while (nz < o.pos && out[nz] == 0) nz++;
  CHECK(nz == o.pos);
  lrd_decoder_free(d);
  free(out);
  free(want);
  free(bad.p);
}

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
  CHECK(lrd_encoder_reset(NULL) == LRD_ERROR_NULL && lrd_decoder_reset(NULL) == LRD_ERROR_NULL);
  CHECK(lrd_encoder_fallback(NULL) == LRD_ERROR_NULL && lrd_decoder_fallback(NULL) == LRD_ERROR_NULL);
  lrd_encoder_free(NULL);
  lrd_decoder_free(NULL);
  lrd_encoder_params ep;
  lrd_encoder_params_default(&ep);
  ep.threads = 2;
  CHECK(lrd_encoder_create(&e, &ep) == LRD_ERROR_PARAM && e == NULL);
  ep.threads = 1;
  ep.first_copy = 2;
  CHECK(lrd_encoder_create(&e, &ep) == LRD_ERROR_PARAM && e == NULL);
  /* Parameters grow at their end: a field the library does not know must
   * be zero, and a struct older than the size member is refused. */
  struct {
    lrd_decoder_params p;
    unsigned later;
  } grown;
  memset(&grown, 0, sizeof grown);
  lrd_decoder_params_default(&grown.p);
  grown.p.size = sizeof grown;
  CHECK(lrd_decoder_create(&d, &grown.p) == LRD_OK);
  lrd_decoder_free(d);
  grown.later = 1;
  CHECK(lrd_decoder_create(&d, &grown.p) == LRD_ERROR_PARAM && d == NULL);
  grown.p.size = sizeof(size_t);
  CHECK(lrd_decoder_create(&d, &grown.p) == LRD_ERROR_PARAM);

  CHECK(lrd_encoder_create(&e, NULL) == LRD_OK);
  CHECK(lrd_encoder_fallback(e) == 0); /* its few MiB of staging memory were had */
  CHECK(lrd_encoder_set_history(e, buf, 4096) == LRD_ERROR_PARAM);
  memset(buf, 'a', sizeof buf);
  CHECK(lrd_encode(e, &in, &out, 0) == LRD_OK && in.pos == 8);
  CHECK(lrd_encoder_set_history(e, buf, 0) == LRD_ERROR_STATE);
  CHECK(lrd_encode_flush(e, &out) == LRD_OK);
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
  CHECK(lrd_encode_flush(e, &none_out) == LRD_ERROR_STATE);
  lrd_encoder_free(e);

  /* The setters after calls that gave no input. */
  {
    static unsigned char hist[64];
    lrd_in empty = {NULL, 0, 0};
    CHECK(lrd_encoder_create(&e, NULL) == LRD_OK);
    CHECK(lrd_encode(e, &empty, &out, 0) == LRD_OK);
    CHECK(lrd_encoder_set_history(e, buf, 0) == LRD_OK);
    out.pos = 0;
    in.pos = 0;
    CHECK(lrd_encode(e, &in, &out, 1) == LRD_DONE && out.pos == 8);
    lrd_encoder_free(e);
    CHECK(lrd_decoder_create(&d, NULL) == LRD_OK && lrd_decoder_fallback(d) == 0);
    CHECK(lrd_decode(d, &empty, &out, 0) == LRD_OK);
    CHECK(lrd_decoder_set_history(d, hist) == LRD_OK && lrd_decoder_set_stable_input(d) == LRD_OK);
    lrd_in si = {"abcdefgh", 8, 0};
    lrd_out so = {hist, sizeof hist, 0};
    CHECK(lrd_decode(d, &si, &so, 1) == LRD_DONE && so.pos == 8 && memcmp(hist, "abcdefgh", 8) == 0);
    lrd_decoder_free(d);
  }

  /* Corrupt streams: by default an error once the bytes before the faulty
   * chunk are out; decoded through, the bytes they decode to. */
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
  for (size_t k = 0; k < 2 * (sizeof bad_streams / sizeof bad_streams[0]); k++) {
    const size_t b = k / 2;
    lrd_decoder_params dp;
    lrd_decoder_params_default(&dp);
    dp.decode_through = k % 2;
    CHECK(lrd_decoder_create(&d, &dp) == LRD_OK);
    lrd_in si = {bad_streams[b].stream, bad_streams[b].n, 0};
    lrd_out so = {big, sizeof big, 0};
    uint64_t off = 99;
    CHECK(lrd_decode(d, &si, &so, 1) == (dp.decode_through ? LRD_DONE : LRD_ERROR_CORRUPT));
    CHECK(lrd_decoder_fault(d, &off) == bad_streams[b].fault);
    CHECK(off == bad_streams[b].offset);
    if (!dp.decode_through) CHECK(so.pos == off && memcmp(big, bad_streams[b].stream, off) == 0);
    if (!dp.decode_through) CHECK(lrd_decode(d, &si, &so, 1) == LRD_ERROR_STATE);
    CHECK(strcmp(lrd_fault_string(bad_streams[b].fault), "unknown fault") != 0);
    /* A reset forgets the old stream: before its start there are zeros. */
    if (b == 0) {
      CHECK(lrd_decoder_reset(d) == LRD_OK);
      lrd_in again = {bad_streams[1].stream, 8, 0};
      so.pos = 0;
      CHECK(lrd_decode(d, &again, &so, 1) == (dp.decode_through ? LRD_DONE : LRD_ERROR_CORRUPT));
      size_t nz = 0;
      while (nz < so.pos && big[nz] == 0) nz++;
      CHECK(nz == so.pos && (dp.decode_through ? so.pos >= 64 : so.pos == 0));
    }
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
  rejected_then_good(&data, &stream);
  fault_midstream(&data, &stream);
  demanding_caller(&data, &stream);
  one_shot(&data, &stream);
  flushes(&data, &stream);
  one_core(&data, &stream);
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
