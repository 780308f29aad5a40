#include "host/idle_memory_release.h"

#include <malloc.h>

#include <cstdlib>

// Every pooled type's traits, which a pool's page release reads.
#include "runtime/base/value_records.h"
#include "runtime/memory/ref_block_pool.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

// glibc looks at a thread arena's top only when a free of at least this much memory ends.
constexpr size_t top_trim_trigger_bytes = 64 * 1024;
// What glibc's own thresholds settle at once a process has freed a large block: blocks below 32 MiB come
// from the heap, and a free trims a thread arena's top only past 64 MiB. Fixed here, since setting the
// trim threshold stops glibc from adjusting either.
constexpr int heap_block_limit_bytes = 32 << 20;
constexpr int busy_top_trim_bytes = 64 << 20;

// malloc_trim gives back the whole free pages of every arena's free chunks, but the top of a thread's
// arena only when a free finds it past the trim threshold. The VM thread's arena holds what its script
// dropped, and after a parse its top alone can hold tens of megabytes: the calling thread frees one
// block large enough to make glibc look at its arena's top while the threshold is 0.
void trim_this_threads_arena_top() {
  mallopt(M_MMAP_THRESHOLD, heap_block_limit_bytes);
  mallopt(M_TRIM_THRESHOLD, 0);
  void* volatile block = std::malloc(top_trim_trigger_bytes);
  std::free(block);
  mallopt(M_TRIM_THRESHOLD, busy_top_trim_bytes);
}

}  // namespace

size_t krv_release_idle_memory(krv_vm_state& state) {
  size_t released = 0;
  state.for_each_pool([&released](auto& pool) {
    if (pool.free_entries() >= krv_idle_release_min_pages * krv_pool_page_entries)
      released += pool.release_free_pages(krv_idle_release_reserve_pages);
  });
  if (released != 0) malloc_trim(0);
  trim_this_threads_arena_top();
  return released;
}
