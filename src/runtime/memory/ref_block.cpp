#include "runtime/memory/ref_block.h"

#include "module/thread_record.h"
#include "runtime/memory/pool_return.h"
#include "runtime/memory/ref_block_pool.h"

constinit krvptr_ref_block krvptr_empty_block{nullptr, krvptr_immortal_count, 0, 1, krvptr_heap_slot, {}};

namespace {

krvptr_ref_block* new_heap_block() { return new krvptr_ref_block{nullptr, 0, 0, 1, krvptr_heap_slot, {}}; }

}  // namespace

krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool) {
  return may_use_vm_pool ? krvptr_ref_block_allocate(true, krv_get_thread_local()) : new_heap_block();
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
  return new_heap_block();
}

void krvptr_ref_block_free(krvptr_ref_block* block) noexcept {
  if (block != nullptr && block->pool_slot != krvptr_heap_slot) return krvptr_ref_block_free(block, krv_get_thread_local());
  delete block;
}

// A pooled block goes back to its page, or through the pool's return ring from a thread without the VM
// lock; a thread without a VM cannot reach the pool and leaves it where it is.
void krvptr_ref_block_free(krvptr_ref_block* block, const krv_thread_local& record) noexcept {
  if (block == nullptr) return;
  block->alive = 0;
  if (block->pool_slot == krvptr_heap_slot) {
    delete block;
  } else if (record.vm != nullptr) {
    krv_pool_return(record.vm->ref_block_pool, block, record);
  }
}

void krvptr_ref_block_free_if_unused(krvptr_ref_block* block) noexcept {
  if (block != nullptr && block->unused()) krvptr_ref_block_free(block);
}
