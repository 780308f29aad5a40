// How much memory this process holds, as the kernel counts it.
//
// The resident set is what a user sees grow and shrink (top's RES): pages of this process that are in
// memory now, whether the C heap, a pool or a mapped library holds them. Memory freed back to the C
// heap but kept in its free lists still counts; memory returned to the kernel does not.
#pragma once
#include <cstdint>

namespace krv_platform {

// The resident set of this process in bytes (from /proc/self/statm); 0 when it cannot be read.
uint64_t resident_bytes() noexcept;

}  // namespace krv_platform
