#include "runtime/memory/ref_block.h"

#include "module/thread_record.h"
#include "runtime/memory/pool_return.h"
#include "runtime/memory/ref_block_pool.h"

constinit krvptr_ref_block krvptr_empty_block{nullptr, krvptr_immortal_count, 0, 1, krvptr_heap_slot, {}};

krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool) {
  if (may_use_vm_pool) {
    const krv_thread_local& record = krv_get_thread_local();
    if (record.may_use_vm_pools()) {
      // A failed page allocation is logged by the pool; the heap still serves the object.
      if (krvptr_ref_block* block = record.vm->ref_block_pool.allocate()) {
        block->object = nullptr;
        block->strong = block->weak = 0;
        block->alive = 1;
        return block;
      }
    }
  }
  return new krvptr_ref_block{nullptr, 0, 0, 1, krvptr_heap_slot, {}};
}

void krvptr_ref_block_free(krvptr_ref_block* block) noexcept {
  if (block == nullptr) return;
  block->alive = 0;
  if (block->pool_slot == krvptr_heap_slot) {
    delete block;
    return;
  }
  krv_pool_return<&krv_vm_state::ref_block_pool>(block);
}

void krvptr_ref_block_free_if_unused(krvptr_ref_block* block) noexcept {
  if (block != nullptr && block->unused()) krvptr_ref_block_free(block);
}
