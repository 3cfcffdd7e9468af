// Anonymous memory as the objects and the program take it: zero-filled,
// committed only where touched, and grown without copying.
#pragma once

#include <cstddef>

namespace lrd {

// Zero-filled anonymous memory of `bytes`, committed only where touched, with
// huge pages advised when `huge`; null when it cannot be had.
void* map_zeroed(size_t bytes, bool huge);

// Resizes a map_zeroed block as index_mem's resize does (null: none yet;
// new_bytes 0: frees it), null where the memory cannot be had: mremap moves
// a grown block's pages, not its bytes. Huge pages would not stay with a
// block that moves, so there are none.
void* resize_zeroed(void* block, size_t old_bytes, size_t new_bytes);

// resize_zeroed for the growing chunk index, whose large blocks are advised
// huge pages after every move.
void* resize_index_zeroed(void* block, size_t old_bytes, size_t new_bytes);

}  // namespace lrd
