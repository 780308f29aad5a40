// Abandoning unfinished tasks at the end of a run (task_abandon.h).
#include "runtime/exec/task/task_abandon.h"

#include <utility>
#include <vector>

#include "module/vm_state.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/function_lambda.h"

void krv_task::abandon() {
  scheduled = 0;
  suspended = 0;
  stop_requested = 1;
  release_stacks_above_root();
  on_finish = nullptr;
  on_error = nullptr;
  captured_values.reset_empty();
  captured_context.reset_empty();
  error_value = krvvar_shared::make_none();
  clear_root_vars(false);
  // A root task keeps its root frame, every global None by now, until it goes: a finaliser that the
  // clearing started may hand work off and resume in this scope. A routine's own locals go now.
  if (has_context) release_stacks();
  leave_parent_and_context();
  parent.reset_empty();
  context.reset_empty();
}

void krv_abandon_unfinished_tasks(krv_vm_state& vm) {
  // Taken off the VM first: a finaliser that abandoning runs may schedule or wake a task, which changes
  // those lists, and a group it destroys wakes its joining task, which must find itself off them.
  std::vector<krvptr_strong<krv_task>> left = std::exchange(vm.run_heap, {});
  for (krvptr_strong<krv_task>& waiting : vm.wait_list) left.push_back(std::move(waiting));
  vm.wait_list.clear();
  for (const krvptr_strong<krv_task>& task : left)
    if (task->has_context) task->abandon();
  for (const krvptr_strong<krv_task>& task : left)
    if (!task->has_context) task->abandon();
}
