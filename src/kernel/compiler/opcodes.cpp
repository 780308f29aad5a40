#include "kernel/compiler/opcodes.h"

#include <array>

#include "kernel/compiler/operand_walk.h"

#define KRVK_OPCODE_NAME(name, signature) #name,
const char* const krvk_opcode_names[KRVK_OPCODE_COUNT] = {KRVK_OPCODES(KRVK_OPCODE_NAME)};
#undef KRVK_OPCODE_NAME

#define KRVK_OPCODE_SIGNATURE(name, signature) signature,
const char* const krvk_opcode_signatures[KRVK_OPCODE_COUNT] = {KRVK_OPCODES(KRVK_OPCODE_SIGNATURE)};
#undef KRVK_OPCODE_SIGNATURE

const char* krvk_opcode_name(uint32_t op) noexcept { return op < KRVK_OPCODE_COUNT ? krvk_opcode_names[op] : "?"; }

const char* krvk_opcode_signature(uint32_t op) noexcept {
  return op < KRVK_OPCODE_COUNT ? krvk_opcode_signatures[op] : "";
}

uint32_t krvk_place_operands(std::string_view signature, krvk_operand_field fields[4]) noexcept {
  const krvk_operand_layout layout = krvk_detail::layout_of(signature);
  for (uint32_t i = 0; i < layout.count; ++i) fields[i] = layout.fields[i];
  return layout.count;
}

uint64_t krvk_operand_value(const krvk_insn& insn, krvk_operand_field field) noexcept {
  switch (field) {
    case KRVK_FIELD_A: return insn.a;
    case KRVK_FIELD_B: return insn.b;
    case KRVK_FIELD_C: return insn.c;
    case KRVK_FIELD_X: break;
  }
  return insn.x;
}

const char* krvk_math_fn_name(uint32_t selector) noexcept {
  static constexpr std::array<const char*, KRVK_MATH_COUNT> names = {
      "floor", "ceil", "round", "trunc", "sin", "cos", "tan", "asin",
      "acos", "atan", "exp", "log", "log2", "log10", "pow", "atan2"};
  return selector < names.size() ? names[selector] : "?";
}
