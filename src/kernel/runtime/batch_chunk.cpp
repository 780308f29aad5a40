#include "kernel/runtime/batch_chunk.h"

#include <algorithm>
#include <new>

#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/runtime/wide_interpreter.h"

bool krvk_batch_runner::allocate() noexcept {
  const uint32_t registers = program->register_count;
  wide.reset(new (std::nothrow) uint64_t[size_t{registers} * KRVK_LANES]);
  if (!wide) return false;
  for (uint32_t r = 0; r < registers; ++r) std::fill_n(wide.get() + size_t{r} * KRVK_LANES, KRVK_LANES, base_regs[r]);
  return true;
}

// Lanes of gid (and of gid_x, gid_y in 2-D) for the group starting at `first`, and each accumulator's
// lanes at its identity.
void krvk_batch_runner::fill_builtin_lanes(uint64_t first, uint32_t n) noexcept {
  uint64_t* const gid = wide.get() + size_t{program->gid_reg} * KRVK_LANES;
  for (uint32_t l = 0; l < n; ++l) gid[l] = first + l;
  if (program->two_d != 0) {
    uint64_t* const xs = wide.get() + size_t{program->gid_x_reg} * KRVK_LANES;
    uint64_t* const ys = wide.get() + size_t{program->gid_y_reg} * KRVK_LANES;
    uint64_t x = first % width;
    uint64_t y = first / width;
    for (uint32_t l = 0; l < n; ++l) {
      xs[l] = x;
      ys[l] = y;
      if (++x == width) {
        x = 0;
        ++y;
      }
    }
  }
  const std::vector<krvk_acc>& accs = program->accumulators;
  for (size_t i = 0; i < accs.size(); ++i) {
    std::fill_n(wide.get() + size_t{accs[i].reg} * KRVK_LANES, n, identities[i]);
  }
}

// Finishes each lane of a diverged group on the scalar interpreter from the diverging jump, in lane
// order, stopping at the first lane that traps.
uint8_t krvk_batch_runner::finish_lanes_on_scalar(uint64_t first, uint32_t n) noexcept {
  const uint32_t registers = program->register_count;
  const uint32_t resume_pc = trap->pc;
  uint8_t result = 0;
  for (uint32_t l = 0; l < n && result == 0; ++l) {
    for (uint32_t r = 0; r < registers; ++r) scalar_regs[r] = wide[size_t{r} * KRVK_LANES + l];
    result = krvk_interpret(program, scalar_regs, ptrs, first + l, first + l + 1, abort, trap, resume_pc);
    for (const krvk_acc& acc : program->accumulators) wide[size_t{acc.reg} * KRVK_LANES + l] = scalar_regs[acc.reg];
  }
  std::copy_n(base_regs, registers, scalar_regs);
  return result;
}

uint8_t krvk_batch_runner::run_chunk(uint64_t begin, uint64_t end, uint64_t* chunk_values) noexcept {
  const std::vector<krvk_acc>& accs = program->accumulators;
  std::copy_n(identities, accs.size(), chunk_values);
  for (uint64_t first = begin; first < end; first += KRVK_LANES) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end - first, KRVK_LANES));
    fill_builtin_lanes(first, n);
    uint8_t result = krvk_interpret_wide(program, wide.get(), ptrs, first, n, abort, trap);
    if (result == KRVK_TRAP_DIVERGED) {
      ++diverged;
      result = finish_lanes_on_scalar(first, n);
    }
    if (result != 0) return result;
    ++completed;
    for (size_t i = 0; i < accs.size(); ++i) {
      chunk_values[i] = krvk_reduce_lanes(accs[i].op, accs[i].prim, chunk_values[i],
                                          wide.get() + size_t{accs[i].reg} * KRVK_LANES, n);
    }
  }
  return 0;
}
