#include "script_verifier.h"

#include <algorithm>
#include <set>

#include "instruction_decoder.h"
#include "program_blocks.h"
#include "runtime/exec/class_def.h"
#include "runtime/objects/function_def.h"

namespace {

template <class Records, class T>
bool keeps(const Records& records, const T* pointer) {
  return std::any_of(records.begin(), records.end(), [pointer](const auto& record) { return record.get() == pointer; });
}

class block_verifier {
 public:
  block_verifier(const krv_program& program, const krv_program_block& block, size_t number,
                 std::vector<std::string>& problems)
      : program_(program), block_(block), number_(number), problems_(problems) {}

  void run() {
    const std::vector<krv_decoded_instruction> instructions = krv_decode_all(block_.code);
    for (const krv_decoded_instruction& instruction : instructions) starts_.insert(instruction.offset);
    for (const krv_decoded_instruction& instruction : instructions) {
      if (!instruction.problem.empty()) {
        report(instruction.offset, instruction.problem);
        break;
      }
      check_unused_bytes(instruction);
      check_operands(instruction);
    }
    if (block_.local_flags.size() != block_.local_count) report(0, "local flag count differs from the local count");
    for (const auto& [offset, position] : block_.positions) {
      if (!lands(offset) || offset == block_.code.size()) report(offset, "source position off an instruction start");
      const krv_source_position* record = position.get();
      if (record == nullptr || !keeps(program_.sources, record->source.get()))
        report(offset, "source position without a source the program keeps");
    }
  }

 private:
  void report(uint32_t offset, const std::string& text) {
    problems_.push_back("block " + std::to_string(number_) + " @" + std::to_string(offset) + ": " + text);
  }
  bool lands(int64_t target) const {
    return target == static_cast<int64_t>(block_.code.size()) || (target >= 0 && starts_.count(static_cast<uint32_t>(target)) != 0);
  }
  void need(bool ok, const krv_decoded_instruction& instruction, const std::string& what) {
    if (!ok) report(instruction.offset, std::string(krv_script_op_info_of(instruction.opcode).name) + ": " + what);
  }

  // Zero everywhere but the opcode and the operand fields; the fast-path header's steps and constants
  // (from its step count on) are its own.
  void check_unused_bytes(const krv_decoded_instruction& instruction) {
    std::vector<bool> used(instruction.size, false);
    used[0] = true;
    for (const krv_decoded_operand& operand : instruction.operands) {
      std::fill_n(used.begin() + operand.field.offset, krv_operand_width(operand.field.kind), true);
    }
    if (instruction.opcode == KRV_OP_NUMERIC_FAST_PATH)
      std::fill(used.begin() + krv_numeric_fast_path::step_count, used.end(), true);
    for (uint32_t i = 0; i < instruction.size; ++i)
      if (!used[i] && block_.code[instruction.offset + i] != 0) {
        report(instruction.offset, std::string(krv_script_op_info_of(instruction.opcode).name) + ": unused byte " +
                                       std::to_string(i) + " is not zero");
        return;
      }
  }

  void check_operands(const krv_decoded_instruction& instruction) {
    for (const krv_decoded_operand& operand : instruction.operands) check_pointer_or_target(instruction, operand);
    if (instruction.operands.empty()) {
      need(instruction.opcode != KRV_OP_RUN_BODY || static_cast<bool>(block_.body), instruction, "the block has no body");
      return;
    }
    const uint64_t first = instruction.operands[0].raw;
    switch (instruction.opcode) {
      case KRV_OP_LOAD_LOCAL:
      case KRV_OP_LOAD_LOCAL_FLAGS: return need(first < block_.local_count, instruction, "no such local");
      case KRV_OP_LOAD_CONST: return need(first < block_.constants.size(), instruction, "no such constant");
      case KRV_OP_LOAD_STRING:
      case KRV_OP_MEMBER_OR_ZERO:
      case KRV_OP_MEMBER: return need(first < program_.strings.size(), instruction, "no such program string");
      case KRV_OP_LOAD_FUNCTION:
      case KRV_OP_RUN_CHILD:
      case KRV_OP_CATCH: return need(first < block_.children.size(), instruction, "no such child block");
      case KRV_OP_DEFAULT_ARG:
        return need(block_.first_default != krv_no_default_param && first >= block_.first_default &&
                        first - block_.first_default < block_.children.size(),
                    instruction, "no default-value block for this parameter");
      case KRV_OP_CACHED_METHOD_CALL:
        need(instruction.operands[1].raw < program_.strings.size(), instruction, "no such program string");
        return need(instruction.operands[2].raw < block_.member_cache.size(), instruction, "no such member-cache entry");
      default: break;
    }
    if (instruction.opcode == KRV_OP_MEMBER)
      need(instruction.operands[1].raw < block_.member_cache.size(), instruction, "no such member-cache entry");
  }

  void check_pointer_or_target(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand) {
    const auto* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(operand.raw));
    switch (operand.field.kind) {
      case krv_operand_kind::jump:
        return need(lands(krv_operand_target(instruction, operand)), instruction, "jump lands inside an instruction");
      case krv_operand_kind::length:
        need(static_cast<uint32_t>(operand.raw) >= instruction.size, instruction, "length shorter than the header");
        return need(lands(krv_operand_target(instruction, operand)), instruction, "length ends inside an instruction");
      case krv_operand_kind::native:
        return need(keeps(program_.natives, static_cast<const krv_function_def*>(pointer)), instruction,
                    "native definition not kept by the program");
      case krv_operand_kind::cell: {
        const bool kept = std::any_of(program_.cells.begin(), program_.cells.end(),
                                      [pointer](const krvvar_shared& cell) { return cell.get() == pointer; });
        return need(kept, instruction, "cell not kept by the program");
      }
      case krv_operand_kind::klass:
        return need(pointer == nullptr || keeps(program_.classes, static_cast<const krv_class_def*>(pointer)), instruction,
                    "class not kept by the program");
      default: return;
    }
  }

  const krv_program& program_;
  const krv_program_block& block_;
  size_t number_;
  std::vector<std::string>& problems_;
  std::set<uint32_t> starts_;
};

}  // namespace

std::vector<std::string> krv_verify_program(const krv_program& program) {
  std::vector<std::string> problems;
  const std::vector<const krv_program_block*> blocks = krv_program_blocks(program);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const krv_program_block& block = *blocks[i];
    if (block.code_begin != block.code.data() || block.code_end != block.code.data() + block.code.size())
      problems.push_back("block " + std::to_string(i) + ": code pointers do not cover the block's code");
    block_verifier(program, block, i, problems).run();
  }
  return problems;
}
