// Conditions compile to jumps, not to bool values: `!` flips the sense, `&&` and `||` short-circuit
// through labels, and a comparison becomes one fused compare-and-branch instruction.
#include "kernel/compiler/compiler_context.h"

void krvk_compiler::compile_condition(const krvk_expr_node& expr, bool jump_when, uint32_t label) {
  krvk_node_scope at(*this, expr.position);
  if (expr.kind == KRVK_EXPR_UNARY && expr.op == "!") {
    compile_condition(*expr.operands[0], !jump_when, label);
    return;
  }
  if (expr.kind == KRVK_EXPR_BINARY && (expr.op == "&&" || expr.op == "||")) {
    const bool is_and = expr.op == "&&";
    if (is_and != jump_when) {
      // a && b jumping when false, a || b jumping when true: either operand decides.
      compile_condition(*expr.operands[0], jump_when, label);
      compile_condition(*expr.operands[1], jump_when, label);
    } else {
      const uint32_t skip = new_label();
      compile_condition(*expr.operands[0], !jump_when, skip);
      compile_condition(*expr.operands[1], jump_when, label);
      bind_label(skip);
    }
    return;
  }
  if (expr.kind == KRVK_EXPR_BINARY && krvk_is_comparison(expr.op)) {
    compile_comparison_jump(expr, jump_when, label);
    return;
  }
  jump_on_value(compile_expression(expr), jump_when, label);
}

void krvk_compiler::compile_comparison_jump(const krvk_expr_node& expr, bool jump_when, uint32_t label) {
  const krvk_value left_in = compile_expression(*expr.operands[0]);
  const krvk_value right_in = compile_expression(*expr.operands[1]);
  if (is_vector(left_in) || is_vector(right_in)) {
    jump_on_value(binary_op(expr.op, left_in, right_in), jump_when, label);
    return;
  }
  const krvk_value left = load_value(left_in);
  const krvk_value right = load_value(right_in);
  if (left.is_pointer() || right.is_pointer() || (left.is_constant() && right.is_constant())) {
    jump_on_value(binary_op(expr.op, left, right), jump_when, label);
    return;
  }
  const uint8_t type = common_type(left, right, "'" + expr.op + "'");
  const int kind = krvk_compare_kind(expr.op);
  const uint16_t opcode = compare_opcode(kind, type, jump_when ? 1 : 2);
  const krvk_type target{type, -1, 0, 0};
  const uint16_t l = value_operand(coerce(left, target));
  const uint16_t r = value_operand(coerce(right, target));
  emit_jump_fixup(opcode, label, l, r);
}

void krvk_compiler::jump_on_value(const krvk_value& value_in, bool jump_when, uint32_t label) {
  const krvk_value value = load_value(value_in);
  if (value.literal == KRVK_TYPED && value.type.prim == KRVK_BOOL && !value.is_pointer()) {
    if (value.is_constant()) {
      if ((value.bits != 0) == jump_when) emit_jump_fixup(KOP_JMP, label);
      return;
    }
    if (value.kind == KRVK_VALUE_REGISTER) {
      emit_jump_fixup(jump_when ? KOP_JT : KOP_JF, label, value.reg);
      return;
    }
  }
  error_here("a condition must be a bool but got a " + describe_value(value) + " (write x != 0)");
}
