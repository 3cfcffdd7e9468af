/* lrdedup.h: long-range deduplication of byte streams, in memory or over any
 * I/O of the caller's. The encoder cuts its input into content-defined chunks
 * and replaces every chunk already seen in the last 1000 MiB by an 8-byte
 * reference; the decoder restores the bytes exactly. The stream is the one
 * `lrdedup e` writes, byte for byte, and docs/FORMAT.md describes it.
 *
 * Streaming, in both directions: each call takes what it can from an input
 * buffer and writes what it can into an output buffer, advancing their `pos`.
 * Any sizes of buffer, down to one byte, give the same output. The end of the
 * input is said explicitly.
 *
 *     lrd_encoder* e;
 *     if (lrd_encoder_create(&e, NULL) != LRD_OK) ...;
 *     for (;;) {
 *       ssize_t n = read(fd, buf, sizeof buf);               (0 at the end)
 *       if (n < 0) ...error;
 *       lrd_in in = {buf, (size_t)n, 0};
 *       int end = n == 0;
 *       int r;
 *       do {
 *         lrd_out out = {obuf, sizeof obuf, 0};
 *         r = lrd_encode(e, &in, &out, end);
 *         if (r < 0) ...error: lrd_error_string(r);
 *         write(ofd, obuf, out.pos);
 *       } while (r == LRD_OUTPUT_FULL || (end && r != LRD_DONE));
 *       if (r == LRD_DONE) break;
 *     }
 *     lrd_encoder_free(e);
 *
 * Errors: a call that returns an error below zero leaves the object spent
 * (a null object excepted, which has no state): every later call returns
 * LRD_ERROR_STATE until lrd_encoder_reset or lrd_decoder_reset starts a new
 * stream. So a loop never goes on past a mistake of its own.
 *
 * Objects share nothing: any number of encoders and decoders may run at once,
 * each in one thread at a time. Every function is safe to call with a null
 * object, which it answers with LRD_ERROR_NULL.
 *
 * Valid C99 and C++. */
#ifndef LRDEDUP_H
#define LRDEDUP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(LRD_BUILDING_LIBRARY) && defined(__GNUC__)
#define LRD_API __attribute__((visibility("default")))
#else
#define LRD_API
#endif

/* The version of this header; lrd_version() gives the library's. The three
 * numbers are the one place the version is written: the build, the program
 * and its manual page take it from here. While the major version is 0, a new
 * minor version may change the interface (0.4 gave the parameter structs
 * their size member, so that later fields no longer do; 0.5 gave threads
 * counts above 1 and LRD_THREADS_AUTO); a new patch
 * version never does. */
#define LRD_VERSION_MAJOR 0
#define LRD_VERSION_MINOR 5
#define LRD_VERSION_PATCH 0
#define LRD_VERSION_NUMBER (LRD_VERSION_MAJOR * 10000 + LRD_VERSION_MINOR * 100 + LRD_VERSION_PATCH)
#define LRD_VERSION_TEXT_(n) #n
#define LRD_VERSION_TEXT(n) LRD_VERSION_TEXT_(n)
#define LRD_VERSION_STRING \
  LRD_VERSION_TEXT(LRD_VERSION_MAJOR) "." LRD_VERSION_TEXT(LRD_VERSION_MINOR) "." LRD_VERSION_TEXT(LRD_VERSION_PATCH)

/* LRD_VERSION_NUMBER of the library linked. */
LRD_API unsigned lrd_version(void);

/* LRD_VERSION_STRING of the library linked. */
LRD_API const char* lrd_version_string(void);

/* Results. Zero and above say how a call left off; below zero, an error. */
enum lrd_result {
  LRD_OK = 0,          /* all input taken: give more, or say the end */
  LRD_OUTPUT_FULL = 1, /* the output buffer is full: call again with room */
  LRD_DONE = 2,        /* the end: every output byte has been handed out */
  LRD_ERROR_NULL = -1,      /* a null object, buffer or result pointer */
  LRD_ERROR_STATE = -2,     /* a call after LRD_DONE or after an error, or
                               input after the end was said, or a setter
                               after input was given */
  LRD_ERROR_PARAM = -3,     /* a parameter out of its range */
  LRD_ERROR_MEMORY = -4,    /* memory could not be had; the object is spent */
  LRD_ERROR_BUFFER = -5,    /* a buffer whose pos is beyond its size */
  LRD_ERROR_CORRUPT = -6    /* decoder: a stream the encoder never writes;
                               lrd_decoder_fault says what and where */
};

/* A short English text for any result code; never null. */
LRD_API const char* lrd_error_string(int code);

/* Buffers: a call reads src[pos..size) or writes dst[pos..size) and moves
 * pos past what it took or wrote. A zero size is allowed; src and dst may
 * then be null. */
typedef struct lrd_in {
  const void* src;
  size_t size;
  size_t pos;
} lrd_in;

typedef struct lrd_out {
  void* dst;
  size_t size;
  size_t pos;
} lrd_out;

/* The window: how far back a reference reaches (1000 MiB). */
#define LRD_WINDOW 1048576000u

/* How far the encoder's coding may trail the input it has taken in: a
 * reference is checked against input up to LRD_WINDOW bytes before a chunk
 * that starts at most LRD_ENCODER_LAG bytes before the end of what was taken
 * in (2 MiB + 128 KiB). */
#define LRD_ENCODER_LAG (2u * 1048576u + 2u * 65536u)

/* The shortest input history ring lrd_encoder_set_history takes: the window
 * and 4 MiB, which leaves the caller 1.875 MiB of room to read ahead. */
#define LRD_HISTORY_RING (LRD_WINDOW + 4194304u)

/* The decoder keeps its latest output this far back itself: every byte older
 * than this, counted back from the end of what it has handed out, must be
 * readable in a history handed to lrd_decoder_set_history (31 blocks of
 * 64 KiB; 448 KiB before version 0.3). */
#define LRD_DECODER_LAG (31u * 65536u)

/* The bytes of a view (lrd_decode_view) stay as they are while fewer than
 * this many bytes have been handed out after them. */
#define LRD_VIEW_KEEP LRD_DECODER_LAG

/* The threads parameter's default: as many helper threads as pay on the
 * machine, counted from the CPUs the process may run on (its affinity). */
#define LRD_THREADS_AUTO 0xFFFFFFFFu

/* The most helper threads a coder takes; more is LRD_ERROR_PARAM. */
#define LRD_THREADS_MAX 64u

/* ------------------------------------------------------------------ encoder */

typedef struct lrd_encoder lrd_encoder;

/* Parameters. A struct grows only at its end, and `size` says how much of it
 * the caller knows: fields beyond it take their defaults, so a program built
 * against an older header runs unchanged. Set size by
 * lrd_encoder_params_default or LRD_ENCODER_PARAMS_INIT, then change fields.
 * A size below that of 0.4's struct is refused (LRD_ERROR_PARAM), and so are
 * bytes beyond the library's own struct that are not zero: a field this
 * library does not know. */
typedef struct lrd_encoder_params {
  size_t size; /* sizeof(lrd_encoder_params) */
  /* Helper threads, which copy in, cut and digest the next batches of input
   * while the caller's thread codes this one, sharing the pieces of each
   * batch: 0, none; 1 to LRD_THREADS_MAX, that many; LRD_THREADS_AUTO (the
   * default), one where the process may run on two CPUs or more, else none.
   * The stream is the same either way. */
  unsigned threads;
  /* Which earlier copy a repeated chunk refers to: 0 (the default), the
   * latest one, so that a chunk seen within the last LRD_WINDOW bytes is
   * always a reference; 1, the first one still in the index, as version 0.3.1
   * and earlier did: a chunk whose first copy lies LRD_WINDOW back is written
   * in full until the index lets that copy go, even when a later copy is
   * near. Either way the stream's format is the same, and any decoder reads
   * it; only the distances differ. */
  unsigned first_copy;
} lrd_encoder_params;

#define LRD_ENCODER_PARAMS_INIT {sizeof(lrd_encoder_params), LRD_THREADS_AUTO, 0}

/* The defaults (LRD_ENCODER_PARAMS_INIT), size included. */
LRD_API void lrd_encoder_params_default(lrd_encoder_params* p);

/* Makes an encoder in *enc (params NULL: the defaults). Its memory grows with
 * the input: the chunk index, about 32 bytes for every new chunk (chunks
 * average some 160 bytes) up to 1 GiB, some 3 MiB of staging buffers, and,
 * unless lrd_encoder_set_history is called before the first input, a ring of
 * the last LRD_HISTORY_RING input bytes, committed as it fills.
 * LRD_OK, LRD_ERROR_NULL, LRD_ERROR_PARAM (threads above LRD_THREADS_MAX
 * but not LRD_THREADS_AUTO, first_copy > 1, or a size it cannot take) or
 * LRD_ERROR_MEMORY. */
LRD_API int lrd_encoder_create(lrd_encoder** enc, const lrd_encoder_params* params);

/* Frees the encoder and everything it holds; NULL is allowed. */
LRD_API void lrd_encoder_free(lrd_encoder* enc);

/* Where the encoder finds the input it has been given, instead of a ring of
 * its own: byte o of the input (counted from 0) at history[o % ring], or at
 * history[o] for ring 0 (the whole input in memory, for example a mapping of
 * the file). Every reference the encoder writes is checked against these
 * bytes, so they must be the input's: byte o from before it is handed to
 * lrd_encode until the encoder has taken in byte o + LRD_WINDOW +
 * LRD_ENCODER_LAG (ring 0: until the end). In a ring of LRD_HISTORY_RING
 * bytes the caller may so store input up to 1.875 MiB beyond what in->pos
 * says was taken. May be called again after a call that returned LRD_OK, to
 * move the history (a mapping that follows a growing file); the bytes stay
 * the same. After LRD_OUTPUT_FULL it must stay where it is: the encoder's
 * helper thread may be reading it.
 * REQUIRES: ring 0 or ring >= LRD_HISTORY_RING.
 * LRD_OK, LRD_ERROR_NULL, LRD_ERROR_PARAM, or LRD_ERROR_STATE when input was
 * given before without a history of the caller's (the encoder then keeps its
 * own ring), after LRD_DONE, or after an error. */
LRD_API int lrd_encoder_set_history(lrd_encoder* enc, const void* history, uint64_t ring);

/* Encodes from in into out. end != 0 says that in holds the last of the
 * input; what a call leaves of it is given again in later calls, with or
 * without end (once said, the end stays where it was said). Returns LRD_OK when all
 * of in was taken and the encoder waits for more (or, with end, for room to
 * finish), LRD_OUTPUT_FULL when out filled up before that, LRD_DONE when the
 * stream is complete and handed out (later calls: LRD_ERROR_STATE), or an
 * error. On LRD_ERROR_MEMORY (the index could not grow) the stream written
 * so far is not to be used. in and out may be NULL when there is nothing to
 * give or no room yet. */
LRD_API int lrd_encode(lrd_encoder* enc, lrd_in* in, lrd_out* out, int end);

/* Hands out the coding of all input given so far up to its last cut: the
 * chunk the input ends in is unfinished and stays held back (a flush never
 * cuts, so the stream is the one without flushes, byte for byte). For a
 * stream over a network, after lrd_encode took all input (LRD_OK). Returns
 * LRD_OK when all of it is out, LRD_OUTPUT_FULL when out filled up first
 * (call again with room), or an error; LRD_ERROR_STATE once the end was
 * said (finish with lrd_encode). */
LRD_API int lrd_encode_flush(lrd_encoder* enc, lrd_out* out);

/* Starts a new stream on the same encoder, as a new one with the same
 * parameters would, keeping its memory and threads (the index is emptied).
 * A history given to lrd_encoder_set_history is forgotten: give it again
 * for the new stream. Also the way back from an error other than
 * LRD_ERROR_MEMORY. LRD_OK, LRD_ERROR_NULL, or LRD_ERROR_MEMORY (the object
 * is then spent; free it). */
LRD_API int lrd_encoder_reset(lrd_encoder* enc);

/* The most bytes a stream of n input bytes can take: every chunk but the
 * last has 64 bytes or more and is written with at most 4 bytes more, and
 * the last with at most 8. SIZE_MAX where that does not fit in a size_t. */
LRD_API size_t lrd_encode_bound(size_t n);

/* One call for a whole input in memory: encodes src[0..src_size) into dst,
 * sets *dst_size to the stream's length and returns LRD_OK; LRD_OUTPUT_FULL
 * when dst_capacity is too small (lrd_encode_bound(src_size) is always
 * enough; dst then holds nothing of use), or an error. params NULL: the
 * defaults. The input serves as the history: no ring is made. */
LRD_API int lrd_encode_buffer(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                              size_t* dst_size, const lrd_encoder_params* params);

/* ------------------------------------------------------------------ decoder */

typedef struct lrd_decoder lrd_decoder;

/* Parameters, as lrd_encoder_params: grown at the end, size first. */
typedef struct lrd_decoder_params {
  size_t size; /* sizeof(lrd_decoder_params) */
  /* Helper threads: 0, none; 1 to LRD_THREADS_MAX, that many that find the
   * cuts of literal chunks in the input ahead of the caller's thread, and,
   * where the process may run on two CPUs and the decoder keeps its own
   * window, one more that commits the window's pages a little ahead of the
   * output, so that their first touch costs the decoding nothing;
   * LRD_THREADS_AUTO (the default): the committer where the process may run
   * on two CPUs, and one scan helper where it may run on three or more (on
   * two, the second is left to the caller's writing, which the scan helper
   * would slow more than it speeds the decoding). The output is the same
   * either way. */
  unsigned threads;
  /* 0 (the default): a corrupt stream ends in LRD_ERROR_CORRUPT at its first
   * fault, once the output before the faulty chunk is handed out. 1: it is
   * decoded through to its end, as any byte sequence decodes to some output,
   * and only lrd_decoder_fault tells of the fault (for recovery, or a tool
   * that reports the fault after writing everything). */
  unsigned decode_through;
} lrd_decoder_params;

#define LRD_DECODER_PARAMS_INIT {sizeof(lrd_decoder_params), LRD_THREADS_AUTO, 0}

/* The defaults (LRD_DECODER_PARAMS_INIT), size included. */
LRD_API void lrd_decoder_params_default(lrd_decoder_params* p);

/* Makes a decoder in *dec (params NULL: the defaults). It keeps the last
 * 1000 MiB of its output in a window committed as it fills, unless
 * lrd_decoder_set_history is called before the first input; then it needs
 * some 19 MiB. LRD_OK, LRD_ERROR_NULL, LRD_ERROR_PARAM (threads above
 * LRD_THREADS_MAX but not LRD_THREADS_AUTO, decode_through > 1, or a size
 * it cannot take) or LRD_ERROR_MEMORY. */
LRD_API int lrd_decoder_create(lrd_decoder** dec, const lrd_decoder_params* params);

/* Frees the decoder and everything it holds; NULL is allowed. */
LRD_API void lrd_decoder_free(lrd_decoder* dec);

/* The caller keeps the input it has given where it is until the decoder has
 * taken it: a call that returns with input left over is given the same
 * buffer again (the same src and size, pos where the call left it). The
 * decoder then reads the input in place instead of copying it, and counts
 * a piece of it (up to 1 MiB) as taken only once it has read the last of
 * it: bytes before pos are the caller's again, to spoil or free, at the
 * call's return. Call before the first input. LRD_OK, LRD_ERROR_NULL, or
 * LRD_ERROR_STATE after input was given (or LRD_DONE, or an error); a later
 * call given other input than was left fails with LRD_ERROR_PARAM. */
LRD_API int lrd_decoder_set_stable_input(lrd_decoder* dec);

/* Where the decoder finds the output it has handed out, instead of a window:
 * output byte o at history[o] once the call that handed it out has returned
 * and LRD_DECODER_LAG more bytes have been handed out after it, until the end
 * (for example a read-only mapping of the output file, which the caller
 * writes each output buffer or view to before the next call). A reference
 * copies from there; within a call, from the decoder's own blocks and the
 * output buffer it is filling, so a buffer of any size serves. Call before
 * the first input. LRD_OK, LRD_ERROR_NULL, or LRD_ERROR_STATE after input
 * was given (or LRD_DONE, or an error). */
LRD_API int lrd_decoder_set_history(lrd_decoder* dec, const void* history);

/* Decodes from in into out, as lrd_encode encodes. A corrupt stream ends in
 * LRD_ERROR_CORRUPT, returned by the call that has handed out the last byte
 * before the faulty chunk (with decode_through, no error: the decoder goes
 * on); lrd_decoder_fault names the fault. */
LRD_API int lrd_decode(lrd_decoder* dec, lrd_in* in, lrd_out* out, int end);

/* Starts a new stream on the same decoder, as a new one with the same
 * parameters would, keeping its memory and threads (the window is emptied:
 * a new stream never reads the old one's bytes). A history given to
 * lrd_decoder_set_history and a stable input are forgotten: set them again
 * for the new stream. Also the way back from an error. LRD_OK or
 * LRD_ERROR_NULL. */
LRD_API int lrd_decoder_reset(lrd_decoder* dec);

/* One call for a whole stream in memory: decodes src[0..src_size) into dst,
 * sets *dst_size to the data's length and returns LRD_OK; LRD_OUTPUT_FULL
 * when dst_capacity is too small (dst then holds its first dst_capacity
 * bytes), LRD_ERROR_CORRUPT (unless params say decode_through; dst holds the
 * data before the fault, *dst_size its length), or an error. params NULL:
 * the defaults. dst serves as the history: no window is made. */
LRD_API int lrd_decode_buffer(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                              size_t* dst_size, const lrd_decoder_params* params);

/* A piece of the decoder's own output. */
typedef struct lrd_view {
  const void* data;
  size_t size;
} lrd_view;

/* Decodes as lrd_decode does, but hands out the decoder's own output, up to
 * 64 KiB at a time, instead of copying it into a buffer of the caller's
 * (where the output ends up in a file or a pipe anyway, it is written from
 * there without a copy). Sets *view (size 0: none) and returns
 * LRD_OUTPUT_FULL when it holds output and more is to come, LRD_OK when all
 * input was taken and no output is ready yet, LRD_DONE with the last output
 * (maybe none), or an error. The bytes stay as they are while fewer than
 * LRD_VIEW_KEEP bytes have been handed out after them, by views or by
 * lrd_decode, which may be called in turn with this; in the window (no
 * history of the caller's), while fewer than LRD_WINDOW - LRD_VIEW_KEEP
 * have (since 0.3.1), so that a pipe may be given their pages (vmsplice)
 * instead of a copy. A corrupt stream: the view of the output before the
 * faulty chunk comes with LRD_OUTPUT_FULL, then LRD_ERROR_CORRUPT. */
LRD_API int lrd_decode_view(lrd_decoder* dec, lrd_in* in, lrd_view* view, int end);

/* The first fault of a stream the encoder never writes, or LRD_FAULT_NONE. */
enum lrd_fault {
  LRD_FAULT_NONE = 0,
  LRD_FAULT_TRUNCATED_REF = 1, /* the stream ends inside a reference */
  LRD_FAULT_ZERO_DISTANCE = 2, /* a reference with distance 0 */
  LRD_FAULT_FAR_DISTANCE = 3,  /* a reference beyond the 1000 MiB window */
  LRD_FAULT_BEFORE_START = 4   /* a reference before the start of the data */
};

/* The first fault so far (enum lrd_fault), and in *offset, when not NULL,
 * the stream offset of its reference's marker (0 without a fault). A null
 * decoder gives LRD_ERROR_NULL. */
LRD_API int lrd_decoder_fault(const lrd_decoder* dec, uint64_t* offset);

/* A short English text for an lrd_fault; never null. */
LRD_API const char* lrd_fault_string(int fault);

/* --------------------------------------------------------------- statistics */

typedef struct lrd_stats {
  uint64_t bytes;     /* uncompressed bytes so far (the statistics' sum) */
  uint64_t chunks;    /* chunks so far; at the end, the final (maybe empty)
                         one included (the statistics' x) */
  uint64_t discarded; /* encoder: chunks found too far back to reference */
  uint64_t collided;  /* encoder: chunks with an earlier chunk's key but other
                         bytes, written in full (no accident makes one) */
} lrd_stats;

/* The counters so far. LRD_OK or LRD_ERROR_NULL. */
LRD_API int lrd_encoder_stats(const lrd_encoder* enc, lrd_stats* stats);
LRD_API int lrd_decoder_stats(const lrd_decoder* dec, lrd_stats* stats);

/* Whether the object runs its slow way: 1 when the memory of its fast body
 * (the encoder's staging memory, about 3 MiB; the decoder's chunk-start map,
 * about 16 MiB) could not be had when it was created, so that it codes
 * byte by byte: the same stream and output, only several times more slowly.
 * 0 when it runs the fast body; LRD_ERROR_NULL for a null object. A call of
 * its own rather than a field of lrd_stats, which older programs allocate at
 * its old size. */
LRD_API int lrd_encoder_fallback(const lrd_encoder* enc);
LRD_API int lrd_decoder_fallback(const lrd_decoder* dec);

#ifdef __cplusplus
}
#endif

#endif /* LRDEDUP_H */
