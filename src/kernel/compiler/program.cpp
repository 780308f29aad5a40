#include "kernel/compiler/program.h"

krvk_program::krvk_program() : jit_slot(std::make_shared<krvk_jit_slot>()) {}

krvk_program::~krvk_program() = default;

std::string krvk_pointer_slot_name(const krvk_program& program, uint64_t slot) {
  if (program.frame_bytes != 0 && slot == program.frame_slot) return "frame";
  for (const krvk_param& param : program.parameters) {
    if (param.type.is_pointer && param.pointer_slot == slot) return param.name;
  }
  return "?";
}
