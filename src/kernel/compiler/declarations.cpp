// Declarations of a compilation in source order: the name check over every declaration, struct types
// (user structs with packed layouts and the builtin vector structs made on first use), kernel constants,
// and the functions (inline helpers checked on their own, entry kernels compiled into programs).
#include <algorithm>
#include <set>

#include "kernel/compiler/compiler_context.h"

namespace {

constexpr uint64_t kStructSizeLimit = 268435456;  // 256 MiB
constexpr uint64_t kMaxArrayCount = 0xFFFFFF;
constexpr size_t kVectorStructCount = 30;  // ten element types times the lane counts 2, 3 and 4
// Deepest nesting of struct types (a struct holding a struct holding ...). Everything that takes a struct
// apart walks this nesting recursively, so it is bounded like the nesting of code.
constexpr uint32_t kMaxStructNesting = 500;

const krvk_token& declaration_name(const krvk_syntax_unit& syntax, const krvk_decl_ref& ref) {
  switch (ref.kind) {
    case KRVK_DECL_STRUCT: return syntax.structs[ref.index].name;
    case KRVK_DECL_CONST: return syntax.constants[ref.index].name;
    default: return syntax.functions[ref.index].name;
  }
}

}  // namespace

void krvk_compiler::compile_unit() {
  // Builtin vectors appended later must never move the list while references into it are held.
  unit_->structs.reserve(unit_->structs.size() + syntax_->structs.size() + kVectorStructCount);
  check_declaration_names();
  for (const krvk_decl_ref& ref : syntax_->declaration_order) {
    if (ref.kind == KRVK_DECL_STRUCT) declare_struct(syntax_->structs[ref.index]);
    if (ref.kind == KRVK_DECL_CONST) declare_const(syntax_->constants[ref.index]);
  }
  for (const krvk_func_decl& function : syntax_->functions) functions_.emplace(function.name.text, &function);
  for (const krvk_func_decl& function : syntax_->functions) {
    // Functions of imported sources belong to their own units; their helpers stay callable from here.
    if (function.from_import) continue;
    if (function.is_inline) {
      check_helper(function);
    } else {
      unit_->kernels.push_back(compile_kernel(function));
    }
  }
}

void krvk_compiler::check_declaration_names() {
  std::set<std::string, std::less<>> seen;
  for (const krvk_decl_ref& ref : syntax_->declaration_order) {
    const krvk_token& name = declaration_name(*syntax_, ref);
    if (krvk_is_reserved_word(name.text)) error(name, "'" + name.text + "' is a reserved word");
    if (!seen.insert(name.text).second) {
      error(name, "'" + name.text + "' is already declared in this kernel source");
    }
  }
}

int32_t krvk_compiler::find_struct(std::string_view name) {
  const int32_t found = krvk_find_struct_index(unit_->structs, name);
  if (found >= 0) return found;
  uint8_t scalar = 0;
  uint8_t lanes = 0;
  if (!krvk_parse_vector_type(name, scalar, lanes)) return -1;
  krvk_struct vector;
  vector.name = std::string(name);
  const auto size = static_cast<uint32_t>(krvk_prim_size(scalar));
  static constexpr const char* lane_names[] = {"x", "y", "z", "w"};
  for (uint32_t lane = 0; lane < lanes; ++lane) {
    vector.fields.push_back(krvk_field{lane_names[lane], scalar, -1, 0, lane * size, size});
  }
  vector.size = lanes * size;
  vector.source_file = "<builtin>";
  vector.line = 0;
  vector.vector_prim = scalar;
  vector.vector_lanes = lanes;
  unit_->structs.push_back(std::move(vector));
  return static_cast<int32_t>(unit_->structs.size() - 1);
}

void krvk_compiler::declare_struct(const krvk_struct_decl& decl) {
  krvk_struct record;
  record.name = decl.name.text;
  record.source_file = decl.name.file_index < map_->file_names.size() ? map_->file_names[decl.name.file_index] : "";
  record.line = decl.name.line;
  uint64_t offset = 0;
  uint32_t nesting = 1;
  for (const krvk_var_decl& field_decl : decl.fields) {
    const krvk_token& name = field_decl.name;
    if (krvk_is_reserved_word(name.text)) error(name, "'" + name.text + "' is a reserved word");
    for (const krvk_field& existing : record.fields) {
      if (existing.name == name.text) error(name, "duplicate field '" + name.text + "'");
    }
    const krvk_type_syntax& type = field_decl.type;
    if (type.is_pointer) error(type.position, "struct fields cannot be pointers");
    krvk_field field;
    field.name = name.text;
    const uint8_t prim = krvk_prim_from_name(type.name);
    if (prim == KRVK_VOID || prim == KRVK_BOOL) {
      error(type.position, "struct fields cannot be " + type.name + " (use u8 for flags)");
    } else if (prim != KRVK_NO_TYPE) {
      field.prim = prim;
      field.element_size = static_cast<uint32_t>(krvk_prim_size(prim));
    } else {
      const int32_t index = find_struct(type.name);
      if (index < 0) error(type.position, "struct '" + type.name + "' must be declared before it is used as a field type");
      field.prim = KRVK_STRUCT;
      field.struct_index = index;
      field.element_size = struct_at(index).size;
      nesting = std::max(nesting, struct_nesting(index) + 1);
      if (nesting > kMaxStructNesting) {
        error(type.position, "struct '" + record.name + "' is nested too deeply (more than " +
                                 std::to_string(kMaxStructNesting) + " levels)");
      }
    }
    if (field_decl.value) field.array_count = eval_array_size(*field_decl.value, kMaxArrayCount);
    const uint64_t bytes = uint64_t{field.element_size} * (field.array_count == 0 ? 1 : field.array_count);
    if (offset + bytes > kStructSizeLimit) {
      error(name, "struct '" + record.name + "' is too large (more than 256 MiB)");
    }
    field.offset = static_cast<uint32_t>(offset);
    offset += bytes;
    record.fields.push_back(std::move(field));
  }
  if (record.fields.empty()) error(decl.name, "struct '" + record.name + "' has no fields");
  record.size = static_cast<uint32_t>(offset);
  unit_->structs.push_back(std::move(record));
  struct_nesting_.resize(unit_->structs.size(), 1);
  struct_nesting_.back() = nesting;
}

uint32_t krvk_compiler::struct_nesting(int32_t index) const {
  const auto at = static_cast<size_t>(index);
  return at < struct_nesting_.size() ? struct_nesting_[at] : 1;  // builtin vectors made after it: 1
}

void krvk_compiler::declare_const(const krvk_var_decl& decl) {
  if (decl.type.is_pointer) error(decl.type.position, "kernel constants cannot be pointers");
  const uint8_t prim = krvk_prim_from_name(decl.type.name);
  if (prim == KRVK_NO_TYPE || prim == KRVK_VOID) {
    error(decl.type.position, "kernel constants must have a number or bool type");
  }
  const krvk_value value = eval_const(*decl.value);
  krvk_node_scope at(*this, decl.value->position);
  const krvk_value typed = coerce(value, krvk_type{prim, -1, 0, 0});
  unit_->constants.push_back(krvk_kernel_constant{decl.name.text, prim, typed.bits});
}

const krvk_kernel_constant* krvk_compiler::find_constant(std::string_view name) const {
  for (const krvk_kernel_constant& constant : unit_->constants) {
    if (constant.name == name) return &constant;
  }
  return nullptr;
}
