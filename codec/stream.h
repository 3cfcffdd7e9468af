// The stream coroutine: lets each coder be one straight loop over bytes that
// suspends when its input buffer is empty or its output buffer full, while the
// driver does the file I/O in between.
//
// Built on C++20 coroutines: the coder body's frame holds its locals across
// suspensions, so nothing is copied on the stack and the sanitizers see plain
// code. The per-byte read and write stay a compare, a load or store and an
// increment (CORO_READ, CORO_WRITE).
#pragma once

#include <coroutine>
#include <cstdint>
#include <cstring>
#include <exception>

namespace lrd {

// Request codes a coder hands to the driver when it suspends.
enum : uint32_t {
  REQ_DONE = 0,    // after the last output byte; never resumed
  REQ_INPUT = 1,   // inpptr reached inpend: refill the input buffer
  REQ_OUTPUT = 2,  // outptr reached outend: write the whole output buffer
  REQ_FAULT = 3,   // decoder: a fault ends the stream here; never resumed
  REQ_ERROR = 4,   // the body failed, with coro_header::error; never resumed
};

// What a body that stops with REQ_ERROR records as the reason.
enum coro_error : uint32_t {
  coro_ok = 0,
  coro_no_memory,  // memory the body needed was refused
};

// A coder body: the coroutine that coro_call starts and resumes.
struct coro_task {
  struct promise_type {
    coro_task get_return_object() {
      return coro_task{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

// The coroutine header: the first part of each coder's state. The owner owns
// the buffers the pointers point into.
struct coro_header {
  const uint8_t* inpptr;  // next unread input byte
  const uint8_t* inpbeg;  // start of the input buffer (driver only)
  const uint8_t* inpend;  // one past the last valid input byte
  uint8_t* outptr;        // next free output byte
  uint8_t* outbeg;        // start of the output buffer
  uint8_t* outend;        // one past the end of the output buffer
  uint32_t state;         // request code of the last suspension; 0 = not started
  uint32_t f_eof;         // set by the driver when a read delivered nothing
  uint64_t inp_before;    // input bytes delivered before the current buffer
  uint32_t error;         // coro_ok, or why the body stopped with REQ_ERROR
  std::coroutine_handle<coro_task::promise_type> handle;  // the suspended body
};

// Awaitable returned by coro_yield: records the request and suspends the body.
struct coro_yield_awaiter {
  coro_header* h;
  uint32_t code;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept { h->state = code; }
  void await_resume() const noexcept {}
};

// Suspends the coder with request `code`; resumes when the driver has served it.
// Use as `co_await coro_yield(h, REQ_INPUT)` from the body itself.
inline coro_yield_awaiter coro_yield(coro_header* h, uint32_t code) { return {h, code}; }

// Starts the body on the first call, resumes it on later ones, and returns the
// request code it suspended with. A body that returns counts as REQ_DONE.
// REQUIRES: never called again once it has returned REQ_DONE.
template <class Rec>
uint32_t coro_call(Rec* rec, coro_task (*body)(Rec*)) {
  coro_header* h = &rec->coro;
  if (!h->handle) {
    h->state = REQ_DONE;
    h->handle = body(rec).handle;
  }
  h->handle.resume();
  if (h->handle.done()) h->state = REQ_DONE;
  return h->state;
}

// Frees the body's frame once the run is over.
inline void coro_finish(coro_header* h) {
  if (h->handle) h->handle.destroy();
  h->handle = nullptr;
}

// Ends the body with REQ_ERROR, recording `err`. Only for use inside a body.
#define CORO_FAIL(h, err)                     \
  do {                                        \
    (h)->error = (err);                       \
    co_await coro_yield((h), REQ_ERROR);      \
    co_return;                                \
  } while (0)

// Offset in the input stream of the next unread byte.
inline uint64_t coro_input_offset(const coro_header* h) {
  return h->inp_before + static_cast<uint64_t>(h->inpptr - h->inpbeg);
}

// Reads one input byte into `b`. When the input is over, runs `on_end`, which
// must leave the read (goto, break or co_return). Only for use inside a body.
#define CORO_READ(h, b, on_end)                          \
  for (;;) {                                             \
    if ((h)->inpptr < (h)->inpend) {                     \
      (b) = *(h)->inpptr++;                              \
      break;                                             \
    }                                                    \
    co_await coro_yield((h), REQ_INPUT);                 \
    if ((h)->inpptr >= (h)->inpend && (h)->f_eof) {      \
      on_end;                                            \
    }                                                    \
  }

// Writes one output byte; a buffer is handed over the moment it is full.
#define CORO_WRITE(h, b)                                 \
  do {                                                   \
    *(h)->outptr++ = (b);                                \
    if ((h)->outptr >= (h)->outend)                      \
      co_await coro_yield((h), REQ_OUTPUT);              \
  } while (0)

// Writes `len` bytes from `src` in bulk, handing each buffer over the moment it
// is full, exactly as byte-by-byte writes would. `src` and `len` are modified.
// Bytes already where they are written (a decoder whose output buffers are
// its window) are not copied.
#define CORO_WRITE_BLOCK(h, src, len)                                       \
  while ((len) > 0) {                                                       \
    size_t room_ = static_cast<size_t>((h)->outend - (h)->outptr);          \
    size_t k_ = (len) < room_ ? (len) : room_;                              \
    if ((h)->outptr != (src)) std::memcpy((h)->outptr, (src), k_);          \
    (h)->outptr += k_;                                                      \
    (src) += k_;                                                            \
    (len) -= k_;                                                            \
    if ((h)->outptr >= (h)->outend) co_await coro_yield((h), REQ_OUTPUT);   \
  }

}  // namespace lrd
