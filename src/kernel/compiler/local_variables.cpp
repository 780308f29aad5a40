// Local variable declarations, list initialisers and struct values.
//
// Scalars and pointers live in registers; arrays and struct values live in the per-work-item frame,
// 8-byte aligned, zero-filled at their declaration (unless a struct is copied in whole), within the
// 1 MiB limit. A variable's name becomes visible only after its initialiser, so `i32 x = x + 1;`
// reads an outer x.
#include "kernel/compiler/compiler_context.h"

namespace {

constexpr uint64_t kMaxLocalArrayCount = 1048576;

}  // namespace

krvk_type krvk_compiler::resolve_local_type(const krvk_type_syntax& syntax, uint32_t& element_size) {
  const uint8_t prim = krvk_prim_from_name(syntax.name);
  krvk_type type{prim, -1, syntax.is_pointer, static_cast<uint8_t>(syntax.is_const)};
  if (prim == KRVK_VOID) error_here(syntax.is_pointer ? "parameters cannot be void" : "variables cannot be void");
  if (prim == KRVK_BOOL && syntax.is_pointer) error_here("bool* is not supported (use u8*)");
  if (prim != KRVK_NO_TYPE) {
    element_size = static_cast<uint32_t>(krvk_prim_size(prim));
    return type;
  }
  const int32_t index = find_struct(syntax.name);
  if (index < 0) error_here("unknown type '" + syntax.name + "'");
  type.prim = KRVK_STRUCT;
  type.struct_index = index;
  element_size = struct_at(index).size;
  return type;
}

void krvk_compiler::compile_declaration(const krvk_stmt_node& stmt) {
  uint32_t element_size = 0;
  const krvk_type type = resolve_local_type(stmt.declaration->type, element_size);
  for (size_t i = 0; i < stmt.declaration->declarators.size(); ++i) declare_variable(stmt, i, type, element_size);
}

void krvk_compiler::declare_variable(const krvk_stmt_node& stmt, size_t index, const krvk_type& type,
                                     uint32_t element_size) {
  const krvk_declarator& declarator = stmt.declaration->declarators[index];
  const krvk_expr_node* init = declarator.initialiser.get();
  krvk_local local;
  local.name = declarator.name.text;
  local.type = type;
  if (const krvk_expr_node* size_expr = stmt.declaration->array_sizes[index].get()) {
    if (type.is_pointer) error_here("arrays of pointers are not supported");
    if (type.prim == KRVK_BOOL) error_here("bool arrays are not supported (use u8)");
    local.array_count = eval_array_size(*size_expr, kMaxLocalArrayCount);
  }
  if (local.array_count != 0 || (type.prim == KRVK_STRUCT && !type.is_pointer)) {
    const uint64_t size = uint64_t{element_size} * (local.array_count == 0 ? 1 : local.array_count);
    local.in_frame = 1;
    local.element_size = element_size;
    local.frame_offset = allocate_frame(size, stmt.position);
    const krvk_value storage = frame_value(type, local.frame_offset, local.array_count, element_size);
    const bool copied_whole = local.array_count == 0 && init != nullptr && init->kind != KRVK_EXPR_LIST;
    if (!copied_whole) emit(KOP_ZERO, location_address(storage), 0, 0, size);
    if (init != nullptr) init_memory(storage, *init);
  } else {
    if (init != nullptr && init->kind == KRVK_EXPR_LIST) {
      error(init->position, "a {...} list initializes arrays, structs and vectors, not a " + type_text(type));
    }
    local.element_size = element_size;
    if (!type.is_pointer) {
      local.reg = new_register();
      if (init == nullptr) {
        emit(KOP_MOV, local.reg, add_constant(type.prim, 0));
      } else {
        const krvk_value value = compile_expression(*init);
        krvk_node_scope at(*this, init->position);
        move_to_register(value, local.reg, type);
      }
    } else {
      if (init == nullptr) {
        error_here("pointer variables must be initialized ('" + type_text(type) + " " + local.name + " = p;')");
      }
      const krvk_value value = compile_expression(*init);
      krvk_node_scope at(*this, init->position);
      const krvk_value pointer = coerce(value, type);
      local.slot = pointer.slot;
      local.reg = new_register();
      emit(KOP_MOV, local.reg, pointer.index != krvk_no_operand ? pointer.index : add_constant(KRVK_I64, 0));
    }
  }
  check_local_name(declarator.name);
  add_local(std::move(local));
}

void krvk_compiler::init_memory(const krvk_value& destination, const krvk_expr_node& init) {
  krvk_node_scope at(*this, init.position);
  if (init.kind != KRVK_EXPR_LIST) {
    if (destination.array_count != 0) error_here("arrays are initialized with a list ('{1, 2, 3}')");
    const krvk_value value = compile_expression(init);
    if (destination.type.prim == KRVK_STRUCT) {
      copy_struct(destination, value);
    } else {
      emit_store(destination, value_operand(coerce(value, krvk_type{destination.type.prim, -1, 0, 0})));
    }
    return;
  }
  const size_t items = init.operands.size();
  if (destination.array_count != 0) {
    if (items > destination.array_count) {
      error(init.operands[destination.array_count]->position,
            "too many values for an array of " + std::to_string(destination.array_count));
    }
    for (size_t i = 0; i < items; ++i) {
      krvk_value element = destination;
      element.byte_offset += i * destination.element_size;
      element.array_count = 0;
      init_memory(element, *init.operands[i]);
    }
    return;
  }
  if (destination.type.prim != KRVK_STRUCT) {
    error_here("a {...} list initializes arrays, structs and vectors, not a " + type_text(destination.type));
  }
  const std::vector<krvk_field>& fields = struct_at(destination.type.struct_index).fields;
  if (items > fields.size()) {
    error(init.operands[fields.size()]->position, "too many values for '" + struct_at(destination.type.struct_index).name +
                                                      "' (" + std::to_string(fields.size()) + " fields)");
  }
  for (size_t i = 0; i < items; ++i) {
    // The struct list may not grow while a field reference is held; copy what is needed.
    const krvk_field field = struct_at(destination.type.struct_index).fields[i];
    init_memory(field_location(destination, field), *init.operands[i]);
  }
}

krvk_value krvk_compiler::materialise_struct(const krvk_type& type, const krvk_expr_node& expr) {
  krvk_node_scope at(*this, expr.position);
  if (expr.kind == KRVK_EXPR_LIST) {
    const uint32_t size = struct_at(type.struct_index).size;
    const krvk_value storage = frame_value(krvk_type{KRVK_STRUCT, type.struct_index, 0, 0},
                                           allocate_frame(size, expr.position), 0, size);
    emit(KOP_ZERO, location_address(storage), 0, 0, size);
    init_memory(storage, expr);
    return storage;
  }
  const krvk_value value = compile_expression(expr);
  if (!is_struct_data(value) || value.type.struct_index != type.struct_index) {
    error_here("expected a " + type_text(type) + " but got a " + describe_value(value));
  }
  return value;
}
