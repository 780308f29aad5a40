// Conversions between kernel types: literal decay, the strict implicit conversion that every
// assignment, argument, return and operand goes through (`coerce`), the explicit conversion T(e), and
// turning values into registers and instruction operands.
//
// Implicit conversion only widens: an integer to a type whose range contains it (no instruction, since
// registers hold every integer in its 64-bit register form) and f32 to f64. Untyped literals take the
// type their use asks for when they fit it exactly. Everything else needs an explicit T(e).
#include <bit>
#include <cmath>
#include <limits>

#include "kernel/compiler/compiler_context.h"
#include "kernel/compiler/conversions.h"
#include "kernel/compiler/value_rules.h"

bool krvk_int_range_contains(uint8_t source, uint8_t target) {
  if (source == target) return true;
  if (source == KRVK_F32 && target == KRVK_F64) return true;
  if (!krvk_prim_is_integer(source) || !krvk_prim_is_integer(target)) return false;
  const bool source_signed = krvk_prim_is_signed_integer(source);
  const bool target_signed = krvk_prim_is_signed_integer(target);
  const int32_t source_size = krvk_prim_size(source);
  const int32_t target_size = krvk_prim_size(target);
  if (source_signed == target_signed) return target_size >= source_size;
  return !source_signed && target_size > source_size;  // unsigned into a strictly wider signed type
}

uint8_t krvk_promote(uint8_t prim) {
  return prim >= KRVK_I8 && prim <= KRVK_U16 ? uint8_t{KRVK_I32} : prim;
}

uint64_t krvk_float_constant_bits(uint8_t prim, double value) {
  if (prim == KRVK_F32) return std::bit_cast<uint32_t>(static_cast<float>(value));
  return std::bit_cast<uint64_t>(value);
}

krvk_value krvk_compiler::decay_literal(const krvk_value& value) {
  if (!value.is_untyped_literal()) return value;
  if (value.literal == KRVK_FLOAT_LITERAL) return krvk_typed_constant(KRVK_F64, std::bit_cast<uint64_t>(value.float_literal));
  const auto bits = static_cast<uint64_t>(value.int_literal);
  if (value.exceeds_i64) return krvk_typed_constant(KRVK_U64, bits);
  const bool in_i32 = value.int_literal >= std::numeric_limits<int32_t>::min() &&
                      value.int_literal <= std::numeric_limits<int32_t>::max();
  return krvk_typed_constant(in_i32 ? KRVK_I32 : KRVK_I64, bits);
}

namespace {

// Integer literal value as written: unsigned for a literal above the i64 range.
std::string literal_text(const krvk_value& literal) {
  if (literal.exceeds_i64) return std::to_string(static_cast<uint64_t>(literal.int_literal));
  return std::to_string(literal.int_literal);
}

bool literal_fits_integer(const krvk_value& literal, uint8_t target) {
  if (literal.exceeds_i64) return target == KRVK_U64;
  const int64_t v = literal.int_literal;
  if (target == KRVK_I64) return true;
  if (target == KRVK_U64) return v >= 0;
  return krvk_wrap_int(target, v) == v;
}

// Converted to the float type and back, the literal must give its own value; the way back uses the
// checked float-to-integer rule, so values near 2^63 cannot hit an undefined conversion.
bool literal_fits_float(const krvk_value& literal, uint8_t target) {
  if (literal.exceeds_i64) return false;
  const double rounded = target == KRVK_F32 ? static_cast<double>(static_cast<float>(literal.int_literal))
                                            : static_cast<double>(literal.int_literal);
  uint64_t back = 0;
  return krvk_f2i(rounded, KRVK_I64, back) && static_cast<int64_t>(back) == literal.int_literal;
}

}  // namespace

krvk_value krvk_compiler::coerce_literal(const krvk_value& literal, uint8_t target) {
  const std::string target_name = krvk_prim_name(target);
  if (literal.literal == KRVK_FLOAT_LITERAL) {
    if (!krvk_prim_is_float(target)) {
      error_here("a float literal cannot be converted to " + target_name + " implicitly, write " + target_name + "(...)");
    }
    return krvk_typed_constant(target, krvk_float_constant_bits(target, literal.float_literal));
  }
  if (target == KRVK_BOOL) error_here("an integer cannot be used as bool (write x != 0, or true / false)");
  if (krvk_prim_is_integer(target)) {
    if (!literal_fits_integer(literal, target)) {
      error_here("integer literal " + literal_text(literal) + " does not fit into " + target_name);
    }
    return krvk_typed_constant(target, static_cast<uint64_t>(literal.int_literal));
  }
  if (krvk_prim_is_float(target)) {
    if (!literal_fits_float(literal, target)) {
      error_here("integer literal " + literal_text(literal) + " does not fit into " + target_name + " exactly");
    }
    return krvk_typed_constant(target, krvk_float_constant_bits(target, static_cast<double>(literal.int_literal)));
  }
  error_here("expected a " + target_name + " but got a integer literal");
}

krvk_value krvk_compiler::coerce(const krvk_value& value, const krvk_type& target) {
  if (target.is_pointer) {
    if (!value.is_pointer()) {
      error_here("expected a pointer (" + type_text(target) + ") but got a " + describe_value(value));
    }
    if (value.type.prim != target.prim || value.type.struct_index != target.struct_index) {
      error_here("pointer types do not match: expected " + type_text(target) + " but got " + type_text(value.type));
    }
    if (value.type.is_const && !target.is_const) {
      error_here("cannot pass a const pointer as a writable pointer (" + type_text(target) + ")");
    }
    krvk_value result = value;
    result.type.is_const = target.is_const;
    return result;
  }
  const krvk_value loaded = load_value(value);
  if (loaded.is_pointer()) error_here("expected " + type_text(target) + " but got a pointer");
  if (loaded.is_untyped_literal()) return coerce_literal(loaded, target.prim);
  const uint8_t source = loaded.type.prim;
  if (source == target.prim) return loaded;
  const bool both_integers = krvk_prim_is_integer(source) && krvk_prim_is_integer(target.prim);
  if (both_integers && krvk_int_range_contains(source, target.prim)) {
    krvk_value relabelled = loaded;
    relabelled.type.prim = target.prim;
    return relabelled;
  }
  if (source == KRVK_F32 && target.prim == KRVK_F64) return convert(loaded, KRVK_F64);
  const std::string target_name = prim_text(target.prim, target.struct_index);
  error_here("cannot convert " + prim_text(source, loaded.type.struct_index) + " to " + target_name +
             " implicitly, write " + target_name + "(...)");
}

namespace {

// The instruction of an explicit conversion, or KOP_NOP when the register form only needs a new label.
uint16_t conversion_opcode(uint8_t source, uint8_t target) {
  const bool source_float = krvk_prim_is_float(source);
  if (target == KRVK_BOOL) {
    if (source_float) return source == KRVK_F32 ? KOP_BOOL_F32 : KOP_BOOL_F64;
    return KOP_CMPNE_X;
  }
  if (krvk_prim_is_integer(target)) {
    if (source_float) return source == KRVK_F32 ? KOP_CVT_F32_INT : KOP_CVT_F64_INT;
    if (source == KRVK_BOOL || krvk_int_range_contains(source, target) || target == KRVK_I64 || target == KRVK_U64) {
      return KOP_NOP;
    }
    return static_cast<uint16_t>(KOP_TRUNC_I8 + (target - KRVK_I8));
  }
  if (source_float) return target == KRVK_F64 ? KOP_CVT_F32_F64 : KOP_CVT_F64_F32;
  const bool is_signed = source == KRVK_BOOL || krvk_prim_is_signed_integer(source);
  if (target == KRVK_F32) return is_signed ? KOP_CVT_S_F32 : KOP_CVT_U_F32;
  return is_signed ? KOP_CVT_S_F64 : KOP_CVT_U_F64;
}

bool is_convertible(uint8_t prim) { return prim >= KRVK_BOOL && prim <= KRVK_F64; }

}  // namespace

krvk_value krvk_compiler::convert(const krvk_value& value, uint8_t target) {
  const uint8_t source = value.type.prim;
  if (source == target) return value;
  if (!is_convertible(source) || !is_convertible(target)) {
    error_here("cannot convert " + type_text(value.type) + " to " + prim_text(target));
  }
  const uint16_t op = conversion_opcode(source, target);
  if (op == KOP_NOP) {
    krvk_value relabelled = value;
    relabelled.type.prim = target;
    if (relabelled.is_constant()) relabelled.bits = static_cast<uint64_t>(krvk_wrap_int(target, static_cast<int64_t>(value.bits)));
    return relabelled;
  }
  if (op == KOP_CMPNE_X) return emit_binary(op, KRVK_BOOL, value, krvk_typed_constant(KRVK_I64, 0));
  const bool takes_target = op == KOP_CVT_F32_INT || op == KOP_CVT_F64_INT;
  const uint16_t c = takes_target ? target : 2;
  if (value.is_constant()) return krvk_typed_constant(target, fold_with_interpreter(op, value.bits, 0, c, 0));
  const uint16_t source_operand = value_operand(value);
  const uint16_t reg = new_register();
  const uint32_t producer = emit(op, reg, source_operand, takes_target ? target : 0, 0);
  return krvk_register_value(target, reg, static_cast<int32_t>(producer));
}

krvk_value krvk_compiler::convert_explicit(const krvk_value& value, uint8_t target) {
  const krvk_value loaded = load_value(value);
  if (loaded.is_pointer()) error_here("pointers cannot be converted");
  if (loaded.literal == KRVK_INT_LITERAL) {
    const int64_t v = loaded.int_literal;
    if (target == KRVK_BOOL) return krvk_typed_constant(KRVK_BOOL, v != 0 ? 1 : 0);
    if (krvk_prim_is_integer(target)) return krvk_typed_constant(target, static_cast<uint64_t>(krvk_wrap_int(target, v)));
    if (krvk_prim_is_float(target)) {
      const double as_double = loaded.exceeds_i64 ? static_cast<double>(static_cast<uint64_t>(v)) : static_cast<double>(v);
      return krvk_typed_constant(target, krvk_float_constant_bits(target, as_double));
    }
  } else if (loaded.literal == KRVK_FLOAT_LITERAL) {
    const double v = loaded.float_literal;
    if (target == KRVK_BOOL) return krvk_typed_constant(KRVK_BOOL, v != 0.0 ? 1 : 0);
    if (krvk_prim_is_float(target)) return krvk_typed_constant(target, krvk_float_constant_bits(target, v));
    uint64_t bits = 0;
    if (krvk_prim_is_integer(target)) {
      if (!krvk_f2i(v, target, bits)) error_here(std::string("float literal does not fit into ") + krvk_prim_name(target));
      return krvk_typed_constant(target, static_cast<uint64_t>(krvk_wrap_int(target, static_cast<int64_t>(bits))));
    }
  }
  return convert(decay_literal(loaded), target);
}

krvk_value krvk_compiler::load_value(const krvk_value& value) {
  if (!value.is_location()) return value;
  if (value.array_count != 0) error_here("an array (" + describe_value(value) + ") cannot be used as a value, index it");
  if (value.type.prim == KRVK_STRUCT) {
    error_here("a struct (" + describe_value(value) + ") cannot be used as a value, access a field or copy it with '='");
  }
  const uint16_t reg = new_register();
  emit_load(value, reg);
  return krvk_register_value(value.type.prim, reg, static_cast<int32_t>(code_size() - 1));
}

uint16_t krvk_compiler::value_operand(const krvk_value& value) {
  const krvk_value decayed = decay_literal(value);
  if (decayed.is_constant()) return add_constant(decayed.type.prim, decayed.bits);
  if (decayed.kind == KRVK_VALUE_REGISTER) return decayed.reg;
  error_here("a " + describe_value(value) + " cannot be used as a value here");
}

krvk_value krvk_compiler::operand_value(uint16_t operand, uint8_t prim) {
  if (operand >= krvk_constant_operand_base) {
    const krvk_pool_entry& entry = pool_[operand - krvk_constant_operand_base];
    return krvk_typed_constant(entry.prim, entry.bits);
  }
  return krvk_register_value(prim, operand);
}

void krvk_compiler::move_to_register(const krvk_value& value, uint16_t reg, const krvk_type& target) {
  if (value.is_location() && value.array_count == 0 && value.type.prim == target.prim &&
      value.type.prim != KRVK_STRUCT && !target.is_pointer) {
    emit_load(value, reg);
    return;
  }
  const krvk_value converted = coerce(value, target);
  if (converted.is_constant()) {
    emit(KOP_MOV, reg, value_operand(converted));
    return;
  }
  if (converted.kind != KRVK_VALUE_REGISTER) error_here("a " + describe_value(converted) + " cannot be used as a value here");
  if (converted.reg == reg) return;
  // Only the instruction that produced this very value may be retargeted: comparing instruction
  // indexes (not just destination registers) keeps a local's defining instruction from being stolen.
  const uint32_t last = code_size() - 1;
  if (converted.produced && code_size() != 0 && converted.producer == static_cast<int32_t>(last)) {
    krvk_insn& insn = program_->code[last];
    if (krvk_opcode_signature(insn.op)[0] == 'D' && insn.a == converted.reg) {
      insn.a = reg;
      return;
    }
  }
  emit(KOP_MOV, reg, converted.reg);
}
