// Reading instructions back from a code stream: the walk that the verifier and the disassembler share.
//
// Decoding trusts nothing: an opcode outside 1..73 or an instruction that runs past the end of the code
// is reported in `problem`, and the walk stops there.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/exec/script_opcodes.h"

struct krv_decoded_operand {
  krv_operand_field field;
  uint64_t raw = 0;  // the field's bytes, zero-extended (an i32 jump as its unsigned bits)

  int32_t displacement() const noexcept { return static_cast<int32_t>(static_cast<uint32_t>(raw)); }
};

struct krv_decoded_instruction {
  uint32_t offset = 0;
  uint8_t opcode = 0;
  uint32_t size = 0;  // of the instruction, or of the header for opcodes 72 and 73
  std::vector<krv_decoded_operand> operands;
  std::string problem;  // empty when the instruction decoded
};

// The instruction at `offset` of `code`.
krv_decoded_instruction krv_decode_instruction(const std::vector<uint8_t>& code, uint32_t offset);
// Every instruction from the start; the last one carries the problem that stopped the walk, if any.
std::vector<krv_decoded_instruction> krv_decode_all(const std::vector<uint8_t>& code);
// The code offset a jump or length operand designates.
int64_t krv_operand_target(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand);
