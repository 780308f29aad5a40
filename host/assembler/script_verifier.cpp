#include "host/assembler/script_verifier.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "host/assembler/address_index.h"
#include "host/assembler/instruction_decoder.h"
#include "host/assembler/numeric_fast_path.h"
#include "host/assembler/program_blocks.h"
#include "host/assembler/script_limits.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/function_def.h"

namespace {

template <class Records>
krv_address_index index_of(const Records& records) {
  krv_address_index index(records.size());
  for (size_t i = 0; i < records.size(); ++i) index.add(records[i].get(), static_cast<uint32_t>(i));
  return index;
}

// The records a program keeps, indexed once for the whole program.
struct kept_records {
  explicit kept_records(const krv_program& program)
      : natives(index_of(program.natives)),
        cells(index_of(program.cells)),
        classes(index_of(program.classes)),
        sources(index_of(program.sources)) {}

  krv_address_index natives, cells, classes, sources;
};

std::string mnemonic(const krv_decoded_instruction& instruction) {
  return std::string(krv_script_op_info_of(instruction.opcode).name);
}

template <class V>
V read_at(const uint8_t* at) {
  V value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

class block_verifier {
 public:
  block_verifier(const krv_program& program, const kept_records& kept, const krv_program_block& block,
                 std::vector<krv_program_problem>& problems)
      : program_(program), kept_(kept), block_(block), problems_(problems), starts_(block.code.size() + 1, false) {}

  void run() {
    // Two passes decoding as they go: the instruction starts first, since jumps may point forward.
    krv_for_each_instruction(block_.code, [this](const krv_decoded_instruction& instruction) { starts_[instruction.offset] = true; });
    starts_[block_.code.size()] = true;
    krv_for_each_instruction(block_.code, [this](const krv_decoded_instruction& instruction) {
      if (!instruction.problem.empty()) return report(instruction.offset, instruction.problem);
      check_unused_bytes(instruction);
      check_operands(instruction);
      if (instruction.opcode == KRV_OP_NUMERIC_FAST_PATH) check_fast_path(instruction);
    });
    check_block_fields();
    check_slot_refs();
    for (const auto& [offset, position] : block_.positions) {
      if (!lands(offset) || offset == block_.code.size()) report(offset, "source position off an instruction start");
      const krv_source_position* record = position.get();
      if (record == nullptr || !kept_.sources.contains(record->source.get()))
        report(offset, "source position without a source the program keeps");
    }
  }

 private:
  void report(int64_t offset, std::string text) {
    problems_.push_back({krv_problem_record::block, &block_, offset, std::move(text)});
  }
  // An instruction start or the end of the code; compared in 64 bits before any narrowing.
  bool lands(int64_t target) const {
    return target >= 0 && target <= static_cast<int64_t>(block_.code.size()) && starts_[static_cast<size_t>(target)];
  }
  bool is_start(uint32_t offset) const { return offset < block_.code.size() && starts_[offset]; }
  void need(bool ok, const krv_decoded_instruction& instruction, const std::string& what) {
    if (!ok) report(instruction.offset, mnemonic(instruction) + ": " + what);
  }

  // The interpreter, the task code and the frames take these counts and offsets as given.
  void check_block_fields() {
    const uint32_t locals = block_.local_count;
    if (block_.local_flags.size() != locals) report(-1, "local flag count differs from the local count");
    const uint64_t bound = uint64_t{block_.param_count} + block_.captured_count;
    if (bound > locals)
      report(-1, "parameters and captured values take " + std::to_string(bound) + " locals, the block has " +
                     std::to_string(locals));
    if (block_.first_default != krv_no_default_param && block_.first_default >= locals)
      report(-1, "first defaulted parameter " + std::to_string(block_.first_default) + " is not a local");
    if (block_.resume_at_end && (block_.code.size() < 8 || !is_start(static_cast<uint32_t>(block_.code.size() - 8))))
      report(-1, "resume_at_end needs an instruction starting 8 bytes before the end of the code");
    if (block_.continue_offset != 0 && !is_start(block_.continue_offset))
      report(-1, "continue offset " + std::to_string(block_.continue_offset) + " is not an instruction start");
  }

  // A member reference (kind 20) resolves its base entry first; an earlier base keeps that chain finite.
  void check_slot_refs() {
    for (size_t i = 0; i < block_.slot_refs.size(); ++i) {
      const krv_slot_ref_entry& entry = block_.slot_refs[i];
      if (entry.kind != 20) continue;
      if (entry.index >= i)
        report(-1, "slot reference " + std::to_string(i) + ": base entry " + std::to_string(entry.index) +
                       " is not an earlier entry");
      if (entry.name_index >= program_.strings.size())
        report(-1, "slot reference " + std::to_string(i) + ": no such program string");
    }
  }

  // Zero everywhere but the opcode and the operand fields; the fast-path header's steps and constants
  // (from its step count on) are checked with the fast path.
  void check_unused_bytes(const krv_decoded_instruction& instruction) {
    std::array<bool, 256> used{};
    used[0] = true;
    for (const krv_decoded_operand& operand : instruction.operands)
      std::fill_n(used.begin() + operand.field.offset, krv_operand_width(operand.field.kind), true);
    if (instruction.opcode == KRV_OP_NUMERIC_FAST_PATH)
      std::fill(used.begin() + krv_numeric_fast_path::step_count, used.begin() + instruction.size, true);
    for (uint32_t i = 0; i < instruction.size; ++i)
      if (!used[i] && block_.code[instruction.offset + i] != 0) {
        report(instruction.offset, mnemonic(instruction) + ": unused byte " + std::to_string(i) + " is not zero");
        return;
      }
  }

  void check_fast_path(const krv_decoded_instruction& instruction) {
    using layout = krv_numeric_fast_path;
    const uint8_t* header = block_.code.data() + instruction.offset;
    const int16_t count = read_at<int16_t>(header + layout::step_count);
    if (count < 0 || count > static_cast<int16_t>(layout::max_steps))
      return need(false, instruction, "step count " + std::to_string(count) + " outside 0..16");
    // Written back from what it says, the header must come out the same: no byte that a reader skips.
    const krv_fast_path_body body = krv_read_fast_path_body(header);
    std::array<uint8_t, 200> canonical{};
    krv_write_fast_path_body(canonical.data(), body);
    if (!std::equal(header + layout::step_count, header + instruction.size, canonical.begin() + layout::step_count))
      need(false, instruction, "header bytes that no step or constant uses are not zero");
    for (size_t i = 0; i < body.steps.size(); ++i) {
      const krv_fast_path_step& step = body.steps[i];
      const std::string which = "step " + std::to_string(i);
      if (step.kind == 0) need(step.index < block_.local_count, instruction, which + " names no local");
      if (step.kind == 3) need(step.index < layout::max_constants, instruction, which + " names no constant");
      if (step.kind == 20) need(step.index < block_.slot_refs.size(), instruction, which + " names no slot reference");
    }
    const uint8_t target = header[layout::target_kind];
    const uint32_t target_index = read_at<uint32_t>(header + layout::target_index);
    if (target == 1) need(target_index < block_.local_count, instruction, "the target names no local");
    if (target == 21) need(target_index < block_.slot_refs.size(), instruction, "the target names no slot reference");
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
      case KRV_OP_MEMBER_OR_ZERO: return need(first < program_.strings.size(), instruction, "no such program string");
      case KRV_OP_MEMBER:
        need(first < program_.strings.size(), instruction, "no such program string");
        return need(instruction.operands[1].raw < block_.member_cache.size(), instruction, "no such member-cache entry");
      case KRV_OP_LOAD_FUNCTION:
      case KRV_OP_RUN_CHILD:
      case KRV_OP_CATCH: return need(first < block_.children.size(), instruction, "no such child block");
      case KRV_OP_ARGS_OPEN:
        return need(first <= krv_max_call_args, instruction, "more than " + std::to_string(krv_max_call_args) + " arguments");
      case KRV_OP_DEFAULT_ARG:
        need(first < block_.local_count, instruction, "no such local");
        return need(block_.first_default != krv_no_default_param && first >= block_.first_default &&
                        first - block_.first_default < block_.children.size(),
                    instruction, "no default-value block for this parameter");
      case KRV_OP_CACHED_METHOD_CALL:
        need(instruction.operands[1].raw < program_.strings.size(), instruction, "no such program string");
        return need(instruction.operands[2].raw < block_.member_cache.size(), instruction, "no such member-cache entry");
      default: return;
    }
  }

  void check_pointer_or_target(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand) {
    const auto* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(operand.raw));
    switch (operand.field.kind) {
      case krv_operand_kind::jump:
        return need(lands(krv_operand_target(instruction, operand)), instruction, "jump lands inside an instruction");
      case krv_operand_kind::length:
        if (operand.raw < instruction.size) return need(false, instruction, "length shorter than the header");
        return need(lands(krv_operand_target(instruction, operand)), instruction, "length ends inside an instruction");
      case krv_operand_kind::native:
        return need(kept_.natives.contains(pointer), instruction, "native definition not kept by the program");
      case krv_operand_kind::cell: return need(kept_.cells.contains(pointer), instruction, "cell not kept by the program");
      case krv_operand_kind::klass:
        return need(pointer == nullptr || kept_.classes.contains(pointer), instruction, "class not kept by the program");
      default: return;
    }
  }

  const krv_program& program_;
  const kept_records& kept_;
  const krv_program_block& block_;
  std::vector<krv_program_problem>& problems_;
  std::vector<bool> starts_;  // per code offset, the end included: an instruction starts there
};

// Inheritance cycles, found by one iterative depth-first walk over every class (linear in the classes
// and their base links).
void check_classes(const krv_program& program, const kept_records& kept, std::vector<krv_program_problem>& problems) {
  enum : uint8_t { unseen, on_path, done };
  std::unordered_map<const krv_class_def*, uint8_t> state;
  struct step {
    const krv_class_def* klass;
    size_t next_base;
  };
  std::vector<step> path;
  for (const krvptr_strong<krv_class_def>& root : program.classes) {
    if (state[root.get()] != unseen) continue;
    state[root.get()] = on_path;
    path.push_back({root.get(), 0});
    while (!path.empty()) {
      const krv_class_def* klass = path.back().klass;
      if (path.back().next_base == klass->bases.size()) {
        state[klass] = done;
        path.pop_back();
        continue;
      }
      const krv_class_def* base = klass->bases[path.back().next_base++].get();
      if (base == nullptr) continue;
      if (!kept.classes.contains(base)) {
        problems.push_back({krv_problem_record::klass, klass, -1, "base class not kept by the program"});
        continue;
      }
      uint8_t& seen = state[base];
      if (seen == on_path) problems.push_back({krv_problem_record::klass, base, -1, "inherits from itself"});
      if (seen != unseen) continue;
      seen = on_path;
      path.push_back({base, 0});
    }
  }
}

void check_natives(const krv_program& program, std::vector<krv_program_problem>& problems) {
  for (const krvptr_strong<krv_function_def>& native : program.natives)
    if (native->min_args > native->max_args)
      problems.push_back({krv_problem_record::native, native.get(), -1,
                          "takes at least " + std::to_string(native->min_args) + " arguments but at most " +
                              std::to_string(native->max_args)});
}

}  // namespace

std::vector<krv_program_problem> krv_program_problems(const krv_program& program) {
  std::vector<krv_program_problem> problems;
  const kept_records kept(program);
  for (const krv_block_place& place : krv_program_walk(program)) {
    const krv_program_block* block = place.block;
    if (block->code_begin != block->code.data() || block->code_end != block->code.data() + block->code.size())
      problems.push_back({krv_problem_record::block, block, -1, "code pointers do not cover the block's code"});
    // Reported once per branch, at its first level past the limit.
    if (place.depth == krv_max_block_nesting + 1)
      problems.push_back({krv_problem_record::block, block, -1,
                          "nested " + std::to_string(place.depth) + " levels deep, the limit is " +
                              std::to_string(krv_max_block_nesting)});
    block_verifier(program, kept, *block, problems).run();
  }
  check_natives(program, problems);
  check_classes(program, kept, problems);
  return problems;
}

std::vector<std::string> krv_verify_program(const krv_program& program) {
  const std::vector<krv_program_problem> problems = krv_program_problems(program);
  if (problems.empty()) return {};
  std::unordered_map<const void*, size_t> numbers;
  const std::vector<const krv_program_block*> blocks = krv_program_blocks(program);
  numbers.reserve(blocks.size() + program.natives.size() + program.classes.size());
  for (size_t i = 0; i < blocks.size(); ++i) numbers[blocks[i]] = i;
  for (size_t i = 0; i < program.natives.size(); ++i) numbers[program.natives[i].get()] = i;
  for (size_t i = 0; i < program.classes.size(); ++i) numbers[program.classes[i].get()] = i;
  static constexpr const char* kinds[] = {"block ", "native ", "class "};
  std::vector<std::string> lines;
  for (const krv_program_problem& problem : problems) {
    std::string line = kinds[static_cast<size_t>(problem.kind)] + std::to_string(numbers[problem.record]);
    if (problem.offset >= 0) line += " @" + std::to_string(problem.offset);
    lines.push_back(line + ": " + problem.text);
  }
  return lines;
}
