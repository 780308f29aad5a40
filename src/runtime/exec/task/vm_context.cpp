#include "runtime/objects/vm_context.h"

#include <algorithm>
#include <utility>

#include "module/pool_return.h"
#include "module/thread_record.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"

krv_vm_context* krv_vm_context::create(krv_task* task, krv_task* scope, krv_program_block* block,
                                       krvptr_base_internal* captured) {
  krv_vm_context* frame = allocate();
  frame->init(task, scope, block, captured);
  frame->refcount = 1;
  return frame;
}

krv_vm_context* krv_vm_context::allocate() {
  const krv_thread_local& record = krv_get_thread_local();
  if (record.may_use_vm_pools()) {
    // A pool that cannot make a page has logged it; the heap still serves the frame.
    if (krv_vm_context* frame = record.vm->frame_pool.allocate()) return frame;
  }
  return new krv_vm_context();
}

void krv_vm_context::init(krv_task* owner, krv_task* globals, krv_program_block* code,
                          krvptr_base_internal* captured) {
  task = owner;
  scope = globals;
  block = code;
  // A pooled frame comes back as its last user left it: the run state starts over.
  ip = nullptr;
  native_self = nullptr;
  status = 0;
  saved_offset = 0;
  values_pushed = 0;
  args_passed = 0;
  default_arg_pending = 0;
  in_progress = 0;
  operator_result_mode = 0;
  sink_height = owner != nullptr ? static_cast<uint32_t>(owner->sinks.size()) : 0;
  parked_height = owner != nullptr ? static_cast<uint32_t>(owner->parked_frames.size()) : 0;
  call_arg_height = owner != nullptr ? owner->call_arg_height : 0;
  if (code != nullptr) {
    locals.reserve(code->local_count);
    while (locals.size() < code->local_count) locals.push_back(krvvar_shared::make_none());
  }
  captured_context = krvptr_weak<krvptr_base_internal>::from_raw(captured);
}

size_t krv_vm_context::local_limit() const noexcept {
  return block != nullptr ? std::min<size_t>(locals.size(), block->local_count) : 0;
}

void krv_vm_context::clear_locals() {
  const size_t used = local_limit();
  const bool task_block = block != nullptr && block->kind == KRV_BLOCK_TASK;
  for (size_t i = used; i-- > 0;) {
    krvvar_shared& slot = locals[i];
    if (!slot) {
      slot = krvvar_shared::make_none();
    } else if (slot->refcount != 1) {
      // A global of a finished task is cleared for every holder: that is what breaks cycles through
      // the task's own scope.
      if (task_block) slot->set_type_simple(KRVVAR_NONE);
      slot = krvvar_shared::make_none();
    } else {
      slot->set_type_simple(KRVVAR_NONE);
      slot->flags = 0;
      slot->by_value = 0;
    }
  }
}

void krv_vm_context::release(krv_vm_context*& frame) {
  krv_vm_context* released = std::exchange(frame, nullptr);
  if (released == nullptr || --released->refcount > 0) return;
  released->clear_locals();
  released->captured_context = krvptr_weak<krvptr_base_internal>();
  krvptr_strong<krv_class> self = std::move(released->bound_self);
  released->task = nullptr;
  released->scope = nullptr;
  released->block = nullptr;
  if (released->pool_slot == krv_pool_heap_slot)
    delete released;
  else
    krv_pool_return<&krv_vm_state::frame_pool>(released);
  // Last: the instance's release may run a finaliser, which must not see this frame half torn down.
  self.release();
}

void krv_vm_context::bind_argument(uint32_t slot, krvvar_shared& value) {
  // Native callers may pass empty handles: a missing argument binds as None.
  if (!value) value = krvvar_shared::make_none();
  krvvar& local = *locals[slot];
  if (block != nullptr && slot < block->local_flags.size() && (block->local_flags[slot] & krv_local_by_ref) != 0)
    local.assign_ref(value.get());
  else
    local.set(value);
}

void krv_vm_context::store_local(krv_task& owner, krv_arg_sink&, uint32_t index, krvvar_shared& value) {
  if (owner.parked_frames.empty()) return;
  krv_vm_context& frame = *owner.parked_frames.back();
  if (index >= frame.local_limit()) {
    krv_raise_error("index out of range!");
    return;
  }
  frame.bind_argument(index, value);
}
