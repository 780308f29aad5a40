#include "allocation_counter.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace {
thread_local size_t allocations = 0;
thread_local size_t largest = 0;
}

size_t krv_thread_allocations() noexcept { return allocations; }

size_t krv_take_thread_largest_allocation() noexcept { return std::exchange(largest, 0); }

// Out of line, so the compiler never pairs an inlined malloc with a free it cannot see.
[[gnu::noinline]] void* operator new(size_t size) {
  ++allocations;
  largest = std::max(largest, size);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
