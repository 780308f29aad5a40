// Unary, binary and conditional operators: their type rules and code.
//
// Two untyped literals are folded exactly in 64-bit (or double) arithmetic with overflow checks; any
// other operation on constants runs on the interpreter (so it folds with run-time semantics). Small
// integer types promote to i32; signed and unsigned types of the same width never mix implicitly. An
// i32 or u32 division by a constant 2..65535 becomes a multiply by the reciprocal, and adding a constant
// uses the ADDI forms, which need no constant-pool entry.
#include <cmath>
#include <limits>

#include "kernel/compiler/compiler_context.h"
#include "kernel/compiler/conversions.h"

int krvk_compare_kind(std::string_view op) {
  static constexpr std::string_view kinds[] = {"==", "!=", "<", "<=", ">", ">="};
  for (int kind = 0; kind < 6; ++kind) {
    if (op == kinds[kind]) return kind;
  }
  return -1;
}

namespace {

bool is_number(uint8_t prim) { return krvk_prim_is_integer(prim) || krvk_prim_is_float(prim); }

bool is_bit_operator(const std::string& op) { return op == "&" || op == "|" || op == "^"; }

uint64_t reciprocal_multiplier(uint64_t divisor) { return std::numeric_limits<uint64_t>::max() / divisor + 1; }

template <class T>
bool compare_with(int kind, T a, T b) {
  switch (kind) {
    case 0: return a == b;
    case 1: return a != b;
    case 2: return a < b;
    case 3: return a <= b;
    case 4: return a > b;
    default: return a >= b;
  }
}

krvk_value bool_constant(bool v) { return krvk_typed_constant(KRVK_BOOL, v ? 1 : 0); }

}  // namespace

// ---- unary ----

krvk_value krvk_compiler::compile_unary(const krvk_expr_node& expr) {
  const krvk_value operand = compile_expression(*expr.operands[0]);
  if (is_vector(operand)) return vector_unary(expr.op, operand);
  return apply_unary(expr.op, load_value(operand));
}

krvk_value krvk_compiler::apply_unary(const std::string& op, const krvk_value& operand) {
  if (operand.is_pointer()) error_here("'" + op + "' cannot be used on a pointer");
  const bool int_literal = operand.is_constant() && operand.literal == KRVK_INT_LITERAL;
  const bool float_literal = operand.is_constant() && operand.literal == KRVK_FLOAT_LITERAL;
  const uint8_t promoted = krvk_promote(operand.type.prim);
  if (op == "+") {
    if (operand.is_untyped_literal() || is_number(operand.type.prim)) return operand;
    error_here("'+' needs a number");
  }
  if (op == "!") {
    if (operand.is_untyped_literal()) error_here("'!' needs a bool (write x == 0)");
    if (operand.type.prim != KRVK_BOOL) error_here("'!' needs a bool but got " + type_text(operand.type) + " (write x == 0)");
    return emit_unary(KOP_LNOT, KRVK_BOOL, operand);
  }
  if (op == "-") {
    if (int_literal) {
      if (operand.exceeds_i64 || operand.int_literal == std::numeric_limits<int64_t>::min()) {
        error_here("integer constant overflow");
      }
      return krvk_int_literal(-operand.int_literal);
    }
    if (float_literal) return krvk_float_literal(-operand.float_literal);
    if (!is_number(promoted)) error_here("'-' needs a number but got " + prim_text(promoted, operand.type.struct_index));
    static constexpr uint16_t negations[] = {KOP_NEG_I32, KOP_NEG_U32, KOP_NEG_X64, KOP_NEG_X64, KOP_NEG_F32, KOP_NEG_F64};
    return emit_unary(negations[promoted - KRVK_I32], promoted, coerce(operand, krvk_type{promoted, -1, 0, 0}));
  }
  if (op == "~") {
    if (int_literal) {
      if (operand.exceeds_i64) error_here("integer constant overflow");
      return krvk_int_literal(~operand.int_literal);
    }
    if (float_literal || !krvk_prim_is_integer(promoted)) {
      error_here("'~' needs an integer but got " + (float_literal ? describe_value(operand) : prim_text(promoted, operand.type.struct_index)));
    }
    return emit_unary(promoted == KRVK_U32 ? KOP_NOT_U32 : KOP_NOT_X, promoted, coerce(operand, krvk_type{promoted, -1, 0, 0}));
  }
  error_here("unknown operator '" + op + "'");
}

krvk_value krvk_compiler::emit_unary(uint16_t opcode, uint8_t result, const krvk_value& operand) {
  const krvk_value value = decay_literal(operand);
  if (value.is_constant()) return krvk_typed_constant(result, fold_with_interpreter(opcode, value.bits, 0, 2, 0));
  const uint16_t source = value_operand(value);
  const uint16_t reg = new_register();
  return krvk_register_value(result, reg, static_cast<int32_t>(emit(opcode, reg, source)));
}

// ---- binary ----

krvk_value krvk_compiler::compile_binary(const krvk_expr_node& expr) {
  if (expr.op == "&&" || expr.op == "||") return compile_logical(expr);
  const krvk_value left = compile_expression(*expr.operands[0]);
  const krvk_value right = compile_expression(*expr.operands[1]);
  return binary_op(expr.op, left, right);
}

// `&&` and `||` as values: the operands become jumps and are never materialised themselves.
krvk_value krvk_compiler::compile_logical(const krvk_expr_node& expr) {
  const uint16_t reg = new_register();
  emit(KOP_MOV, reg, add_constant(KRVK_BOOL, 0));
  const uint32_t done = new_label();
  compile_condition(expr, false, done);
  emit(KOP_MOV, reg, add_constant(KRVK_BOOL, 1));
  bind_label(done);
  return krvk_register_value(KRVK_BOOL, reg);
}

krvk_value krvk_compiler::binary_op(const std::string& op, const krvk_value& left_in, const krvk_value& right_in) {
  if (is_vector(left_in) || is_vector(right_in)) return vector_binary(op, left_in, right_in);
  const krvk_value left = load_value(left_in);
  const krvk_value right = load_value(right_in);
  if (left.is_pointer() || right.is_pointer()) return pointer_binary(op, left, right);
  if (left.is_untyped_literal() && right.is_untyped_literal()) return fold_literals(op, left, right);
  if (op == "<<" || op == ">>") return shift_op(op, left, right);
  const uint8_t type = common_type(left, right, "'" + op + "'");
  const int kind = krvk_compare_kind(op);
  if (type == KRVK_BOOL && kind != 0 && kind != 1 && !is_bit_operator(op)) {
    error_here("'" + op + "' is not defined for bool (use && / || / !)");
  }
  if (is_bit_operator(op) && type != KRVK_BOOL && !krvk_prim_is_integer(type)) {
    error_here("'" + op + "' needs integers but got " + prim_text(type));
  }
  const krvk_type target{type, -1, 0, 0};
  const krvk_value l = coerce(left, target);
  const krvk_value r = coerce(right, target);
  if (kind >= 0) return emit_binary(compare_opcode(kind, type, 0), KRVK_BOOL, l, r);
  return arithmetic_op(op, type, l, r);
}

krvk_value krvk_compiler::arithmetic_op(const std::string& op, uint8_t type, const krvk_value& left,
                                        const krvk_value& right) {
  const uint16_t opcode = arith_opcode(op, type);
  const bool narrow = type == KRVK_I32 || type == KRVK_U32;
  if ((op == "/" || op == "%") && narrow && !left.is_constant() && right.is_constant() && right.bits >= 2 &&
      right.bits <= 65535) {
    const bool is_signed = type == KRVK_I32;
    const uint16_t divc = op == "/" ? (is_signed ? KOP_DIVC_I32 : KOP_DIVC_U32) : (is_signed ? KOP_MODC_I32 : KOP_MODC_U32);
    const uint16_t source = value_operand(left);
    const uint16_t reg = new_register();
    const uint32_t at = emit(divc, reg, source, static_cast<uint16_t>(right.bits), reciprocal_multiplier(right.bits));
    return krvk_register_value(type, reg, static_cast<int32_t>(at));
  }
  const bool integer = krvk_prim_is_integer(type);
  const bool add_immediate = integer && ((op == "+" && left.is_constant() != right.is_constant()) ||
                                         (op == "-" && !left.is_constant() && right.is_constant()));
  if (add_immediate) {
    const krvk_value& constant = right.is_constant() ? right : left;
    const krvk_value& other = right.is_constant() ? left : right;
    const uint64_t addend = op == "-" ? 0 - constant.bits : constant.bits;
    const uint16_t addi = type == KRVK_I32 ? KOP_ADDI_I32 : type == KRVK_U32 ? KOP_ADDI_U32 : KOP_ADDI_X64;
    const uint16_t source = value_operand(other);
    const uint16_t reg = new_register();
    return krvk_register_value(type, reg, static_cast<int32_t>(emit(addi, reg, source, 0, addend)));
  }
  return emit_binary(opcode, type, left, right);
}

krvk_value krvk_compiler::shift_op(const std::string& op, const krvk_value& left_in, const krvk_value& right) {
  const krvk_value left = decay_literal(left_in);
  const uint8_t type = krvk_promote(left.type.prim);
  if (!krvk_prim_is_integer(type)) {
    error_here("'" + op + "' needs an integer on the left but got " + prim_text(type, left.type.struct_index));
  }
  if (right.literal == KRVK_FLOAT_LITERAL) error_here("the shift count must be an integer");
  const krvk_value count = decay_literal(right);
  if (!krvk_prim_is_integer(count.type.prim)) error_here("the shift count must be an integer but got " + type_text(count.type));
  const krvk_value l = coerce(left, krvk_type{type, -1, 0, 0});
  const bool wide = type == KRVK_I64 || type == KRVK_U64;
  uint16_t opcode = 0;
  if (op == "<<") {
    opcode = wide ? KOP_SHL_X64 : type == KRVK_I32 ? KOP_SHL_I32 : KOP_SHL_U32;
  } else {
    static constexpr uint16_t right_shifts[] = {KOP_SHR_I32, KOP_SHR_U32, KOP_SHR_I64, KOP_SHR_U64};
    opcode = right_shifts[type - KRVK_I32];
  }
  return emit_binary(opcode, type, l, count);
}

krvk_value krvk_compiler::emit_binary(uint16_t opcode, uint8_t result, const krvk_value& left_in, const krvk_value& right_in) {
  const krvk_value left = decay_literal(left_in);
  const krvk_value right = decay_literal(right_in);
  if (left.is_constant() && right.is_constant()) {
    return krvk_typed_constant(result, fold_with_interpreter(opcode, left.bits, right.bits, 2, 0));
  }
  const uint16_t l = value_operand(left);
  const uint16_t r = value_operand(right);
  const uint16_t reg = new_register();
  return krvk_register_value(result, reg, static_cast<int32_t>(emit(opcode, reg, l, r)));
}

namespace {

bool literal_int_arithmetic(const std::string& op, int64_t a, int64_t b, int64_t& out) {
  if (op == "+") return !__builtin_add_overflow(a, b, &out);
  if (op == "-") return !__builtin_sub_overflow(a, b, &out);
  return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace

krvk_value krvk_compiler::fold_literals(const std::string& op, const krvk_value& left, const krvk_value& right) {
  const int kind = krvk_compare_kind(op);
  const bool floats = left.literal == KRVK_FLOAT_LITERAL || right.literal == KRVK_FLOAT_LITERAL;
  if (floats) {
    if (left.exceeds_i64 || right.exceeds_i64) error_here("integer constant overflow");
    const double a = left.literal == KRVK_FLOAT_LITERAL ? left.float_literal : static_cast<double>(left.int_literal);
    const double b = right.literal == KRVK_FLOAT_LITERAL ? right.float_literal : static_cast<double>(right.int_literal);
    if (kind >= 0) return bool_constant(compare_with(kind, a, b));
    if (op == "+") return krvk_float_literal(a + b);
    if (op == "-") return krvk_float_literal(a - b);
    if (op == "*") return krvk_float_literal(a * b);
    if (op == "/") return krvk_float_literal(a / b);
    if (op == "%") return krvk_float_literal(std::fmod(a, b));
    error_here("'" + op + "' needs integers");
  }
  if (left.exceeds_i64 || right.exceeds_i64) {
    if (kind == 0 || kind == 1) return bool_constant(compare_with(kind, left.int_literal, right.int_literal));
    error_here("integer constant overflow (write u64(...) for values above 2^63)");
  }
  const int64_t a = left.int_literal;
  const int64_t b = right.int_literal;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (kind >= 0) return bool_constant(compare_with(kind, a, b));
  int64_t out = 0;
  if (op == "+" || op == "-" || op == "*") {
    if (!literal_int_arithmetic(op, a, b, out)) error_here("integer constant overflow");
    return krvk_int_literal(out);
  }
  if (op == "/" || op == "%") {
    if (b == 0) error_here(op == "/" ? "division by zero" : "modulo by zero");
    if (a == kMin && b == -1) error_here("integer constant overflow");
    return krvk_int_literal(op == "/" ? a / b : a % b);
  }
  if (op == "&") return krvk_int_literal(a & b);
  if (op == "|") return krvk_int_literal(a | b);
  if (op == "^") return krvk_int_literal(a ^ b);
  if (op == "<<") {
    if (b < 0 || b > 63) error_here("shift count out of range");
    out = static_cast<int64_t>(static_cast<uint64_t>(a) << b);
    if ((out >> b) != a) error_here("integer constant overflow");
    return krvk_int_literal(out);
  }
  if (op == ">>") {
    if (b < 0 || b >= 64) error_here("shift count out of range");
    return krvk_int_literal(a >> b);
  }
  error_here("unknown operator '" + op + "'");
}

uint8_t krvk_compiler::common_type(const krvk_value& left, const krvk_value& right, const std::string& quoted_op) {
  if (left.is_untyped_literal() && right.is_untyped_literal()) {
    if (left.literal == KRVK_FLOAT_LITERAL || right.literal == KRVK_FLOAT_LITERAL) return KRVK_F64;
    return decay_literal(left).type.prim;
  }
  if (left.is_untyped_literal() || right.is_untyped_literal()) {
    const bool literal_left = left.is_untyped_literal();
    const krvk_value& literal = literal_left ? left : right;
    const krvk_value& typed = literal_left ? right : left;
    const uint8_t promoted = krvk_promote(typed.type.prim);
    if (literal.literal == KRVK_FLOAT_LITERAL && !krvk_prim_is_float(promoted)) {
      const std::string other = type_text(typed.type);
      if (literal_left) error_here("cannot mix a float literal with " + other + " in " + quoted_op + ", convert explicitly");
      error_here("cannot mix " + other + " with a float literal in " + quoted_op + ", convert explicitly");
    }
    return promoted;
  }
  const uint8_t l = krvk_promote(left.type.prim);
  const uint8_t r = krvk_promote(right.type.prim);
  if (l == r) return l;
  if (l != KRVK_BOOL && r != KRVK_BOOL) {
    if (krvk_int_range_contains(l, r)) return r;
    if (krvk_int_range_contains(r, l)) return l;
  }
  error_here("cannot mix " + type_text(left.type) + " and " + type_text(right.type) + " in " + quoted_op +
             ", convert one side explicitly (e.g. " + prim_text(l, left.type.struct_index) + "(x))");
}

uint16_t krvk_compiler::arith_opcode(const std::string& op, uint8_t type) {
  if (is_bit_operator(op) && !krvk_prim_is_float(type)) {
    return op == "&" ? KOP_AND_X : op == "|" ? KOP_OR_X : KOP_XOR_X;
  }
  const bool number = type >= KRVK_I32 && type <= KRVK_F64;
  if (number) {
    // Columns i32, u32, 64-bit, f32, f64 for + - *; i32, u32, i64, u64, f32, f64 for / %.
    static constexpr uint8_t short_column[] = {0, 1, 2, 2, 3, 4};
    const uint8_t column = type - KRVK_I32;
    if (op == "+") return static_cast<uint16_t>(KOP_ADD_I32 + short_column[column]);
    if (op == "-") return static_cast<uint16_t>(KOP_SUB_I32 + short_column[column]);
    if (op == "*") return static_cast<uint16_t>(KOP_MUL_I32 + short_column[column]);
    if (op == "/") return static_cast<uint16_t>(KOP_DIV_I32 + column);
    if (op == "%") return static_cast<uint16_t>(KOP_MOD_I32 + column);
  }
  error_here("'" + op + "' is not defined for " + prim_text(type));
}

uint16_t krvk_compiler::compare_opcode(int kind, uint8_t type, int mode) {
  if (kind <= 1) {
    const int type_class = type == KRVK_F32 ? 1 : type == KRVK_F64 ? 2 : 0;
    if (mode == 0) return static_cast<uint16_t>(KOP_CMPEQ_X + 2 * type_class + kind);
    return static_cast<uint16_t>(KOP_JTEQ_X + 4 * type_class + 2 * (mode - 1) + kind);
  }
  int type_class = 0;
  switch (type) {
    case KRVK_I32:
    case KRVK_I64: type_class = 0; break;
    case KRVK_U32:
    case KRVK_U64: type_class = 1; break;
    case KRVK_F32: type_class = 2; break;
    case KRVK_F64: type_class = 3; break;
    default: error_here("bool values cannot be ordered (only == and !=)");
  }
  static constexpr uint16_t bases[] = {KOP_CMPLT_S, KOP_CMPLE_S, KOP_CMPGT_S, KOP_CMPGE_S};
  return static_cast<uint16_t>(bases[kind - 2] + 4 * mode + type_class);
}

// ---- conditional ----

krvk_value krvk_compiler::compile_conditional(const krvk_expr_node& expr) {
  const krvk_expr_node& condition = *expr.operands[0];
  if (std::optional<krvk_value> constant = constant_or_nothing(condition)) {
    if (constant->literal != KRVK_TYPED || constant->type.prim != KRVK_BOOL) {
      error(condition.position, "the condition of '?:' must be a bool");
    }
    return compile_expression(*expr.operands[constant->bits != 0 ? 1 : 2]);
  }
  const uint32_t else_label = new_label();
  const uint32_t end_label = new_label();
  compile_condition(condition, false, else_label);
  const uint16_t result = new_register();
  const krvk_value first = load_value(compile_expression(*expr.operands[1]));
  const uint32_t placeholder = emit(KOP_NOP);
  emit_jump_fixup(KOP_JMP, end_label);
  bind_label(else_label);
  const krvk_value second = load_value(compile_expression(*expr.operands[2]));
  if (first.is_pointer() || second.is_pointer()) error_here("'?:' cannot select pointers");
  uint8_t type = 0;
  if (first.is_untyped_literal() && second.is_untyped_literal()) {
    type = decay_literal(first.literal == KRVK_FLOAT_LITERAL ? first : second).type.prim;
  } else {
    type = common_type(first, second, "'?:'");
  }
  const krvk_type target{type, -1, 0, 0};
  // The first value's conversion is emitted here, after the second branch; one converting instruction
  // moves into the placeholder (writing the result directly), otherwise the placeholder becomes a MOV.
  const uint32_t before = code_size();
  const krvk_value converted = coerce(first, target);
  if (code_size() == before + 1 && converted.produced && converted.producer == static_cast<int32_t>(before)) {
    krvk_insn moved = program_->code[before];
    moved.a = result;
    drop_last_instruction();
    program_->code[placeholder] = moved;
  } else {
    program_->code[placeholder] = krvk_insn{KOP_MOV, result, value_operand(converted), 0, 0};
  }
  move_to_register(second, result, target);
  bind_label(end_label);
  return krvk_register_value(type, result);
}
