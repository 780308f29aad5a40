// Optimiser: the passes that rewrite the code of one entry kernel after its jumps are patched and before
// its registers are allocated.
//
// * Forward pass: value numbering within each basic block (a pure computation or a load already made
//   with the same operands, and no memory write in between for a load, is replaced by the first
//   result) and removal of repeated bounds tests (a second access through the same pointer slot with
//   the same, unchanged index register runs unchecked).
// * Prologue hoisting: pure code that depends only on launch-uniform values (gsize, the scalar
//   parameters, constants and earlier hoisted results) moves into a prologue program that a runner
//   executes once on its register file before any work item.
// * Dead code: pure instructions whose results nobody reads disappear, and so does a prologue that has
//   nothing left to compute.
//
// The passes never add an instruction to the main code: they rewrite operands and turn instructions into
// NOP, which the back end's compaction removes. Registers below the function view's fixed count
// (builtins, accumulators, parameters) are never renamed, removed or value-numbered. Operand values of
// krvk_constant_operand_base and more are constant-pool references and never registers here.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/word_bitset.h"

// Whether an opcode computes its destination from its operands alone: it reads no memory, writes no
// memory, cannot trap and does not jump. Numbers of 270 and more are not pure.
bool krvk_opcode_is_pure(uint16_t op) noexcept;

enum krvk_memory_class : uint32_t { KRVK_MEMORY_NONE = 0, KRVK_MEMORY_READS = 1, KRVK_MEMORY_WRITES = 2 };
krvk_memory_class krvk_opcode_memory_class(uint16_t op) noexcept;

// The same access without its bounds test: kind 1 for element accesses (LD_, ST_), whose test also
// depends on the element offset, kind 2 for field accesses and ADDR; twin 0 and kind 0 for every other
// opcode.
struct krvk_unchecked_twin {
  uint16_t twin = 0;
  uint32_t kind = 0;
};
krvk_unchecked_twin krvk_opcode_unchecked_twin(uint16_t op) noexcept;

// Bits 0..code length marking the first instruction of every basic block: instruction 0, every jump
// target inside the code (or its end) and every instruction after a jump or an END.
krvk_bitset krvk_opt_block_leaders(const krvk_function_view& view);

// Adds 1 to counts[r] for every register r read by the instruction (R and I operands below the
// constant base and below counts.size()).
void krvk_insn_count_reads(std::vector<uint32_t>& counts, const krvk_insn& insn);

// A renaming of the virtual registers below N, initially the identity.
class krvk_rename_map {
 public:
  explicit krvk_rename_map(uint16_t registers);
  void send(uint16_t from, uint16_t to) {
    map_[from] = to;
    changed_ = true;
  }
  bool changed() const { return changed_; }
  // Replaces every register operand below N by its entry.
  void apply(krvk_insn& insn) const;

 private:
  std::vector<uint16_t> map_;
  bool changed_ = false;  // whether any register is sent elsewhere
};

void krvk_opt_forward(krvk_function_view& view);
void krvk_opt_hoist_prologue(krvk_function_view& view);
void krvk_opt_dead_code(krvk_function_view& view);

// The optimiser as the back end runs it: forward, hoist, forward, dead code.
void krvk_opt_optimise(krvk_function_view& view);
