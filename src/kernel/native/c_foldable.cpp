#include "kernel/native/c_foldable.h"

#include <bit>
#include <cmath>
#include <string_view>

#include "kernel/compiler/opcodes.h"

namespace {

bool is_float_binary(uint16_t op) {
  switch (op) {
    case KOP_ADD_F32: case KOP_ADD_F64: case KOP_SUB_F32: case KOP_SUB_F64: case KOP_MUL_F32: case KOP_MUL_F64:
    case KOP_DIV_F32: case KOP_DIV_F64: case KOP_MIN_F32: case KOP_MIN_F64: case KOP_MAX_F32: case KOP_MAX_F64:
      return true;
    default:
      return false;
  }
}

bool is_int_to_float(uint16_t op) {
  return op == KOP_CVT_S_F32 || op == KOP_CVT_U_F32 || op == KOP_CVT_S_F64 || op == KOP_CVT_U_F64;
}

// A float load from the frame (local arrays), or through a raw pointer, which may point into it.
bool is_local_float_load(const krvk_program& program, const krvk_insn& insn) {
  const std::string_view name = krvk_opcode_name(insn.op);
  if (!name.starts_with("LD") || !(name.ends_with("_F32") || name.ends_with("_F64"))) return false;
  if (name.starts_with("LDR")) return true;
  return program.frame_bytes != 0 && insn.b == program.frame_slot;
}

}  // namespace

namespace {

enum class constant_kind { not_float, visible, foldable, nan };

// A compiler that knows a float constant of the foldable kind folds operations with it into a result
// the processor would not give: x * 1.0f and x + -0.0 into x (a signalling NaN stays signalling),
// x * -1.0f and x / -1.0f into -x (a NaN changes its sign), 0.0f / 0.0f, inf - inf and sqrt(-2.0f) into
// a NaN of its own sign; those pass through K_OPAQUE where they are such operands. Positive finite
// constants other than 1 stay visible: with them a compiler only makes exact rewrites that keep every
// bit (x / 4.0f into x * 0.25f) or computes what the processor computes. A NaN constant is hidden
// outright: no compiler is trusted with the bits of a NaN it computes.
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

bool krvk_c_hidden_constant(const krvk_const& constant) { return kind_of(constant) == constant_kind::nan; }

krvk_c_register_facts krvk_c_register_facts_of(const krvk_program& program) {
  const size_t count = program.register_count;
  krvk_c_register_facts facts{std::vector<bool>(count), std::vector<bool>(count)};
  const auto known = [&](uint32_t reg) { return reg < count && (facts.foldable[reg] || facts.visible_constant[reg]); };
  std::vector<uint32_t> work;
  const auto mark = [&](uint32_t reg) {
    if (reg < count && !facts.foldable[reg]) {
      facts.foldable[reg] = true;
      work.push_back(reg);
    }
  };
  // A move passes the flag on; arithmetic makes a foldable value of operands the compiler may know.
  const auto consider = [&](const krvk_insn& insn) {
    if (insn.op == KOP_MOV ? known(insn.b) : known(insn.b) && known(insn.c)) mark(insn.a);
  };
  for (const krvk_const& constant : program.constants) {
    const constant_kind kind = kind_of(constant);
    if (constant.reg < count && kind == constant_kind::visible) facts.visible_constant[constant.reg] = true;
    if (kind == constant_kind::foldable) mark(constant.reg);
  }
  std::vector<std::vector<uint32_t>> readers(count);  // the moves and arithmetic reading each register
  for (uint32_t i = 0; i < program.code.size(); ++i) {
    const krvk_insn& insn = program.code[i];
    if (is_int_to_float(insn.op) || is_local_float_load(program, insn)) {
      mark(insn.a);
    } else if (insn.op == KOP_MOV || is_float_binary(insn.op)) {
      if (insn.b < count) readers[insn.b].push_back(i);
      if (insn.op != KOP_MOV && insn.c < count) readers[insn.c].push_back(i);
      consider(insn);
    }
  }
  while (!work.empty()) {
    const uint32_t reg = work.back();
    work.pop_back();
    for (const uint32_t i : readers[reg]) consider(program.code[i]);
  }
  return facts;
}
