#include "classes/kernel/kernel_struct_json.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_memory_access.h"
#include "runtime/storage/json_object.h"

namespace {

// The number between '[' and ']' read as atoll reads it (blanks, a sign, digits up to the first other
// character, none giving 0), but saturating at the 64-bit limits instead of overflowing.
int64_t read_index(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  uint64_t magnitude = 0;
  constexpr uint64_t cap = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<uint64_t>(text[at] - '0');
    magnitude = magnitude > (cap - digit) / 10 ? cap : magnitude * 10 + digit;
  }
  if (negative) return magnitude >= cap ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
  return static_cast<int64_t>(std::min(magnitude, cap - 1));
}

krvvar_shared element_to_value(const krvk_compiled_unit& unit, const krvk_field& field, const uint8_t* address) {
  if (field.prim == KRVK_STRUCT) return krv_kernel_struct_to_json(unit, field.struct_index, address);
  return krv_kernel_read_scalar(address, field.prim);
}

}  // namespace

bool krv_kernel_struct_resolve_path(const krvk_compiled_unit& unit, int32_t index, const std::string& path,
                                    krv_kernel_field_ref& out, std::string& error) {
  out = {};
  out.struct_index = index;
  out.element_size = unit.structs[static_cast<size_t>(index)].size;
  size_t at = 0;
  while (at < path.size()) {
    if (path[at] == '.') {
      ++at;
      continue;
    }
    if (path[at] == '[') {
      const size_t close = path.find(']', at + 1);
      if (out.array_count == 0 || close == std::string::npos) {
        error = "invalid field path '" + path + "'";
        return false;
      }
      const int64_t element = read_index(std::string_view(path).substr(at + 1, close - at - 1));
      if (element < 0 || static_cast<uint64_t>(element) >= out.array_count) {
        error = "array index " + std::to_string(element) + " is out of bounds in '" + path + "'";
        return false;
      }
      out.offset += static_cast<uint32_t>(element) * out.element_size;
      out.array_count = 0;
      at = close + 1;
      continue;
    }
    const size_t end = path.find_first_of(".[", at);
    const std::string name = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (out.prim != KRVK_STRUCT || out.array_count != 0) {
      error = "'" + name + "' in '" + path + "' is not a struct field";
      return false;
    }
    const krvk_struct& record = unit.structs[static_cast<size_t>(out.struct_index)];
    const krvk_field* found = nullptr;
    for (const krvk_field& field : record.fields) {
      if (field.name == name) {
        found = &field;
        break;
      }
    }
    if (found == nullptr) {
      error = "struct '" + record.name + "' has no field '" + name + "'";
      return false;
    }
    out.offset += found->offset;
    out.prim = found->prim;
    out.struct_index = found->struct_index;
    out.array_count = found->array_count;
    out.element_size = found->element_size;
    at = end == std::string::npos ? path.size() : end;
  }
  return true;
}

krvvar_shared krv_kernel_struct_to_json(const krvk_compiled_unit& unit, int32_t index, const uint8_t* address) {
  krvvar_shared object = krvvar_shared::make_json();
  auto& members = *object->object_ptr<krv_std_json>();
  for (const krvk_field& field : unit.structs[static_cast<size_t>(index)].fields) {
    const uint8_t* start = address + field.offset;
    krvvar_shared value;
    if (field.array_count == 0) {
      value = element_to_value(unit, field, start);
    } else {
      value = krvvar_shared::make_json();
      for (uint32_t i = 0; i < field.array_count; ++i) {
        krvvar_shared element = element_to_value(unit, field, start + static_cast<uint64_t>(i) * field.element_size);
        value->object_ptr<krv_std_json>()->push_value(element);
      }
    }
    members.push_value(value, field.name);
  }
  return object;
}

bool krv_kernel_json_to_struct(const krvk_compiled_unit& unit, int32_t index, uint8_t* address, krvvar* value,
                               std::string& error) {
  auto* members = value->object_ptr<krv_std_json>();
  if (members == nullptr) return true;
  for (const krvk_field& field : unit.structs[static_cast<size_t>(index)].fields) {
    if (!members->has_key(field.name)) continue;
    krvvar_shared member = members->get_or_insert(field.name);
    uint8_t* start = address + field.offset;
    if (field.array_count == 0) {
      if (!krv_kernel_json_to_field(field, unit, start, member.get(), error)) return false;
      continue;
    }
    krvvar* list_value = krv_kernel_follow_refs(member.get());
    auto* list = list_value != nullptr && list_value->type == KRVVAR_JSON ? list_value->object_ptr<krv_std_json>()
                                                                           : nullptr;
    if (list == nullptr) {
      error = "field '" + field.name + "' expects a list";
      return false;
    }
    const int64_t count = std::min<int64_t>(field.array_count, list->size());
    for (int64_t i = 0; i < count; ++i) {
      krvvar_shared element = list->at(i);
      if (!krv_kernel_json_to_field(field, unit, start + static_cast<uint64_t>(i) * field.element_size, element.get(),
                                    error)) {
        return false;
      }
    }
  }
  return true;
}

bool krv_kernel_json_to_field(const krvk_field& field, const krvk_compiled_unit& unit, uint8_t* address,
                              krvvar* value, std::string& error) {
  value = krv_kernel_follow_refs(value);
  if (field.prim == KRVK_STRUCT) {
    if (value == nullptr || value->type != KRVVAR_JSON) {
      error = "field '" + field.name + "' expects a json object";
      return false;
    }
    return krv_kernel_json_to_struct(unit, field.struct_index, address, value, error);
  }
  uint64_t bits = 0;
  std::string reason;
  if (!krv_kernel_arg_scalar(value, field.prim, true, bits, reason)) {
    error = "field '" + field.name + "' " + reason;
    return false;
  }
  std::memcpy(address, &bits, static_cast<size_t>(krvk_prim_size(field.prim)));
  return true;
}
