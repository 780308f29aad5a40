// Calls: conversions T(x), vector constructors, the element-wise built-ins (lane by lane on vectors),
// dot / cross / length, atomic_add, and calls of inline helpers, resolved in that order by name.
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "kernel/compiler/compiler_context.h"
#include "kernel/compiler/conversions.h"

namespace {

const std::set<std::string, std::less<>>& elementwise_builtins() {
  static const std::set<std::string, std::less<>> names = {
      "min", "max", "clamp", "abs", "sqrt", "floor", "ceil", "round", "trunc", "sin", "cos",
      "tan", "asin", "acos", "atan", "exp", "log", "log2", "log10", "pow", "atan2"};
  return names;
}

const std::map<std::string, uint16_t, std::less<>>& math_selectors() {
  static const std::map<std::string, uint16_t, std::less<>> selectors = {
      {"floor", KRVK_MATH_FLOOR}, {"ceil", KRVK_MATH_CEIL}, {"round", KRVK_MATH_ROUND}, {"trunc", KRVK_MATH_TRUNC},
      {"sin", KRVK_MATH_SIN},     {"cos", KRVK_MATH_COS},   {"tan", KRVK_MATH_TAN},     {"asin", KRVK_MATH_ASIN},
      {"acos", KRVK_MATH_ACOS},   {"atan", KRVK_MATH_ATAN}, {"exp", KRVK_MATH_EXP},     {"log", KRVK_MATH_LOG},
      {"log2", KRVK_MATH_LOG2},   {"log10", KRVK_MATH_LOG10}, {"pow", KRVK_MATH_POW},   {"atan2", KRVK_MATH_ATAN2}};
  return selectors;
}

size_t builtin_argument_count(std::string_view name) {
  if (name == "clamp") return 3;
  if (name == "min" || name == "max" || name == "pow" || name == "atan2") return 2;
  return 1;
}

bool is_number(uint8_t prim) { return krvk_prim_is_integer(prim) || krvk_prim_is_float(prim); }

// Untyped literals compared as the language compares them; a literal above the i64 range is larger
// than every other integer literal.
bool literal_less(const krvk_value& a, const krvk_value& b) {
  if (a.literal == KRVK_FLOAT_LITERAL || b.literal == KRVK_FLOAT_LITERAL) {
    const double x = a.literal == KRVK_FLOAT_LITERAL ? a.float_literal : static_cast<double>(a.int_literal);
    const double y = b.literal == KRVK_FLOAT_LITERAL ? b.float_literal : static_cast<double>(b.int_literal);
    return x < y;
  }
  if (a.exceeds_i64 || b.exceeds_i64) {
    if (a.exceeds_i64 && b.exceeds_i64) return static_cast<uint64_t>(a.int_literal) < static_cast<uint64_t>(b.int_literal);
    return b.exceeds_i64;
  }
  return a.int_literal < b.int_literal;
}

}  // namespace

void krvk_compiler::expect_arguments(const krvk_expr_node& call, size_t count) {
  if (call.operands.size() == count) return;
  error_here("'" + call.name + "' expects " + std::to_string(count) + " argument" + (count == 1 ? "" : "s") +
             " but got " + std::to_string(call.operands.size()));
}

krvk_value krvk_compiler::compile_call(const krvk_expr_node& call) {
  const std::string& name = call.name;
  const uint8_t prim = krvk_prim_from_name(name);
  if (prim == KRVK_VOID) error_here("cannot convert to void");
  if (prim != KRVK_NO_TYPE) {
    expect_arguments(call, 1);
    const krvk_value value = compile_expression(*call.operands[0]);
    return convert_explicit(value, prim);
  }
  uint8_t scalar = 0;
  uint8_t lanes = 0;
  if (krvk_parse_vector_type(name, scalar, lanes)) return vector_construct(call, scalar, lanes);
  if (krvk_find_struct_index(unit_->structs, name) >= 0) {
    error_here("structs have no constructor, write '" + name + " v = {...};'");
  }
  if (elementwise_builtins().count(name) != 0) return compile_elementwise(call);
  const auto function = functions_.find(name);
  const bool vector_builtin_name = name == "dot" || name == "cross" || name == "length";
  if (vector_builtin_name && function == functions_.end()) return vector_builtin(call);
  if (name == "atomic_add") return atomic_add(call);
  if (function == functions_.end()) error_here("unknown function '" + name + "'");
  const krvk_func_decl& helper = *function->second;
  if (!helper.is_inline) {
    error_here("'" + name + "' is an entry kernel and cannot be called from kernel code (declare helpers with 'kernel inline')");
  }
  return compile_helper_call(call, helper);
}

krvk_value krvk_compiler::compile_elementwise(const krvk_expr_node& call) {
  expect_arguments(call, builtin_argument_count(call.name));
  std::vector<krvk_value> args;
  uint8_t lanes = 0;
  for (const krvk_expr_ptr& arg : call.operands) {
    krvk_value value = compile_expression(*arg);
    if (is_vector(value)) {
      if (lanes != 0 && vector_lanes(value) != lanes) error_here("'" + call.name + "' needs vectors of the same size");
      lanes = vector_lanes(value);
    } else {
      value = load_value(value);  // a scalar argument is the same for every lane: load it once
    }
    args.push_back(value);
  }
  if (lanes == 0) return scalar_builtin(call, args);
  std::vector<krvk_value> results;
  for (uint32_t lane = 0; lane < lanes; ++lane) {
    std::vector<krvk_value> lane_args;
    for (const krvk_value& arg : args) lane_args.push_back(is_vector(arg) ? load_value(vector_lane(arg, lane)) : arg);
    results.push_back(scalar_builtin(call, lane_args));
  }
  return make_vector(std::move(results));
}

krvk_value krvk_compiler::scalar_builtin(const krvk_expr_node& call, const std::vector<krvk_value>& args) {
  const std::string& name = call.name;
  if (name == "min" || name == "max") return min_max(name, args[0], args[1]);
  if (name == "clamp") return min_max("min", min_max("max", args[0], args[1]), args[2]);
  if (name == "abs") return builtin_abs(args[0]);
  return float_builtin(call, args);
}

krvk_value krvk_compiler::min_max(const std::string& name, const krvk_value& left, const krvk_value& right) {
  if (left.is_pointer() || right.is_pointer()) error_here("min / max / clamp need numbers");
  const bool is_min = name == "min";
  if (left.is_untyped_literal() && right.is_untyped_literal()) {
    if (is_min) return literal_less(left, right) ? left : right;
    return literal_less(left, right) ? right : left;
  }
  const uint8_t type = common_type(left, right, "'" + name + "'");
  if (!is_number(type)) error_here("min / max / clamp need numbers");
  const krvk_type target{type, -1, 0, 0};
  uint16_t opcode = 0;
  switch (type) {
    case KRVK_U32:
    case KRVK_U64: opcode = is_min ? KOP_MIN_U : KOP_MAX_U; break;
    case KRVK_F32: opcode = is_min ? KOP_MIN_F32 : KOP_MAX_F32; break;
    case KRVK_F64: opcode = is_min ? KOP_MIN_F64 : KOP_MAX_F64; break;
    default: opcode = is_min ? KOP_MIN_S : KOP_MAX_S; break;
  }
  const krvk_value l = coerce(left, target);
  const krvk_value r = coerce(right, target);
  return emit_binary(opcode, type, l, r);
}

krvk_value krvk_compiler::builtin_abs(const krvk_value& value) {
  if (value.is_constant() && value.literal == KRVK_INT_LITERAL) {
    if (value.exceeds_i64 || value.int_literal == std::numeric_limits<int64_t>::min()) {
      error_here("integer constant overflow");
    }
    return krvk_int_literal(value.int_literal < 0 ? -value.int_literal : value.int_literal);
  }
  if (value.is_constant() && value.literal == KRVK_FLOAT_LITERAL) return krvk_float_literal(std::fabs(value.float_literal));
  if (value.is_pointer() || !is_number(value.type.prim)) error_here("'abs' needs a number");
  const uint8_t type = krvk_promote(value.type.prim);
  const krvk_value promoted = coerce(value, krvk_type{type, -1, 0, 0});
  switch (type) {
    case KRVK_U32:
    case KRVK_U64: return promoted;
    case KRVK_I32: return emit_unary(KOP_ABS_I32, type, promoted);
    case KRVK_I64: return emit_unary(KOP_ABS_I64, type, promoted);
    case KRVK_F32: return emit_unary(KOP_ABS_F32, type, promoted);
    default: return emit_unary(KOP_ABS_F64, type, promoted);
  }
}

krvk_value krvk_compiler::float_builtin(const krvk_expr_node& call, const std::vector<krvk_value>& args_in) {
  const std::string& name = call.name;
  std::vector<krvk_value> args;
  for (size_t i = 0; i < args_in.size(); ++i) {
    const krvk_value& arg = args_in[i];
    const bool is_float = (arg.is_constant() && arg.literal == KRVK_FLOAT_LITERAL) ||
                          (!arg.is_untyped_literal() && !arg.is_pointer() && krvk_prim_is_float(arg.type.prim));
    if (!is_float) {
      error(call.operands[i]->position, "'" + name + "' needs f32 or f64 but got a " + describe_value(arg) +
                                            " (convert with f32(x))");
    }
    args.push_back(decay_literal(arg));
  }
  uint8_t type = args[0].type.prim;
  if (args.size() == 2) {
    type = common_type(args[0], args[1], "'" + name + "'");
    for (krvk_value& arg : args) arg = coerce(arg, krvk_type{type, -1, 0, 0});
  }
  const bool f32 = type == KRVK_F32;
  if (name == "sqrt") return emit_unary(f32 ? KOP_SQRT_F32 : KOP_SQRT_F64, type, args[0]);
  const uint16_t selector = math_selectors().at(name);
  if (args.size() == 1) {
    const uint16_t op = f32 ? KOP_MATH1_F32 : KOP_MATH1_F64;
    if (args[0].is_constant()) return krvk_typed_constant(type, fold_with_interpreter(op, args[0].bits, 0, selector, 0));
    const uint16_t source = value_operand(args[0]);
    const uint16_t reg = new_register();
    return krvk_register_value(type, reg, static_cast<int32_t>(emit(op, reg, source, selector)));
  }
  const uint16_t op = f32 ? KOP_MATH2_F32 : KOP_MATH2_F64;
  if (args[0].is_constant() && args[1].is_constant()) {
    return krvk_typed_constant(type, fold_with_interpreter(op, args[0].bits, args[1].bits, 2, selector));
  }
  const uint16_t l = value_operand(args[0]);
  const uint16_t r = value_operand(args[1]);
  const uint16_t reg = new_register();
  return krvk_register_value(type, reg, static_cast<int32_t>(emit(op, reg, l, r, selector)));
}

krvk_value krvk_compiler::vector_builtin(const krvk_expr_node& call) {
  const std::string& name = call.name;
  const bool is_length = name == "length";
  expect_arguments(call, is_length ? 1 : 2);
  const krvk_value a = compile_expression(*call.operands[0]);
  const krvk_value b = is_length ? a : compile_expression(*call.operands[1]);
  if (!is_vector(a) || !is_vector(b) || vector_lanes(a) != vector_lanes(b)) {
    error_here("'" + name + "' needs " + (is_length ? "a vector" : "two vectors of the same size"));
  }
  const uint8_t lanes = vector_lanes(a);
  const auto lane = [&](const krvk_value& v, uint32_t i) { return load_value(vector_lane(v, i)); };
  if (name == "cross") {
    if (lanes != 3) error_here("'cross' needs vectors with 3 components");
    std::vector<krvk_value> components;
    for (uint32_t i = 0; i < 3; ++i) {
      const uint32_t j = (i + 1) % 3;
      const uint32_t k = (i + 2) % 3;
      const krvk_value first = binary_op("*", lane(a, j), lane(b, k));
      const krvk_value second = binary_op("*", lane(a, k), lane(b, j));
      components.push_back(binary_op("-", first, second));
    }
    return make_vector(std::move(components));
  }
  if (is_length && !krvk_prim_is_float(struct_at(a.type.struct_index).vector_prim)) {
    error_here("'length' needs a float vector (f32x2 .. f64x4)");
  }
  krvk_value sum = binary_op("*", lane(a, 0), lane(b, 0));
  for (uint32_t i = 1; i < lanes; ++i) sum = binary_op("+", sum, binary_op("*", lane(a, i), lane(b, i)));
  if (!is_length) return sum;
  return emit_unary(sum.type.prim == KRVK_F32 ? KOP_SQRT_F32 : KOP_SQRT_F64, sum.type.prim, sum);
}

krvk_value krvk_compiler::atomic_add(const krvk_expr_node& call) {
  expect_arguments(call, 2);
  const krvk_value target = compile_expression(*call.operands[0]);
  if (!target.is_location() || target.array_count != 0 || target.type.prim == KRVK_STRUCT) {
    error_here("atomic_add needs a memory location ('atomic_add(p[i], v)')");
  }
  const uint8_t prim = target.type.prim;
  if (prim != KRVK_I32 && prim != KRVK_U32 && prim != KRVK_I64 && prim != KRVK_U64) {
    error_here(std::string("atomic_add supports i32, u32, i64 and u64 memory, not ") + krvk_prim_name(prim));
  }
  if (target.read_only) error_here("cannot write through a const pointer");
  const krvk_value value = compile_expression(*call.operands[1]);
  const uint16_t addend = value_operand(coerce(value, krvk_type{prim, -1, 0, 0}));
  const bool wide = prim == KRVK_I64 || prim == KRVK_U64;
  if (is_whole_element(target)) {
    const uint16_t index = index_register(target);
    const uint16_t reg = new_register();
    const uint16_t op = wide ? KOP_AADD_64 : prim == KRVK_I32 ? KOP_AADD_I32 : KOP_AADD_32;
    return krvk_register_value(prim, reg, static_cast<int32_t>(emit(op, reg, target.slot, index, addend)));
  }
  const krvk_value address = address_of(target);
  const uint16_t reg = new_register();
  const uint16_t op = wide ? KOP_AADDR_64 : prim == KRVK_I32 ? KOP_AADDR_I32 : KOP_AADDR_32;
  return krvk_register_value(prim, reg, static_cast<int32_t>(emit(op, reg, address.address, addend, address.byte_offset)));
}
