// Creation and parameter binding of script tasks.
#include "runtime/exec/task/task.h"

#include "module/thread_record.h"
#include "platform/clock.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/task/scope.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

namespace {

template <class... Pieces>
void log_info(const Pieces&... pieces) {
  krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, pieces...);
}

// Lists `task` at the end of `list` and remembers its index there. Only a task that holds the list's
// owner lists itself: its destructor then reaches the list to leave it.
void enter_list(std::vector<krvptr_weak<krv_task>>& list, krv_task& task, uint32_t& slot) {
  slot = static_cast<uint32_t>(list.size());
  list.push_back(krvptr_weak<krv_task>::from_raw(&task));
}

}  // namespace

krv_task::krv_task(const krvptr_strong<krv_program_block>& code, krv_task* context_task)
    : error_value(krvvar_shared::make_none()) {
  if (!code) {
    krv_raise_error("invalid function for routine");
    return;
  }
  if (!adopt_block(code, context_task)) return;
  take_parent_and_name();
}

bool krv_task::adopt_block(const krvptr_strong<krv_program_block>& code, krv_task* context_task) {
  start_ms = krv_platform::monotonic_ms();
  block = code;
  global_scope = code->global_scope.lock();
  if (code->kind != KRV_BLOCK_TASK) {
    has_context = 1;
    krv_task* resolved = resolve_context(context_task);
    if (resolved == nullptr) return false;
    context = krvptr_strong<krv_task>::from_raw(resolved);
    if (context) enter_list(context->scope_tasks, *this, context_slot);
  }
  krv_task* scope = context ? krv_scope_root(context.get()) : this;
  frames.push_back(krv_vm_context::create(this, scope, block.get()));
  return true;
}

krv_task* krv_task::resolve_context(krv_task* context_task) {
  if (context_task == nullptr) {
    const krv_thread_local& record = krv_get_thread_local();
    if (!record.owns_vm_lock() || record.current_task == nullptr) {
      krv_raise_error_text("Cannot create routine from non-global scope routine without context.", false);
      return nullptr;
    }
    krv_task* current = record.current_task;
    context_task = current->context ? current->context.get() : current;
  }
  krv_task* root = krv_scope_root(context_task);
  if (root->global_scope.get() != global_scope.get()) {
    krv_raise_error(
        "Global scope root mismatch when creating routine, functions must be initialized within their "
        "global scope.");
    return nullptr;
  }
  if (root->root_frame() == nullptr) {
    krv_raise_error("Global scope has no task block!");
    return nullptr;
  }
  return root;
}

void krv_task::take_parent_and_name() {
  if (global_scope) {
    if (krvptr_strong<krv_program> program = global_scope->program.lock()) name = program->name;
  }
  krv_task* current = krv_get_thread_local().current_task;
  const void* address = this;
  if (current == nullptr) {
    log_info("Task ", name, " ", address, " created.");
    return;
  }
  parent = krvptr_strong<krv_task>::from_raw(current);
  if (parent) enter_list(current->children, *this, parent_slot);
  name += " (thread_" + std::to_string(current->children.size()) + ")";
  log_info("Task (parent=", current->name, ") ", name, " ", address, " created.");
}

krvptr_strong<krv_task> krv_task_create(const krvptr_strong<krv_program_block>& block, krv_task* context) {
  return krvptr_strong<krv_task>::from_raw(new krv_task(block, context));
}

bool krv_task::bind_params(const std::vector<krvvar_shared>* args) {
  krv_vm_context* root = root_frame();
  if (root == nullptr || root->block == nullptr) return false;
  const krv_program_block& code = *root->block;
  if (args != nullptr) {
    const size_t count = args->size();
    if (count > code.param_count) {
      krv_raise_error("Too many params.");
      return false;
    }
    if (code.first_default != krv_no_default_param && count < code.first_default) {
      krv_raise_error("Not enough parameters.");
      return false;
    }
  }
  if (!parked_frames.empty()) krv_log_base::instance()->error("TODO: Cleanup old routine data here!");
  for (krv_vm_context*& frame : parked_frames) krv_vm_context::release(frame);
  parked_frames.clear();
  while (frames.size() > 1) {
    krv_vm_context::release(frames.back());
    frames.pop_back();
  }
  value_stack.resize(1);
  if (!value_stack.front()) value_stack.front() = krvvar_shared::make_none();

  error_pending = 0;
  active = 1;
  root->args_passed = 0;
  root->default_arg_pending = 0;
  if (captured_context) root->captured_context = krvptr_weak<krvptr_base_internal>(captured_context);

  const uint32_t captured_count = code.captured_count;
  if (captured_count > 0 && captured_values && captured_values->size() == captured_count) {
    for (uint32_t i = 0; i < captured_count; ++i) {
      const uint32_t slot = code.param_count + i;
      if (slot >= root->local_limit()) break;
      krvvar_shared value = (*captured_values)[i];
      root->locals[slot]->set(value);
    }
  }
  if (args != nullptr) {
    root->args_passed = static_cast<uint32_t>(args->size());
    for (uint32_t i = 0; i < args->size() && i < root->local_limit(); ++i) {
      krvvar_shared value = (*args)[i];
      root->bind_argument(i, value);
    }
  }
  return true;
}

void krv_task::set_param(krv_task&, krv_arg_sink& sink, uint32_t index, krvvar_shared& value) {
  auto& record = *static_cast<krv_call_args*>(sink.target);
  if (index >= record.size()) {
    krv_raise_error("index out of range!");
    return;
  }
  // Methods take their arguments resolved; functions share the caller's cell.
  if (sink.definition && (sink.definition->is_method & 1) != 0)
    record[index] = value.deref_copy();
  else
    record[index] = value;
}
