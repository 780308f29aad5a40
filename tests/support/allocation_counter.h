// Counts heap allocations made through operator new on the calling thread, for tests and benchmarks
// that promise a path allocates nothing. Linking this library replaces the global operator new/delete.
#pragma once
#include <cstddef>

size_t krv_thread_allocations() noexcept;
// The largest single allocation on the calling thread since the previous call, which starts over.
size_t krv_take_thread_largest_allocation() noexcept;
