// Compile-time evaluation. A constant expression is compiled like any other expression, but into a
// throwaway program with its own constant pool, labels and register counter, so nothing it emits can
// leak into the function being compiled. Operations on constants that the checker does not fold itself
// run as one instruction on the scalar interpreter, so folding has exactly the run-time semantics,
// traps included.
#include "kernel/compiler/compiler_context.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/runtime/trap_messages.h"

namespace {

constexpr uint16_t kFoldGidRegister = 3;  // the work-item index lands here, away from the operands

}  // namespace

krvk_value krvk_compiler::compile_sandboxed(const krvk_expr_node& expr) {
  krvk_program scratch;
  krvk_program* saved_program = program_;
  std::vector<krvk_pool_entry> saved_pool = std::move(pool_);
  std::map<std::pair<uint8_t, uint64_t>, uint16_t> saved_map = std::move(constant_map_);
  std::vector<int64_t> saved_labels = std::move(labels_);
  std::vector<krvk_pending_jump> saved_jumps = std::move(pending_jumps_);
  const uint16_t saved_next = next_register_;
  const uint16_t saved_high = high_water_;
  const uint32_t saved_frame = frame_in_use_;
  program_ = &scratch;
  pool_.clear();
  constant_map_.clear();
  labels_.clear();
  pending_jumps_.clear();
  const krvk_value value = compile_expression(expr);
  program_ = saved_program;
  pool_ = std::move(saved_pool);
  constant_map_ = std::move(saved_map);
  labels_ = std::move(saved_labels);
  pending_jumps_ = std::move(saved_jumps);
  next_register_ = saved_next;
  high_water_ = saved_high;
  frame_in_use_ = saved_frame;
  return value;
}

krvk_value krvk_compiler::eval_const(const krvk_expr_node& expr) {
  const krvk_value value = compile_sandboxed(expr);
  if (!value.is_constant()) error(expr.position, "not a constant expression");
  return value;
}

std::optional<krvk_value> krvk_compiler::constant_or_nothing(const krvk_expr_node& expr) {
  if (const auto known = known_constants_.find(&expr); known != known_constants_.end()) return known->second;
  const krvk_value value = compile_sandboxed(expr);
  std::optional<krvk_value> constant;
  if (value.is_constant()) constant = value;
  known_constants_.emplace(&expr, constant);
  return constant;
}

uint32_t krvk_compiler::eval_array_size(const krvk_expr_node& expr, uint64_t max_count) {
  const krvk_value size = eval_const(expr);
  const bool fits = size.literal == KRVK_INT_LITERAL && !size.exceeds_i64 && size.int_literal >= 1 &&
                    static_cast<uint64_t>(size.int_literal) <= max_count;
  if (!fits) error(expr.position, "array size must be a positive integer constant");
  return static_cast<uint32_t>(size.int_literal);
}

uint64_t krvk_compiler::fold_with_interpreter(uint16_t op, uint64_t left, uint64_t right, uint16_t c, uint64_t x) {
  krvk_program& program = *fold_program_;
  program.code.assign({krvk_insn{op, 0, 1, c, x}, krvk_insn{KOP_END, 0, 0, 0, 0}});
  program.gid_reg = kFoldGidRegister;
  uint64_t regs[4] = {0, left, right, 0};
  ktrap trap{};
  if (krvk_interpret(&program, regs, nullptr, 0, 1, nullptr, &trap, 0) != 0) {
    error_here("constant expression: " + krvk_trap_message(&program, trap));
  }
  return regs[0];
}
