// Pointer arithmetic. A pointer is a pointer slot (one parameter's memory) plus an element offset
// register, so arithmetic only moves the offset: it never leaves the slot, and every access through
// the result is still checked against that parameter's element count. Offsets count elements.
#include "kernel/compiler/compiler_context.h"

krvk_value krvk_compiler::pointer_binary(const std::string& op, const krvk_value& left, const krvk_value& right) {
  if (left.is_pointer() != right.is_pointer()) {
    const bool pointer_left = left.is_pointer();
    if (op == "+" || (op == "-" && pointer_left)) {
      return pointer_left ? pointer_offset(left, right, op == "-") : pointer_offset(right, left, false);
    }
    error_here("only 'pointer + integer' and 'pointer - integer' are defined");
  }
  if (left.slot != right.slot) error_here("pointers into different parameters cannot be compared or subtracted");
  const auto offset_of = [&](const krvk_value& pointer) {
    return pointer.index == krvk_no_operand ? krvk_typed_constant(KRVK_I64, 0) : operand_value(pointer.index, KRVK_I64);
  };
  const krvk_value l = offset_of(left);
  const krvk_value r = offset_of(right);
  if (op == "-") return emit_binary(KOP_SUB_X64, KRVK_I64, l, r);
  const int kind = krvk_compare_kind(op);
  if (kind >= 0) return emit_binary(compare_opcode(kind, KRVK_I64, 0), KRVK_BOOL, l, r);
  error_here("'" + op + "' is not defined for two pointers");
}

krvk_value krvk_compiler::pointer_offset(const krvk_value& pointer, const krvk_value& offset_in, bool subtract) {
  const krvk_value offset = load_value(offset_in);
  const bool integer = offset.literal == KRVK_INT_LITERAL ||
                       (offset.literal == KRVK_TYPED && krvk_prim_is_integer(offset.type.prim) && !offset.is_pointer());
  if (!integer) error_here("pointer arithmetic needs an integer offset but got a " + describe_value(offset));
  krvk_value result = pointer;
  if (offset.kind == KRVK_VALUE_REGISTER) {
    const uint16_t base = pointer.index == krvk_no_operand ? add_constant(KRVK_I64, 0) : pointer.index;
    const uint16_t reg = new_register();
    emit(subtract ? KOP_SUB_X64 : KOP_ADD_X64, reg, base, offset.reg);
    result.index = reg;
    return result;
  }
  if (offset.literal == KRVK_INT_LITERAL && offset.exceeds_i64) error_here("pointer offset out of range");
  uint64_t elements = offset.literal == KRVK_INT_LITERAL ? static_cast<uint64_t>(offset.int_literal) : offset.bits;
  if (subtract) elements = 0 - elements;
  if (elements == 0) return result;
  const uint16_t reg = new_register();
  if (pointer.index == krvk_no_operand) {
    emit(KOP_MOV, reg, add_constant(KRVK_I64, elements));
  } else {
    emit(KOP_ADDI_X64, reg, pointer.index, 0, elements);
  }
  result.index = reg;
  return result;
}
