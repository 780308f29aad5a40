// The scoped VM lock and its temporary release.
//
// krv_vm_lock takes a VM's recursive mutex only when the calling thread is not already its owner, so
// however deeply guards nest, the mutex is held at most once and only the outermost guard unlocks it.
// A thread without a VM locks nothing (its allocations then use the heap). The owner id is published
// after locking and cleared before unlocking.
//
// krv_vm_unlock lets long work (kernel launches) give an owned VM lock up for a while and takes it back
// at the end of its scope.
#pragma once
#include "module/thread_record.h"

// The nested case (the thread already owns the lock) is the common one, so it is inline and touches
// nothing but the guard itself; taking and giving up the mutex are out of line.
class krv_vm_lock {
 public:
  // Guards the calling thread's VM.
  krv_vm_lock() : record_(krv_get_thread_local()) { enter(record_.vm); }
  // Guards a given VM: objects that belong to a VM lock that one, whichever thread releases them.
  explicit krv_vm_lock(krv_vm_state& vm) : record_(krv_get_thread_local()) { enter(&vm); }
  ~krv_vm_lock() {
    if (vm_ != nullptr) leave();
  }
  krv_vm_lock(const krv_vm_lock&) = delete;
  krv_vm_lock& operator=(const krv_vm_lock&) = delete;

  // Takes `vm`'s mutex for the calling thread and publishes it as the owner.
  static void relock(krv_vm_state& vm, krv_thread_local& record);

 private:
  void enter(krv_vm_state* vm) {
    if (vm != nullptr && vm->lock_owner.load(std::memory_order_relaxed) != record_.thread_id) take(*vm);
  }
  void take(krv_vm_state& vm);
  void leave();

  krv_thread_local& record_;
  krv_vm_state* vm_ = nullptr;  // the VM whose mutex this guard took; null when it took none
};

class krv_vm_unlock {
 public:
  krv_vm_unlock();
  ~krv_vm_unlock();
  krv_vm_unlock(const krv_vm_unlock&) = delete;
  krv_vm_unlock& operator=(const krv_vm_unlock&) = delete;

 private:
  krv_thread_local& record_;
  krv_vm_state* released_vm_ = nullptr;  // the VM whose lock this scope gave up, null when none
};
