#include "kernel/compiler/struct_types.h"

int32_t krvk_find_struct_index(const std::vector<krvk_struct>& structs, std::string_view name) {
  for (size_t i = 0; i < structs.size(); ++i) {
    if (structs[i].name == name) return static_cast<int32_t>(i);
  }
  return -1;
}

std::string krvk_type_name(const std::vector<krvk_struct>& structs, const krvk_type& type) {
  std::string text = type.is_const ? "const " : "";
  if (type.prim != KRVK_STRUCT) {
    text += krvk_prim_name(type.prim);
  } else if (type.struct_index >= 0 && static_cast<size_t>(type.struct_index) < structs.size()) {
    text += structs[static_cast<size_t>(type.struct_index)].name;
  } else {
    text += "struct";
  }
  if (type.is_pointer) text += '*';
  return text;
}
