#include "module/vm_lock.h"

namespace {

void unlock_owned(krv_vm_state& vm) {
  vm.lock_owner.store(0, std::memory_order_relaxed);
  vm.lock.unlock();
}

}  // namespace

krv_vm_lock::krv_vm_lock() : record_(krv_get_thread_local()) { enter(record_.vm, record_); }

krv_vm_lock::krv_vm_lock(krv_vm_state& vm) : record_(krv_get_thread_local()) { enter(&vm, record_); }

void krv_vm_lock::enter(krv_vm_state* vm, krv_thread_local& record) {
  vm_ = vm;
  if (vm == nullptr) return;
  // Counted once per guard and uncounted by the same guard, so the depth stays balanced.
  ++record.vm_lock_depth;
  if (vm->lock_owner.load(std::memory_order_relaxed) != record.thread_id) {
    relock(*vm, record);
    locked_ = true;
  }
}

krv_vm_lock::~krv_vm_lock() {
  if (vm_ == nullptr) return;
  --record_.vm_lock_depth;
  if (locked_) unlock_owned(*vm_);
}

void krv_vm_lock::relock(krv_vm_state& vm, krv_thread_local& record) {
  vm.lock.lock();
  vm.lock_owner.store(record.thread_id, std::memory_order_relaxed);
}

krv_vm_unlock::krv_vm_unlock() : record_(krv_get_thread_local()) {
  if (!record_.owns_vm_lock()) return;
  released_vm_ = record_.vm;
  unlock_owned(*released_vm_);
}

krv_vm_unlock::~krv_vm_unlock() {
  if (released_vm_ != nullptr) krv_vm_lock::relock(*released_vm_, record_);
}
