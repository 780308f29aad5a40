// Register allocation: maps the virtual registers of one entry kernel (main code and prologue together)
// onto as few register numbers as possible, so that the register file an engine keeps per work item or
// per lane stays small.
//
// Registers below the fixed count F (builtins, accumulators, parameters) keep their numbers. The
// prologue's results take F, F + 1, ... in prologue order and are never handed out again, because the
// main code reads them for every work item. Every other register takes part in liveness analysis over
// the basic blocks and is coloured greedily in register-number order from B, the first number after
// the prologue's, with no spilling: two registers share a number only when neither is live where the
// other is written. A MOV whose source and destination end up with the same number becomes NOP.
// Constant-pool references (operands of krvk_constant_operand_base and more) are left
// for the back end, which places the constants after the allocated registers.
//
// Cost: flat vectors and 64-bit-word bitsets. Only registers that some instruction mentions get a row
// of the interference matrix, so the matrix is M x ceil(M / 64) words for M mentioned registers; the
// per-block liveness sets hold only the registers that can be live across a block boundary.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/word_bitset.h"

// The registers that take part in interference, numbered densely in register order. Those that can be
// live where a block begins (mentioned in more than one block, or read in their block before being
// written) are also numbered as globals, and only they take part in the liveness analysis over blocks:
// the others live and die inside their block, where the backward walk sees all of their life.
struct krvk_allocation_members {
  std::vector<int32_t> index;  // per virtual register below N: its member index, or -1
  std::vector<uint16_t> registers;  // per member: its virtual register
  std::vector<int32_t> global_index;  // per member: its global index, or -1
  std::vector<uint32_t> globals;  // per global: its member index
  int32_t member(uint16_t reg) const { return reg < index.size() ? index[reg] : -1; }
  int32_t global(uint16_t reg) const {
    const int32_t m = member(reg);
    return m < 0 ? -1 : global_index[m];
  }
};

// Symmetric interference relation between members: one row of words per member.
class krvk_interference_rows {
 public:
  explicit krvk_interference_rows(size_t members)
      : width_((members + 63) / 64), words_(members * width_, 0) {}
  void add(size_t a, size_t b) {
    words_[a * width_ + (b >> 6)] |= uint64_t{1} << (b & 63);
    words_[b * width_ + (a >> 6)] |= uint64_t{1} << (a & 63);
  }
  const uint64_t* row(size_t a) const { return words_.data() + a * width_; }
  size_t width() const { return width_; }
  size_t bytes() const { return words_.size() * sizeof(uint64_t); }

 private:
  size_t width_;  // words per row
  std::vector<uint64_t> words_;
};

// The members live at one point of the backward walk of a block: a bitset for membership and a list
// for walking, so a definition costs as much as there are live members, not the width of the set.
class krvk_live_set {
 public:
  explicit krvk_live_set(size_t members) : bits_(members), position_(members, 0) {}

  // Live exactly the members of `globals` (a set of global numbers) and nothing else.
  void assign(const krvk_bitset& globals, const krvk_allocation_members& members) {
    for (uint32_t m : list_) bits_.reset(m);
    list_.clear();
    globals.for_each([&](size_t g) { insert(members.globals[g]); });
  }
  void insert(uint32_t m) {
    if (bits_.test(m)) return;
    bits_.set(m);
    position_[m] = static_cast<uint32_t>(list_.size());
    list_.push_back(m);
  }
  void erase(uint32_t m) {
    if (!bits_.test(m)) return;
    bits_.reset(m);
    const uint32_t last = list_.back();
    list_[position_[m]] = last;
    position_[last] = position_[m];
    list_.pop_back();
  }
  const std::vector<uint32_t>& members() const { return list_; }

 private:
  krvk_bitset bits_;
  std::vector<uint32_t> position_;  // per member: its index in list_ while it is live
  std::vector<uint32_t> list_;
};

// Adds the instruction's reads of globals not yet defined in its block to `use`, then its writes to `def`
// (both indexed by global number).
void krvk_opt_collect_uses(const krvk_insn& insn, const krvk_allocation_members& members, krvk_bitset& use,
                           krvk_bitset& def);

// One step of the backward walk of a block: the member written here interferes with every member live
// after it and stops being live; then the members read here become live.
void krvk_opt_interference(const krvk_insn& insn, const krvk_allocation_members& members, krvk_live_set& live,
                           krvk_interference_rows& rows);

// Replaces every register operand below colours.size() by its colour.
void krvk_opt_rename_registers(krvk_insn& insn, const std::vector<int32_t>& colours);

// Allocates the registers of main code and prologue in place; returns the register count R.
uint16_t krvk_opt_allocate_registers(krvk_function_view& view);

// Bytes of the largest interference matrix any allocation has made in this process, for measurements.
size_t krvk_opt_peak_interference_bytes();
