#include "runtime/memory/shared_object.h"

krvptr_ref_block* krvptr_storage::get_ref_block(krvptr_base_internal& object) {
  krvptr_storage& storage = object;
  if (storage.ref_block_ == nullptr) {
    storage.ref_block_ = krvptr_ref_block_allocate(object.may_use_vm_pool());
    storage.ref_block_->alive = 1;
  }
  storage.ref_block_->object = &object;
  return storage.ref_block_;
}

krvptr_ref_block* krvptr_storage::get_ref_block(krvptr_base_internal& object, const krv_thread_local& record) {
  krvptr_storage& storage = object;
  if (storage.ref_block_ == nullptr) {
    storage.ref_block_ = krvptr_ref_block_allocate(object.may_use_vm_pool(), record);
    storage.ref_block_->alive = 1;
  }
  storage.ref_block_->object = &object;
  return storage.ref_block_;
}

krvptr_base_internal::~krvptr_base_internal() { krvptr_base_internal::detach(); }

void krvptr_base_internal::destroy() { delete this; }

krvptr_ref_block* krvptr_base_internal::unlink_block() noexcept {
  krvptr_ref_block* block = ref_block_;
  if (block == nullptr) return nullptr;
  block->object = nullptr;
  ref_block_ = nullptr;
  return block;
}

void krvptr_base_internal::detach() noexcept { krvptr_ref_block_free_if_unused(unlink_block()); }

void krvptr_base_internal::detach_block(const krv_thread_local& record) noexcept {
  krvptr_ref_block* block = unlink_block();
  if (block != nullptr && block->unused()) krvptr_ref_block_free(block, record);
}
