// Back end of the kernel compiler: what turns the emitted code of one entry kernel into a finished
// program (jump patching, compaction, optional optimiser and register allocation, constants placed
// behind the registers). `krvk_compiler::finish_function` drives it; this header holds the parts that
// do not need the checker's context.
//
// The optimiser and the register allocator are passes over a function view. They are handed to the
// compiler as hooks, so a compilation can run with or without them and the results can be compared;
// empty hooks skip them, and the register file then keeps one cell per virtual register.
#pragma once
#include <cstdint>
#include <functional>

#include "kernel/compiler/program.h"

// One entry kernel as the passes see it.
struct krvk_function_view {
  krvk_program* program = nullptr;
  uint16_t fixed_registers = 0;  // registers that keep their numbers (builtins, accumulators, parameters)
  uint16_t register_count = 0;  // virtual registers handed out by the checker
};

struct krvk_back_end_passes {
  // Value numbering, prologue hoisting and dead code; may attach a prologue program.
  std::function<void(krvk_function_view&)> optimise;
  // Maps the virtual registers onto as few as possible; returns the register count.
  std::function<uint16_t(krvk_function_view&)> allocate_registers;
};

// The passes a compilation runs unless told otherwise.
const krvk_back_end_passes& krvk_default_back_end_passes();

// Removes NOPs (and jumps to the next instruction, which become NOPs) from the code, keeping jump
// targets, line and file tables consistent; at most 4 rounds.
void krvk_opt_compact(krvk_program& program);
