// The chunk index's record: what the face (index.h) and the window algorithm
// (window.h) both work on. Only the index's own files read its fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/index/cells.h"
#include "codec/index/slot.h"

namespace lrd {

struct chunk_index {
  uint32_t match_pos;       // position stored in the entry of the last hit
  uint32_t* match_value;    // that entry's value, for index_refresh; good until the next call
  uint32_t sweep_pos;       // next slot the sweep examines
  uint32_t stored_end;      // 1 + the highest position stored so far; poswrap over an owner's table
  hslot* tbl;               // cfg.tblsize slots, zero-filled; null while the table is in cells
  index_cfg cfg;
  index_cells cells;        // the table while it grows
  index_mem mem;            // where a growing index gets its memory; resize null for the owner's table
  size_t flat_bytes;        // bytes of tbl when the index took it from mem, else 0
  bool failed;              // memory was refused: see index_init_growing
};

}  // namespace lrd
