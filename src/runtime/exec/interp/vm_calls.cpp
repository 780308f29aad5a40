// Calls and call sites: argument records, native calls, script calls through parked frames and argument
// sinks, nested blocks (child, default-value, catch and body blocks) and captured values.
//
// A script call never recurses into the interpreter. Opcode 44 checks the callee, creates its frame and
// parks it with a sink that the argument opcode (45) fills; opcode 46 moves the frame onto the frame
// stack and sets status 16, and the task continuation runs it. Nested blocks push their frame the same
// way. A native call runs at once, through the count check and the exception guard of native_call.h.
//
// Argument records are the task's reusable vectors for native calls; the argument depth says how many
// are in use. Counts and depths coming from code are bounded, so hostile code cannot make a record or
// the record list grow without limit.
#include <utility>

#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/native_call.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/exec/task/scope.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/objects/object_base.h"

krv_arg_sink krv_arg_sink_script(krv_vm_context& callee) {
  krv_arg_sink sink;
  sink.target = callee.block;
  sink.store = &krv_vm_context::store_local;
  sink.native_call = 0;
  return sink;
}

krv_arg_sink krv_arg_sink_native(krv_call_args& record, krvptr_strong<krv_function_def> definition,
                                 krvptr_strong<krvobject_base> bound) {
  krv_arg_sink sink;
  sink.target = &record;
  sink.definition = std::move(definition);
  sink.bound_object = std::move(bound);
  sink.store = &krv_task::set_param;
  sink.native_call = 1;
  return sink;
}

namespace krv_vm {

namespace {

// Arguments one native call may take, and argument records open at once.
constexpr uint32_t max_call_args = 0xFFFF;
constexpr uint32_t max_arg_depth = 0xFFFF;

// Record depth-1, or null when none is open.
krv_call_args* current_record(krv_task& task) {
  const uint32_t depth = task.call_arg_height;
  if (depth == 0 || depth > task.call_args.size()) return nullptr;
  return task.call_args[depth - 1].get();
}

// Opens a record of `count` empty arguments (records are created on demand and kept for reuse).
krv_call_args* open_record(krv_task& task, uint32_t count) {
  if (count > max_call_args || task.call_arg_height >= max_arg_depth) {
    index_out_of_range();
    return nullptr;
  }
  ++task.call_arg_height;
  while (task.call_args.size() < task.call_arg_height) task.call_args.push_back(krv_call_args::create());
  krv_call_args& record = *task.call_args[task.call_arg_height - 1];
  record.resize(count);
  return &record;
}

void close_record(krv_task& task) {
  if (task.call_arg_height > 0) --task.call_arg_height;
}

// A native call's result into A.
void set_result(krv_vm_context& frame, krvvar_shared& result) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.empty())
    stack.push_back(std::move(result));
  else
    stack.back() = std::move(result);
}

// Pushes a frame for `block` (a child of the running block) in the running frame's scope; status 16.
krv_vm_context* enter_block(krv_vm_context& frame, krv_program_block* block) {
  krv_vm_context* nested = krv_vm_context::create(frame.task, frame.scope, block, frame.captured_context.get());
  frame.task->frames.push_back(nested);
  frame.set_call();
  return nested;
}

krv_program_block* child_of(const krv_vm_context& frame, uint32_t index) {
  const auto& children = frame.block->children;
  return index < children.size() ? children[index].get() : nullptr;
}

bool arity_fits(const krv_program_block& block, uint32_t count) {
  const uint32_t first_default = block.first_default;
  if (count <= block.param_count &&
      (first_default == krv_no_default_param || count == 0 || count >= first_default))
    return true;
  krv_raise_error("invalid argument count: num_params=", count, ", fn_num_params=", block.param_count,
                  ", fn_default_args=", first_default);
  return false;
}

void prepare_script_call(krv_vm_context& frame, krvvar& callee, uint32_t count) {
  auto& function = *static_cast<krvvar_function_record*>(callee.payload.record);
  krvptr_strong<krv_program_block> block = function.function.lock();
  if (!block) {
    krv_raise_error("not a function!");
    return;
  }
  if (!arity_fits(*block, count)) return;
  krv_vm_context* callee_frame =
      krv_vm_context::create(frame.task, function_scope(function, frame), block.get(), function.context.get());
  // The one-shot owner (a method fetched from its instance) becomes the callee's bound self.
  if (krvptr_base_internal* owner = std::exchange(function.owner, nullptr))
    callee_frame->bound_self = krvptr_strong<krv_class>::adopt(krvptr_storage::get_ref_block(*owner));
  park_script_call(*callee_frame, count);

  const uint32_t captured = block->captured_count;
  if (captured == 0 || !function.captured || function.captured->size() != captured) return;
  for (uint32_t i = 0; i < captured; ++i) {
    const size_t slot = size_t{block->param_count} + i;
    if (slot >= callee_frame->local_limit()) break;
    krvvar_shared value = (*function.captured)[i];
    if (value) callee_frame->locals[slot]->set(value);
  }
}

void prepare_native_call(krv_vm_context& frame, krvvar& callee, uint32_t count) {
  auto& bound = *static_cast<krvvar_ext_function_record*>(callee.payload.record);
  krvptr_strong<krv_function_def> definition = bound.definition.lock();
  if (!definition) {
    krv_raise_error("not a function!");
    return;
  }
  if (!vm_native_count_fits(*definition, count)) return;
  krv_call_args* record = open_record(*frame.task, count);
  if (record == nullptr) return;
  frame.task->sinks.push_back(krv_arg_sink_native(*record, std::move(definition), bound.object));
}

// A class value's constructor as a function value seen from the calling frame's scope; empty after
// raising the abstract-method error.
krvvar_shared constructor_of(krv_vm_context& frame, krvvar& value) {
  krv_class_def* klass = krv_class_of(value);
  if (klass == nullptr) return krvvar_shared::make_none();
  if (!klass->abstract_methods.empty()) {
    krv_raise_error("Cannot create an instance of '", klass->name, "': abstract method '",
                    klass->abstract_methods.front(), "' is not implemented (implement it in a derived class).");
    return {};
  }
  krv_program_block* block = klass->constructor.expired() ? klass->default_block.get() : klass->constructor.get();
  krvvar_shared function = krvvar_shared::make_none();
  if (block != nullptr) function->set_function(block, frame.scope);
  return function;
}

}  // namespace

krv_task* function_scope(const krvvar_function_record& function, const krv_vm_context& caller) {
  krv_task* defining = function.scope.get();
  return defining != nullptr ? krv_scope_root(defining) : caller.scope;
}

void park_script_call(krv_vm_context& callee, uint32_t count) {
  krv_task& task = *callee.task;
  task.parked_frames.push_back(&callee);
  callee.args_passed = count;
  callee.default_arg_pending = 0;
  task.sinks.push_back(krv_arg_sink_script(callee));
}

void args_open(krv_vm_context& frame, uint32_t count) { open_record(*frame.task, count); }

void arg_store(krv_vm_context& frame, uint8_t opcode, uint32_t index) {
  krv_task& task = *frame.task;
  krv_call_args* record = current_record(task);
  if (record == nullptr || index >= record->size()) return index_out_of_range();
  krvvar_shared& slot = accumulator(frame);
  switch (opcode) {
    case KRV_OP_ARG: (*record)[index] = stack_top_copy(task); return;
    case KRV_OP_ARG_COPY: {
      krvvar_shared copy = krvvar_shared::make_none();
      krvvar_shared source = slot;
      copy->set(source);
      (*record)[index] = std::move(copy);
      return;
    }
    default: (*record)[index] = slot; return;
  }
}

void call_native(krv_vm_context& frame, krv_function_def* definition) {
  krv_task& task = *frame.task;
  krv_call_args* record = current_record(task);
  if (record == nullptr) return index_out_of_range();
  krvvar_shared result;
  if (definition == nullptr) {
    result = krv_raise_error("invalid variable.");
  } else if (definition->is_method != 0) {
    // Opcode 42 carries no object: a method's wrapper would find no receiver.
    result = krv_raise_error("invalid object pointer!");
  } else {
    vm_call_native(result, *definition, frame, *record);
  }
  close_record(task);
  set_result(frame, result);
}

void args_release(krv_vm_context& frame) {
  krv_task& task = *frame.task;
  const size_t index = size_t{task.call_arg_height} + 1;
  if (index < task.call_args.size()) task.call_args[index]->clear();
}

void call_prepare(krv_vm_context& frame, uint32_t count) {
  krvvar_shared callee = stack_top_copy(*frame.task);
  if (callee->type == KRVVAR_CLASS_DEF) {
    callee = constructor_of(frame, *callee);
    if (!callee) return;
  }
  switch (callee->type) {
    case KRVVAR_FUNCTION: return prepare_script_call(frame, *callee, count);
    case KRVVAR_EXT_FUNCTION: return prepare_native_call(frame, *callee, count);
  }
  krv_raise_error("not a function!");
}

void call_arg(krv_vm_context& frame, uint32_t index) {
  krv_task& task = *frame.task;
  if (task.sinks.empty()) return index_out_of_range();
  krv_arg_sink& sink = task.sinks.back();
  sink.store(task, sink, index, accumulator(frame));
}

void call(krv_vm_context& frame) {
  krv_task& task = *frame.task;
  if (task.sinks.empty()) return index_out_of_range();
  krv_arg_sink sink = std::move(task.sinks.back());
  task.sinks.pop_back();
  if (sink.native_call == 0) {
    if (task.parked_frames.empty()) return invalid_variable();
    task.frames.push_back(task.parked_frames.back());
    task.parked_frames.pop_back();
    frame.set_call();
    return;
  }
  krvvar_shared result;
  frame.native_self = sink.bound_object.get();
  if (!sink.definition || (!sink.bound_object && sink.definition->is_method != 0))
    result = krv_raise_error("invalid object pointer!");
  else
    vm_call_native(result, *sink.definition, frame, *static_cast<krv_call_args*>(sink.target));
  frame.native_self = nullptr;
  close_record(task);
  set_result(frame, result);
}

void run_child(krv_vm_context& frame, uint32_t index) {
  krv_program_block* child = child_of(frame, index);
  if (child == nullptr) return invalid_variable();
  enter_block(frame, child);
}

bool default_arg(krv_vm_context& frame, uint32_t index) {
  if (index < frame.args_passed) return true;
  if (index >= frame.local_limit()) {
    invalid_variable();
    return false;
  }
  if (frame.default_arg_pending != 0) {
    // The default-value block has returned: its result is the parameter's value.
    frame.default_arg_pending = 0;
    krvvar_shared value = accumulator(frame);
    frame.locals[index]->set(value);
    return true;
  }
  const uint32_t first_default = frame.block->first_default;
  krv_program_block* block =
      first_default != krv_no_default_param && index >= first_default ? child_of(frame, index - first_default) : nullptr;
  if (block == nullptr) {
    invalid_variable();
    return false;
  }
  enter_block(frame, block);
  frame.default_arg_pending = 1;
  return false;
}

void catch_error(krv_vm_context& frame, uint32_t index) {
  krv_task& task = *frame.task;
  if (task.error_pending == 0) return;
  krv_program_block* handler = child_of(frame, index);
  if (handler == nullptr) return invalid_variable();
  task.error_pending = 0;
  krv_vm_context* nested = enter_block(frame, handler);
  if (handler->param_count == 1 && nested->local_limit() > 0) nested->locals[0]->set(task.error_value);
  task.error_value = krvvar_shared::make_none();
}

void run_body(krv_vm_context& frame) {
  krv_program_block* body = frame.block->body.get();
  if (body == nullptr) return invalid_variable();
  enter_block(frame, body);
}

void capture(krv_vm_context& frame, uint8_t opcode, uint8_t flag) {
  krv_task& task = *frame.task;
  krvvar_shared* below = stack_below(task, 1);
  krvvar_shared function = below != nullptr && *below ? below->deref_copy() : krvvar_shared();
  if (!function || function->type != KRVVAR_FUNCTION) return invalid_variable();
  auto& record = *static_cast<krvvar_function_record*>(function->payload.record);
  if (opcode == KRV_OP_CAPTURE && flag == 1) {
    record.context = frame.captured_context;
    return;
  }
  if (!record.captured) record.captured = krvvar_ptr_function_lambda::create();
  krvvar_shared cell = krvvar_shared::make_none();
  krvvar_shared value = accumulator(frame);
  if (opcode == KRV_OP_CAPTURE)
    cell->set(value);
  else
    cell->assign_ref(value.get());
  record.captured->push_back(std::move(cell));
}

}  // namespace krv_vm
