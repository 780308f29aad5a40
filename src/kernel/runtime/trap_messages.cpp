#include "kernel/runtime/trap_messages.h"

#include "kernel/runtime/number_text.h"

namespace {

const krvk_insn* trapping_instruction(const krvk_program* program, const ktrap& trap) {
  if (program == nullptr || trap.pc >= program->code.size()) return nullptr;
  return &program->code[trap.pc];
}

std::string index_out_of_bounds(const krvk_program* program, const krvk_insn* insn, const ktrap& trap) {
  const std::string name = insn != nullptr ? krvk_pointer_slot_name(*program, insn->b) : "?";
  return "index " + std::to_string(trap.value) + " is out of bounds of '" + name + "' (" +
         std::to_string(trap.limit) + " elements)";
}

std::string division_by_zero(const krvk_insn* insn) {
  const bool remainder = insn != nullptr && krvk_opcode_name(insn->op)[0] == 'M';
  return remainder ? "integer modulo by zero" : "integer division by zero";
}

std::string float_does_not_fit(const krvk_insn* insn, const ktrap& trap) {
  const char* type = insn != nullptr && insn->c < KRVK_NO_TYPE ? krvk_prim_name(static_cast<uint8_t>(insn->c)) : "?";
  return "float value " + krvk_format_general(trap.fvalue, 6) + " does not fit into " + type;
}

}  // namespace

std::string krvk_trap_message(const krvk_program* program, const ktrap& trap) {
  const krvk_insn* insn = trapping_instruction(program, trap);
  switch (static_cast<uint8_t>(trap.code)) {
    case KRVK_TRAP_INDEX: return index_out_of_bounds(program, insn, trap);
    case KRVK_TRAP_DIV_ZERO: return division_by_zero(insn);
    case KRVK_TRAP_DIV_OVERFLOW: return "integer division overflow (" + std::to_string(trap.value) + " / -1)";
    case KRVK_TRAP_F2I: return float_does_not_fit(insn, trap);
    case KRVK_TRAP_ARRAY_INDEX:
      return "array index " + std::to_string(trap.value) + " is out of bounds (array size " +
             std::to_string(trap.limit) + ")";
    case KRVK_TRAP_MISALIGNED:
      return "atomic access to an address that is not aligned to " + std::to_string(trap.limit) + " bytes";
    case KRVK_TRAP_ABORTED: return "aborted";
    default: return "unknown error";
  }
}
