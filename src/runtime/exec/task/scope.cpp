#include "runtime/exec/task/scope.h"

#include "module/thread_record.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

krv_task* krv_scope_root(krv_task* scope) {
  // Tasks take their context already followed to its root, so the chain is at most one step long and
  // never loops.
  while (scope != nullptr && scope->context) scope = scope->context.get();
  return scope;
}

krv_task* krv_current_root_scope() { return krv_scope_root(krv_get_thread_local().current_task); }

krv_task* krv_current_frame_scope() {
  const krv_task* current = krv_get_thread_local().current_task;
  const krv_vm_context* top = current != nullptr ? current->top_frame() : nullptr;
  return top != nullptr ? top->scope : nullptr;
}

krv_vm_context* vm_global_frame(krv_task* scope) {
  krv_task* root = krv_scope_root(scope);
  return root != nullptr ? root->root_frame() : nullptr;
}

void krv_log_no_global_scope(const krv_vm_context& frame) {
  krv_log_base& log = *krv_log_base::instance();
  const krv_task* root = krv_scope_root(frame.scope);
  const void* first = nullptr;
  size_t count = 0;
  if (root != nullptr && !root->frames.empty()) {
    first = root->frames.front();
    count = root->frames.size();
  }
  krv_log_line(log, KRV_LOG_ERROR, "No global scope: ", first, " : ", count);
  krv_log_line(log, KRV_LOG_ERROR, "Addr: ", static_cast<const void*>(root));
  krv_log_line(log, KRV_LOG_ERROR, "Blocks: ", frame.task != nullptr ? frame.task->frames.size() : 0);
  krv_log_line(log, KRV_LOG_ERROR, "Name: ", root != nullptr ? root->name : std::string());
}
