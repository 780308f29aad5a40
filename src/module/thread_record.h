// The per-thread record: which VM a thread works for, which log it uses, which task it runs.
//
// Every thread that runs module code reaches its record through krv_get_thread_local(), which asks the
// global instance's hook; the module's default hook keeps one record per thread, created on the thread's
// first call and destroyed at thread exit. The host attaches a VM state by setting `vm`; the module only
// reads it. The record uses natural alignment: the host is ours and includes this same header.
//
// Value cells look the record up on every create and destroy, so while the installed hook is still the
// module's own, krv_get_thread_local reads the record itself instead of calling through the
// std::function. The host may replace the hook at any time; a replaced hook is always called.
//
// `native_call_depth` is non-zero while the thread runs code whose allocations must not come from the
// VM's pools (krv_native_call_scope); together with lock ownership it decides pool versus heap.
#pragma once
#include <cstdint>
#include <cstring>
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

using krv_thread_local_hook_fn = std::function<krv_thread_local&()>;

// The default hook's record of the calling thread, null until the thread's first lookup. A
// constant-initialised pointer is the cheapest thread-local there is (no initialisation guard on access).
extern constinit thread_local krv_thread_local* krv_default_thread_record;
// Makes the calling thread's record on its first lookup through the default hook.
krv_thread_local& krv_create_default_thread_record();

// The module's own provider of per-thread records: a record is created on a thread's first call and
// destroyed at thread exit. Stateless, so every copy behaves the same.
struct krv_default_thread_local_provider {
  krv_thread_local& operator()() const {
    if (krv_thread_local* record = krv_default_thread_record) [[likely]] return *record;
    return krv_create_default_thread_record();
  }
};

// The hook the global instance's constructor installs.
krv_thread_local_hook_fn krv_default_thread_local_hook();

// The installed default hook as it lay in memory, kept by the global instance's constructor before any
// thread can reach the hook. A hook with the same bytes holds the same target type and invoker, and the
// default provider has no state, so it behaves as the default; every other hook, including an empty one,
// differs in its bytes. Comparing bytes costs no call, where asking std::function for its target would.
class krv_default_hook_image {
 public:
  void remember(const krv_thread_local_hook_fn& installed) noexcept {
    std::memcpy(bytes_, static_cast<const void*>(&installed), sizeof bytes_);
  }
  bool matches(const krv_thread_local_hook_fn& hook) const noexcept {
    return std::memcmp(bytes_, static_cast<const void*>(&hook), sizeof bytes_) == 0;
  }

 private:
  unsigned char bytes_[sizeof(krv_thread_local_hook_fn)] = {};
};
extern constinit krv_default_hook_image krv_default_hook;

// The calling thread's record, through the global instance's hook (read directly while that is the
// default one). An empty hook throws std::bad_function_call.
inline krv_thread_local& krv_get_thread_local() {
  const krv_thread_local_hook_fn& hook = krv_global().thread_local_hook;
  if (krv_default_hook.matches(hook)) [[likely]] return krv_default_thread_local_provider{}();
  return hook();
}

// The bytes one std.buffer (or any result a script's numbers grow at once) may hold: the calling
// thread's VM's bound, the default one on a thread without a VM.
inline uint64_t krv_thread_max_buffer_bytes() {
  const krv_vm_state* vm = krv_get_thread_local().vm;
  return vm != nullptr ? vm->settings.max_buffer_bytes : krv_default_max_buffer_bytes;
}

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
