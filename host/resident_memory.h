// How much memory this process holds, as the kernel counts it: for the host's measuring natives and
// the memory benchmarks (the module itself never asks).
//
// The resident set is what a user sees grow and shrink (top's RES): pages of this process that are in
// memory now, whether the C heap, a pool or a mapped library holds them. Memory freed back to the C
// heap but kept in its free lists still counts; memory returned to the kernel does not.
#pragma once
#include <cstdint>

// The resident set of this process in bytes (from /proc/self/statm); 0 when it cannot be read.
uint64_t krv_host_resident_bytes() noexcept;
