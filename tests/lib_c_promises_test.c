/* The promises the library keeps to a demanding caller, from C: input spoilt
 * and freed once taken, output buffers of any size with a history, flushes,
 * one-shot calls, one core, errors that spend the object, and faults. */
#define _GNU_SOURCE /* sched_setaffinity */
#include "lib_c_util.h"

#include <dirent.h>
#include <sched.h>
#include <sys/wait.h>

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
 * call. An odd seed gives the decoder a helper that scans its input ahead.
 * Returns the bytes decoded into got, or (size_t)-1. */
static size_t run_hostile(const bytes* stream, unsigned char* got, size_t cap, unsigned char* hist, int stable,
                          size_t out_most, uint64_t seed) {
  lrd_decoder* d;
  lrd_decoder_params dp = LRD_DECODER_PARAMS_INIT;
  if (seed % 2) dp.threads = 1;
  if (lrd_decoder_create(&d, &dp) != LRD_OK) return (size_t)-1;
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
 * stream stays the one without flushes, with any number of helpers. */
static void flushes(const bytes* data, const bytes* stream) {
  static const unsigned counts[] = {0, 1, 2, 4};
  for (int threads = 0; threads < 4; threads++) {
    lrd_encoder_params ep = LRD_ENCODER_PARAMS_INIT;
    ep.threads = counts[threads];
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

/* Any number of helpers gives the stream none gives, on an input whose index
 * grows by megabytes at a time (so that its growths are committed by
 * threads of their own): 64 MiB of random words, every other MiB of which
 * repeats a stretch from earlier. */
static void helpers_alike(void) {
  const size_t n = (size_t)64 << 20, mib = (size_t)1 << 20;
  unsigned char* d = malloc(n);
  uint64_t seed = 4242;
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = next_rand(&seed);
    memcpy(d + i, &v, 8);
  }
  for (size_t at = 2 * mib; at < n; at += 2 * mib) memcpy(d + at, d + next_rand(&seed) % (at - mib), mib);
  const size_t cap = lrd_encode_bound(n);
  unsigned char* want = malloc(cap);
  unsigned char* got = malloc(cap);
  size_t want_n = 0, got_n = 0;
  static const unsigned counts[] = {0, 1, 2, 4};
  for (int k = 0; k < 4; k++) {
    lrd_encoder_params ep = LRD_ENCODER_PARAMS_INIT;
    ep.threads = counts[k];
    CHECK(lrd_encode_buffer(d, n, k ? got : want, cap, k ? &got_n : &want_n, &ep) == LRD_OK);
    CHECK(k == 0 || (got_n == want_n && memcmp(got, want, want_n) == 0));
  }
  CHECK(want_n < n - 16 * mib);  /* the repeats are references */
  free(d);
  free(want);
  free(got);
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

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: lib_c_promises_test LRDEDUP_PROGRAM TMPDIR\n");
    return 2;
  }
  program_run p = run_program(argv[1], argv[2], "lib_c_promises_test");
  rejected_then_good(&p.data, &p.stream);
  fault_midstream(&p.data, &p.stream);
  demanding_caller(&p.data, &p.stream);
  one_shot(&p.data, &p.stream);
  flushes(&p.data, &p.stream);
  one_core(&p.data, &p.stream);
  helpers_alike();
  free(p.data.p);
  free(p.stream.p);
  free(p.stats.p);
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
