// The expression dispatcher, literals, names and sizeof: every expression compiles to a `krvk_value`
// and emits, on the way, the instructions that compute it. Operators, calls, indexing and field access
// have files of their own.
#include <bit>
#include <limits>

#include "kernel/compiler/compiler_context.h"

namespace {

struct launch_builtin {
  const char* name;
  uint16_t reg;
  bool two_d;  // naming it makes the kernel two-dimensional
};

constexpr launch_builtin kLaunchBuiltins[] = {
    {"gid", 0, false}, {"gsize", 1, false}, {"gid_x", 3, true},
    {"gid_y", 4, true}, {"gsize_x", 5, false}, {"gsize_y", 6, false},
};

}  // namespace

krvk_value krvk_compiler::compile_expression(const krvk_expr_node& expr) {
  krvk_node_scope at(*this, expr.position);
  switch (expr.kind) {
    case KRVK_EXPR_INT: return compile_integer_literal(expr.position);
    case KRVK_EXPR_FLOAT: return compile_float_literal(expr.position);
    case KRVK_EXPR_BOOL: return krvk_typed_constant(KRVK_BOOL, expr.name == "true" ? 1 : 0);
    case KRVK_EXPR_NAME: return compile_name(expr);
    case KRVK_EXPR_UNARY:
      return expr.op == "*" || expr.op == "&" ? compile_pointer_unary(expr) : compile_unary(expr);
    case KRVK_EXPR_BINARY: return compile_binary(expr);
    case KRVK_EXPR_CONDITIONAL: return compile_conditional(expr);
    case KRVK_EXPR_CALL: return compile_call(expr);
    case KRVK_EXPR_INDEX: return compile_index(expr);
    case KRVK_EXPR_FIELD:
    case KRVK_EXPR_ARROW: return compile_field(expr);
    case KRVK_EXPR_SIZEOF: return compile_sizeof(expr);
    case KRVK_EXPR_LIST: error_here("a {...} list is only allowed to initialize a variable or in a return statement");
    default: error_here("unsupported expression");
  }
}

krvk_value krvk_compiler::compile_integer_literal(const krvk_token& token) {
  const uint64_t v = token.int_value;
  if (token.suffix_u) return krvk_typed_constant(v <= std::numeric_limits<uint32_t>::max() ? KRVK_U32 : KRVK_U64, v);
  return krvk_int_literal(static_cast<int64_t>(v), v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

krvk_value krvk_compiler::compile_float_literal(const krvk_token& token) {
  if (token.suffix_f) {
    return krvk_typed_constant(KRVK_F32, std::bit_cast<uint32_t>(static_cast<float>(token.float_value)));
  }
  return krvk_float_literal(token.float_value);
}

krvk_value krvk_compiler::compile_name(const krvk_expr_node& expr) {
  const std::string& name = expr.name;
  if (const krvk_local* local = find_local(name)) {
    if (local->in_frame) return frame_value(local->type, local->frame_offset, local->array_count, local->element_size);
    if (local->type.is_pointer) {
      krvk_value pointer;
      pointer.kind = KRVK_VALUE_POINTER;
      pointer.type = local->type;
      pointer.slot = local->slot;
      pointer.index = local->reg;
      return pointer;
    }
    return krvk_register_value(local->type.prim, local->reg);
  }
  for (const launch_builtin& builtin : kLaunchBuiltins) {
    if (name != builtin.name) continue;
    if (builtin.two_d) program_->two_d = 1;
    return krvk_register_value(KRVK_U32, builtin.reg);
  }
  if (const krvk_kernel_constant* constant = find_constant(name)) return krvk_typed_constant(constant->prim, constant->bits);
  if (krvk_find_struct_index(unit_->structs, name) >= 0) error_here("'" + name + "' is a struct type, not a value");
  if (functions_.count(name) != 0) {
    error_here("'" + name + "' is a kernel function, call it with '" + name + "(...)'");
  }
  if (krvk_prim_from_name(name) != KRVK_NO_TYPE) {
    error_here("'" + name + "' is a type, convert values with '" + name + "(value)'");
  }
  error_here("unknown name '" + name + "'");
}

krvk_value krvk_compiler::compile_sizeof(const krvk_expr_node& expr) {
  const std::string& name = expr.name;
  const uint8_t prim = krvk_prim_from_name(name);
  if (prim == KRVK_VOID) error_here("sizeof(void) is not defined");
  if (prim != KRVK_NO_TYPE) return krvk_int_literal(krvk_prim_size(prim));
  const int32_t index = find_struct(name);
  // The parser knows every struct name of the compilation; one declared further down has no layout yet.
  if (index < 0) error_here("struct '" + name + "' must be declared before sizeof(" + name + ")");
  return krvk_int_literal(struct_at(index).size);
}

krvk_value krvk_compiler::compile_pointer_unary(const krvk_expr_node& expr) {
  const krvk_value operand = compile_expression(*expr.operands[0]);
  if (expr.op == "*") {
    if (!operand.is_pointer()) error_here("'*' needs a pointer but got a " + describe_value(load_value(operand)));
    return deref(operand, krvk_no_operand);
  }
  if (operand.kind != KRVK_VALUE_SLOT_LOCATION || !operand.is_element) {
    error_here("'&' only works on array elements ('&p[i]')");
  }
  krvk_value pointer;
  pointer.kind = KRVK_VALUE_POINTER;
  pointer.type = operand.type;
  pointer.type.is_pointer = 1;
  pointer.type.is_const = operand.read_only;
  pointer.slot = operand.slot;
  pointer.index = operand.index;
  if (operand.element_offset != 0) {
    const uint16_t reg = new_register();
    emit(KOP_ADDI_X64, reg, operand.index, 0, static_cast<uint64_t>(operand.element_offset));
    pointer.index = reg;
  }
  return pointer;
}
