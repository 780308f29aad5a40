// The run half of the script_text target: a verified program whose code cannot loop runs its root block
// as a task on the fuzz VM, with a call-depth limit, until the scheduler has nothing left to run.
//
// Code loops only through a jump to its own offset or before it, a `continue` (it restarts the nearest
// loop block), or a return inside a block that resumes at its end (the return goes back to the block's
// last 8 bytes, which may hold that return again). A program with none of these runs to an end; calls
// through function values stored in globals are cut at the call depth. Natives run as the caller bound
// them; a call of an unbound one raises a runtime error, which the task catches or ends with. Code that
// cannot loop can still fan out (a function calling itself twice under a catch, a finaliser making two
// instances of its class): a budget of steps per input keeps such programs to bounded time
// (runtime/exec/step_budget.h).
#pragma once
#include <algorithm>
#include <cstdint>
#include <utility>

#include "host/assembler/instruction_decoder.h"
#include "host/assembler/program_blocks.h"
#include "host/host_vm.h"
#include "module/thread_record.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/task/step_budget.h"
#include "runtime/exec/task/task.h"

inline constexpr uint32_t krv_fuzz_call_depth = 64;
inline constexpr uint64_t krv_fuzz_step_budget = 1000;  // frames run per input, calls and task runs

// True when `block` has a backward jump, a `continue`, or resumes at its end.
inline bool krv_block_may_loop(const krv_program_block& block) {
  if (block.resume_at_end != 0) return true;
  bool loops = false;
  krv_for_each_instruction(block.code, [&loops](const krv_decoded_instruction& instruction) {
    if (instruction.opcode == KRV_OP_CONTINUE) loops = true;
    for (const krv_decoded_operand& operand : instruction.operands)
      if (operand.field.kind == krv_operand_kind::jump && operand.displacement() <= 0) loops = true;
  });
  return loops;
}

inline bool krv_program_runs_to_an_end(const krv_program& program) {
  const std::vector<const krv_program_block*> blocks = krv_program_blocks(program);
  return std::none_of(blocks.begin(), blocks.end(), [](const krv_program_block* block) { return krv_block_may_loop(*block); });
}

// Runs the program's root block as a task and ticks `vm` until it is idle, within the step budget. Puts
// back the VM's call-depth limit, the thread's current task and its unlimited budget, and drops tasks
// left suspended (nothing would wake them).
inline void krv_run_root_as_task(krv_host_vm& vm, const krv_program& program) {
  krv_vm_state& state = vm.state();
  const uint32_t depth_before = std::exchange(state.settings.max_call_depth, krv_fuzz_call_depth);
  krv_task* const current_before = std::exchange(krv_get_thread_local().current_task, nullptr);
  krv_step_budget_left = krv_fuzz_step_budget;
  {
    const krvptr_strong<krv_task> root = krv_task_create(program.root, nullptr);
    krv_task::run(*root, nullptr);
    while (!vm.idle()) vm.tick();
  }
  state.wait_list.clear();
  krv_step_budget_left = UINT64_MAX;
  state.settings.max_call_depth = depth_before;
  krv_get_thread_local().current_task = current_before;
}
