// Walking the operands of an instruction by signature letter, for the back end and its passes.
//
// The placement of every opcode's letters (which of a, b, c or x each one occupies) is computed when
// the project is compiled into a table, so the passes, which visit every operand of every instruction several times, do not
// parse signature strings in their inner loops. Register operands are the letters D (written), R and I
// (read); an I operand lives in the low 16 bits of x and is written back there as a 16-bit number.
#pragma once
#include <cstdint>
#include <string_view>

#include "kernel/compiler/opcodes.h"

// The letters of one opcode with the field each one occupies.
struct krvk_operand_layout {
  uint8_t count = 0;
  char letters[4] = {};
  krvk_operand_field fields[4] = {};
};

namespace krvk_detail {

// The placement rule of krvk_place_operands, at compile time: D, R, P, K and T take the next free field
// of a, b, c and then x; I, J, O and S always take x.
constexpr krvk_operand_layout layout_of(std::string_view signature) {
  krvk_operand_layout layout;
  uint8_t next_field = KRVK_FIELD_A;
  for (; layout.count < 4 && layout.count < signature.size(); ++layout.count) {
    const char letter = signature[layout.count];
    const bool takes_a_free_field = letter == 'D' || letter == 'R' || letter == 'P' || letter == 'K' || letter == 'T';
    layout.letters[layout.count] = letter;
    layout.fields[layout.count] =
        takes_a_free_field && next_field <= KRVK_FIELD_C ? static_cast<krvk_operand_field>(next_field++) : KRVK_FIELD_X;
  }
  return layout;
}

#define KRVK_OPERAND_LAYOUT(name, signature) layout_of(signature),
inline constexpr krvk_operand_layout kLayouts[KRVK_OPCODE_COUNT + 1] = {KRVK_OPCODES(KRVK_OPERAND_LAYOUT){}};
#undef KRVK_OPERAND_LAYOUT

}  // namespace krvk_detail

// Layout of an opcode; a number of 270 or more has no operands.
inline const krvk_operand_layout& krvk_opcode_layout(uint16_t op) noexcept {
  return krvk_detail::kLayouts[op < KRVK_OPCODE_COUNT ? op : uint16_t{KRVK_OPCODE_COUNT}];
}

inline bool krvk_is_register_letter(char letter) { return letter == 'D' || letter == 'R' || letter == 'I'; }
inline bool krvk_is_read_letter(char letter) { return letter == 'R' || letter == 'I'; }

// Calls visit(letter, value) for every operand, in signature order, with the field's raw value.
template <class Visit>
void krvk_for_each_operand(const krvk_insn& insn, Visit visit) {
  const krvk_operand_layout& layout = krvk_opcode_layout(insn.op);
  for (uint32_t i = 0; i < layout.count; ++i) visit(layout.letters[i], krvk_operand_value(insn, layout.fields[i]));
}

// Calls visit(letter, operand) with a modifiable 16-bit value for every register operand (D, R, I).
template <class Visit>
void krvk_for_each_register_operand(krvk_insn& insn, Visit visit) {
  const krvk_operand_layout& layout = krvk_opcode_layout(insn.op);
  for (uint32_t i = 0; i < layout.count; ++i) {
    const char letter = layout.letters[i];
    if (!krvk_is_register_letter(letter)) continue;
    switch (layout.fields[i]) {
      case KRVK_FIELD_A: visit(letter, insn.a); break;
      case KRVK_FIELD_B: visit(letter, insn.b); break;
      case KRVK_FIELD_C: visit(letter, insn.c); break;
      case KRVK_FIELD_X: {
        auto reg = static_cast<uint16_t>(insn.x);
        visit(letter, reg);
        insn.x = reg;
        break;
      }
    }
  }
}

// The same for reading only.
template <class Visit>
void krvk_for_each_register_operand(const krvk_insn& insn, Visit visit) {
  krvk_insn copy = insn;
  krvk_for_each_register_operand(copy, [&](char letter, uint16_t& reg) { visit(letter, static_cast<uint16_t>(reg)); });
}
