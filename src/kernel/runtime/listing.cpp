#include "kernel/runtime/listing.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "kernel/runtime/kernel_ops.h"
#include "kernel/runtime/number_text.h"

namespace {

constexpr size_t kOperandColumn = 22;
constexpr size_t kLineNoteColumn = 64;
constexpr std::string_view kPrologueSuffix = " (prologue)";

void pad_to(std::string& line, size_t column) {
  if (line.size() < column) line.append(column - line.size(), ' ');
}

std::string parameter_text(const krvk_param& param) {
  std::string text = param.type_text + " " + param.name;
  if (param.type.is_pointer) return text + " -> p" + std::to_string(param.pointer_slot);
  return text + " -> r" + std::to_string(param.reg);
}

std::string signature_line(const krvk_program& program) {
  std::string line = "kernel " + program.name + "(";
  for (size_t i = 0; i < program.parameters.size(); ++i) {
    if (i != 0) line += ", ";
    line += parameter_text(program.parameters[i]);
  }
  line += ")";
  if (program.result_type.prim != KRVK_VOID) line += " -> " + program.result_text;
  return line + "\n";
}

std::string accumulator_text(const krvk_program& program) {
  const std::vector<krvk_acc>& accs = program.accumulators;
  if (accs.size() == 1) return ", acc: r" + std::to_string(accs[0].reg);
  if (accs.empty()) return "";
  std::string text = ", acc:";
  for (const krvk_acc& acc : accs) text += " " + acc.name + "=r" + std::to_string(acc.reg);
  return text;
}

std::string registers_line(const krvk_program& program) {
  std::string line = "  registers: " + std::to_string(program.register_count) +
                     ", pointers: " + std::to_string(program.pointer_count) +
                     ", gid: r" + std::to_string(program.gid_reg) + ", gsize: r" + std::to_string(program.gsize_reg);
  line += accumulator_text(program);
  if (program.frame_bytes != 0) {
    line += ", frame: p" + std::to_string(program.frame_slot) + " (" + std::to_string(program.frame_bytes) + " bytes)";
  }
  return line + "\n";
}

std::string constant_value_text(const krvk_const& constant) {
  switch (constant.prim) {
    case KRVK_U64: return std::to_string(constant.bits);
    case KRVK_F32: return krvk_format_general(static_cast<double>(krvk_cell_f32(constant.bits)), 9);
    case KRVK_F64: return krvk_format_general(krvk_cell_f64(constant.bits), 17);
    default: return std::to_string(static_cast<int64_t>(constant.bits));
  }
}

std::string constant_line(const krvk_const& constant) {
  return "  const r" + std::to_string(constant.reg) + " = " + constant_value_text(constant) + " (" +
         krvk_prim_name(constant.prim) + ")\n";
}

std::string offset_text(uint64_t value) {
  const int64_t offset = static_cast<int64_t>(value);
  if (offset > 0) return "+" + std::to_string(offset);
  if (offset < 0) return "-" + std::to_string(0 - value);  // magnitude, exact for the most negative value
  return "";
}

std::string selector_text(const krvk_insn& insn, uint64_t value) {
  const uint8_t selector = static_cast<uint8_t>(value);
  if (std::string_view(krvk_opcode_name(insn.op)).starts_with("MATH")) return krvk_math_fn_name(selector);
  return krvk_prim_name(selector);
}

std::string operand_text(const krvk_program& program, const krvk_insn& insn, char letter, uint64_t value) {
  switch (letter) {
    case 'D':
    case 'R': return krvk_disasm_operand(program, static_cast<int64_t>(value));
    case 'I': return krvk_disasm_operand(program, static_cast<int64_t>(value & 0xFFFF));
    case 'J': return "@" + std::to_string(value);
    case 'K':
    case 'S': return "#" + std::to_string(value);
    case 'O': return offset_text(value);
    case 'P': return "p" + std::to_string(value) + "(" + krvk_pointer_slot_name(program, value) + ")";
    case 'T': return selector_text(insn, value);
    default: return "";
  }
}

std::string instruction_line(const krvk_program& program, uint32_t index) {
  const krvk_insn& insn = program.code[index];
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "  %04" PRIu32 "  ", index);
  std::string line = std::string(prefix) + krvk_opcode_name(insn.op);
  pad_to(line, kOperandColumn);

  const std::string_view signature = krvk_opcode_signature(insn.op);
  krvk_operand_field fields[4];
  const uint32_t count = krvk_place_operands(signature, fields);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string text = operand_text(program, insn, signature[i], krvk_operand_value(insn, fields[i]));
    if (text.empty()) continue;  // a zero offset prints nothing, separator included
    if (i != 0) line += ", ";
    line += text;
  }
  if (index < program.line_table.size()) {
    pad_to(line, kLineNoteColumn);
    line += "; line " + std::to_string(program.line_table[index]);
  }
  return line + "\n";
}

bool is_prologue(const krvk_program& program) {
  return program.name.size() > kPrologueSuffix.size() && std::string_view(program.name).ends_with(kPrologueSuffix);
}

}  // namespace

std::string krvk_disasm_operand(const krvk_program& program, int64_t reg) {
  std::string text = "r" + std::to_string(reg);
  if (reg >= 0 && static_cast<uint64_t>(reg) < program.register_names.size()) {
    const std::string& name = program.register_names[static_cast<size_t>(reg)];
    if (!name.empty()) text += "(" + name + ")";
  }
  return text;
}

std::string krvk_disasm_code(const krvk_program& program) {
  const bool hide_end = is_prologue(program);
  std::string text;
  for (uint32_t i = 0; i < program.code.size(); ++i) {
    if (hide_end && program.code[i].op == KOP_END) continue;
    text += instruction_line(program, i);
  }
  return text;
}

std::string krvk_disasm(const krvk_program& program) {
  std::string text = signature_line(program) + registers_line(program);
  for (const krvk_const& constant : program.constants) text += constant_line(constant);
  if (program.prologue != nullptr) {
    text += "  prologue (once per lane runner):\n";
    text += krvk_disasm_code(*program.prologue);
    text += "  main:\n";
  }
  return text + krvk_disasm_code(program);
}
