// Struct types of a compilation: user structs and the builtin vector structs, with their packed field
// layouts. The unit's struct list is indexed by `krvk_type::struct_index`; a field that is itself a struct
// refers to another entry of the same list. Layouts are packed (no padding), so a field's offset is the
// sum of the sizes before it and the struct's size is the sum of all field sizes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/types.h"

struct krvk_field {
  std::string name;
  uint8_t prim = KRVK_VOID;  // KRVK_STRUCT for a struct-typed field
  int32_t struct_index = -1;  // the field's struct type when prim is KRVK_STRUCT, else -1
  uint32_t array_count = 0;  // 0: not an array
  uint32_t offset = 0;  // byte offset within the struct
  uint32_t element_size = 0;  // size of one element (the whole field when it is no array)

  uint32_t total_size() const { return array_count == 0 ? element_size : element_size * array_count; }
};

struct krvk_struct {
  std::string name;
  std::vector<krvk_field> fields;
  uint32_t size = 0;  // total bytes, fields packed
  std::string source_file;  // "<builtin>" for a vector struct
  uint32_t line = 0;  // declaration line; 0 for a vector struct
  uint8_t vector_prim = KRVK_VOID;  // lane type of a vector struct; 0 for user structs
  uint8_t vector_lanes = 0;  // 2..4 for a vector struct; 0 for user structs
};

// Index of the first struct of that name, by a linear search in list order; -1 when there is none.
int32_t krvk_find_struct_index(const std::vector<krvk_struct>& structs, std::string_view name);

// Text form of a type: "const " for const pointers, the scalar or struct name, "*" for pointers
// ("const u8*", "f32", "P*"). A struct index outside the list prints "struct".
std::string krvk_type_name(const std::vector<krvk_struct>& structs, const krvk_type& type);
