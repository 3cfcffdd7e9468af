// The rules of a call, shared by the encoder and decoder objects.
#include "lib/api_stream.h"

#include <cstring>

#include "codec/worker.h"

namespace lrd {

void api_stream_restart(api_stream* s) {
  coro_finish(s->h);
  *s->h = coro_header{};
  s->state = api_fresh;
  s->end = s->poke = s->fed = false;
  s->end_at = s->taken = s->handed = 0;
  s->block = nullptr;
  s->block_n = s->block_out = 0;
}

namespace {

int api_check_buffers(const lrd_in* in, const lrd_out* out) {
  if ((in && in->pos > in->size) || (out && out->pos > out->size)) return LRD_ERROR_BUFFER;
  if ((in && in->pos < in->size && !in->src) || (out && out->pos < out->size && !out->dst)) return LRD_ERROR_NULL;
  return LRD_OK;
}

}  // namespace

int api_error(const api_stream* s) {
  switch (s->h->error) {
    case coro_no_memory: return LRD_ERROR_MEMORY;
    default: return LRD_ERROR_STATE;  // no other error is recorded
  }
}

int api_begin_call(api_stream* s, const lrd_in* in, const lrd_out* out, int end) {
  if (s->state == api_done || s->state == api_failed) return LRD_ERROR_STATE;
  if (const int r = api_check_buffers(in, out); r != LRD_OK) return r;
  // Once the end is said, later calls may give only what was left untaken.
  const uint64_t given = s->taken + (in ? in->size - in->pos : 0);
  if (s->end && given > s->end_at) return LRD_ERROR_STATE;
  if (end && !s->end) {
    s->end = true;
    s->end_at = given;
  }
  return LRD_OK;
}

void api_take_input(api_stream* s, lrd_in* in, const uint8_t* src, size_t n) {
  coro_header* h = s->h;
  h->inpbeg = h->inpptr = src;
  h->inpend = src + n;
  in->pos += n;
  s->taken += n;
  s->fed = true;
}

void api_give_back(api_stream* s, lrd_in* in, const uint8_t* from) {
  const size_t left = static_cast<size_t>(s->h->inpend - from);
  if (left == 0) return;  // in may then be null
  in->pos -= left;
  s->taken -= left;
}

bool api_hand_out(api_stream* s, lrd_out* out) {
  const size_t left = s->block_n - s->block_out;
  if (left == 0) return true;
  if (!out || out->pos == out->size) return false;
  const size_t k = left < out->size - out->pos ? left : out->size - out->pos;
  std::memcpy(static_cast<uint8_t*>(out->dst) + out->pos, s->block + s->block_out, k);
  out->pos += k;
  s->block_out += k;
  s->handed += k;
  return s->block_out == s->block_n;
}

bool api_read_params(void* p, size_t ours, const void* given, size_t least) {
  size_t size = 0;
  std::memcpy(&size, given, sizeof size);
  if (size < least) return false;
  const uint8_t* g = static_cast<const uint8_t*>(given);
  for (size_t i = ours; i < size; i++)
    if (g[i] != 0) return false;
  std::memcpy(static_cast<uint8_t*>(p) + sizeof size, g + sizeof size, (size < ours ? size : ours) - sizeof size);
  return true;
}

unsigned api_helpers(unsigned threads, unsigned most_auto, unsigned kept) {
  if (threads != LRD_THREADS_AUTO) return threads;
  const unsigned cpus = worker_cpus();
  const unsigned others = cpus > 1 + kept ? cpus - 1 - kept : 0;
  return others < most_auto ? others : most_auto;
}

}  // namespace lrd
