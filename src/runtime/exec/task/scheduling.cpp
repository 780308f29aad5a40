// Starting, scheduling, suspending and waking tasks.
//
// The module only adds to the VM's run heap and wait list and wakes the host's scheduler; the host takes
// due tasks off the heap (smallest eta_ms first, equal ones in the order they were scheduled), clears
// `scheduled` and continues them. A suspended task sits on the wait list, with `suspended` set, until
// `wake` moves it onto the heap.
#include <algorithm>

#include "module/thread_record.h"
#include "module/vm_lock.h"
#include "platform/clock.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/nesting_level.h"
#include "runtime/exec/task/scope.h"
#include "runtime/exec/task/task.h"
#include "runtime/exec/task/task_continue.h"
#include "runtime/exec/task/task_status.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

namespace {

constexpr uint64_t eta_as_given = UINT64_MAX;

// A task started by `run` while another runs on the same thread (a finaliser, a walk's callback) runs
// on top of it on the thread's stack, about 2.3 KB a level (more under sanitizers). Past this many
// levels a start is refused with a runtime error on the running task: a finaliser that drops an
// instance of its own class would otherwise nest until the stack overflows.
constexpr uint32_t max_nested_runs = 128;
thread_local uint32_t nested_runs = 0;

template <class... Pieces>
void log_line(krv_log_level level, const Pieces&... pieces) {
  krv_log_line(*krv_log_base::instance(), level, pieces...);
}

void cannot_run() { krv_log_base::instance()->error("Cannot run task!"); }

// Moves the entry at `index` up while it runs before its parent.
void sift_up(std::vector<krvptr_strong<krv_task>>& heap, size_t index) {
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (!krv_task::runs_before(*heap[index], *heap[parent])) return;
    std::swap(heap[parent], heap[index]);
    index = parent;
  }
}

}  // namespace

int krv_task::run(krv_task& task, const std::vector<krvvar_shared>* args) {
  krv_vm_lock guard;
  if (task.frames.empty() && task.block) {
    krv_task* scope = task.context ? krv_scope_root(task.context.get()) : &task;
    task.frames.push_back(krv_vm_context::create(&task, scope, task.block.get()));
  }
  if (task.root_frame() == nullptr || task.active != 0) {
    cannot_run();
    return 0;
  }
  if (nested_runs >= max_nested_runs) {
    krv_raise_error("maximum nesting of ", max_nested_runs, " task runs exceeded");
    return 0;
  }
  if (!task.bind_params(args)) return 0;
  log_line(KRV_LOG_INFO, "Task ", static_cast<const void*>(&task), " started.");
  // The task may drop its last outside handle while it runs (a callback replacing itself).
  const krvptr_strong<krv_task> keep = krvptr_strong<krv_task>::from_raw(&task);
  const krv_nesting_level level(nested_runs);
  if (task_continue(task) && task.active != 0) schedule(task, 0);
  return 1;
}

int krv_task::run_scheduled(krv_task& task, uint64_t, const std::vector<krvvar_shared>* args) {
  krv_vm_lock guard;
  krv_vm_context* root = task.root_frame();
  if (root == nullptr || task.active != 0) {
    cannot_run();
    return 0;
  }
  if (!task.bind_params(args)) return 0;
  log_line(KRV_LOG_INFO, "Task ", static_cast<const void*>(&task), " scheduled (eta: ", 0, ").");
  root->in_progress = 1;
  schedule(task, 0);
  return 1;
}

void krv_task::schedule(krv_task& task, uint64_t delay_ms) {
  if (task.scheduled != 0) return;
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (vm == nullptr) return;
  task.eta_ms = delay_ms == eta_as_given ? delay_ms : krv_platform::monotonic_ms() + delay_ms;
  task.run_order = vm->schedulings++;
  vm->run_heap.push_back(krvptr_strong<krv_task>::from_raw(&task));
  sift_up(vm->run_heap, vm->run_heap.size() - 1);
  task.scheduled = 1;
  if (delay_ms == 0 && vm->notify != nullptr) vm->notify->wake();
}

void krv_task::suspend(krv_vm_context& frame) {
  frame.status = KRV_STATUS_SUSPENDED;
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (frame.task == nullptr || vm == nullptr) return;
  vm->wait_list.push_back(krvptr_strong<krv_task>::from_raw(frame.task));
  frame.task->suspended = 1;
}

void krv_task::yield(krv_vm_context& frame) {
  // task_continue reports a task left with this status and not suspended as one to schedule again.
  if (frame.status == 0 && frame.task != nullptr) frame.status = KRV_STATUS_SUSPENDED;
}

void krv_task::wake(krv_task& task) {
  if (task.suspended == 0) return;
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (vm == nullptr) return;
  auto& waiting = vm->wait_list;
  const auto entry = std::find_if(waiting.begin(), waiting.end(),
                                  [&task](const krvptr_strong<krv_task>& held) { return held.get() == &task; });
  if (entry == waiting.end()) return;
  task.suspended = 0;
  schedule(task, 0);
  // Removed last: the entry may hold the only reference, and scheduling has taken its own.
  waiting.erase(entry);
}
