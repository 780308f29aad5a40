// krv_vm_context: one call frame of a script task.
//
// A frame is a plain record with its own reference count (not a shared object): the task's frame stack,
// its parked frames and argument sinks point to it, and a native method receives the frame of the script
// code that calls it. While the interpreter calls a native method it stores the method's object in
// `native_self`, which is how the method's wrapper finds its receiver.
//
// Frames live in the VM's call-frame pool when the allocating thread owns the VM lock outside any
// native-call scope, else on the heap (pool_slot 255). A pooled frame stays constructed in its page
// between uses: a release resets its local cells to None but keeps them, so the next use of the entry
// reuses both the vector and the cells. The record keeps natural alignment (its vector member must be
// aligned); the field order is fixed and asserted below.
//
// Invariants: while a frame is on its task's frame stack, its heights never exceed the current sizes
// of the task's stacks; each stack entry holds one reference.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"
#include "runtime/memory/pool.h"

class krv_task;
class krv_program_block;
class krvobject_base;
class krv_class;
struct krv_arg_sink;

class krv_vm_context {
 public:
  // A frame with refcount 1 for `block` in `task`, seeing the globals of `scope`, with the captured
  // context `captured` (null: none).
  static krv_vm_context* create(krv_task* task, krv_task* scope, krv_program_block* block,
                                krvptr_base_internal* captured = nullptr);
  // A frame in its resting state: from the VM's frame pool, or zero-filled from the heap.
  static krv_vm_context* allocate();
  // Points the frame at task, scope and block and resets its run state (see vm_context.cpp).
  void init(krv_task* owner, krv_task* globals, krv_program_block* code, krvptr_base_internal* captured);
  // Drops one reference and nulls the handle; the last one resets the frame and frees it.
  static void release(krv_vm_context*& frame);

  // Argument `value` into local `slot` (which must exist): by reference when the block marks the local
  // as a reference parameter, else by copy.
  void bind_argument(uint32_t slot, krvvar_shared& value);
  // The local slots of the frame's block. A reused pooled frame keeps slots of an earlier, larger block
  // beyond these; they belong to no variable and are never bound.
  size_t local_limit() const noexcept;
  // The store function of script-call argument sinks: argument `index` into the top parked frame.
  static void store_local(krv_task& owner, krv_arg_sink& sink, uint32_t index, krvvar_shared& value);

  // Hands `fn` to the host's workers (return_thread.cpp): suspends the frame's task, queues the job and
  // returns the placeholder the task finds the result in when it resumes. Runs on the thread that owns
  // the VM lock, inside a native method of a task; the two flags are unused.
  krvvar_shared return_thread(std::function<krvvar_shared()> fn, bool unused_a = false, bool unused_b = false);

  // What the frame asks of the task continuation; the interpreter stops at its next instruction.
  void set_return() noexcept { status = 2; }
  void set_break() noexcept { status = 4; }
  void set_continue() noexcept { status = 8; }
  void set_call() noexcept { status = 16; }

  krv_task* task = nullptr;                  // owning task (not counted)
  krv_task* scope = nullptr;                 // the scope whose globals the block sees (a root task)
  krv_program_block* block = nullptr;        // the block executed
  const uint8_t* ip = nullptr;               // current instruction while the interpreter runs
  krvobject_base* native_self = nullptr;     // object whose native method this frame is calling
  uint32_t saved_offset = 0;                 // code offset at which execution resumes
  uint32_t values_pushed = 0;                // values this frame pushed onto the task's value stack
  uint32_t args_passed = 0;                  // arguments passed to this frame
  uint32_t refcount = 0;                     // references to this frame
  uint32_t sink_height = 0;                  // size of the task's argument sinks at frame entry
  uint32_t parked_height = 0;                // size of the task's parked frames at frame entry
  uint32_t call_arg_height = 0;              // the task's call-argument height at frame entry
  std::vector<krvvar_shared> locals;         // one slot per block local
  krvptr_weak<krvptr_base_internal> captured_context;  // context of a closure
  krvptr_strong<krv_class> bound_self;       // instance bound to a method call
  uint32_t status = 0;                       // task status word
  uint8_t default_arg_pending = 0;           // interpreter flag for default arguments
  uint8_t in_progress = 0;                   // 1 while the block has not finished
  uint8_t operator_result_mode = 0;          // result mode of an operator-method call
  uint8_t pool_slot = krv_pool_heap_slot;    // index in its pool page; krv_pool_heap_slot on the heap

 private:
  // Resets the local slots of a frame whose last reference went.
  void clear_locals();
};

static_assert(offsetof(krv_vm_context, task) == 0);
static_assert(offsetof(krv_vm_context, scope) == 8);
static_assert(offsetof(krv_vm_context, block) == 16);
static_assert(offsetof(krv_vm_context, ip) == 24);
static_assert(offsetof(krv_vm_context, native_self) == 32);
static_assert(offsetof(krv_vm_context, saved_offset) == 40);
static_assert(offsetof(krv_vm_context, values_pushed) == 44);
static_assert(offsetof(krv_vm_context, args_passed) == 48);
static_assert(offsetof(krv_vm_context, refcount) == 52);
static_assert(offsetof(krv_vm_context, sink_height) == 56);
static_assert(offsetof(krv_vm_context, parked_height) == 60);
static_assert(offsetof(krv_vm_context, call_arg_height) == 64);
static_assert(offsetof(krv_vm_context, locals) == 72);
static_assert(offsetof(krv_vm_context, captured_context) == 96);
static_assert(offsetof(krv_vm_context, bound_self) == 104);
static_assert(offsetof(krv_vm_context, status) == 112);
static_assert(offsetof(krv_vm_context, default_arg_pending) == 116);
static_assert(offsetof(krv_vm_context, in_progress) == 117);
static_assert(offsetof(krv_vm_context, operator_result_mode) == 118);
static_assert(offsetof(krv_vm_context, pool_slot) == 119);
static_assert(sizeof(krv_vm_context) == 120);

// Frames rest constructed in their pages; the page's bitmap catches double allocations and frees.
template <>
struct krv_pool_traits<krv_vm_context>
    : krv_pool_bitmap_traits<krv_vm_context, offsetof(krv_vm_context, pool_slot)> {};
static_assert(krv_pool_traits<krv_vm_context>::layout.page_size() == 255 * 120 + 293);
