// What the host gives back when its VM goes quiet.
//
// A pool keeps its pages for the pool's life (pool.h), so a script that built a large container and
// dropped it would keep the pages of its cells, blocks and records for good, and glibc keeps the freed
// heap chunks (keys, entry vectors) in its free lists. Once the VM has been quiet (no work found, no
// wake) for krv_idle_release_quiet after any activity, the host (host_vm.h) lets each pool with at least
// krv_idle_release_min_pages wholly free pages' worth of free entries release its wholly free pages,
// keeping krv_idle_release_reserve_pages of them for the next burst; when any page went it trims the C
// heap (malloc_trim), and in any case it has glibc trim the top of the VM thread's arena, which
// malloc_trim does not do for a thread's arena (see idle_memory_release.cpp). The test of a pool is two
// loads and a subtraction; a page scan reads one byte per page on the free-pages stack. The return rings
// are drained earlier in the same tick, under the same lock, and a wholly free page holds no live entry,
// so nothing can still lead into a released page.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "module/vm_state.h"

inline constexpr size_t krv_idle_release_reserve_pages = 64;
inline constexpr uint64_t krv_idle_release_min_pages = 256;
// How long the VM must have been quiet: long against the gaps of a busy run, short against the second
// within which a run that went idle should have its memory back.
inline constexpr std::chrono::milliseconds krv_idle_release_quiet{100};

// Releases the wholly free pages of the state's pools beyond the reserve, trims the C heap when a page
// went and the top of the calling thread's arena always. On the VM thread, holding the VM lock, after the
// return rings were drained. Returns the pages released.
size_t krv_release_idle_memory(krv_vm_state& state);
