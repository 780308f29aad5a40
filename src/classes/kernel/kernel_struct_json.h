// Kernel structs seen from script: field paths ('pos.x', 'm[2]', 'm[2]x'), and whole structs to and from
// json objects. Layout is the kernel language's: fields packed in declaration order, little-endian.
//
// Callers check that the whole struct lies inside the memory; these functions check nothing per element.
#pragma once
#include <cstdint>
#include <string>

#include "kernel/compiler/program.h"
#include "runtime/base/krvvar_shared.h"

// What a field path names inside a struct.
struct krv_kernel_field_ref {
  uint32_t offset = 0;  // bytes from the start of the struct
  uint8_t prim = KRVK_STRUCT;  // a number type, or KRVK_STRUCT
  int32_t struct_index = -1;  // the struct type when prim is KRVK_STRUCT
  uint32_t array_count = 0;  // 0: a single item, not an array
  uint32_t element_size = 0;  // bytes of one element
};

// Resolves `path` inside struct `index` of `unit`; false with the message in `error`. Array indexes are
// read saturating, so an index too large for any integer fails with the bounds message.
bool krv_kernel_struct_resolve_path(const krvk_compiled_unit& unit, int32_t index, const std::string& path,
                                    krv_kernel_field_ref& out, std::string& error);

// The struct `index` at `address` as a new json object, fields in declaration order.
krvvar_shared krv_kernel_struct_to_json(const krvk_compiled_unit& unit, int32_t index, const uint8_t* address);

// Writes the members of the json `value` into the struct at `address`; missing members keep their bytes.
// Stops at the first failure, keeping what was written before it.
bool krv_kernel_json_to_struct(const krvk_compiled_unit& unit, int32_t index, uint8_t* address, krvvar* value,
                               std::string& error);

// Writes one element of `field` at `address` from `value` (REF links followed).
bool krv_kernel_json_to_field(const krvk_field& field, const krvk_compiled_unit& unit, uint8_t* address,
                              krvvar* value, std::string& error);
