// The host's per-VM state, as far as the module reads and writes it.
//
// The host owns one krv_vm_state per VM and points the per-thread record of every thread that works for
// the VM at it; the module never creates one.
// The pools alone make the state large: it is always heap-allocated.
//
// Invariants:
// - `lock_owner` is the thread id of the VM lock's holder, 0 when free. It is set only after `lock` is
//   taken and cleared before it is given up, so a thread that reads its own id there really holds the lock.
// - `log` is never empty while the VM is attached to a thread.
// - Pool pages are touched only by the VM-lock holder; other threads reach a pool through its ring.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "module/completion_ring.h"
#include "module/task_queue.h"
#include "runtime/memory/handles.h"
#include "runtime/memory/object_pool.h"
#include "runtime/memory/pool.h"

class krv_log_base;
class krvobject_base;
class krv_std_string;
class krv_std_json;
class krv_std_buffer;
class krvobject_update_pre;
struct krvvar;
struct krvvar_function_record;
struct krvvar_ext_function_record;
struct krvvar_object_record;
struct krvvar_member_literal_record;
struct krvvar_member_index_record;
struct krvvar_member_var_record;
struct krvvar_class_def_record;
struct krvvar_class_record;
class krv_vm_context;
class krv_task;

// The host's scheduler, as the module wakes it: `wake` (the third virtual operation, after the two
// destructor entries) says that a task became due or a worker finished a job. Any thread may call it.
class krv_vm_notify {
 public:
  virtual ~krv_vm_notify() = default;
  virtual void wake() = 0;
};

// The VM's settings, read by the task continuation.
// Bytes a std.buffer may hold unless the host sets another bound (1 GiB): past it a growing method is
// refused with a catchable error, so a careless resize cannot take the machine's memory.
inline constexpr uint64_t krv_default_max_buffer_bytes = uint64_t{1} << 30;

struct krv_vm_settings {
  uint32_t max_call_depth = 0;  // frames a task may stack; 0 = no limit
  uint64_t max_buffer_bytes = krv_default_max_buffer_bytes;  // bytes one std.buffer may hold
};

struct krv_vm_state {
  // Out of line: building and destroying the object pools needs the pooled classes complete.
  krv_vm_state();
  ~krv_vm_state();
  krv_vm_state(const krv_vm_state&) = delete;
  krv_vm_state& operator=(const krv_vm_state&) = delete;

  // One pool per record type and per pooled script class, in the order the host keeps them. The pool
  // of call frames sits where the host keeps it, after the class-reference records. Declared first so that they go last: whatever the other fields
  // release when the state is destroyed may still return entries to them.
  krv_pool_of<krvvar> var_pool;
  krv_pool_of<krvvar_function_record> function_pool;
  krv_pool_of<krvvar_ext_function_record> ext_function_pool;
  krv_pool_of<krvvar_object_record> object_ref_pool;
  krv_pool_of<krvvar_member_literal_record> member_literal_pool;
  krv_pool_of<krvvar_member_index_record> member_index_pool;
  krv_pool_of<krvvar_member_var_record> member_var_pool;
  krv_object_pool<krv_std_json> json_pool;
  krv_pool_of<krvvar_class_def_record> class_def_pool;
  krv_pool_of<krvvar_class_record> class_ref_pool;
  krv_object_pool<krv_vm_context> frame_pool;  // call frames rest constructed, like pooled objects
  krv_pool_of<krvptr_ref_block> ref_block_pool;
  krv_object_pool<krv_std_string> string_pool;
  krv_object_pool<krv_std_buffer> buffer_pool;

  std::recursive_mutex lock;              // the VM lock; taken only through krv_vm_lock
  std::atomic<uint32_t> lock_owner{0};    // thread id of the holder; read unlocked only to compare
  krvptr_strong<krv_log_base> log;        // the VM's log, used by threads without their own
  std::string name;                       // the VM's name, used in thread and task names

  // Objects whose forced teardown (a value with krvvar_release_contents) had to wait because a worker
  // was running one of their methods; the host releases them on the VM thread on each tick.
  std::vector<krvptr_strong<krvobject_base>> deferred_releases;

  // Objects whose update_pre runs once per VM update, in registration order.
  std::vector<krvobject_update_pre*> update_list;
  uint8_t update_list_changed = 0;        // set to 1 on every change; only the host clears it

  krv_vm_settings settings;

  // Scheduling, touched only by the VM-lock holder. Declared after the pools: a task released here
  // gives its frames back to them.
  std::vector<krvptr_strong<krv_task>> run_heap;   // min-heap by (eta_ms, run_order), smallest on top
  uint64_t schedulings = 0;                        // tasks put on the run heap so far: the next run_order
  std::vector<krvptr_strong<krv_task>> wait_list;  // suspended tasks, in suspension order
  krv_vm_notify* notify = nullptr;                 // the host's scheduler; null when none listens
  // Tasks that ended with an error no catch took: the root block's, a std.thread task's, a callback's
  // (IPC, std.json walks), a finaliser's. Such an error ends only its task; what it means for the whole
  // run (a host's exit status) is the host's to decide.
  uint64_t unhandled_task_errors = 0;
  // Times a channel of this VM lost what it carried, each with a line: a creator's disconnect waited in
  // vain for a reader of records it had sent (sends that answered true), or another process cut a ring
  // short. Like the errors above, a host's to weigh in its exit status.
  uint64_t ipc_losses = 0;

  // Work for the host's workers and what comes back from them.
  krv_completion_ring completions;
  krv_task_queue worker_queue;

  // Calls `visit` with every pool, in the order above (the host drains them in this order).
  template <class Visit>
  void for_each_pool(Visit&& visit) {
    visit(var_pool);
    visit(function_pool);
    visit(ext_function_pool);
    visit(object_ref_pool);
    visit(member_literal_pool);
    visit(member_index_pool);
    visit(member_var_pool);
    visit(json_pool);
    visit(class_def_pool);
    visit(class_ref_pool);
    visit(frame_pool);
    visit(ref_block_pool);
    visit(string_pool);
    visit(buffer_pool);
  }
};
