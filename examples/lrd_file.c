/* Encodes or decodes a file through liblrdedup: the same stream as
 * `lrdedup e`, the same bytes back as `lrdedup d`.
 *
 *   lrd_file e|d INPUT OUTPUT */
#include <lrdedup.h>

#include <stdio.h>
#include <string.h>

static unsigned char ibuf[1 << 16], obuf[1 << 16];

int main(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "e") != 0 && strcmp(argv[1], "d") != 0)) {
    fprintf(stderr, "usage: lrd_file e|d INPUT OUTPUT\n");
    return 2;
  }
  const int enc = argv[1][0] == 'e';
  FILE* in = fopen(argv[2], "rb");
  FILE* out = in ? fopen(argv[3], "wb") : NULL;
  if (!in || !out) {
    perror(in ? argv[3] : argv[2]);
    return 1;
  }
  lrd_encoder* e = NULL;
  lrd_decoder* d = NULL;
  int r = enc ? lrd_encoder_create(&e, NULL) : lrd_decoder_create(&d, NULL);
  int failed_io = 0;
  while (r == LRD_OK) {
    lrd_in bi = {ibuf, fread(ibuf, 1, sizeof ibuf, in), 0};
    if (ferror(in)) failed_io = 1;
    const int end = bi.size == 0 || failed_io;
    /* LRD_OK: all of bi was taken; LRD_OUTPUT_FULL: drain and call again. */
    do {
      lrd_out bo = {obuf, sizeof obuf, 0};
      r = enc ? lrd_encode(e, &bi, &bo, end) : lrd_decode(d, &bi, &bo, end);
      if (fwrite(obuf, 1, bo.pos, out) != bo.pos) failed_io = 1;
    } while (r == LRD_OUTPUT_FULL);
  }
  int status = 0;
  if (fclose(out) != 0) failed_io = 1;
  if (r != LRD_DONE || failed_io) {
    fprintf(stderr, "lrd_file: %s\n", failed_io ? "cannot read or write" : lrd_error_string(r));
    status = 1;
  }
  lrd_stats st = {0, 0, 0, 0};
  if (enc) lrd_encoder_stats(e, &st);
  else lrd_decoder_stats(d, &st);
  if (!enc && lrd_decoder_fault(d, NULL) != LRD_FAULT_NONE) {
    fprintf(stderr, "lrd_file: corrupt stream: %s\n", lrd_fault_string(lrd_decoder_fault(d, NULL)));
    status = 1;
  }
  fprintf(stderr, "%llu bytes in %llu chunks\n", (unsigned long long)st.bytes, (unsigned long long)st.chunks);
  lrd_encoder_free(e);
  lrd_decoder_free(d);
  fclose(in);
  return status;
}
