#include "classes/std/json_iteration.h"

#include "module/thread_record.h"
#include "module/vm_state.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/task/task.h"

void krv_json_key_value_args(krv_std_json* source, uint32_t index, std::vector<krvvar_shared>& args) {
  krv_std_json_entry& entry = source->entries[index];
  args.push_back(krvvar_shared::make_string(entry.key_view()));
  args.push_back(entry.value);
}

krvvar_shared krv_json_bind_callback(krvvar_shared& callback, krv_task* scope) {
  krvvar_shared cell = krvvar_shared::make_none();
  cell->set(callback);
  if (cell->type == KRVVAR_FUNCTION)
    static_cast<krvvar_function_record*>(cell->payload.record)->scope.reset(scope);
  return cell;
}

void krv_json_notify_scheduler() {
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (vm != nullptr && vm->notify != nullptr) vm->notify->wake();
}

void krv_json_raise_call_failure() {
  krv_raise_error_text("JSON callback could not be called, check its parameter count.", false);
}

void krv_json_iteration::start(const std::shared_ptr<krv_json_iteration>& walk, krv_vm_context& frame,
                               krv_std_json* source, krvvar_shared& callback) {
  walk->source = krvptr_strong<krv_std_json>::from_raw(source);
  walk->waiting_task = krvptr_strong<krv_task>::from_raw(frame.task);
  walk->callback = krv_json_bind_callback(callback, frame.task);
  if (frame.task != nullptr) krv_task::suspend(frame);
  run(walk);
}

void krv_json_iteration::run(const std::shared_ptr<krv_json_iteration>& walk) {
  if (walk->running) {
    walk->again = 1;
    return;
  }
  walk->running = 1;
  std::vector<krvvar_shared> args;
  do {
    walk->again = 0;
    krv_json_notify_scheduler();
    // A callback may have emptied the container: an index past the end ends the walk.
    if (!walk->source || walk->index >= walk->source->entries.size()) {
      walk->finish();
      break;
    }
    krvptr_strong<krv_task> task = walk->callback->call_function();
    args.clear();
    walk->build_args(walk->source.get(), walk->index, args);
    // A function whose block is gone, or whose scope refuses it, gives no task: it cannot be called.
    if (!task) {
      krv_json_raise_call_failure();
      walk->finish();
      break;
    }
    task->on_finish = [walk](krvvar_shared& result) { complete(walk, result); };
    if (!krv_task::run(*task, &args)) {
      task->on_finish = nullptr;
      krv_json_raise_call_failure();
      walk->finish();
      break;
    }
  } while (walk->again && !walk->done);
  walk->running = 0;
}

void krv_json_iteration::complete(const std::shared_ptr<krv_json_iteration>& walk, krvvar_shared& result) {
  if (walk->done) return;
  // on_result reads the entry at the index: a callback that removed entries ends the walk here.
  if (walk->source && walk->index < walk->source->entries.size() &&
      walk->on_result(walk->source.get(), walk->index, result)) {
    ++walk->index;
    run(walk);
    return;
  }
  walk->finish();
}

void krv_json_iteration::finish() {
  if (done) return;
  done = 1;
  if (on_done) on_done();
  if (waiting_task && waiting_task->suspended) krv_task::wake(*waiting_task);
}
