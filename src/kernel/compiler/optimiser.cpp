#include "kernel/compiler/optimiser.h"

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "kernel/compiler/expression_value.h"
#include "kernel/compiler/operand_walk.h"

// ---- opcode tables --------------------------------------------------------------------------------

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::array<bool, KRVK_OPCODE_COUNT> build_pure_set() {
  static constexpr std::string_view kPurePrefixes[] = {
      "MOV",  "ADD_", "SUB_",  "MUL_", "ADDI_", "DIVC_", "MODC_", "DIV_F",  "MOD_F",  "AND_",
      "OR_",  "XOR_", "SHL_",  "SHR_", "NEG_",  "NOT_",  "LNOT",  "MIN_",   "MAX_",   "ABS_",
      "SQRT_", "MATH", "CMP",  "TRUNC_", "CVT_S_", "CVT_U_", "CVT_F32_F64", "CVT_F64_F32", "BOOL_F", "ADDRU"};
  std::array<bool, KRVK_OPCODE_COUNT> pure{};
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    for (std::string_view prefix : kPurePrefixes) pure[op] = pure[op] || starts_with(krvk_opcode_name(op), prefix);
  }
  return pure;
}

std::array<krvk_memory_class, KRVK_OPCODE_COUNT> build_memory_classes() {
  std::array<krvk_memory_class, KRVK_OPCODE_COUNT> classes{};
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    const std::string_view name = krvk_opcode_name(op);
    if (starts_with(name, "LD")) classes[op] = KRVK_MEMORY_READS;
    if (starts_with(name, "ST") || starts_with(name, "AADD") || name == "COPY" || name == "ZERO") {
      classes[op] = KRVK_MEMORY_WRITES;
    }
  }
  return classes;
}

uint16_t opcode_named(std::string_view name) {
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    if (name == krvk_opcode_name(op)) return op;
  }
  return 0;
}

std::array<krvk_unchecked_twin, KRVK_OPCODE_COUNT> build_twins() {
  struct rule {
    std::string_view checked;
    std::string_view unchecked;
    uint32_t kind;
  };
  static constexpr rule kRules[] = {{"LD_", "LDU_", 1}, {"ST_", "STU_", 1}, {"LDF_", "LDFU_", 2}, {"STF_", "STFU_", 2}};
  std::array<krvk_unchecked_twin, KRVK_OPCODE_COUNT> twins{};
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    const std::string_view name = krvk_opcode_name(op);
    for (const rule& r : kRules) {
      if (!starts_with(name, r.checked)) continue;
      const std::string twin = std::string(r.unchecked) + std::string(name.substr(r.checked.size()));
      twins[op] = krvk_unchecked_twin{opcode_named(twin), r.kind};
    }
  }
  twins[KOP_ADDR] = krvk_unchecked_twin{KOP_ADDRU, 2};
  return twins;
}

}  // namespace

bool krvk_opcode_is_pure(uint16_t op) noexcept {
  static const std::array<bool, KRVK_OPCODE_COUNT> pure = build_pure_set();
  return op < KRVK_OPCODE_COUNT && pure[op];
}

krvk_memory_class krvk_opcode_memory_class(uint16_t op) noexcept {
  static const std::array<krvk_memory_class, KRVK_OPCODE_COUNT> classes = build_memory_classes();
  return op < KRVK_OPCODE_COUNT ? classes[op] : KRVK_MEMORY_NONE;
}

krvk_unchecked_twin krvk_opcode_unchecked_twin(uint16_t op) noexcept {
  static const std::array<krvk_unchecked_twin, KRVK_OPCODE_COUNT> twins = build_twins();
  return op < KRVK_OPCODE_COUNT ? twins[op] : krvk_unchecked_twin{};
}

// ---- shared helpers -------------------------------------------------------------------------------

krvk_bitset krvk_opt_block_leaders(const krvk_function_view& view) {
  const std::vector<krvk_insn>& code = view.program->code;
  krvk_bitset leaders(code.size() + 1);
  leaders.set(0);
  for (size_t i = 0; i < code.size(); ++i) {
    const krvk_insn& insn = code[i];
    if (insn.op == KOP_END) leaders.set(i + 1);
    krvk_for_each_operand(insn, [&](char letter, uint64_t value) {
      if (letter != 'J') return;
      if (value <= code.size()) leaders.set(value);
      leaders.set(i + 1);
    });
  }
  return leaders;
}

void krvk_insn_count_reads(std::vector<uint32_t>& counts, const krvk_insn& insn) {
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    if (krvk_is_read_letter(letter) && reg < krvk_constant_operand_base && reg < counts.size()) ++counts[reg];
  });
}

krvk_rename_map::krvk_rename_map(uint16_t registers) : map_(registers) {
  for (uint16_t r = 0; r < registers; ++r) map_[r] = r;
}

void krvk_rename_map::apply(krvk_insn& insn) const {
  krvk_for_each_register_operand(insn, [&](char, uint16_t& reg) {
    if (reg < map_.size()) reg = map_[reg];
  });
}

namespace {

// How many main-code instructions write each register below N.
std::vector<uint32_t> count_writes(const krvk_function_view& view) {
  std::vector<uint32_t> writes(view.register_count, 0);
  for (const krvk_insn& insn : view.program->code) {
    krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
      if (letter == 'D' && reg < writes.size()) ++writes[reg];
    });
  }
  return writes;
}

// The destination (field a) of an instruction when it is a body register the passes may rewrite: at
// least F, below N and written by exactly one main-code instruction.
bool single_write_destination(const krvk_function_view& view, const std::vector<uint32_t>& writes, uint16_t d) {
  return d >= view.fixed_registers && d < view.register_count && d < krvk_constant_operand_base && writes[d] == 1;
}

void remap_code(std::vector<krvk_insn>& code, const krvk_rename_map& rename) {
  for (krvk_insn& insn : code) rename.apply(insn);
}

// A short sequence of u64 words identifying a computation: at most the opcode, the store count and three
// operands with their versions.
struct value_key {
  static constexpr uint32_t kCapacity = 8;
  uint64_t words[kCapacity];
  uint32_t length = 0;

  void add(uint64_t word) { words[length++] = word; }
  bool operator==(const value_key& other) const {
    return length == other.length && std::memcmp(words, other.words, length * sizeof(uint64_t)) == 0;
  }
  uint64_t hash() const {
    uint64_t h = length;
    for (uint32_t i = 0; i < length; ++i) {
      h = (h ^ words[i]) * 0x9E3779B97F4A7C15ull;
      h ^= h >> 29;
    }
    return h;
  }
};

// Open-addressing map from keys to registers whose clear() costs nothing: a slot counts only when it
// carries the current generation. It starts small and doubles when half full, so its size follows the
// largest block rather than the whole code.
class key_table {
 public:
  key_table() : slots_(kInitialCapacity), mask_(kInitialCapacity - 1) {}

  void clear() {
    ++generation_;
    entries_ = 0;
  }

  // The register stored for the key, or nullptr.
  uint16_t* find(const value_key& key) {
    slot& s = probe(key);
    return s.generation == generation_ ? &s.value : nullptr;
  }

  void put(const value_key& key, uint16_t value) {
    slot* s = &probe(key);
    if (s->generation != generation_) {
      if (2 * (entries_ + 1) > slots_.size()) {
        grow();
        s = &probe(key);
      }
      ++entries_;
    }
    s->generation = generation_;
    s->key = key;
    s->value = value;
  }

 private:
  static constexpr size_t kInitialCapacity = 64;

  struct slot {
    uint32_t generation = 0;
    uint16_t value = 0;
    value_key key;
  };

  // The slot holding the key, or the free slot where it would go.
  slot& probe(const value_key& key) {
    for (size_t i = key.hash() & mask_;; i = (i + 1) & mask_) {
      slot& s = slots_[i];
      if (s.generation != generation_ || s.key == key) return s;
    }
  }

  void grow() {
    std::vector<slot> old(slots_.size() * 2);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.generation == generation_) probe(s.key) = s;
    }
  }

  std::vector<slot> slots_;
  size_t mask_;
  size_t entries_ = 0;  // keys of the current generation
  uint32_t generation_ = 1;
};

// ---- forward pass ---------------------------------------------------------------------------------

// The walk state of the forward pass: register versions bumped at every write, and the store counter.
class forward_walk {
 public:
  explicit forward_walk(krvk_function_view& view)
      : view_(view),
        writes_(count_writes(view)),
        rename_(view.register_count),
        versions_(view.register_count, 0) {}

  void run() {
    std::vector<krvk_insn>& code = view_.program->code;
    const krvk_bitset leaders = krvk_opt_block_leaders(view_);
    for (size_t i = 0; i < code.size(); ++i) {
      if (leaders.test(i)) {
        values_.clear();
        bounds_tests_.clear();
      }
      krvk_insn& insn = code[i];
      rename_.apply(insn);
      if (insn.op == KOP_NOP) continue;
      if (krvk_opcode_memory_class(insn.op) == KRVK_MEMORY_WRITES) ++stores_;
      if (number_value(insn) || remove_bounds_test(insn)) continue;
      bump_written_versions(insn);
    }
    remap_code(code, rename_);
  }

 private:
  // A constant operand has version 0, as a register never written in the walk has.
  uint64_t version(uint64_t operand) const { return operand < versions_.size() ? versions_[operand] : 0; }

  // Replaces a repeated computation by the first one's register; true when the instruction became NOP.
  bool number_value(krvk_insn& insn) {
    const bool is_load = krvk_opcode_memory_class(insn.op) == KRVK_MEMORY_READS;
    if (!is_load && !(krvk_opcode_is_pure(insn.op) && insn.op != KOP_MOV)) return false;
    const uint16_t d = insn.a;
    if (!single_write_destination(view_, writes_, d)) return false;
    value_key key;
    key.add(insn.op);
    if (is_load) key.add(~stores_);
    krvk_for_each_operand(insn, [&](char letter, uint64_t value) {
      if (letter == 'D') return;
      key.add(value);
      if (krvk_is_read_letter(letter)) key.add(version(value));
    });
    const uint16_t* earlier = values_.find(key);
    if (earlier != nullptr && writes_[*earlier] == 1) {
      rename_.send(d, *earlier);
      insn = krvk_insn{};
      return true;
    }
    values_.put(key, d);
    return false;
  }

  // Turns a repeated bounds test into its unchecked form (or drops a repeated CHKIDX); true when the
  // instruction became NOP.
  bool remove_bounds_test(krvk_insn& insn) {
    value_key key;
    const krvk_unchecked_twin twin = krvk_opcode_unchecked_twin(insn.op);
    if (twin.kind != 0) {
      for (uint64_t word : {uint64_t{twin.kind}, uint64_t{insn.b}, uint64_t{insn.c}, version(insn.c),
                            twin.kind == 1 ? insn.x : 0}) {
        key.add(word);
      }
      if (bounds_tests_.find(key) != nullptr) {
        insn.op = twin.twin;
      } else {
        bounds_tests_.put(key, 0);
      }
      return false;
    }
    if (insn.op != KOP_CHKIDX) return false;
    for (uint64_t word : {uint64_t{3}, uint64_t{insn.a}, version(insn.a), insn.x}) key.add(word);
    if (bounds_tests_.find(key) != nullptr) {
      insn = krvk_insn{};
      return true;
    }
    bounds_tests_.put(key, 0);
    return false;
  }

  void bump_written_versions(const krvk_insn& insn) {
    krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
      if (letter == 'D' && reg < versions_.size()) versions_[reg] = ++version_counter_;
    });
  }

  krvk_function_view& view_;
  std::vector<uint32_t> writes_;
  krvk_rename_map rename_;
  std::vector<uint32_t> versions_;  // per register: the walk's write number of its latest write, 0 = none
  uint32_t version_counter_ = 0;
  uint64_t stores_ = 0;  // memory writes so far; part of a load's key, so a write separates two loads
  key_table values_;  // computation -> register holding its result, in the current block
  key_table bounds_tests_;  // accesses already bounds-tested in the current block
};

// ---- prologue hoisting ----------------------------------------------------------------------------

// Registers whose value is the same for every work item of a launch: gsize and its parts, the scalar
// parameters and, as hoisting goes on, the hoisted results. gid, its parts and every accumulator are not.
krvk_bitset initial_uniform_set(const krvk_function_view& view) {
  const krvk_program& program = *view.program;
  krvk_bitset uniform(view.register_count);
  for (uint16_t r = 0; r < view.fixed_registers && r < view.register_count; ++r) uniform.set(r);
  for (uint16_t r : {program.gid_reg, program.gid_x_reg, program.gid_y_reg, program.acc_reg}) {
    if (r < view.register_count) uniform.reset(r);
  }
  for (const krvk_acc& acc : program.accumulators) {
    if (acc.reg < view.register_count) uniform.reset(acc.reg);
  }
  return uniform;
}

bool reads_only_uniform(const krvk_insn& insn, const krvk_function_view& view, const krvk_bitset& uniform) {
  bool all = true;
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    if (letter == 'D' || reg >= krvk_constant_operand_base) return;
    all = all && reg < view.register_count && uniform.test(reg);
  });
  return all;
}

std::shared_ptr<krvk_program> make_prologue(const krvk_program& kernel, std::vector<krvk_insn> code) {
  auto prologue = std::make_shared<krvk_program>();
  prologue->name = kernel.name + " (prologue)";
  prologue->gid_reg = kernel.gid_reg;
  prologue->code = std::move(code);
  prologue->code.push_back(krvk_insn{KOP_END, 0, 0, 0, 0});
  return prologue;
}

}  // namespace

void krvk_opt_forward(krvk_function_view& view) { forward_walk(view).run(); }

void krvk_opt_hoist_prologue(krvk_function_view& view) {
  std::vector<krvk_insn>& code = view.program->code;
  const std::vector<uint32_t> writes = count_writes(view);
  krvk_bitset uniform = initial_uniform_set(view);
  krvk_rename_map rename(view.register_count);
  key_table hoisted;
  std::vector<krvk_insn> prologue;
  for (krvk_insn& insn : code) {
    if (rename.changed()) rename.apply(insn);
    if (!krvk_opcode_is_pure(insn.op) || !single_write_destination(view, writes, insn.a)) continue;
    if (!reads_only_uniform(insn, view, uniform)) continue;
    value_key key;
    for (uint64_t word : {uint64_t{insn.op}, uint64_t{insn.b}, uint64_t{insn.c}, insn.x}) key.add(word);
    if (const uint16_t* earlier = hoisted.find(key)) {
      rename.send(insn.a, *earlier);
    } else {
      hoisted.put(key, insn.a);
      prologue.push_back(insn);
    }
    uniform.set(insn.a);
    insn = krvk_insn{};
  }
  if (rename.changed()) remap_code(code, rename);
  if (!prologue.empty()) view.program->prologue = make_prologue(*view.program, std::move(prologue));
}

// ---- dead code ------------------------------------------------------------------------------------

namespace {

constexpr int kDeadCodeRounds = 8;

// One round: returns whether anything was removed.
bool remove_unread_results(krvk_function_view& view) {
  krvk_program& program = *view.program;
  std::vector<uint32_t> reads(view.register_count, 0);
  for (const krvk_insn& insn : program.code) krvk_insn_count_reads(reads, insn);
  if (program.prologue) {
    for (const krvk_insn& insn : program.prologue->code) krvk_insn_count_reads(reads, insn);
  }
  // A destination nobody reads; registers at or above N are never read by anything counted here.
  auto unread = [&](uint16_t d) {
    return d >= view.fixed_registers && d < krvk_constant_operand_base && (d >= reads.size() || reads[d] == 0);
  };
  bool changed = false;
  for (krvk_insn& insn : program.code) {
    if (insn.op == KOP_NOP || !krvk_opcode_is_pure(insn.op) || !unread(insn.a)) continue;
    insn = krvk_insn{};
    changed = true;
  }
  if (!program.prologue) return changed;
  std::vector<krvk_insn>& prologue = program.prologue->code;
  // Every instruction but the closing END; the prologue holds only pure code, so no purity test.
  size_t kept = 0;
  for (size_t i = 0; i < prologue.size(); ++i) {
    if (i + 1 < prologue.size() && unread(prologue[i].a)) continue;
    prologue[kept++] = prologue[i];
  }
  changed = changed || kept != prologue.size();
  prologue.resize(kept);
  if (prologue.size() < 2) {
    program.prologue.reset();
    changed = true;
  }
  return changed;
}

}  // namespace

void krvk_opt_dead_code(krvk_function_view& view) {
  for (int round = 0; round < kDeadCodeRounds; ++round) {
    if (!remove_unread_results(view)) return;
  }
}

void krvk_opt_optimise(krvk_function_view& view) {
  krvk_opt_forward(view);
  krvk_opt_hoist_prologue(view);
  krvk_opt_forward(view);
  krvk_opt_dead_code(view);
}
