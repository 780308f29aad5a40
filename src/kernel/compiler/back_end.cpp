// Back end: turns the emitted code of one entry kernel into a finished program. Labels become code
// indexes, NOPs are removed, the optional optimiser and register allocator run, and the constant pool
// is placed in the register cells after the allocated registers, where the runners load it before a
// run. Only register operands (D, R, I) are relocated; selectors, offsets, sizes and targets never are.
#include "kernel/compiler/back_end.h"

#include <algorithm>

#include "kernel/compiler/compiler_context.h"
#include "kernel/compiler/operand_walk.h"
#include "kernel/compiler/optimiser.h"
#include "kernel/compiler/register_allocation.h"

const krvk_back_end_passes& krvk_default_back_end_passes() {
  static const krvk_back_end_passes passes{krvk_opt_optimise, krvk_opt_allocate_registers};
  return passes;
}

namespace {

constexpr int kCompactRounds = 4;

bool has_jump_target(uint16_t op) {
  const krvk_operand_layout& layout = krvk_opcode_layout(op);
  return std::find(layout.letters, layout.letters + layout.count, 'J') != layout.letters + layout.count;
}

void relocate_constants(std::vector<krvk_insn>& code, uint16_t register_count) {
  for (krvk_insn& insn : code) {
    krvk_for_each_register_operand(insn, [&](char, uint16_t& operand) {
      if (operand >= krvk_constant_operand_base) {
        operand = static_cast<uint16_t>(register_count + (operand - krvk_constant_operand_base));
      }
    });
  }
}

}  // namespace

void krvk_opt_compact(krvk_program& program) {
  std::vector<krvk_insn>& code = program.code;
  for (int round = 0; round < kCompactRounds; ++round) {
    for (size_t i = 0; i < code.size(); ++i) {
      if (code[i].op == KOP_JMP && code[i].x == i + 1) code[i] = krvk_insn{};
    }
    std::vector<uint64_t> new_index(code.size() + 1);
    uint64_t kept = 0;
    for (size_t i = 0; i < code.size(); ++i) {
      new_index[i] = kept;
      if (code[i].op != KOP_NOP) ++kept;
    }
    new_index[code.size()] = kept;
    if (kept == code.size()) return;
    std::vector<krvk_insn> compacted;
    std::vector<uint32_t> lines;
    std::vector<uint16_t> files;
    compacted.reserve(kept);
    for (size_t i = 0; i < code.size(); ++i) {
      if (code[i].op == KOP_NOP) continue;
      krvk_insn insn = code[i];
      if (has_jump_target(insn.op) && insn.x <= code.size()) insn.x = new_index[insn.x];
      compacted.push_back(insn);
      if (i < program.line_table.size()) lines.push_back(program.line_table[i]);
      if (i < program.file_table.size()) files.push_back(program.file_table[i]);
    }
    code = std::move(compacted);
    program.line_table = std::move(lines);
    program.file_table = std::move(files);
  }
}

void krvk_compiler::finish_function() {
  krvk_program& program = *program_;
  for (const krvk_pending_jump& jump : pending_jumps_) {
    program.code[jump.instruction].x = static_cast<uint64_t>(labels_[jump.label]);
  }
  krvk_opt_compact(program);
  uint16_t registers = high_water_;
  const bool has_passes = passes_->optimise && passes_->allocate_registers;
  if (high_water_ > fixed_registers_ && has_passes) {
    krvk_function_view view{&program, fixed_registers_, high_water_};
    passes_->optimise(view);
    krvk_opt_compact(program);
    registers = passes_->allocate_registers(view);
  } else if (high_water_ <= fixed_registers_) {
    registers = fixed_registers_;
  }
  krvk_opt_compact(program);
  relocate_constants(program.code, registers);
  if (program.prologue) relocate_constants(program.prologue->code, registers);
  program.constants.clear();
  for (size_t k = 0; k < pool_.size(); ++k) {
    pool_[k].reg = static_cast<uint16_t>(registers + k);
    program.constants.push_back(krvk_const{pool_[k].reg, pool_[k].prim, pool_[k].bits});
  }
  program.register_count = registers + static_cast<uint32_t>(pool_.size());
  if (krvk_program* prologue = program.prologue.get()) {
    prologue->register_count = program.register_count;
    prologue->parameters = program.parameters;
    prologue->pointer_count = program.pointer_count;
    prologue->frame_slot = program.frame_slot;
    prologue->frame_bytes = program.frame_bytes;
    prologue->line_table.assign(prologue->code.size(), program.line);
    prologue->file_table.assign(prologue->code.size(), 0);
    prologue->file_names = program.file_names;
  }
  program.register_names.resize(program.register_count);
  // assign(1, '#') rather than = "#": g++ 12 reports a false -Wrestrict overlap for the literal here.
  for (const krvk_const& constant : program.constants) program.register_names[constant.reg].assign(1, '#');
  // The prologue works on the same register file, so its listing names the registers the same way.
  if (program.prologue) program.prologue->register_names = program.register_names;
}
