// What the checker knows about the value of one expression.
//
// The checker type-checks and emits in one pass, so an expression compiles straight to a description of
// where its value is: a compile-time constant (an untyped literal or typed bits), a register, a pointer
// (a pointer slot plus an optional register holding the element offset), or a memory location reached
// through a pointer slot or through an address register. Locations are not loaded until a value is
// needed, so `p[i].f = v`, `&p[i]` and whole-struct copies can use the location itself.
#pragma once
#include <cstdint>

#include "kernel/compiler/types.h"

enum krvk_value_kind : uint32_t {
  KRVK_VALUE_CONSTANT = 1,
  KRVK_VALUE_REGISTER = 2,
  KRVK_VALUE_POINTER = 3,
  KRVK_VALUE_SLOT_LOCATION = 4,  // memory through a pointer slot: slot, index operand, offsets
  KRVK_VALUE_ADDRESS_LOCATION = 5,  // memory through an address register plus a byte offset
};

enum krvk_literal_class : uint8_t {
  KRVK_TYPED = 0,
  KRVK_INT_LITERAL = 1,  // untyped integer literal: takes the type its use asks for
  KRVK_FLOAT_LITERAL = 2,  // untyped float literal (a double until it meets a type)
};

// Operand field value meaning "no register" (pointer without offset register, location without index).
inline constexpr uint16_t krvk_no_operand = 65535;
// Register operands from here up name entries of the constant pool while a kernel is being emitted.
inline constexpr uint16_t krvk_constant_operand_base = 32768;

struct krvk_value {
  uint32_t kind = KRVK_VALUE_CONSTANT;  // a krvk_value_kind
  // Pointers (kind 3) carry is_pointer and the pointee's prim and struct index; locations the stored type.
  krvk_type type;
  uint8_t literal = KRVK_TYPED;  // a krvk_literal_class
  int64_t int_literal = 0;  // untyped integer literal (its 64-bit pattern when exceeds_i64)
  uint8_t exceeds_i64 = 0;  // the integer literal is above 2^63 - 1
  double float_literal = 0;  // untyped float literal
  uint64_t bits = 0;  // typed constant in register form
  uint16_t reg = 0;  // kind 2
  uint8_t produced = 0;  // kind 2: `producer` wrote the register, so a move may retarget it
  int32_t producer = -1;  // index of the producing instruction, -1 none
  uint16_t slot = 0;  // kinds 3 and 4
  uint16_t index = krvk_no_operand;  // kind 3: element offset register; kind 4: element index operand
  uint64_t byte_offset = 0;  // kinds 4 and 5: bytes added inside the element (field offsets)
  uint32_t array_count = 0;  // kinds 4 and 5: the location is an array of this many elements
  uint32_t element_size = 0;  // size of one element of an array location (the value's size otherwise)
  int64_t element_offset = 0;  // kind 4: constant added to the index (p[i + k])
  uint8_t is_element = 0;  // reached by indexing or `*`, so `&` may take its address
  uint8_t read_only = 0;  // reached through a const pointer
  uint16_t address = 0;  // kind 5: the address register

  bool is_constant() const { return kind == KRVK_VALUE_CONSTANT; }
  bool is_untyped_literal() const { return kind == KRVK_VALUE_CONSTANT && literal != KRVK_TYPED; }
  bool is_location() const { return kind == KRVK_VALUE_SLOT_LOCATION || kind == KRVK_VALUE_ADDRESS_LOCATION; }
  bool is_pointer() const { return kind == KRVK_VALUE_POINTER; }
};

inline krvk_value krvk_typed_constant(uint8_t prim, uint64_t bits) {
  krvk_value value;
  value.type.prim = prim;
  value.bits = bits;
  return value;
}

inline krvk_value krvk_int_literal(int64_t v, bool exceeds_i64 = false) {
  krvk_value value;
  value.literal = KRVK_INT_LITERAL;
  value.int_literal = v;
  value.exceeds_i64 = exceeds_i64 ? 1 : 0;
  return value;
}

inline krvk_value krvk_float_literal(double v) {
  krvk_value value;
  value.literal = KRVK_FLOAT_LITERAL;
  value.float_literal = v;
  return value;
}

inline krvk_value krvk_register_value(uint8_t prim, uint16_t reg, int32_t producer = -1) {
  krvk_value value;
  value.kind = KRVK_VALUE_REGISTER;
  value.type.prim = prim;
  value.reg = reg;
  value.produced = producer >= 0 ? 1 : 0;
  value.producer = producer;
  return value;
}
