// The end of a task's life: the resumable release and the destructor.
//
// The handles mark a block dead before calling detach and destroy. A task may be revived by what its
// release reaches (a class finaliser that creates a routine in this task's global scope takes a strong
// handle to it), so krv_task keeps its block linked (detach does nothing) and `destroy` makes the block
// alive again under a temporary strong handle before it clears anything. Only when nothing else took a
// strong handle is the task unlinked and deleted.
#include <thread>

#include "module/thread_record.h"
#include "platform/clock.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

namespace {

// Removes the entry at `slot` of `list` in O(1): the last entry takes its place, and its task (in memory,
// see task.h) learns the new index through `slot_of`.
void unlink(std::vector<krvptr_weak<krv_task>>& list, uint32_t slot, uint32_t krv_task::*slot_of) {
  if (slot + 1 < list.size()) {
    list[slot] = std::move(list.back());
    list[slot].get()->*slot_of = slot;
  }
  list.pop_back();
}

// Sets the thread's clearing task for the life of the guard (class finalisers read it).
class clearing_scope {
 public:
  explicit clearing_scope(krv_task* task)
      : record_(krv_get_thread_local()), previous_(std::exchange(record_.clearing_task, task)) {}
  ~clearing_scope() { record_.clearing_task = previous_; }
  clearing_scope(const clearing_scope&) = delete;
  clearing_scope& operator=(const clearing_scope&) = delete;

 private:
  krv_thread_local& record_;
  krv_task* previous_;
};

}  // namespace

krvptr_strong<krv_task> krv_task::revive() noexcept {
  krvptr_ref_block* own = krvptr_storage::get_ref_block(*this);
  own->alive = 1;
  own->strong = 1;
  return krvptr_strong<krv_task>::adopt(own);
}

void krv_task::finish_release(krvptr_strong<krv_task>& self) noexcept {
  krvptr_ref_block* own = self.take_block();
  own->strong = 0;
  own->alive = 0;
  // The base destructor unlinks the block and frees it when no weak handle is left.
  delete this;
}

void krv_task::destroy() {
  krvptr_strong<krv_task> self = revive();
  if (!clear_root_vars(true)) return;
  release_stacks();
  const uint32_t others = self.block()->strong - 1;
  if (others > 0) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "Task ", static_cast<const void*>(this),
                 " released while still having ", others, " strong references!");
    return;
  }
  finish_release(self);
}

bool krv_task::clear_root_vars(bool stop_when_revived) {
  krv_vm_context* root = root_frame();
  if (has_context || !block || block->kind != KRV_BLOCK_TASK || root == nullptr) return true;
  clearing_scope clearing(this);
  const krvptr_ref_block* own = krvptr_storage::get_ref_block(*this);
  for (; clear_phase < 2; ++clear_phase, clear_index = -1) {
    int32_t next = clear_index < 0 ? static_cast<int32_t>(root->locals.size()) - 1 : clear_index;
    while (next >= 0) {
      krvvar_shared& slot = root->locals[next--];
      clear_index = next;
      if (!slot || slot->type == KRVVAR_NONE) continue;
      // The first pass leaves functions and class definitions: finalisers reached by the other values
      // may still call them.
      const uint8_t type = slot->type;
      if (clear_phase == 0 && (type == KRVVAR_CLASS_DEF || type == KRVVAR_FUNCTION || type == KRVVAR_EXT_FUNCTION))
        continue;
      slot->set_type_simple(KRVVAR_NONE);
      if (stop_when_revived && own->strong > 1) {
        // Revived: the next release resumes after this slot (in the next pass when this one is done).
        if (next < 0) {
          ++clear_phase;
          clear_index = -1;
        }
        return false;
      }
    }
  }
  root_cleared = 1;
  return true;
}

void krv_task::release_stacks() {
  release_stacks_above_root();
  for (krv_vm_context*& frame : frames) krv_vm_context::release(frame);
  frames.clear();
}

void krv_task::release_stacks_above_root() {
  // Top down, so that what a frame's values finalise still finds the frames below it.
  while (frames.size() > 1) {
    krv_vm_context::release(frames.back());
    frames.pop_back();
  }
  for (krv_vm_context*& frame : parked_frames) krv_vm_context::release(frame);
  parked_frames.clear();
  sinks.clear();
  value_stack.clear();
  call_args.clear();
  call_arg_height = 0;
  for (krvvar_shared& spare : spare_cells) spare.release();
  spare_count = 0;
}

void krv_task::leave_parent_and_context() {
  if (parent) unlink(parent->children, parent_slot, &krv_task::parent_slot);
  if (context) unlink(context->scope_tasks, context_slot, &krv_task::context_slot);
}

krv_task::~krv_task() {
  leave_parent_and_context();
  const void* address = this;
  krv_log_base& log = *krv_log_base::instance();
  if (!children.empty())
    krv_log_line(log, KRV_LOG_ERROR, "Task ", address, " destroyed while children are still running! (",
                 children.size(), " children remaining)");
  if (on_pool_thread.load(std::memory_order_acquire) != 0) {
    krv_log_line(log, KRV_LOG_INFO, "Task ", address, " waiting for thread...");
    while (on_pool_thread.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  }
  krv_log_line(log, KRV_LOG_INFO, "Task ", name, " ", address, " exited (Runtime = ",
               krv_platform::monotonic_ms() - start_ms, " ms).");
  release_stacks();
}
