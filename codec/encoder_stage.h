// The batched encoder body's staging: a batch of input taken in (copied, or
// used where it lies in a ring), its cut candidates scanned in pieces that
// either thread may take, its chunks walked from the length rules and
// digested. encoder_fast.cpp runs these in turn over three areas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunk/cutscan.h"
#include "chunk/digest_batch.h"
#include "codec/enc_state.h"
#include "codec/format.h"
#include "codec/history.h"

namespace lrd {

// Fresh input bytes per batch. The unfinished chunk of a batch (at most
// cfg_maxchunk - 1 bytes) is carried to the front of the next one, into
// tail_room bytes before the fresh ones, which so stay where they were
// copied and scanned.
constexpr size_t batch_new = size_t{512} << 10;
constexpr size_t tail_room = size_t{64} << 10;
static_assert(tail_room >= cfg_maxchunk && tail_room % 64 == 0, "a carried chunk fits, on whole bit words");
constexpr size_t scan_hist = cutscan_history;
constexpr size_t data_cap = tail_room + batch_new;
constexpr size_t max_chunks = data_cap / cfg_minchunk + 2;

// Pieces of work: scan pieces are whole multiples of 64 bytes, so that each
// owns its words of the bit map.
constexpr size_t scan_piece = size_t{64} << 10;
constexpr size_t digest_piece = 256;  // chunks
static_assert(scan_piece % 64 == 0, "a scan piece owns whole words of the bit map");
// From a chunk being coded, the input taken in reaches at most to the end of
// its batch and the two after it.
static_assert(3 * (batch_new + cfg_maxchunk) <= cfg_enc_lag, "the history keeps what a check reads");
static_assert(scan_hist + 1 == cfg_hashwin, "the staged history completes the first window");

// A staging area, taken once for the whole run (about 1.3 MiB; three of
// them). The fresh bytes of a batch go to data + tail_room; the batch's
// first chunk, carried from the one before, ends right there, with the 15
// bytes before it that cut_candidates reads before its first position (at the
// very start zero, as the chunker's window begins; no cut at a chunk offset
// of 63 or more reads them anyway).
//
// A batch that lies whole in a ring history, with the bytes before it, is
// not staged: its data is there, in place (a ring's bytes stay the input's
// while they are coded; a mapped file's could change under the run, and
// cuts and literals must come from the same bytes, so a mapping is staged).
struct stage_area {
  alignas(64) uint8_t buf[scan_hist + data_cap];
  uint64_t bits[data_cap / 64];
  chunk_span spans[max_chunks];
  uint8_t keys[max_chunks][16];
  size_t fresh;   // fresh bytes, at data + tail_room
  size_t first;   // data offset of the batch's first chunk
  size_t rest;    // data offset of its unfinished chunk, carried to the next batch
  size_t nch;     // chunks found
  bool eof;       // the input ended in this batch: its last chunk is the final one
  // Fresh bytes [copy_at, fresh) are still in the input's history, at input
  // offsets from copy_off on: the scan pieces copy them in as they go.
  size_t copy_at;
  uint64_t copy_off;
  const uint8_t* hist;
  uint64_t hist_ring;
  uint8_t* dat;  // the batch's data: buf + scan_hist, or in the ring (then never written)
  uint8_t* data() { return dat; }
  const uint8_t* data() const { return dat; }
  bool in_place() const { return dat != buf + scan_hist; }
};

// The owner may move its history while the body waits for input (its bytes
// stay the same): a batch used where it lay is then copied in from the new
// one, with the carried chunk and the bytes before it, and its chunks follow.
// st null: nothing to do.
void stage_rehome(stage_area* st, const uint8_t* hist, uint64_t ring);

// Scan piece k: copies its fresh bytes in from the history, where they are
// not staged yet, and scans them but for its first 64 positions, whose
// windows reach into the piece before: stage_walk scans those.
void stage_scan_piece(stage_area* st, uint32_t k);

// Digest piece k: the keys of digest_piece chunks.
void stage_digest_piece(stage_area* st, uint32_t k);

// Once `st` is scanned: its first chunk, the unfinished one of `prev` (null
// at the start), carried in front of its fresh bytes; the positions the
// pieces left, whose windows reach across; and its chunks from the length
// rules.
void stage_walk(stage_area* st, const stage_area* prev);

// A batch to be taken in from input offset o on.
void stage_begin(stage_area* scan, uint64_t o);

// Takes the input buffer's bytes, up to the batch's end, as `filled` fresh
// bytes of scan: input that lies in the history as the batch's bytes before
// it do is only counted, the scan pieces copy it in; other input is copied
// now, after the bytes before it.
void stage_take(encoder_state* c, stage_area* scan, size_t* filled);

// A batch of `filled` fresh bytes taken in: the history as it stands now
// (the owner may have moved it meanwhile); and a batch that lies all in a
// ring, with the carried chunk and its 15 bytes before it, none past the
// ring's end, is used where it lies.
void stage_end(const encoder_state* c, stage_area* scan, size_t filled);

}  // namespace lrd
