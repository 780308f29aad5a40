#include "kernel/native/c_foldable.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string_view>

#include "kernel/compiler/opcodes.h"

namespace {

// + - * / of floats.
bool is_float_arithmetic(uint16_t op) {
  switch (op) {
    case KOP_ADD_F32: case KOP_ADD_F64: case KOP_SUB_F32: case KOP_SUB_F64: case KOP_MUL_F32: case KOP_MUL_F64:
    case KOP_DIV_F32: case KOP_DIV_F64:
      return true;
    default:
      return false;
  }
}

bool is_float_binary(uint16_t op) {
  return is_float_arithmetic(op) || op == KOP_MIN_F32 || op == KOP_MIN_F64 || op == KOP_MAX_F32 || op == KOP_MAX_F64;
}

bool is_int_to_float(uint16_t op) {
  return op == KOP_CVT_S_F32 || op == KOP_CVT_U_F32 || op == KOP_CVT_S_F64 || op == KOP_CVT_U_F64;
}

bool is_float_access(std::string_view name, std::string_view prefix) {
  return name.starts_with(prefix) && (name.ends_with("_F32") || name.ends_with("_F64"));
}

bool in_frame(const krvk_program& program, const krvk_insn& insn) {
  return program.frame_bytes != 0 && insn.b == program.frame_slot;
}

// A float load from the frame (local arrays), or through a raw pointer, which may point into it.
bool is_local_float_load(const krvk_program& program, const krvk_insn& insn) {
  const std::string_view name = krvk_opcode_name(insn.op);
  if (!is_float_access(name, "LD")) return false;
  return name.starts_with("LDR") || in_frame(program, insn);
}

// A float store that may reach memory outside the frame (a raw pointer may point anywhere).
bool is_outer_float_store(const krvk_program& program, const krvk_insn& insn) {
  const std::string_view name = krvk_opcode_name(insn.op);
  if (!is_float_access(name, "ST")) return false;
  return name.starts_with("STR") || !in_frame(program, insn);
}

// The two operand registers of a float equality test (a compare, or a compare and jump); false for
// other instructions.
bool float_equality_operands(const krvk_insn& insn, uint32_t& left, uint32_t& right) {
  switch (insn.op) {
    case KOP_CMPEQ_F32: case KOP_CMPNE_F32: case KOP_CMPEQ_F64: case KOP_CMPNE_F64:
      left = insn.b, right = insn.c;
      return true;
    case KOP_JTEQ_F32: case KOP_JTNE_F32: case KOP_JFEQ_F32: case KOP_JFNE_F32:
    case KOP_JTEQ_F64: case KOP_JTNE_F64: case KOP_JFEQ_F64: case KOP_JFNE_F64:
      left = insn.a, right = insn.b;
      return true;
    default:
      return false;
  }
}

enum class constant_kind { not_float, visible, foldable, nan };

// A compiler that knows a float constant of the foldable kind folds operations with it into a result
// the processor would not give: x * 1.0f and x + -0.0 into x (a signalling NaN stays signalling),
// x * -1.0f and x / -1.0f into -x (a NaN changes its sign), 0.0f / 0.0f, inf - inf and sqrt(-2.0f) into
// a NaN of its own sign; those pass through K_OPAQUE where they are such operands. Positive finite
// constants other than 1 stay visible: with them a compiler only makes exact rewrites that keep every
// bit (x / 4.0f into x * 0.25f) or computes what the processor computes. A NaN constant is hidden
// outright: no compiler is trusted with the bits of a NaN it computes; so is any constant an equality
// test compares with.
constant_kind kind_of(const krvk_const& constant) {
  double value = 0;
  if (constant.prim == KRVK_F32) {
    value = std::bit_cast<float>(static_cast<uint32_t>(constant.bits));
  } else if (constant.prim == KRVK_F64) {
    value = std::bit_cast<double>(constant.bits);
  } else {
    return constant_kind::not_float;
  }
  if (std::isnan(value)) return constant_kind::nan;
  return std::isfinite(value) && value > 0 && value != 1 ? constant_kind::visible : constant_kind::foldable;
}

}  // namespace

namespace {

// Which float constants stay visible, which are hidden and which are foldable (c_foldable.h); the
// foldable ones are marked through `mark`.
template <class Mark>
void sort_constants(const krvk_program& program, krvk_c_register_facts& facts, Mark mark) {
  const size_t count = program.register_count;
  std::vector<bool> compared(count);  // operands of float equality tests
  for (const krvk_insn& insn : program.code) {
    uint32_t left = 0, right = 0;
    if (!float_equality_operands(insn, left, right)) continue;
    if (left < count) compared[left] = true;
    if (right < count) compared[right] = true;
  }
  for (const krvk_const& constant : program.constants) {
    const constant_kind kind = kind_of(constant);
    if (constant.reg >= count || kind == constant_kind::not_float) continue;
    if (kind == constant_kind::nan || compared[constant.reg]) {
      facts.hidden_constant[constant.reg] = true;
    } else if (kind == constant_kind::visible) {
      facts.visible_constant[constant.reg] = true;
    } else {
      mark(constant.reg);
    }
  }
}

// Marks the foldable registers: the seeds, then what moves and arithmetic make of them, to a fixed point.
class foldable_marker {
 public:
  foldable_marker(const krvk_program& program, krvk_c_register_facts& facts)
      : program_(program), facts_(facts), readers_(program.register_count) {
    for (uint32_t i = 0; i < program.code.size(); ++i) {
      const krvk_insn& insn = program.code[i];
      if (insn.op != KOP_MOV && !is_float_binary(insn.op)) continue;
      if (insn.b < readers_.size()) readers_[insn.b].push_back(i);
      if (insn.op != KOP_MOV && insn.c < readers_.size()) readers_[insn.c].push_back(i);
    }
  }

  void mark(uint32_t reg) {
    if (reg < facts_.foldable.size() && !facts_.foldable[reg]) {
      facts_.foldable[reg] = true;
      work_.push_back(reg);
    }
  }

  // Passes the marks on until nothing changes; each register is taken once, so linear in the code.
  void spread() {
    for (const krvk_insn& insn : program_.code) consider(insn);
    while (!work_.empty()) {
      const uint32_t reg = work_.back();
      work_.pop_back();
      for (const uint32_t i : readers_[reg]) consider(program_.code[i]);
    }
  }

 private:
  bool known(uint32_t reg) const {
    return reg < facts_.foldable.size() && (facts_.foldable[reg] || facts_.visible_constant[reg]);
  }
  // A move passes the flag on; arithmetic makes a foldable value of operands the compiler may know.
  void consider(const krvk_insn& insn) {
    if (insn.op == KOP_MOV ? known(insn.b) : is_float_binary(insn.op) && known(insn.b) && known(insn.c)) mark(insn.a);
  }

  const krvk_program& program_;
  krvk_c_register_facts& facts_;
  std::vector<std::vector<uint32_t>> readers_;  // the moves and arithmetic reading each register
  std::vector<uint32_t> work_;  // marked registers whose readers are still to be considered
};

// Marks the float loads that may give back a foldable float stored before: those of each slot such a
// float is stored to, of every slot after a raw store (raw loads are foldable already).
void mark_reloads(const krvk_program& program, const krvk_c_register_facts& facts, foldable_marker& marker) {
  const size_t count = program.register_count;
  std::vector<bool> stored_to(program.pointer_count + 1);
  bool raw_store = false;
  for (const krvk_insn& insn : program.code) {
    if (!is_outer_float_store(program, insn) || insn.a >= count || !facts.foldable[insn.a]) continue;
    const bool raw = std::string_view(krvk_opcode_name(insn.op)).starts_with("STR");
    raw_store = raw_store || raw;
    if (!raw && insn.b < stored_to.size()) stored_to[insn.b] = true;
  }
  for (const krvk_insn& insn : program.code) {
    const std::string_view name = krvk_opcode_name(insn.op);
    if (!is_float_access(name, "LD") || name.starts_with("LDR")) continue;
    if (raw_store || (insn.b < stored_to.size() && stored_to[insn.b])) marker.mark(insn.a);
  }
}

// The instructions that forward conditional jumps skip, but for a loop's body after its exit test (the
// skipped stretch ends with the jump back).
std::vector<bool> skipped_by_a_branch(const krvk_program& program) {
  const size_t size = program.code.size();
  std::vector<int> opened(size + 1);  // +1 where a skipped stretch starts, -1 after it
  for (uint32_t j = 0; j < size; ++j) {
    const krvk_insn& insn = program.code[j];
    const bool jumps = std::string_view(krvk_opcode_signature(insn.op)).find('J') != std::string_view::npos;
    if (!jumps || insn.op == KOP_JMP || insn.op == KOP_LOOP || insn.x <= j + 1 || insn.x > size) continue;
    const krvk_insn& last = program.code[insn.x - 1];
    if ((last.op == KOP_JMP || last.op == KOP_LOOP) && last.x <= j) continue;
    ++opened[j + 1];
    --opened[insn.x];
  }
  std::vector<bool> skipped(size);
  int depth = 0;
  for (size_t i = 0; i < size; ++i) skipped[i] = (depth += opened[i]) > 0;
  return skipped;
}

// The float + - * / that a branch skips and whose result register holds one of its operands where it
// is skipped: an update in place, or a register a move copies one of the operands into.
void mark_skippable_updates(const krvk_program& program, krvk_c_register_facts& facts) {
  std::vector<std::pair<uint32_t, uint32_t>> copies;  // (to, from) of every move, sorted
  for (const krvk_insn& insn : program.code) {
    if (insn.op == KOP_MOV) copies.emplace_back(insn.a, insn.b);
  }
  std::sort(copies.begin(), copies.end());
  const auto copied = [&](uint32_t to, uint32_t from) {
    return to == from || std::binary_search(copies.begin(), copies.end(), std::pair(to, from));
  };
  const std::vector<bool> skipped = skipped_by_a_branch(program);
  for (size_t i = 0; i < program.code.size(); ++i) {
    const krvk_insn& insn = program.code[i];
    facts.hidden_result[i] =
        is_float_arithmetic(insn.op) && skipped[i] && (copied(insn.a, insn.b) || copied(insn.a, insn.c));
  }
}

}  // namespace

krvk_c_register_facts krvk_c_register_facts_of(const krvk_program& program) {
  const size_t count = program.register_count;
  krvk_c_register_facts facts{std::vector<bool>(count), std::vector<bool>(count), std::vector<bool>(count),
                              std::vector<bool>(program.code.size())};
  foldable_marker marker(program, facts);
  sort_constants(program, facts, [&](uint32_t reg) { marker.mark(reg); });
  for (const krvk_insn& insn : program.code) {
    if (is_int_to_float(insn.op) || is_local_float_load(program, insn)) marker.mark(insn.a);
  }
  marker.spread();
  mark_reloads(program, facts, marker);
  marker.spread();
  mark_skippable_updates(program, facts);
  return facts;
}
