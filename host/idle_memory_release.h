// What the host gives back when its VM goes quiet.
//
// A pool keeps its pages for the pool's life (pool.h), so a script that built a large container and
// dropped it would keep the pages of its cells, blocks and records for good, and glibc keeps the freed
// heap chunks (keys, entry vectors) in its free lists. On the first tick that finds no work after one
// that did, the host (host_vm.h) lets each pool with at least krv_idle_release_min_pages wholly free
// pages' worth of free entries release its wholly free pages, keeping krv_idle_release_reserve_pages of
// them for the next burst, and when any page went it trims the C heap (malloc_trim). The test of a pool
// is two loads and a subtraction; a page scan reads one byte per page on the free-pages stack. The
// return rings are drained earlier in the same tick, under the same lock, and a wholly free page holds no
// live entry, so nothing can still lead into a released page.
#pragma once
#include <cstddef>
#include <cstdint>

#include "module/vm_state.h"

inline constexpr size_t krv_idle_release_reserve_pages = 64;
inline constexpr uint64_t krv_idle_release_min_pages = 256;

// Releases the wholly free pages of the state's pools beyond the reserve and trims the C heap when a
// page went. VM-lock holder, after the return rings were drained. Returns the pages released.
size_t krv_release_idle_memory(krv_vm_state& state);
