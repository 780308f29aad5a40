// Memory access: dereferencing and indexing pointers, indexing local and field arrays, field access
// with '.' and '->', addresses, whole-struct copies, and the choice of load and store opcodes.
//
// A pointer parameter's element is read with the element form, which carries a constant element offset
// (p[i + k]) in the instruction; the engine adds it to the index in 64 bits before the bounds check, so
// an index that would wrap in 32 bits is caught by the check instead of reading elsewhere. Fields of
// struct elements and frame values use the field form (base + index * stride + byte offset). Frame
// accesses never need a check: their offsets are fixed at compile time. Register indexes into local and
// field arrays are checked by CHKIDX, which is left out where the index type cannot reach the bound.
#include <bit>

#include "kernel/compiler/compiler_context.h"

namespace {

constexpr int64_t kFoldableElementOffset = int64_t{1} << 30;

uint16_t memory_opcode(uint8_t prim, uint16_t variant) {
  return krvk_memory_opcode(static_cast<uint16_t>(prim - KRVK_I8), variant);
}

// Access variants of the load opcodes; a store is the same variant plus kStoreOffset.
enum : uint16_t { kLoad = 0, kLoadUnchecked = 1, kLoadField = 2, kLoadFieldUnchecked = 3, kLoadRaw = 4, kStoreOffset = 5 };

// An integer literal without suffix, small enough to ride in the instruction as an element offset.
bool is_foldable_offset(const krvk_expr_node& node) {
  return node.kind == KRVK_EXPR_INT && !node.position.suffix_u &&
         node.position.int_value < static_cast<uint64_t>(kFoldableElementOffset);
}

}  // namespace

bool krvk_compiler::is_struct_data(const krvk_value& value) const {
  return value.is_location() && value.type.prim == KRVK_STRUCT && value.array_count == 0;
}

krvk_value krvk_compiler::deref(const krvk_value& pointer, uint16_t index) {
  krvk_value location;
  location.kind = KRVK_VALUE_SLOT_LOCATION;
  location.type = krvk_type{pointer.type.prim, pointer.type.struct_index, 0, 0};
  location.slot = pointer.slot;
  location.is_element = 1;
  location.read_only = pointer.type.is_const;
  location.element_size = pointer.type.prim == KRVK_STRUCT ? struct_at(pointer.type.struct_index).size
                                                           : static_cast<uint32_t>(krvk_prim_size(pointer.type.prim));
  if (index == krvk_no_operand) {
    location.index = pointer.index != krvk_no_operand ? pointer.index : add_constant(KRVK_I64, 0);
  } else if (pointer.index == krvk_no_operand) {
    location.index = index;
  } else {
    const uint16_t reg = new_register();
    emit(KOP_ADD_X64, reg, pointer.index, index);
    location.index = reg;
  }
  return location;
}

uint16_t krvk_compiler::index_register(const krvk_value& location) {
  if (location.element_offset == 0) return location.index;
  const uint16_t reg = new_register();
  emit(KOP_ADDI_X64, reg, location.index, 0, static_cast<uint64_t>(location.element_offset));
  return reg;
}

krvk_value krvk_compiler::address_of(const krvk_value& location) {
  if (location.kind == KRVK_VALUE_ADDRESS_LOCATION) return location;
  const uint16_t index = index_register(location);
  const uint16_t reg = new_register();
  const bool unchecked = unchecked_ || is_frame_slot(location.slot);
  emit(unchecked ? KOP_ADDRU : KOP_ADDR, reg, location.slot, index);
  krvk_value address = location;
  address.kind = KRVK_VALUE_ADDRESS_LOCATION;
  address.address = reg;
  address.element_offset = 0;
  return address;
}

uint16_t krvk_compiler::location_address(const krvk_value& location) {
  const krvk_value address = address_of(location);
  if (address.byte_offset == 0) return address.address;
  const uint16_t reg = new_register();
  emit(KOP_ADDI_X64, reg, address.address, 0, address.byte_offset);
  return reg;
}

krvk_value krvk_compiler::compile_index(const krvk_expr_node& expr) {
  const krvk_value base = compile_expression(*expr.operands[0]);
  if (base.is_pointer()) return index_pointer(base, *expr.operands[1]);
  if (base.is_location() && base.array_count != 0) return index_array(base, *expr.operands[1]);
  error_here("only pointers and array fields can be indexed, not a " + describe_value(base));
}

krvk_value krvk_compiler::index_pointer(const krvk_value& base, const krvk_expr_node& index_expr) {
  // p[i + k] and p[i - k]: the constant rides in the instruction as an element offset.
  int64_t element_offset = 0;
  krvk_value index;
  bool compiled = false;
  if (index_expr.kind == KRVK_EXPR_BINARY && (index_expr.op == "+" || index_expr.op == "-")) {
    const krvk_expr_node& left = *index_expr.operands[0];
    const krvk_expr_node& right = *index_expr.operands[1];
    const krvk_expr_node* other = nullptr;
    if (is_foldable_offset(right)) {
      element_offset = static_cast<int64_t>(right.position.int_value);
      if (index_expr.op == "-") element_offset = -element_offset;
      other = &left;
    } else if (index_expr.op == "+" && is_foldable_offset(left)) {
      element_offset = static_cast<int64_t>(left.position.int_value);
      other = &right;
    }
    if (other != nullptr) {
      index = load_value(compile_expression(*other));
      compiled = !index.is_constant();
      if (!compiled) element_offset = 0;
    }
  }
  if (!compiled) index = load_value(compile_expression(index_expr));
  krvk_node_scope at(*this, index_expr.position);
  uint16_t operand = krvk_no_operand;
  const bool is_int_constant = index.is_constant() && (index.literal == KRVK_INT_LITERAL ||
                                                       (index.literal == KRVK_TYPED && krvk_prim_is_integer(index.type.prim)));
  if (is_int_constant && (index.literal == KRVK_INT_LITERAL ? index.int_literal == 0 && !index.exceeds_i64 : index.bits == 0)) {
    operand = krvk_no_operand;
  } else if (index.literal == KRVK_INT_LITERAL && index.is_constant()) {
    if (index.exceeds_i64) error_here("index out of range");
    operand = add_constant(KRVK_I64, static_cast<uint64_t>(index.int_literal));
  } else if (index.literal == KRVK_TYPED && krvk_prim_is_integer(index.type.prim) &&
             (index.is_constant() || index.kind == KRVK_VALUE_REGISTER)) {
    operand = value_operand(index);
  } else {
    error_here("an index must be an integer but got a " + describe_value(index));
  }
  krvk_value location = deref(base, operand);
  location.element_offset = element_offset;
  if (location.type.prim == KRVK_STRUCT && element_offset != 0) {
    // Struct elements are read with the field forms, which take no element offset.
    const uint16_t reg = new_register();
    emit(KOP_ADDI_X64, reg, location.index, 0, static_cast<uint64_t>(element_offset));
    location.index = reg;
    location.element_offset = 0;
  }
  return location;
}

krvk_value krvk_compiler::index_array(const krvk_value& base, const krvk_expr_node& index_expr) {
  const krvk_value index = load_value(compile_expression(index_expr));
  krvk_node_scope at(*this, index_expr.position);
  const uint32_t count = base.array_count;
  const uint32_t element = base.element_size;
  if (index.is_constant()) {
    const bool integer = index.literal == KRVK_INT_LITERAL ||
                         (index.literal == KRVK_TYPED && krvk_prim_is_integer(index.type.prim));
    if (!integer) error_here("an index must be an integer");
    const bool is_unsigned = index.literal == KRVK_INT_LITERAL ? index.exceeds_i64 != 0
                                                               : !krvk_prim_is_signed_integer(index.type.prim);
    const uint64_t raw = index.literal == KRVK_INT_LITERAL ? static_cast<uint64_t>(index.int_literal) : index.bits;
    const bool inside = is_unsigned ? raw < count : static_cast<int64_t>(raw) >= 0 && static_cast<int64_t>(raw) < count;
    if (!inside) {
      const std::string text = is_unsigned ? std::to_string(raw) : std::to_string(static_cast<int64_t>(raw));
      error_here("array index " + text + " is out of bounds (array size " + std::to_string(count) + ")");
    }
    krvk_value element_location = base;
    element_location.byte_offset += raw * element;
    element_location.array_count = 0;
    element_location.is_element = 0;
    return element_location;
  }
  if (index.kind != KRVK_VALUE_REGISTER || !krvk_prim_is_integer(index.type.prim)) {
    error_here("an index must be an integer but got a " + describe_value(index));
  }
  krvk_value address = address_of(base);
  const uint8_t prim = index.type.prim;
  const bool index_cannot_reach = (prim == KRVK_U8 && count >= 256) || (prim == KRVK_U16 && count >= 65536);
  if (!unchecked_ && !index_cannot_reach) emit(KOP_CHKIDX, index.reg, 0, 0, count);
  const uint16_t scaled = new_register();
  if (element == 1) {
    emit(KOP_MOV, scaled, index.reg);
  } else if (std::has_single_bit(element)) {
    emit(KOP_SHL_X64, scaled, index.reg, add_constant(KRVK_I64, static_cast<uint64_t>(std::countr_zero(element))));
  } else {
    emit(KOP_MUL_X64, scaled, index.reg, add_constant(KRVK_I64, element));
  }
  const uint16_t moved = new_register();
  emit(KOP_ADD_X64, moved, address.address, scaled);
  address.address = moved;
  address.array_count = 0;
  address.is_element = 0;
  return address;
}

bool krvk_compiler::is_whole_element(const krvk_value& location) const {
  const auto size = static_cast<uint32_t>(krvk_prim_size(location.type.prim));
  return location.kind == KRVK_VALUE_SLOT_LOCATION && location.byte_offset == 0 && location.slot < slots_.size() &&
         slots_[location.slot].element_size == size;
}

krvk_memory_access krvk_compiler::access_form(const krvk_value& location) {
  if (location.kind == KRVK_VALUE_ADDRESS_LOCATION) return {kLoadRaw, location.address, 0, location.byte_offset};
  const bool unchecked = unchecked_ || is_frame_slot(location.slot);
  if (is_whole_element(location)) {
    return {unchecked ? kLoadUnchecked : kLoad, location.slot, location.index, static_cast<uint64_t>(location.element_offset)};
  }
  const uint16_t index = index_register(location);
  return {unchecked ? kLoadFieldUnchecked : kLoadField, location.slot, index, location.byte_offset};
}

void krvk_compiler::emit_load(const krvk_value& location, uint16_t destination) {
  const krvk_memory_access access = access_form(location);
  emit(memory_opcode(location.type.prim, access.variant), destination, access.b, access.c, access.x);
}

void krvk_compiler::emit_store(const krvk_value& location, uint16_t operand) {
  const krvk_memory_access access = access_form(location);
  emit(memory_opcode(location.type.prim, kStoreOffset + access.variant), operand, access.b, access.c, access.x);
}

krvk_value krvk_compiler::field_location(const krvk_value& object, const krvk_field& field) {
  krvk_value location = object;
  location.byte_offset += field.offset;
  location.type = krvk_type{field.prim, field.struct_index, 0, 0};
  location.array_count = field.array_count;
  location.element_size = field.element_size;
  location.is_element = 0;
  return location;
}

krvk_value krvk_compiler::compile_field(const krvk_expr_node& expr) {
  krvk_value object = compile_expression(*expr.operands[0]);
  const std::string& name = expr.name;
  if (expr.kind == KRVK_EXPR_FIELD && object.is_pointer()) {
    error_here("use '->' to access a field through a pointer ('p->" + name + "' or 'p[i]." + name + "')");
  }
  if (expr.kind == KRVK_EXPR_ARROW) {
    if (!object.is_pointer()) error_here("'->' needs a pointer to a struct");
    object = deref(object, krvk_no_operand);
  }
  if (!is_struct_data(object)) error_here("'." + name + "' needs a struct");
  const krvk_struct& type = struct_at(object.type.struct_index);
  for (const krvk_field& field : type.fields) {
    if (field.name == name) return field_location(object, field);
  }
  error_here("struct '" + type.name + "' has no field '" + name + "'");
}

void krvk_compiler::copy_struct(const krvk_value& destination, const krvk_value& source) {
  if (!is_struct_data(source) || source.type.struct_index != destination.type.struct_index) {
    error_here("expected a " + type_text(destination.type) + " but got a " + describe_value(source));
  }
  const uint16_t to = location_address(destination);
  const uint16_t from = location_address(source);
  emit(KOP_COPY, to, from, 0, struct_at(destination.type.struct_index).size);
}
