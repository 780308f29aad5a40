// The type codes of a value cell and their names.
//
// Codes below KRVVAR_PRIMITIVE_END are the simple types: the payload is the value itself and a change
// between two of them happens in place. Codes between KRVVAR_PRIMITIVE_END and KRVVAR_OBJECTS_END hold a
// strong reference to a storage or script object directly. The two end markers are never stored.
// Codes from KRVVAR_CLASS up point to a record (value_records.h), except KRVVAR_REF, which points to
// another cell.
#pragma once
#include <cstdint>
#include <string_view>

enum krvvar_type : uint8_t {
  KRVVAR_ERR = 0,
  KRVVAR_NONE = 1,
  KRVVAR_INT = 2,  // booleans too
  KRVVAR_FLOAT = 3,
  KRVVAR_PRIMITIVE_END = 4,
  KRVVAR_STRING = 5,
  KRVVAR_BUFFER = 6,
  KRVVAR_JSON = 7,
  KRVVAR_OBJECT = 8,
  KRVVAR_OBJECTS_END = 9,
  KRVVAR_CLASS = 10,
  KRVVAR_CLASS_DEF = 11,
  KRVVAR_FUNCTION = 12,
  KRVVAR_EXT_FUNCTION = 13,
  KRVVAR_OBJECT_MEMBER_LITERAL = 14,
  KRVVAR_OBJECT_MEMBER_INDEX = 15,
  KRVVAR_OBJECT_MEMBER_VAR = 16,
  KRVVAR_REF = 17,
};

inline constexpr uint8_t krvvar_type_count = 18;

// The name of a type code as messages print it; codes past the table have no name (empty).
constexpr std::string_view krvvar_type_name(uint8_t type) noexcept {
  constexpr std::string_view names[krvvar_type_count] = {
      "error",  "none",      "int",       "float",    "primitive_end",         "string",
      "binary", "json",      "object",    "objects_end", "class",              "class_def",
      "function", "ext_function", "object_member_literal", "object_member_index", "object_member_var", "ref"};
  return type < krvvar_type_count ? names[type] : std::string_view{};
}

constexpr bool krvvar_is_simple(uint8_t type) noexcept { return type < KRVVAR_PRIMITIVE_END; }
// Strings, buffers and containers keep their object's reference block in the payload itself.
constexpr bool krvvar_payload_is_block(uint8_t type) noexcept {
  return type > KRVVAR_PRIMITIVE_END && type < KRVVAR_OBJECT;
}
constexpr bool krvvar_is_member_ref(uint8_t type) noexcept {
  return type >= KRVVAR_OBJECT_MEMBER_LITERAL && type <= KRVVAR_OBJECT_MEMBER_VAR;
}
