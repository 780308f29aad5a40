// Assignment, compound assignment and ++/--. Registers of scalar locals are written directly; pointer
// variables only move their element offset within the slot they were initialised with; everything
// else is stored data, which must be writable, not a whole array, and not behind a const pointer.
#include "kernel/compiler/compiler_context.h"

namespace {

constexpr const char* kLaunchBuiltinNames[] = {"gid", "gsize", "gid_x", "gid_y", "gsize_x", "gsize_y"};

}  // namespace

const krvk_local* krvk_compiler::assignment_local(const krvk_expr_node& target) {
  if (target.kind != KRVK_EXPR_NAME) return nullptr;
  const std::string& name = target.name;
  if (const krvk_local* local = find_local(name)) {
    if (local->is_parameter) {
      error_here("kernel parameters are read only, copy '" + name + "' into a local variable first");
    }
    return local->in_frame ? nullptr : local;
  }
  for (const char* builtin : kLaunchBuiltinNames) {
    if (name == builtin) error_here("'" + name + "' is read only");
  }
  if (find_constant(name) != nullptr) error_here("'" + name + "' is a constant");
  error_here("unknown name '" + name + "'");
}

krvk_value krvk_compiler::writable_location(const krvk_expr_node& target) {
  const krvk_value location = compile_expression(target);
  if (!location.is_location()) error_here("cannot assign to this expression");
  if (location.array_count != 0) error_here("cannot assign to an array, assign its elements");
  if (location.read_only) error_here("cannot write through a const pointer");
  return location;
}

krvk_value krvk_compiler::compile_operand(const krvk_expr_node* rhs) {
  if (rhs == nullptr) return krvk_int_literal(1);  // x++ and x-- add or subtract the literal 1
  return compile_expression(*rhs);
}

void krvk_compiler::assign_pointer_variable(const krvk_local& local, const krvk_value& value) {
  const krvk_value pointer = coerce(value, local.type);
  if (pointer.slot != local.slot) {
    const std::string owner = local.slot < slots_.size() ? slots_[local.slot].owner : "?";
    error_here("pointer variable '" + local.name + "' points into '" + owner + "' and cannot be set to another parameter");
  }
  emit(KOP_MOV, local.reg, pointer.index != krvk_no_operand ? pointer.index : add_constant(KRVK_I64, 0));
}

void krvk_compiler::compile_assignment(const krvk_stmt_node& stmt) {
  const krvk_expr_node& target = *stmt.expr1;
  if (const krvk_local* local = assignment_local(target)) {
    const krvk_local variable = *local;
    const krvk_value value = compile_expression(*stmt.expr2);
    krvk_node_scope at(*this, stmt.expr2->position);
    if (variable.type.is_pointer) {
      assign_pointer_variable(variable, value);
    } else {
      move_to_register(value, variable.reg, variable.type);
    }
    return;
  }
  const krvk_value location = writable_location(target);
  const krvk_value value = compile_expression(*stmt.expr2);
  krvk_node_scope at(*this, stmt.expr2->position);
  if (location.type.prim == KRVK_STRUCT) {
    copy_struct(location, value);
  } else {
    emit_store(location, value_operand(coerce(value, krvk_type{location.type.prim, -1, 0, 0})));
  }
}

void krvk_compiler::compile_compound(const krvk_stmt_node& stmt, const std::string& op, const krvk_expr_node* rhs) {
  const krvk_expr_node& target = *stmt.expr1;
  if (const krvk_local* local = assignment_local(target)) {
    const krvk_local variable = *local;
    if (variable.type.is_pointer) {
      if (op != "+" && op != "-") error_here("only += and -= (and ++ / --) are defined for pointers");
      krvk_value pointer;
      pointer.kind = KRVK_VALUE_POINTER;
      pointer.type = variable.type;
      pointer.slot = variable.slot;
      pointer.index = variable.reg;
      const krvk_value moved = pointer_offset(pointer, compile_operand(rhs), op == "-");
      if (moved.index == variable.reg) return;
      krvk_insn& last = program_->code.back();
      if (krvk_opcode_signature(last.op)[0] == 'D' && last.a == moved.index) {
        last.a = variable.reg;
      } else {
        emit(KOP_MOV, variable.reg, moved.index);
      }
      return;
    }
    const krvk_value result = binary_op(op, krvk_register_value(variable.type.prim, variable.reg), compile_operand(rhs));
    move_to_register(result, variable.reg, variable.type);
    return;
  }
  const krvk_value location = writable_location(target);
  if (location.type.prim == KRVK_STRUCT) {
    if (!is_vector(location)) error_here("'" + op + "=' is not defined for structs");
    const krvk_value result = vector_binary(op, location, compile_operand(rhs));
    if (result.type != location.type) {
      const std::string target_text = type_text(location.type);
      error_here("the result is a " + describe_value(result) + ", not a " + describe_value(location) + " (write v = " +
                 target_text + "(v " + op + " ...))");
    }
    copy_struct(location, result);
    return;
  }
  const krvk_value current = load_value(location);
  const krvk_value result = binary_op(op, current, compile_operand(rhs));
  emit_store(location, value_operand(coerce(result, krvk_type{location.type.prim, -1, 0, 0})));
}
