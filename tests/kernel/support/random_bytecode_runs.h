// Runs of the random bytecode cases (random_bytecode.h) on each engine over the same chunks and from the
// same registers and memory, for differential tests: the scalar interpreter, the 64-lane interpreter as a
// runner's batch chunks, and native code given as a function.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "kernel/native/jit_slot.h"
#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/support/random_bytecode.h"

// What one engine left after running a case's chunks: the trap (if any, with its chunk), each finished
// chunk's accumulator values, the memory, and for the batch engine the groups that diverged.
struct krvk_chunked_run {
  uint8_t code = 0;
  uint64_t trap_chunk = 0;
  ktrap trap{};
  std::vector<std::vector<uint64_t>> chunk_values;
  std::vector<krvk_random_memory> memory;
  uint32_t diverged = 0;
};

// Registers after the prologue, as every runner starts.
inline std::vector<uint64_t> krvk_base_registers(const krvk_random_bytecode& c, const kptr* slots) {
  std::vector<uint64_t> regs = c.initial_registers();
  if (c.program().prologue) {
    ktrap scratch{};
    krvk_interpret(c.program().prologue.get(), regs.data(), slots, 0, 1, nullptr, &scratch, 0);
  }
  return regs;
}

inline std::vector<uint64_t> krvk_identities_of(const krvk_program& p) {
  std::vector<uint64_t> ids;
  for (const krvk_acc& acc : p.accumulators) ids.push_back(krvk_reduce_identity(acc.op, acc.prim));
  return ids;
}

// Chunks of `chunk` work items one after another, as a runner on the scalar interpreter (or, given a
// function, on native code) runs them: accumulators at their identities before each chunk.
inline krvk_chunked_run krvk_run_ranges(const krvk_random_bytecode& c, uint64_t chunk, krvk_native_fn native = nullptr) {
  krvk_chunked_run out;
  out.memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(out.memory);
  std::vector<uint64_t> regs = krvk_base_registers(c, slots.data());
  const std::vector<uint64_t> ids = krvk_identities_of(c.program());
  for (uint64_t begin = 0, index = 0; begin < c.items(); begin += chunk, ++index) {
    for (size_t i = 0; i < ids.size(); ++i) regs[c.program().accumulators[i].reg] = ids[i];
    const uint64_t end = std::min(begin + chunk, c.items());
    out.code = native != nullptr
                   ? static_cast<uint8_t>(native(reinterpret_cast<kreg*>(regs.data()), slots.data(), begin, end, nullptr, &out.trap))
                   : krvk_interpret(&c.program(), regs.data(), slots.data(), begin, end, nullptr, &out.trap, 0);
    if (out.code != 0) {
      out.trap_chunk = index;
      break;
    }
    std::vector<uint64_t>& values = out.chunk_values.emplace_back();
    for (const krvk_acc& acc : c.program().accumulators) values.push_back(regs[acc.reg]);
  }
  return out;
}

// The same chunks as batch chunks of one runner on the 64-lane interpreter.
inline krvk_chunked_run krvk_run_batch(const krvk_random_bytecode& c, uint64_t chunk) {
  krvk_chunked_run out;
  out.memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(out.memory);
  const std::vector<uint64_t> base = krvk_base_registers(c, slots.data());
  std::vector<uint64_t> working = base;
  const std::vector<uint64_t> ids = krvk_identities_of(c.program());
  krvk_batch_runner runner;
  runner.program = &c.program();
  runner.ptrs = slots.data();
  runner.scalar_regs = working.data();
  runner.base_regs = base.data();
  runner.identities = ids.data();
  runner.width = c.width;
  runner.trap = &out.trap;
  EXPECT_TRUE(runner.allocate());
  for (uint64_t begin = 0, index = 0; begin < c.items(); begin += chunk, ++index) {
    std::vector<uint64_t> values(ids.size());
    out.code = runner.run_chunk(begin, std::min(begin + chunk, c.items()), values.data());
    if (out.code != 0) {
      out.trap_chunk = index;
      break;
    }
    out.chunk_values.push_back(values);
  }
  out.diverged = runner.diverged;
  return out;
}

// The trap that work item `gid` meets when it runs alone from the initial memory.
inline std::pair<uint8_t, ktrap> krvk_run_alone(const krvk_random_bytecode& c, uint64_t gid) {
  std::vector<krvk_random_memory> memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(memory);
  std::vector<uint64_t> regs = krvk_base_registers(c, slots.data());
  const std::vector<uint64_t> ids = krvk_identities_of(c.program());
  for (size_t i = 0; i < ids.size(); ++i) regs[c.program().accumulators[i].reg] = ids[i];
  ktrap trap{};
  const uint8_t code = krvk_interpret(&c.program(), regs.data(), slots.data(), gid, gid + 1, nullptr, &trap, 0);
  return {code, trap};
}

// The fields a trap code writes, compared.
inline void krvk_expect_same_trap(const ktrap& expected, const ktrap& actual) {
  EXPECT_EQ(expected.code & 0xFF, actual.code & 0xFF);
  EXPECT_EQ(expected.pc, actual.pc);
  EXPECT_EQ(expected.gid, actual.gid);
  if ((expected.code & 0xFF) == KRVK_TRAP_F2I) {
    EXPECT_EQ(std::bit_cast<uint64_t>(expected.fvalue), std::bit_cast<uint64_t>(actual.fvalue));
  } else if ((expected.code & 0xFF) == KRVK_TRAP_MISALIGNED) {
    // The address lies in a different copy of the memory; its misalignment is what must agree.
    EXPECT_EQ(expected.value % 8, actual.value % 8);
    EXPECT_EQ(expected.limit, actual.limit);
  } else {
    EXPECT_EQ(expected.value, actual.value);
    EXPECT_EQ(expected.limit, actual.limit);
  }
}
