// "std.thread": starting the group's tasks, collecting what they report, joining and destruction.
#include "classes/std/thread_group.h"

#include "runtime/base/raise.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/storage/json_object.h"

krv_std_thread::~krv_std_thread() {
  krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "TODO: implement active_tasks->terminate() !");
  // Reached through the fields only: the reference block is already unlinked, so no new handle to this
  // object may be made here.
  if (joining_task) krv_task::wake(*joining_task);
  active_tasks.for_each([](krv_task& task) {
    task.stop_requested = 1;
    if (!task.value_stack.empty()) task.value_stack.back() = krvvar_shared::make_none();
  });
  // The members then go in reverse declaration order: the joining task, the results, the active tasks,
  // the callback cell.
}

bool krv_std_thread::is_empty() { return callback->type != KRVVAR_FUNCTION; }

krvvar_shared krv_std_thread::run(std::vector<krvvar_shared>& args) {
  const size_t index = results.size();
  results.push_back(krvvar_shared::make_none());
  // No task for a callback that is not a function, whose block is gone or whose scope refuses it. Such
  // a call is never listed as active: join would wait for it for ever.
  krvptr_strong<krv_task> task = callback->call_function();
  if (!task) {
    if (callback->type != KRVVAR_FUNCTION) krv_raise_warning("callback is not a function!");
    return krvvar_shared::make_int(0);
  }
  task->on_finish = [group = krvptr_strong<krv_std_thread>::from_raw(this), started = task.get(),
                     index](krvvar_shared& result) { group->complete(*started, index, result); };
  if (!krv_task::run_scheduled(*task, 0, &args)) {
    task->on_finish = nullptr;
    return krvvar_shared::make_int(0);
  }
  active_tasks.add(std::move(task), index);
  return krvvar_shared::make_int(1);
}

void krv_std_thread::complete(krv_task& task, size_t index, krvvar_shared& result) {
  // Shared, not copied: the slot takes an object result itself rather than what strong_self hands out.
  const uint8_t flags = result->flags;
  result->flags |= krvvar_share_on_assign;
  results[index]->set(result);
  result->flags = flags;
  active_tasks.remove(task, index);
  if (active_tasks.empty() && joining_task) {
    krv_task::wake(*joining_task);
    joining_task.reset_empty();
  }
}

krvvar_shared krv_std_thread::join(krv_vm_context& frame) {
  if (active_tasks.empty()) return krvvar_shared::make_none();
  if (joining_task) return krv_raise_error("Cannot join twice!");
  // Outside a task there is nothing to suspend and resume.
  if (frame.task == nullptr) return krvvar_shared::make_none();
  joining_task = krvptr_strong<krv_task>::from_raw(frame.task);
  krv_task::suspend(frame);
  return krvvar_shared::make_none();
}

krvvar_shared krv_std_thread::get_results(std::vector<krvvar_shared>& args) {
  if (!args.empty()) {
    const int64_t index = args[0] ? args[0]->int_value() : 0;
    if (index >= 0 && static_cast<uint64_t>(index) < results.size()) return results[static_cast<size_t>(index)];
    return krvvar_shared::make_none();
  }
  krvvar_shared list = krvvar_shared::make_json();
  krv_std_json& copies = *list->object_ptr<krv_std_json>();
  // push_value releases the handle it is given: each gets a copy, so the results stay stored for later
  // calls and for tasks that still report into their slots.
  for (const krvvar_shared& result : results) {
    krvvar_shared copy = result;
    copies.push_value(copy);
  }
  return list;
}

krvvar_shared krv_std_thread::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  auto group = krvptr_strong<krv_std_thread>::from_raw(new krv_std_thread());
  if (args.size() == 1) {
    // The group is returned all the same, with a None callback.
    if (!args[0] || args[0]->type != KRVVAR_FUNCTION)
      krv_raise_error_text("callback is not a function!", false);
    else
      group->callback->set(args[0]);
  }
  return krvvar_shared::make_object(group);
}
