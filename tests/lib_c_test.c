/* The public interface, from C: streams through buffers of random sizes,
 * down to one byte, give the program's exact stream and bytes, with its
 * statistics; objects in two threads at once give the same; misuse and
 * corrupt streams give their codes. */
#define _GNU_SOURCE /* MAP_ANONYMOUS */
#include "lib_c_util.h"

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
  ep.threads = LRD_THREADS_MAX + 1; /* LRD_THREADS_AUTO and up to the most are taken */
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
}

/* Corrupt streams: by default an error once the bytes before the faulty
 * chunk are out; decoded through, the bytes they decode to. */
static void corrupt_streams(void) {
  lrd_decoder* d = NULL;
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

/* Decodes the program's stream in every way a caller may. */
static void decode_modes(const bytes* data_p, const bytes* stream_p, unsigned char* out, size_t cap) {
  const bytes data = *data_p, stream = *stream_p;
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

}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: lib_c_test LRDEDUP_PROGRAM TMPDIR\n");
    return 2;
  }
  CHECK(lrd_version() == LRD_VERSION_NUMBER && strcmp(lrd_version_string(), LRD_VERSION_STRING) == 0);
  program_run p = run_program(argv[1], argv[2], "lib_c_test");
  const bytes data = p.data, stream = p.stream, stats = p.stats;
  CHECK(stats.n > 0);

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
  decode_modes(&data, &stream, out, cap);

  /* Two round trips at once, each object in its own thread. */
  job jobs[2] = {{&data, &stream, 0}, {&data, &stream, 0}};
  pthread_t t[2];
  for (int k = 0; k < 2; k++) pthread_create(&t[k], NULL, round_trip, &jobs[k]);
  for (int k = 0; k < 2; k++) pthread_join(t[k], NULL);
  CHECK(jobs[0].ok && jobs[1].ok);

  misuse();
  corrupt_streams();
  free(out);
  free(data.p);
  free(stream.p);
  free(stats.p);
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
