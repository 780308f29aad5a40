#include "runtime/memory/ref_block.h"

constinit krvptr_ref_block krvptr_empty_block{nullptr, krvptr_immortal_count, 0, 1, krvptr_heap_slot, {}};

krvptr_ref_block* krvptr_ref_block_allocate(bool /*may_use_vm_pool*/) {
  return new krvptr_ref_block{nullptr, 0, 0, 1, krvptr_heap_slot, {}};
}

void krvptr_ref_block_free(krvptr_ref_block* block) noexcept {
  if (block == nullptr) return;
  block->alive = 0;
  if (block->pool_slot == krvptr_heap_slot) delete block;
}

void krvptr_ref_block_free_if_unused(krvptr_ref_block* block) noexcept {
  if (block != nullptr && block->unused()) krvptr_ref_block_free(block);
}
