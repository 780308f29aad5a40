// The host's per-VM state, as far as the module reads and writes it.
//
// The host owns one krv_vm_state per VM and points the per-thread record of every thread that works for
// the VM at it; the module never creates one. Later subsystems add their fields here (pools, run heap,
// worker queue, ...), which makes the state large: it is always heap-allocated.
//
// Invariants:
// - `lock_owner` is the thread id of the VM lock's holder, 0 when free. It is set only after `lock` is
//   taken and cleared before it is given up, so a thread that reads its own id there really holds the lock.
// - `log` is never empty while the VM is attached to a thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/memory/handles.h"

class krv_log_base;
class krvobject_update_pre;

struct krv_vm_state {
  krv_vm_state() = default;
  krv_vm_state(const krv_vm_state&) = delete;
  krv_vm_state& operator=(const krv_vm_state&) = delete;

  std::recursive_mutex lock;              // the VM lock; taken only through krv_vm_lock
  std::atomic<uint32_t> lock_owner{0};    // thread id of the holder; read unlocked only to compare
  krvptr_strong<krv_log_base> log;        // the VM's log, used by threads without their own
  std::string name;                       // the VM's name, used in thread and task names

  // Objects whose update_pre runs once per VM update, in registration order.
  std::vector<krvobject_update_pre*> update_list;
  uint8_t update_list_changed = 0;        // set to 1 on every change; only the host clears it
};
