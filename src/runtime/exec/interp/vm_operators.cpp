// The value operators of the interpreter: arithmetic, modulo, bitwise, comparisons, increment and
// decrement, negation.
//
// Two-operand opcodes pop the right operand (A) and combine it with the new A, both resolved through
// references. Arithmetic dispatches on the higher of the two type codes. Numbers are read straight from
// the cells, so when left is A's own unshared cell the result is written into it (no allocation on the
// common path); other results replace A's handle, and only after every operand has been read, since A
// may be the only holder of the left operand. Division and modulo by zero warn and give 0; integer
// arithmetic wraps (two's complement), so the smallest integer divided by -1 is itself.
#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/base/raise.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/interp/vm_operator_methods.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace krv_vm {

namespace {

// The two operands of a binary opcode. `left` points into A's cell (or into `left_hold` when A had to be
// resolved, or when the operator needs A's old value to outlive a change of A).
struct operand_pair {
  krvvar_shared right;
  krvvar_shared left_hold;
  krvvar* left = nullptr;

  uint8_t higher_type() const noexcept { return std::max(left->type, right->type); }
};

bool resolves(const krvvar& cell) noexcept { return cell.type >= KRVVAR_OBJECT_MEMBER_LITERAL; }

// Pops the right operand and resolves both; false (nothing changed) when the stack has no left operand.
bool fetch(krv_vm_context& frame, operand_pair& operands) {
  if (!pop(frame, operands.right)) return false;
  if (resolves(*operands.right)) operands.right = operands.right.deref_copy();
  krvvar_shared& slot = accumulator(frame);
  if (resolves(*slot)) {
    operands.left_hold = slot.deref_copy();
  } else if (!krvvar_is_simple(slot->type)) {
    operands.left_hold = slot;
  }
  operands.left = operands.left_hold ? operands.left_hold.get() : slot.get();
  return true;
}

std::string text_of(krvvar& value) {
  if (const krv_std_string* string = value.type == KRVVAR_STRING ? value.object_ptr<krv_std_string>() : nullptr)
    return string->text;
  return value.get_string();
}

// A becomes a string holding `text`: in place when its cell is unshared and simple.
void set_text_result(krvvar_shared& slot, const std::string& text) {
  krvvar* cell = slot.get();
  if (cell->refcount == 1 && krvvar_is_simple(cell->type)) {
    cell->flags = 0;
    cell->set_string(text.data(), text.size());
    return;
  }
  krvvar_shared result = krvvar_shared::make_string(text);
  slot = std::move(result);
}

// A := None, then a new string of both texts (buffers, and containers added to a string).
void set_new_text(krvvar_shared& slot, const std::string& text) {
  slot = krvvar_shared::make_none();
  slot->set_string(text.data(), text.size());
}

// A new container with left's entries, then right's, each under its key when it has one.
krvvar_shared joined_containers(krvvar& left, krvvar& right) {
  krvvar_shared result = krvvar_shared::make_json();
  krv_std_json& target = *result->object_ptr<krv_std_json>();
  for (krvvar* side : {&left, &right}) {
    const krv_std_json* source = side->object_ptr<krv_std_json>();
    if (source == nullptr) continue;
    // Indexes, not iterators: assigning a value may run code that appends to the source.
    for (size_t i = 0; i < source->entries.size(); ++i) {
      krvvar_shared value = source->entries[i].value;
      krvvar_shared& element = target.push_empty_keyed(source->entries[i].key_view());
      if (value) element->set(value);
    }
  }
  return result;
}

struct arithmetic_names {
  const char* invalid;  // "<name> invalid type: "
  const char* cannot;   // "Cannot <verb> '"
};

arithmetic_names names_of(uint8_t opcode) {
  switch (opcode) {
    case KRV_OP_ADD: return {"Add invalid type: ", "Cannot add '"};
    case KRV_OP_SUB: return {"Sub invalid type: ", "Cannot subtract '"};
    case KRV_OP_MUL: return {"Mult invalid type: ", "Cannot multiplicate '"};
    default: return {"Div invalid type: ", "Cannot divide '"};
  }
}

void raise_into(krvvar_shared& slot, const std::string& message) { slot = krv_raise_error_text(message); }

// The operator slot of a native object operand: the left object's own slot, else the right object's
// swapped one.
bool object_operator(uint8_t opcode, krvvar_shared& slot, krvvar_shared& left, krvvar_shared& right) {
  krvobject_base* left_object = left->type == KRVVAR_OBJECT ? left->object_ptr() : nullptr;
  krvobject_base* right_object = right->type == KRVVAR_OBJECT ? right->object_ptr() : nullptr;
  switch (opcode) {
    case KRV_OP_ADD:
      return (left_object && left_object->op_add(slot, right)) || (right_object && right_object->op_add_swapped(slot, left));
    case KRV_OP_SUB:
      return (left_object && left_object->op_subtract(slot, right)) ||
             (right_object && right_object->op_subtract_swapped(slot, left));
    case KRV_OP_MUL:
      return (left_object && left_object->op_multiply(slot, right)) ||
             (right_object && right_object->op_multiply_swapped(slot, left));
    default:
      return (left_object && left_object->op_divide(slot, right)) ||
             (right_object && right_object->op_divide_swapped(slot, left));
  }
}

void float_arithmetic(krv_task& task, krvvar_shared& slot, uint8_t opcode, double left, double right) {
  switch (opcode) {
    case KRV_OP_ADD: return set_float(task, slot, left + right);
    case KRV_OP_SUB: return set_float(task, slot, left - right);
    case KRV_OP_MUL: return set_float(task, slot, left * right);
  }
  // -0.0 compares equal to 0.0; NaN does not, and divides.
  if (right == 0.0) {
    krv_raise_warning("Division by zero!");
    return set_float(task, slot, 0.0);
  }
  set_float(task, slot, left / right);
}

// The operands' own handles, for the operations that replace A before reading them again.
krvvar_shared left_handle(operand_pair& operands, krvvar_shared& slot) {
  return operands.left_hold ? operands.left_hold : slot;
}

bool either_instance(const operand_pair& operands) {
  return operands.left->type == KRVVAR_CLASS || operands.right->type == KRVVAR_CLASS;
}

// Operator `op` (0..7) through the instances' operator methods.
void instance_operator(krv_vm_context& frame, operand_pair& operands, uint8_t op) {
  krvvar_shared left = left_handle(operands, accumulator(frame));
  binary_operator_overload(frame, left, operands.right, op);
}

}  // namespace

int64_t integer_arithmetic(uint8_t opcode, int64_t left, int64_t right) {
  const uint64_t l = static_cast<uint64_t>(left);
  const uint64_t r = static_cast<uint64_t>(right);
  switch (opcode) {
    case KRV_OP_ADD: return static_cast<int64_t>(l + r);
    case KRV_OP_SUB: return static_cast<int64_t>(l - r);
    case KRV_OP_MUL: return static_cast<int64_t>(l * r);
  }
  if (right == 0) {
    krv_raise_warning("Division by zero!");
    return 0;
  }
  if (right == -1) return static_cast<int64_t>(uint64_t{0} - l);
  return left / right;
}

int64_t integer_modulo(int64_t left, int64_t right) {
  if (right == 0) {
    krv_raise_warning("Modulo by zero!");
    return 0;
  }
  // x % -1 is 0; the hardware remainder would trap for the smallest integer.
  return right == -1 ? 0 : left % right;
}

void arithmetic(krv_vm_context& frame, uint8_t opcode) {
  operand_pair operands;
  if (!fetch(frame, operands)) return;
  krv_task& task = *frame.task;
  krvvar_shared& slot = accumulator(frame);
  krvvar& left = *operands.left;
  krvvar& right = *operands.right;
  const uint8_t higher = operands.higher_type();
  const arithmetic_names names = names_of(opcode);
  switch (higher) {
    case KRVVAR_INT: {
      const int64_t l = left.int_value();
      const int64_t r = right.int_value();
      recycle(task, operands.right);
      return set_int(task, slot, integer_arithmetic(opcode, l, r));
    }
    case KRVVAR_FLOAT: {
      const double l = left.float_value();
      const double r = right.float_value();
      recycle(task, operands.right);
      return float_arithmetic(task, slot, opcode, l, r);
    }
    case KRVVAR_STRING:
      if (opcode == KRV_OP_ADD) return set_text_result(slot, text_of(left) + text_of(right));
      return raise_into(slot, krv_message(names.invalid, int{higher}));
    case KRVVAR_BUFFER:
      if (opcode == KRV_OP_ADD) return set_new_text(slot, text_of(left) + text_of(right));
      return raise_into(slot, krv_message(names.invalid, int{higher}));
    case KRVVAR_JSON: {
      if (opcode != KRV_OP_ADD) return raise_into(slot, krv_message(names.invalid, int{higher}));
      if (left.type == KRVVAR_STRING || right.type == KRVVAR_STRING)
        return set_new_text(slot, text_of(left) + text_of(right));
      if (left.type == KRVVAR_JSON && right.type == KRVVAR_JSON) {
        krvvar_shared joined = joined_containers(left, right);
        slot = std::move(joined);
        return;
      }
      return raise_into(slot, krv_message(names.cannot, left.get_string(), "' and '", right.get_string(), "'"));
    }
    case KRVVAR_CLASS: return instance_operator(frame, operands, opcode - KRV_OP_ADD);
    case KRVVAR_OBJECT: {
      krvvar_shared held_left = left_handle(operands, slot);
      slot = krvvar_shared::make_none();
      if (object_operator(opcode, slot, held_left, operands.right)) return;
      return raise_into(slot,
                        krv_message(names.cannot, held_left->get_string(), "' and '", operands.right->get_string(), "'"));
    }
  }
  raise_into(slot, krv_message(names.invalid, int{higher}));
}

void modulo(krv_vm_context& frame) {
  operand_pair operands;
  if (!fetch(frame, operands)) return;
  krv_task& task = *frame.task;
  krvvar_shared& slot = accumulator(frame);
  krvvar& left = *operands.left;
  krvvar& right = *operands.right;
  if (either_instance(operands)) return instance_operator(frame, operands, KRV_OPERATOR_MOD);
  if (left.type == KRVVAR_FLOAT || right.type == KRVVAR_FLOAT) {
    const double l = left.float_value();
    const double r = right.float_value();
    recycle(task, operands.right);
    if (r == 0.0) {
      krv_raise_warning("Modulo by zero!");
      return set_float(task, slot, 0.0);
    }
    return set_float(task, slot, std::fmod(l, r));
  }
  const int64_t l = left.int_value();
  const int64_t r = right.int_value();
  recycle(task, operands.right);
  set_int(task, slot, integer_modulo(l, r));
}

void bitwise(krv_vm_context& frame, uint8_t opcode) {
  operand_pair operands;
  if (!fetch(frame, operands)) return;
  if (either_instance(operands)) return instance_operator(frame, operands, 4 + (opcode - KRV_OP_AND));
  const int64_t l = operands.left->int_value();
  const int64_t r = operands.right->int_value();
  const int64_t result = opcode == KRV_OP_AND ? (l & r) : opcode == KRV_OP_OR ? (l | r) : (l ^ r);
  recycle(*frame.task, operands.right);
  set_int(*frame.task, accumulator(frame), result);
}

void compare(krv_vm_context& frame, uint8_t opcode, uint8_t flag) {
  operand_pair operands;
  if (!fetch(frame, operands)) return;
  if (either_instance(operands)) {
    const uint8_t first = opcode == KRV_OP_EQ ? KRV_OPERATOR_EQ : opcode == KRV_OP_GT ? KRV_OPERATOR_GT : KRV_OPERATOR_LT;
    krvvar_shared held_left = left_handle(operands, accumulator(frame));
    if (compare_operator_overload(frame, held_left, operands.right, first + (flag != 0 ? 1 : 0))) return;
  }
  krvvar& left = *operands.left;
  krvvar& right = *operands.right;
  bool result;
  if (opcode == KRV_OP_EQ)
    result = left.compare_equal(right) != (flag != 0);
  else if (opcode == KRV_OP_GT)
    result = left.compare_bigger(right, flag != 0);
  else
    result = left.compare_smaller(right, flag != 0);
  // The operands' handles go first, so A's own cell can take the result in place.
  recycle(*frame.task, operands.right);
  operands.left_hold.release();
  set_int(*frame.task, accumulator(frame), result ? 1 : 0);
}

void step(krv_vm_context& frame, bool increment, bool postfix) {
  krvvar_shared& slot = accumulator(frame);
  const char* failure = increment ? "Cannot increment variable!" : "Cannot decrement variable!";
  if (slot->is_member_ref()) {
    // Read-modify-write through the member reference: the member itself is written only on success.
    krvvar_shared reference = slot;
    krvvar_shared current = reference.deref_copy();
    krvvar_shared updated = krvvar_shared::make_none();
    updated->set(current);
    if (postfix) {
      krvvar_shared old = krvvar_shared::make_none();
      old->set(current);
      accumulator(frame) = std::move(old);
    }
    if (!(increment ? updated->increment_value() : updated->decrement_value())) {
      krv_raise_error(failure);
      return;
    }
    reference->set(updated);
    return;
  }
  krvvar_shared variable = stack_top_copy(*frame.task);
  if (postfix) {
    krvvar_shared old = krvvar_shared::make_none();
    old->set(variable);
    accumulator(frame) = std::move(old);
  }
  if (!(increment ? variable->increment_value() : variable->decrement_value())) krv_raise_error(failure);
}

void negate(krv_vm_context& frame) {
  krvvar_shared value = stack_top_copy(*frame.task);
  const uint8_t type = value->type;
  if (type == KRVVAR_FLOAT) {
    const double x = value->payload.float_value;
    value.release();
    return set_float(*frame.task, accumulator(frame), -x);
  }
  if (type == KRVVAR_INT) {
    const uint64_t x = static_cast<uint64_t>(value->payload.int_value);
    value.release();
    return set_int(*frame.task, accumulator(frame), static_cast<int64_t>(uint64_t{0} - x));
  }
  if (type == KRVVAR_CLASS) {
    if (try_operator_method(frame, value, KRV_OPERATOR_NEG, nullptr, nullptr, KRV_OPERATOR_RESULT_VALUE)) return;
    return raise_into(accumulator(frame), krv_message("Cannot negate '", value->get_string(), "' (implement __neg__)"));
  }
  raise_into(accumulator(frame), krv_message("Cannot negate type ", int{type}));
}

}  // namespace krv_vm
