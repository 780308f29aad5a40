// Reading instructions back from a code stream: the walk that the verifier and the disassembler share.
//
// Decoding trusts nothing: an opcode outside 1..73 or an instruction that runs past the end of the code
// is reported in `problem`, and the walk stops there.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/exec/interp/script_opcodes.h"

struct krv_decoded_operand {
  krv_operand_field field;
  uint64_t raw = 0;  // the field's bytes, zero-extended (an i32 jump as its unsigned bits)

  int32_t displacement() const noexcept { return static_cast<int32_t>(static_cast<uint32_t>(raw)); }
};

// The operands of one instruction, held inline: decoding allocates nothing.
struct krv_decoded_operands {
  std::array<krv_decoded_operand, krv_max_operands> items{};
  uint8_t count = 0;

  const krv_decoded_operand* begin() const noexcept { return items.data(); }
  const krv_decoded_operand* end() const noexcept { return items.data() + count; }
  size_t size() const noexcept { return count; }
  bool empty() const noexcept { return count == 0; }
  const krv_decoded_operand& operator[](size_t i) const noexcept { return items[i]; }
};

struct krv_decoded_instruction {
  uint32_t offset = 0;
  uint8_t opcode = 0;
  uint32_t size = 0;  // of the instruction, or of the header for opcodes 72 and 73
  krv_decoded_operands operands;
  std::string problem;  // empty when the instruction decoded
};

// The instruction at `offset` of `code`.
krv_decoded_instruction krv_decode_instruction(const std::vector<uint8_t>& code, uint32_t offset);
// Calls `visit` with every instruction from the start, one at a time; the walk ends after an
// instruction that carries a problem.
template <class Visit>
void krv_for_each_instruction(const std::vector<uint8_t>& code, Visit&& visit) {
  for (uint32_t offset = 0; offset < code.size();) {
    const krv_decoded_instruction instruction = krv_decode_instruction(code, offset);
    visit(instruction);
    if (!instruction.problem.empty()) return;
    offset += instruction.size;
  }
}
// The code offset a jump or length operand designates.
int64_t krv_operand_target(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand);
