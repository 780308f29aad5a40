// Statements of kernel and helper bodies: blocks and scopes, if/else, loops (every back edge is a LOOP,
// where the interpreters poll for an abort), break and continue, unchecked blocks, expression
// statements and return. Declarations and assignments have files of their own.
#include "kernel/compiler/compiler_context.h"

void krvk_compiler::compile_statement(const krvk_stmt_node& stmt) {
  krvk_node_scope at(*this, stmt.position);
  switch (stmt.kind) {
    case KRVK_STMT_BLOCK:
      open_scope();
      for (const krvk_stmt_ptr& inner : stmt.statements) compile_statement(*inner);
      close_scope();
      return;
    case KRVK_STMT_DECLARATION: return compile_declaration(stmt);
    case KRVK_STMT_ASSIGN:
      if (stmt.op == "=") return compile_assignment(stmt);
      return compile_compound(stmt, stmt.op.substr(0, stmt.op.size() - 1), stmt.expr2.get());
    case KRVK_STMT_INCREMENT: return compile_compound(stmt, stmt.op == "++" ? "+" : "-", nullptr);
    case KRVK_STMT_EXPRESSION:
      if (stmt.expr1->kind != KRVK_EXPR_CALL) error_here("this expression does nothing (only calls can be statements)");
      compile_expression(*stmt.expr1);
      return;
    case KRVK_STMT_IF: return compile_if(stmt);
    case KRVK_STMT_FOR:
    case KRVK_STMT_WHILE: return compile_loop(stmt);
    case KRVK_STMT_BREAK:
    case KRVK_STMT_CONTINUE: return compile_jump_statement(stmt);
    case KRVK_STMT_RETURN: return compile_return(stmt);
    case KRVK_STMT_UNCHECKED: {
      const uint8_t saved = unchecked_;
      unchecked_ = 1;
      compile_block(*stmt.stmt1);
      unchecked_ = saved;
      return;
    }
    default: return;
  }
}

void krvk_compiler::compile_block(const krvk_stmt_node& stmt) {
  open_scope();
  compile_statement(stmt);
  close_scope();
}

void krvk_compiler::compile_if(const krvk_stmt_node& stmt) {
  const uint32_t else_label = new_label();
  compile_condition(*stmt.expr1, false, else_label);
  compile_block(*stmt.stmt1);
  if (!stmt.stmt2) {
    bind_label(else_label);
    return;
  }
  const uint32_t end_label = new_label();
  emit_jump_fixup(KOP_JMP, end_label);
  bind_label(else_label);
  compile_block(*stmt.stmt2);
  bind_label(end_label);
}

void krvk_compiler::compile_loop(const krvk_stmt_node& stmt) {
  open_scope();
  if (stmt.stmt1) compile_statement(*stmt.stmt1);
  const uint32_t top = new_label();
  const uint32_t next = new_label();
  const uint32_t done = new_label();
  bind_label(top);
  if (stmt.expr1) compile_condition(*stmt.expr1, false, done);
  loops_.push_back({done, next});
  compile_block(*stmt.stmt3);
  loops_.pop_back();
  bind_label(next);
  if (stmt.stmt2) {
    if (stmt.stmt2->kind == KRVK_STMT_DECLARATION) error(stmt.stmt2->position, "the step of a for loop cannot declare variables");
    compile_statement(*stmt.stmt2);
  }
  emit_jump_fixup(KOP_LOOP, top);
  bind_label(done);
  close_scope();
}

void krvk_compiler::compile_jump_statement(const krvk_stmt_node& stmt) {
  const bool is_break = stmt.kind == KRVK_STMT_BREAK;
  if (loops_.empty()) error_here(std::string("'") + (is_break ? "break" : "continue") + "' outside of a loop");
  emit_jump_fixup(KOP_JMP, is_break ? loops_.back().break_label : loops_.back().continue_label);
}

void krvk_compiler::compile_return(const krvk_stmt_node& stmt) {
  if (function_.is_entry) {
    compile_kernel_return(stmt);
  } else {
    compile_helper_return(stmt);
  }
}

void krvk_compiler::compile_kernel_return(const krvk_stmt_node& stmt) {
  const krvk_type& result = function_.return_type;
  if (result.prim == KRVK_VOID) {
    if (stmt.expr1) error_here("a void kernel cannot return a value");
    emit(KOP_END);
    return;
  }
  if (!stmt.expr1) {
    error_here("this kernel must return a " + type_text(result) + " (it is reduced with " +
               krvk_reduce_op_name(function_.reduction) + ")");
  }
  const krvk_expr_node& value_expr = *stmt.expr1;
  if (result.prim != KRVK_STRUCT) {
    if (value_expr.kind == KRVK_EXPR_LIST) error(value_expr.position, "a {...} list needs a struct result");
    const krvk_value value = compile_expression(value_expr);
    krvk_node_scope at(*this, value_expr.position);
    const uint16_t operand = value_operand(coerce(value, result));
    const uint16_t acc = program_->acc_reg;
    emit(reduce_opcode(function_.reduction, result.prim), acc, acc, operand);
  } else {
    const krvk_value data = materialise_struct(result, value_expr);
    for (const krvk_acc& acc : program_->accumulators) {
      krvk_value leaf = data;
      leaf.byte_offset += acc.offset;
      leaf.type = krvk_type{acc.prim, -1, 0, 0};
      const uint16_t reg = new_register();
      emit_load(leaf, reg);
      emit(reduce_opcode(acc.op, acc.prim), acc.reg, acc.reg, reg);
    }
  }
  emit(KOP_END);
}

void krvk_compiler::compile_helper_return(const krvk_stmt_node& stmt) {
  const krvk_type& result = function_.return_type;
  if (result.prim == KRVK_VOID) {
    if (stmt.expr1) error_here("a void function cannot return a value");
  } else {
    if (!stmt.expr1) error_here("this function must return a " + type_text(result));
    const krvk_expr_node& value_expr = *stmt.expr1;
    if (result.prim == KRVK_STRUCT) {
      const krvk_value data = materialise_struct(result, value_expr);
      krvk_node_scope at(*this, value_expr.position);
      copy_struct(function_.result_storage, data);
    } else {
      if (value_expr.kind == KRVK_EXPR_LIST) error(value_expr.position, "a {...} list needs a struct result");
      const krvk_value value = compile_expression(value_expr);
      krvk_node_scope at(*this, value_expr.position);
      move_to_register(value, function_.result_reg, result);
    }
  }
  emit_jump_fixup(KOP_JMP, function_.exit_label);
}
