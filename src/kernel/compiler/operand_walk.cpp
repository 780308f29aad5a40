#include "kernel/compiler/operand_walk.h"

#include <array>
#include <cstring>

namespace {

std::array<krvk_operand_layout, KRVK_OPCODE_COUNT> build_layouts() {
  std::array<krvk_operand_layout, KRVK_OPCODE_COUNT> layouts{};
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    krvk_operand_layout& layout = layouts[op];
    const char* signature = krvk_opcode_signature(op);
    layout.count = static_cast<uint8_t>(krvk_place_operands(signature, layout.fields));
    std::memcpy(layout.letters, signature, layout.count);
  }
  return layouts;
}

}  // namespace

const krvk_operand_layout& krvk_opcode_layout(uint16_t op) noexcept {
  static const std::array<krvk_operand_layout, KRVK_OPCODE_COUNT> layouts = build_layouts();
  static const krvk_operand_layout none{};
  return op < KRVK_OPCODE_COUNT ? layouts[op] : none;
}
