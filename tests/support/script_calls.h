// Calls of native functions and methods as scripts make them, for tests of what the module registers:
//
//   krv_script_calls calls(vm);                 // the linked module's namespaces, populated on `vm`
//   krvvar_shared s = calls.call("std", "string", {krvvar_shared::make_int(1)});
//
// A call checks the object a method needs, then runs the body through vm_call_native (which checks the
// argument count against the definition) with the root frame of a scratch task, which is the thread's
// current task for the call: a raised error lands on it (and is reported) and the result is None, as in
// a script.
// The calling thread must hold the VM lock of `vm` for the helper's whole life.
#pragma once
#include <gtest/gtest.h>

#include <string_view>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "host/module_loader.h"
#include "module/thread_record.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/native_call.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/object_base.h"
#include "runtime/objects/vm_context.h"

class krv_script_calls {
 public:
  explicit krv_script_calls(krv_host_vm& vm) : module_(krv_linked_module()) {
    module_.populate_namespaces(vm);
    block_ = krvptr_strong<krv_program_block>::from_raw(new krv_program_block());
    block_->kind = KRV_BLOCK_TASK;
    krv_task* previous = std::exchange(krv_get_thread_local().current_task, nullptr);
    task_ = krv_task_create(block_, nullptr);
    krv_get_thread_local().current_task = previous;
  }

  // Calls function `name` of namespace `ns`.
  krvvar_shared call(std::string_view ns, std::string_view name, std::vector<krvvar_shared> args) {
    auto space = module_.namespaces().find(ns);
    if (space == module_.namespaces().end()) {
      ADD_FAILURE() << "no namespace " << ns;
      return krvvar_shared::make_none();
    }
    auto value = space->second.values.find(name);
    if (value == space->second.values.end()) {
      ADD_FAILURE() << "no function " << ns << "." << name;
      return krvvar_shared::make_none();
    }
    return call_value(*value->second, std::move(args));
  }

  // Calls a native-function value: a namespace function, or a method bound to its object.
  krvvar_shared call_value(krvvar& callee, std::vector<krvvar_shared> args) {
    if (callee.type != KRVVAR_EXT_FUNCTION) {
      ADD_FAILURE() << "not a native function: type " << int{callee.type};
      return krvvar_shared::make_none();
    }
    auto& record = *static_cast<krvvar_ext_function_record*>(callee.payload.record);
    krvptr_strong<krv_function_def> definition = record.definition.lock();
    krv_vm_context& frame = *task_->root_frame();
    frame.status = 0;
    krv_task* previous = std::exchange(krv_get_thread_local().current_task, task_.get());
    krvvar_shared result = krvvar_shared::make_none();
    if (!definition || (!record.object && definition->is_method != 0)) {
      result = krv_raise_error("invalid object pointer!");
    } else {
      frame.native_self = record.object.get();
      vm_call_native(result, *definition, frame, args);
      frame.native_self = nullptr;
    }
    krv_get_thread_local().current_task = previous;
    return result;
  }

  krv_host_module& module() noexcept { return module_; }

 private:
  krv_host_module module_;
  krvptr_strong<krv_program_block> block_;
  krvptr_strong<krv_task> task_;
};
