// The sizes a run is built with, in one place: the window, the positions'
// wrap, the index's table, the I/O block and the histories' leads. Every
// layer above takes them from here; the public header's macros are checked
// against them where the library is built.
#pragma once

#include <cstdint>

namespace lrd {

// The window: how far back a reference reaches, and an index entry's life.
constexpr uint32_t cfg_decwinsize = 0x3E800000;  // 1000 MiB

// Positions are counted modulo four windows: a window for references plus a
// sweep period of three.
constexpr uint32_t cfg_poswrap = 4 * cfg_decwinsize;
static_assert(cfg_poswrap == 0xFA000000);

// The index's table: 20-byte slots, just under 1 GiB of them, and the slots
// examined from a key's home slot.
constexpr uint32_t cfg_tblsize = 53687091;
constexpr uint32_t cfg_probe = 20;

// Bytes per file read or write, and so per coroutine buffer.
constexpr uint32_t cfg_iobuf = 65536;

// Input bytes the encoder may take in beyond the start of the chunk it is
// coding: a ring of the input must be this much longer than the window, so
// that the bytes a reference points at are still in it.
constexpr uint64_t cfg_hist_lead = uint64_t{4} << 20;

// How far the coder's position may trail the input it has taken in: a chunk
// being coded starts at most this many bytes before the end of it (two
// batches of 1 MiB and their carried chunks).
constexpr uint64_t cfg_enc_lag = 2 * (uint64_t{1} << 20) + 2 * uint64_t{cfg_iobuf};
static_assert(cfg_enc_lag <= cfg_hist_lead);

// Ring length for an input that cannot be mapped: the window and the lead,
// in whole input buffers so that no read straddles the ring's end.
constexpr uint64_t cfg_hist_ring = cfg_decwinsize + cfg_hist_lead;
static_assert(cfg_hist_ring % cfg_iobuf == 0, "whole input buffers fill the ring");

// The decoder's own output blocks with a history of the owner's: a ring of
// this many, handed out in order, so the owner may write a block as much as
// this many less one blocks after it was handed over.
constexpr uint32_t cfg_outring_blocks = 32;

// A stable input is handed to the decoder's body a piece at a time: the
// largest input buffer the body sees.
constexpr uint32_t cfg_stable_piece = uint32_t{1} << 20;

// The shortest input buffer the decoder's body hands to a helper to scan
// ahead. Handing a buffer over and taking it back costs the body tens of
// microseconds (the helper's wake-up, and the piece it is on at the
// buffer's end): buffers of 64 to 256 KiB decoded slower for it, of 1 MiB
// faster.
constexpr uint32_t cfg_scan_ahead_min = uint32_t{512} << 10;

}  // namespace lrd
