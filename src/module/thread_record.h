// The per-thread record: which VM a thread works for, which log it uses, which task it runs.
//
// Every thread that runs module code reaches its record through krv_get_thread_local(), which asks the
// global instance's hook; the module's default hook keeps one record per thread, created on the thread's
// first call and destroyed at thread exit. The host attaches a VM state by setting `vm`; the module only
// reads it. The record uses natural alignment: the host is ours and includes this same header.
//
// `native_call_depth` is non-zero while the thread runs code whose allocations must not come from the
// VM's pools (krv_native_call_scope); together with lock ownership it decides pool versus heap.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "module/global_instance.h"
#include "module/vm_state.h"
#include "runtime/memory/handles.h"

class krv_log_base;
class krv_task;

struct krv_thread_local {
  explicit krv_thread_local(uint32_t id) : thread_id(id) {}

  uint32_t thread_id;                      // kernel thread id of the owning thread, never 0
  std::string running_name;                // what the thread runs (a task or a worker job), for messages
  krv_vm_state* vm = nullptr;              // the VM this thread works for; set by the host only
  krvptr_strong<krv_log_base> log;         // the thread's own log, empty for none
  krv_task* current_task = nullptr;        // the task this thread is running
  krv_task* clearing_task = nullptr;       // the task whose stack is being cleared
  uint32_t vm_lock_depth = 0;              // VM mutexes held through krv_vm_lock guards (host-readable)
  std::unordered_map<uint64_t, void*> host_data;  // the host's; created empty, unused by the module
  uint64_t host_word = 0;                  // the host's; zero, unused by the module
  uint32_t native_call_depth = 0;          // > 0: pool allocations go to the heap

  // True when the thread holds its VM's lock.
  bool owns_vm_lock() const noexcept {
    return vm != nullptr && vm->lock_owner.load(std::memory_order_relaxed) == thread_id;
  }
  // True when allocations on this thread may come from the VM's pools.
  bool may_use_vm_pools() const noexcept { return native_call_depth == 0 && owns_vm_lock(); }
};

// The calling thread's record, through the global instance's hook.
inline krv_thread_local& krv_get_thread_local() { return krv_global().thread_local_hook(); }

// The module's own provider of per-thread records, installed as the global instance's hook: a record is
// created on a thread's first call and destroyed at thread exit.
std::function<krv_thread_local&()> krv_default_thread_local_hook();

// While alive, allocations on this thread bypass the VM's pools. Balanced on exceptions too.
class krv_native_call_scope {
 public:
  krv_native_call_scope() : record_(krv_get_thread_local()) { ++record_.native_call_depth; }
  ~krv_native_call_scope() { --record_.native_call_depth; }
  krv_native_call_scope(const krv_native_call_scope&) = delete;
  krv_native_call_scope& operator=(const krv_native_call_scope&) = delete;

 private:
  krv_thread_local& record_;
};
