// The scalar interpreter: runs one kernel program over a contiguous range of work items, one after the
// other, on the caller's register file. It is the reference engine whose results every other engine must
// reproduce, and it is used by the launch engine, by the 64-lane interpreter for lanes that diverge, and
// by the compiler's constant evaluator.
//
// Registers live in the caller's array and are never reset between work items: accumulators fold across
// the whole range and prologue results stay valid. gsize, gsize_x and gsize_y are never written; only
// gid (and gid_x, gid_y for 2-D programs) change per work item.
//
// A fault is a trap: the run stops at the trapping instruction, writes no register or memory for it,
// fills `trap` and returns the code. The interpreter never allocates and never throws.
#pragma once
#include <cstdint>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"

// Runs [gid_begin, gid_end); the first work item starts at start_pc, later ones at 0. ptrs may be null
// when the program has no pointer operands, abort may be null (no stop requests). Returns 0 when every
// work item reached END, else the trap code (1..7).
uint8_t krvk_interpret(const krvk_program* program, uint64_t* regs, const kptr* ptrs, uint64_t gid_begin,
                       uint64_t gid_end, const volatile unsigned char* abort, ktrap* trap,
                       uint32_t start_pc) noexcept;
