// Where a reference block comes from and goes back to: the calling thread's VM pool when the thread may
// use it, else the heap cache. The block's layout and the handles that count it are memory's
// (runtime/memory/ref_block.h declares these functions); choosing the pool needs the thread record and the
// VM state, which sit above memory in the VM core.
#include "module/pool_return.h"
#include "module/thread_record.h"
#include "runtime/memory/heap_cache.h"
#include "runtime/memory/ref_block.h"
#include "runtime/memory/ref_block_pool.h"

namespace {

// A block from the heap: a kept one made fresh again, else a new one.
krvptr_ref_block* heap_block() {
  krvptr_ref_block* block = krv_heap_cache<krvptr_ref_block>::take();
  if (block == nullptr) return new krvptr_ref_block{nullptr, 0, 0, 1, krvptr_heap_slot, {}};
  *block = {nullptr, 0, 0, 1, krvptr_heap_slot, {}};
  return block;
}

// Marks a heap block dead and keeps it for reuse.
void free_heap_block(krvptr_ref_block* block) noexcept {
  block->alive = 0;
  krv_heap_cache<krvptr_ref_block>::keep(block);
}

}  // namespace

krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool) {
  return may_use_vm_pool ? krvptr_ref_block_allocate(true, krv_get_thread_local()) : heap_block();
}

krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool, const krv_thread_local& record) {
  if (may_use_vm_pool && record.may_use_vm_pools()) {
    // A failed page allocation is logged by the pool; the heap still serves the object.
    if (krvptr_ref_block* block = record.vm->ref_block_pool.allocate()) {
      block->object = nullptr;
      block->strong = block->weak = 0;
      block->alive = 1;
      return block;
    }
  }
  return heap_block();
}

void krvptr_ref_block_free(krvptr_ref_block* block) noexcept {
  if (block == nullptr) return;
  if (block->pool_slot != krvptr_heap_slot) return krvptr_ref_block_free(block, krv_get_thread_local());
  free_heap_block(block);
}

// A heap block is kept for reuse. A pooled block goes back to its page, or through the pool's return
// ring from a thread without the VM lock; a thread without a VM cannot reach the pool and leaves it where
// it is.
void krvptr_ref_block_free(krvptr_ref_block* block, const krv_thread_local& record) noexcept {
  if (block == nullptr) return;
  if (block->pool_slot == krvptr_heap_slot) return free_heap_block(block);
  block->alive = 0;
  if (record.vm != nullptr) krv_pool_return(record.vm->ref_block_pool, block, record);
}

void krvptr_ref_block_free_if_unused(krvptr_ref_block* block) noexcept {
  if (block != nullptr && block->unused()) krvptr_ref_block_free(block);
}
