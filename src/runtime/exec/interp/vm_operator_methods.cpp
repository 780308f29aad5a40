#include "runtime/exec/interp/vm_operator_methods.h"

#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/class_instance.h"

namespace krv_vm {

namespace {

// The comparison asked of the other operand: a < b is b > a.
uint8_t mirrored(uint8_t op) {
  switch (op) {
    case KRV_OPERATOR_LT: return KRV_OPERATOR_GT;
    case KRV_OPERATOR_LE: return KRV_OPERATOR_GE;
    case KRV_OPERATOR_GT: return KRV_OPERATOR_LT;
    case KRV_OPERATOR_GE: return KRV_OPERATOR_LE;
    default: return op;
  }
}

}  // namespace

bool try_operator_method(krv_vm_context& frame, const krvvar_shared& object, uint8_t op, krvvar_shared* first,
                         krvvar_shared* second, uint8_t mode) {
  krv_class* instance = object ? krv_instance_of(*object) : nullptr;
  krv_class_def* klass = instance != nullptr ? instance->class_def() : nullptr;
  const krvvar_shared* method = klass != nullptr ? klass->operator_method(op) : nullptr;
  if (method == nullptr || (*method)->type != KRVVAR_FUNCTION) return false;
  auto& function = *static_cast<krvvar_function_record*>((*method)->payload.record);
  krv_program_block* block = function.function.get();
  if (block == nullptr) return false;
  // Class records carry no scope of their own: the method's function value does.
  krv_task& task = *frame.task;
  krv_vm_context* callee = krv_vm_context::create(&task, function_scope(function, frame), block, instance);
  callee->bound_self = static_cast<krvvar_class_record*>(object->payload.record)->instance;
  callee->args_passed = 0;
  krvvar_shared* arguments[2] = {first, second};
  for (uint32_t i = 0; i < 2 && arguments[i] != nullptr; ++i) {
    callee->args_passed = i + 1;
    if (i < callee->local_limit() && *arguments[i]) callee->bind_argument(i, *arguments[i]);
  }
  push(frame, object);
  push(frame, krvvar_shared::make_none());
  task.frames.push_back(callee);
  frame.operator_result_mode = mode;
  frame.set_call();
  return true;
}

void binary_operator_overload(krv_vm_context& frame, krvvar_shared& left, krvvar_shared& right, uint8_t op) {
  if (try_operator_method(frame, left, op, &right, nullptr, KRV_OPERATOR_RESULT_VALUE)) return;
  const uint8_t reflected = op + KRV_OPERATOR_REFLECTED;
  if (try_operator_method(frame, right, reflected, &left, nullptr, KRV_OPERATOR_RESULT_VALUE)) return;
  const krv_operator_entry& entry = operator_table[op];
  accumulator(frame) = krv_raise_error("Operator '", entry.symbol, "' is not defined for '", left->get_string(),
                                       "' and '", right->get_string(), "' (implement ", entry.method, " or ",
                                       operator_table[reflected].method, ")");
}

bool compare_operator_overload(krv_vm_context& frame, krvvar_shared& left, krvvar_shared& right, uint8_t op) {
  const bool unequal = op == KRV_OPERATOR_NE;
  return try_operator_method(frame, left, op, &right, nullptr, KRV_OPERATOR_RESULT_TRUTH) ||
         (unequal && try_operator_method(frame, left, KRV_OPERATOR_EQ, &right, nullptr, KRV_OPERATOR_RESULT_FALSEHOOD)) ||
         try_operator_method(frame, right, mirrored(op), &left, nullptr, KRV_OPERATOR_RESULT_TRUTH) ||
         (unequal && try_operator_method(frame, right, KRV_OPERATOR_EQ, &left, nullptr, KRV_OPERATOR_RESULT_FALSEHOOD));
}

void finish_operator_call(krv_vm_context& frame) {
  const uint8_t mode = frame.operator_result_mode;
  frame.operator_result_mode = KRV_OPERATOR_RESULT_NONE;
  krvvar_shared result, object;
  // The call pushed the instance and the result slot; an unwinding that took them leaves A alone.
  if (!pop(frame, result) || !pop(frame, object)) return;
  if (mode == KRV_OPERATOR_RESULT_VALUE) {
    accumulator(frame) = std::move(result);
    return;
  }
  const bool zero = result.deref_copy()->compare_zero();
  set_int(*frame.task, accumulator(frame), (mode == KRV_OPERATOR_RESULT_FALSEHOOD) == zero ? 1 : 0);
}

}  // namespace krv_vm
