// The stream core the encoder and decoder objects of the public interface
// share: a coder body run as a coroutine, served from the caller's buffers,
// and the rules of a call (its checks, the end, errors that spend the object).
//
// The coder body asks for input when its input is used up and hands over its
// output a block at a time. A call resumes it until it asks for input the
// caller has not given, or hands over output the caller's buffer cannot take
// whole; the rest of that output goes out in the calls that follow, before
// the body is resumed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/stream.h"
#include "lrdedup.h"

namespace lrd {

// Where a stream object stands.
enum api_state {
  api_fresh,     // no call yet, or none since the last reset
  api_running,
  api_flushing,  // the body is done; its last output is being handed out
  api_faulting,  // the body stopped at a fault; the output before it is being handed out
  api_done,
  api_failed,    // an error: every call but a reset is refused
};

struct api_stream {
  coro_header* h = nullptr;  // the coder's, in the object's own state
  api_state state = api_fresh;
  bool end = false;      // the caller has said the end of the input
  bool poke = false;     // resume the body once even without input (a flush)
  bool fed = false;      // input was given (it may have been given back since)
  uint64_t end_at = 0;   // and so its length
  uint64_t taken = 0;    // input bytes taken from the caller
  uint64_t handed = 0;   // output bytes handed to the caller
  const uint8_t* block = nullptr;     // finished output
  size_t block_n = 0, block_out = 0;  // its bytes, and those handed out
};

// Back to a new stream: the body's frame goes, the header starts afresh;
// the object resets its coder's own state.
// REQUIRES: the body's helpers hold nothing of the old run.
void api_stream_restart(api_stream* s);

// An error of a coding call spends the object; passes any result on.
inline int api_result(api_stream* s, int r) {
  if (r < 0) {
    coro_finish(s->h);
    s->state = api_failed;
  }
  return r;
}

// True where the setters may still change how the stream is read or kept:
// no input given, no end, no error.
inline bool api_setters_open(const api_stream* s) {
  return !s->fed && (s->state == api_fresh || s->state == api_running);
}

// Checks and the end flag common to the start of every coding call: LRD_OK
// to go on.
int api_begin_call(api_stream* s, const lrd_in* in, const lrd_out* out, int end);

// Points the body's input at the n bytes at src, taken from in.
void api_take_input(api_stream* s, lrd_in* in, const uint8_t* src, size_t n);

// Gives back to in what the body has read from `from` on (the body's unread
// input, or more): it comes again in the caller's next buffer.
void api_give_back(api_stream* s, lrd_in* in, const uint8_t* from);

// Copies what is left of the finished output into out; true when it all went.
bool api_hand_out(api_stream* s, lrd_out* out);

// How a resumption of the body ended.
enum api_resumed { api_r_input, api_r_output, api_r_done, api_r_fault, api_r_failed };

// What a feed found: new input, none, or a failure (memory refused).
enum class api_fed { some, none, failed };

// The public error for the one the body, or a feed, recorded in the header.
int api_error(const api_stream* s);

// Resumes the body of state st until it hands over output (a full buffer:
// api_r_output; its last: api_r_done; the output before a fault:
// api_r_fault), asks for input the caller has not given (api_r_input), or
// fails (api_r_failed: the body stopped with REQ_ERROR, or feed() failed;
// api_error says why). feed() points the body's input at new bytes.
// REQUIRES: s->h is &st->coro; the body's output buffer has room.
template <class State, class Feed>
api_resumed api_resume(api_stream* s, State* st, coro_task (*body)(State*), Feed feed) {
  coro_header* h = s->h;
  for (;;) {
    if (s->state == api_fresh) {
      s->state = api_running;
    } else if (h->state == REQ_INPUT && h->inpptr >= h->inpend) {
      h->inp_before = s->taken;
      const api_fed fed = feed();
      if (fed == api_fed::failed) {
        h->error = coro_no_memory;
        break;
      }
      if (fed == api_fed::none) {
        if (s->poke) {
          s->poke = false;  // once, with no input: the body finds its flush
        } else if (!s->end || s->taken < s->end_at) {
          return api_r_input;  // the end comes once all the input up to it is taken
        } else {
          h->f_eof = 1;
        }
      }
    }
    const uint32_t r = coro_call(st, body);
    if (r == REQ_ERROR) break;
    if (r == REQ_OUTPUT) return api_r_output;
    if (r == REQ_DONE || r == REQ_FAULT) {
      coro_finish(h);
      return r == REQ_DONE ? api_r_done : api_r_fault;
    }
  }
  coro_finish(h);
  s->state = api_failed;
  return api_r_failed;
}

// The parameters a caller gave: the first `size` bytes of *given over the
// defaults in *p, as the struct grows at its end. False for a size below
// `least` (the first struct that carried a size), or bytes beyond our struct
// that are not zero: a field we do not know.
bool api_read_params(void* p, size_t ours, const void* given, size_t least);

// Whether a threads parameter is one the library takes.
inline bool api_threads_valid(unsigned threads) {
  return threads <= LRD_THREADS_MAX || threads == LRD_THREADS_AUTO;
}

// The helpers a threads parameter asks for: LRD_THREADS_AUTO gives one for
// every CPU the process may run on beside the caller's and `kept` more
// (left to threads of the caller's, as a program's writer), up to most_auto.
unsigned api_helpers(unsigned threads, unsigned most_auto, unsigned kept = 0);

}  // namespace lrd
