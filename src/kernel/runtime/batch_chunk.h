// The batch engine's work on one chunk of work items: groups of up to 64 lanes on the 64-lane
// interpreter, per-lane accumulators folded group by group, and lanes that diverge at a conditional jump
// finished one by one on the scalar interpreter.
//
// A lane runner owns one krvk_batch_runner for its whole life. The wide file is allocated once, at the
// runner's first batch chunk, and starts as the runner's base file (constants, sizes, prologue results)
// broadcast into every lane; later groups leave their lanes behind, and nothing reads a lane before its
// group writes it except those launch-uniform registers.
//
// Divergence: lane l's registers are copied into the runner's scalar file, the scalar interpreter runs
// that one work item from the diverging jump, and the lane's accumulators go back into the wide file to
// be folded with the group. Afterwards the scalar file is reset from the base file.
#pragma once
#include <cstdint>
#include <memory>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"

struct krvk_batch_runner {
  // What one runner's chunks share; every pointer is owned by the runner (or the launch) and outlives it.
  const krvk_program* program = nullptr;
  const kptr* ptrs = nullptr;  // the runner's pointer slots
  uint64_t* scalar_regs = nullptr;  // the runner's working file, borrowed for diverged lanes
  const uint64_t* base_regs = nullptr;  // the file after the prologue, restored after a divergence
  const uint64_t* identities = nullptr;  // one per accumulator, in the program's order
  uint64_t width = 1;  // the launch's width, at least 1 (2-D programs)
  const volatile unsigned char* abort = nullptr;
  ktrap* trap = nullptr;

  std::unique_ptr<uint64_t[]> wide;  // register-file size x 64 lanes, null until allocate() succeeds
  uint32_t completed = 0;  // groups that ended at END, over all the runner's chunks
  uint32_t diverged = 0;  // groups that diverged, over all the runner's chunks

  // Allocates the wide file and broadcasts the base file into it. False when memory is short: the
  // runner then stays on the scalar engine.
  bool allocate() noexcept;

  // Runs [begin, end) and writes each accumulator's chunk value into chunk_values. Returns 0 or the
  // trap code of the work item that stopped the chunk (the trap record is filled).
  uint8_t run_chunk(uint64_t begin, uint64_t end, uint64_t* chunk_values) noexcept;

  // True once divergence makes the batch engine the slower one: at least 32 groups completed and more
  // than every second one diverged. Only the auto mode acts on it.
  bool should_switch_to_scalar() const noexcept { return completed >= 32 && 2ull * diverged > completed; }

 private:
  void fill_builtin_lanes(uint64_t first, uint32_t n) noexcept;
  uint8_t finish_lanes_on_scalar(uint64_t first, uint32_t n) noexcept;
};
