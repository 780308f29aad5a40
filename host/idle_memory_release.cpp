#include "host/idle_memory_release.h"

#include <malloc.h>

// Every pooled type's traits, which a pool's page release reads.
#include "runtime/base/value_records.h"
#include "runtime/memory/ref_block_pool.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

size_t krv_release_idle_memory(krv_vm_state& state) {
  size_t released = 0;
  state.for_each_pool([&released](auto& pool) {
    if (pool.free_entries() >= krv_idle_release_min_pages * krv_pool_page_entries)
      released += pool.release_free_pages(krv_idle_release_reserve_pages);
  });
  if (released != 0) malloc_trim(0);
  return released;
}
