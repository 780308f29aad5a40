// Script-function and native-function values, and class references.
#include "runtime/base/krvvar.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/scope.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/objects/log.h"
#include "runtime/objects/object_base.h"

void krvvar::set_ext_function(krvobject_base* object, krv_function_def* definition) {
  // Without an object this is a namespace function: still a callable value, bound to nothing.
  set_type(KRVVAR_EXT_FUNCTION);
  auto& record = *static_cast<krvvar_ext_function_record*>(payload.record);
  record.object = krvptr_strong<krvobject_base>::from_raw(object);
  record.definition = krvptr_weak<krv_function_def>::from_raw(definition);
}

bool krvvar::get_class_ref() {
  if (type != KRVVAR_CLASS) return false;
  if (static_cast<krvvar_class_record*>(payload.record)->instance) return true;
  krv_log_base::instance()->error("Cannot get class ref.");
  set_type(KRVVAR_NONE);
  return false;
}

void krvvar::set_function(krv_program_block* function, krv_task* scope) {
  if (function == nullptr) return;
  if (scope == nullptr) scope = krv_current_frame_scope();
  set_type(KRVVAR_FUNCTION);
  auto& record = *static_cast<krvvar_function_record*>(payload.record);
  record.function = krvptr_weak<krv_program_block>::from_raw(function);
  record.scope = krvptr_weak<krv_task>::from_raw(scope);
}

krvptr_strong<krv_task> krvvar::call_function() {
  if (type != KRVVAR_FUNCTION) return {};
  auto& record = *static_cast<krvvar_function_record*>(payload.record);
  krvptr_strong<krv_program_block> block = record.function.lock();
  if (!block) return {};
  krvptr_strong<krv_task> task = krv_task_create(block, record.scope.get());
  if (task) {
    task->captured_context = record.context.lock();
    task->captured_values = record.captured;
  }
  return task;
}

void krvvar::copy_function(krvvar& source) {
  auto& from = *static_cast<krvvar_function_record*>(source.payload.record);
  krvptr_weak<krv_program_block> function = from.function;
  krvptr_weak<krvptr_base_internal> context = from.context;
  // A function whose scope is gone is rebound to the globals of the running task (none without one).
  krvptr_weak<krv_task> scope =
      from.scope.expired() ? krvptr_weak<krv_task>::from_raw(krv_current_root_scope()) : from.scope;
  krvptr_strong<krvvar_ptr_function_lambda> captured = from.captured;
  set_type(KRVVAR_FUNCTION);
  auto& to = *static_cast<krvvar_function_record*>(payload.record);
  to.function = std::move(function);
  to.context = std::move(context);
  to.scope = std::move(scope);
  to.captured = std::move(captured);
}
