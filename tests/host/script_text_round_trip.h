// The oracle of the script text form's fuzzing (the seeded mutation test and the fuzz target): a text is
// either refused with "line N: ..." naming one of its own lines, or it assembles into a program that
// verifies and whose disassembly assembles again to the same code and the same listing.
#pragma once
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/assembler/instruction_decoder.h"
#include "host/assembler/program_blocks.h"
#include "host/assembler/script_disassembler.h"
#include "host/assembler/script_text.h"
#include "host/assembler/script_text_tokens.h"
#include "host/assembler/script_verifier.h"

// Lines as the text form counts them: LF, CRLF and a lone CR each end one.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= text.size()) lines.emplace_back(krv_next_line(text, at));
  return lines;
}

// A block's code with the host addresses blanked: those differ between two assemblies of one text.
inline std::vector<uint8_t> code_without_addresses(const krv_program_block& block) {
  std::vector<uint8_t> code = block.code;
  krv_for_each_instruction(block.code, [&code](const krv_decoded_instruction& instruction) {
    for (const krv_decoded_operand& operand : instruction.operands)
      if (operand.field.kind == krv_operand_kind::native || operand.field.kind == krv_operand_kind::cell ||
          operand.field.kind == krv_operand_kind::klass)
        std::fill_n(code.begin() + instruction.offset + operand.field.offset, 8, uint8_t{0});
  });
  return code;
}

// The oracle; returns what went wrong, empty when the text behaved. `accepted` tells which way it went;
// `verified`, when given, receives the program of an accepted text that behaved.
inline std::string krv_script_text_fault(const std::string& text, bool& accepted,
                                         krvptr_strong<krv_program>* verified = nullptr) {
  accepted = false;
  krvptr_strong<krv_program> program;
  try {
    program = krv_assemble_text(text);
  } catch (const std::invalid_argument& refusal) {
    const std::string message = refusal.what();
    size_t digits = 0;
    unsigned long line = 0;
    if (message.starts_with("line ")) line = std::stoul(message.substr(5), &digits);
    if (digits == 0 || message.compare(5 + digits, 2, ": ") != 0) return "refusal without a line: " + message;
    if (line < 1 || line > split_lines(text).size()) return "refusal names a line outside the text: " + message;
    return {};
  }
  accepted = true;
  if (const std::vector<std::string> problems = krv_verify_program(*program); !problems.empty())
    return "accepted but does not verify: " + problems.front();
  const std::string listing = krv_disassemble(*program);
  krvptr_strong<krv_program> again;
  try {
    again = krv_assemble_text(listing);
  } catch (const std::invalid_argument& refusal) {
    return std::string("its disassembly is refused: ") + refusal.what() + "\n" + listing;
  }
  const std::vector<const krv_program_block*> first = krv_program_blocks(*program), second = krv_program_blocks(*again);
  if (first.size() != second.size()) return "block count changed\n" + listing;
  for (size_t i = 0; i < first.size(); ++i)
    if (code_without_addresses(*first[i]) != code_without_addresses(*second[i])) return "code of block " + std::to_string(i) + " changed\n" + listing;
  if (krv_disassemble(*again) != listing) return "the listing changed\n" + listing;
  if (verified != nullptr) *verified = program;
  return {};
}
