// The scalar types of the kernel language and the type descriptor of values, parameters and results.
//
// A `krvk_prim` is one byte. Codes 2..9 are the integer types (even signed, odd unsigned), 10 and 11 the
// float types; 12 marks a struct-typed value whose layout is found through `krvk_type::struct_index`.
// `KRVK_NO_TYPE` (13) is what a name lookup yields for a word that names no scalar type. Every table here
// is indexed by code, and every lookup answers codes outside the table with "?", 0 or false instead of
// failing, because codes also arrive from script values and buffers.
//
// Vector types (f32x4, u8x3, ...) are builtin structs whose names are derived from the scalar names; the
// reserved-word test and the vector-name parser live here because both depend on the same name table.
#pragma once
#include <cstdint>
#include <string_view>

enum krvk_prim : uint8_t {
  KRVK_VOID = 0,
  KRVK_BOOL = 1,
  KRVK_I8 = 2,
  KRVK_U8 = 3,
  KRVK_I16 = 4,
  KRVK_U16 = 5,
  KRVK_I32 = 6,
  KRVK_U32 = 7,
  KRVK_I64 = 8,
  KRVK_U64 = 9,
  KRVK_F32 = 10,
  KRVK_F64 = 11,
  KRVK_STRUCT = 12,
  KRVK_NO_TYPE = 13,  // not a type: the answer of a lookup of a word that names no scalar type
};

// Reduction operators of `reduce(...)` clauses; code 0 means the kernel does not reduce.
enum krvk_reduce_op : uint8_t {
  KRVK_REDUCE_NONE = 0,
  KRVK_REDUCE_ADD = 1,
  KRVK_REDUCE_MIN = 2,
  KRVK_REDUCE_MAX = 3,
  KRVK_REDUCE_AND = 4,
  KRVK_REDUCE_OR = 5,
  KRVK_REDUCE_XOR = 6,
};

// Type of a value, parameter or result.
struct krvk_type {
  uint8_t prim = KRVK_VOID;  // a krvk_prim code
  int32_t struct_index = -1;  // index into the unit's struct list when prim is KRVK_STRUCT, else -1
  uint8_t is_pointer = 0;
  uint8_t is_const = 0;  // only meaningful on pointers: the pointed-to memory is read-only

  friend bool operator==(const krvk_type&, const krvk_type&) = default;
};

// Name of a code ("void" .. "struct"); "?" for 13 and above.
const char* krvk_prim_name(uint8_t code) noexcept;
// Byte size of a scalar type; 0 for void, struct and every code that is no scalar type.
int32_t krvk_prim_size(uint8_t code) noexcept;
bool krvk_prim_is_float(uint8_t code) noexcept;
inline bool krvk_prim_is_integer(uint8_t code) noexcept { return code >= KRVK_I8 && code <= KRVK_U64; }
inline bool krvk_prim_is_signed_integer(uint8_t code) noexcept {
  return krvk_prim_is_integer(code) && code % 2 == 0;
}
// Operator text ("" for none, "+", "min", ...); "?" for codes above 6.
const char* krvk_reduce_op_name(uint8_t code) noexcept;

// Code of one of the exact, case-sensitive names "void" .. "f64"; KRVK_NO_TYPE for anything else,
// "struct" included (a struct is never named by that word alone).
uint8_t krvk_prim_from_name(std::string_view name);

// Recognises a vector type name: a scalar number type name, the letter x and one lane digit 2..4.
bool krvk_parse_vector_type(std::string_view name, uint8_t& scalar, uint8_t& lanes);

// True for the language's keywords and builtin names, every scalar type name and every vector type name.
bool krvk_is_reserved_word(std::string_view word);
