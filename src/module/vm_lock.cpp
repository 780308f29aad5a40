#include "module/vm_lock.h"

namespace {

void unlock_owned(krv_vm_state& vm) {
  vm.lock_owner.store(0, std::memory_order_relaxed);
  vm.lock.unlock();
}

}  // namespace

void krv_vm_lock::take(krv_vm_state& vm) {
  relock(vm, record_);
  vm_ = &vm;
  // Counted by the guard that takes the mutex and uncounted by the same guard, so the depth stays
  // balanced; nested guards touch no shared memory at all.
  ++record_.vm_lock_depth;
}

void krv_vm_lock::leave() {
  --record_.vm_lock_depth;
  unlock_owned(*vm_);
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
