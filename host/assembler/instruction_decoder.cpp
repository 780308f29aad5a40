#include "host/assembler/instruction_decoder.h"

#include <cstring>

krv_decoded_instruction krv_decode_instruction(const std::vector<uint8_t>& code, uint32_t offset) {
  krv_decoded_instruction instruction;
  instruction.offset = offset;
  instruction.opcode = code[offset];
  const krv_script_op_info& info = krv_script_op_info_of(instruction.opcode);
  instruction.size = info.size;
  if (info.size == 0) {
    instruction.problem = "invalid opcode " + std::to_string(instruction.opcode);
    return instruction;
  }
  if (code.size() - offset < info.size) {
    instruction.problem = std::string(info.name) + " runs past the end of the code";
    return instruction;
  }
  for (const krv_operand_field& field : info.operands) {
    if (field.kind == krv_operand_kind::none) continue;
    krv_decoded_operand& operand = instruction.operands.items[instruction.operands.count++];
    operand.field = field;
    std::memcpy(&operand.raw, code.data() + offset + field.offset, krv_operand_width(field.kind));
  }
  return instruction;
}

int64_t krv_operand_target(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand) {
  if (operand.field.kind == krv_operand_kind::jump) return int64_t{instruction.offset} + operand.displacement();
  return int64_t{instruction.offset} + static_cast<uint32_t>(operand.raw);
}
