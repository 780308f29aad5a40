// The 64-lane engine against the scalar interpreter on seeded random programs: the same chunks run as
// batch chunks (groups of 64 lanes, divergence finished on the scalar interpreter) and as scalar ranges,
// from the same registers and memory. Without a trap, chunk accumulators and all memory must be
// bit-identical. With one, the chunk must be the same, the reported work item must lie in the same group
// of 64 as the scalar engine's first trap (lock step may meet another lane's trap first), and running
// that work item alone on the scalar interpreter must give the same trap record.
//
// KRV_RANDOM_BYTECODE=N runs N seeds from KRV_RANDOM_BYTECODE_FIRST instead of the fixed range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/listing.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/support/random_bytecode.h"

namespace {

struct engine_run {
  uint8_t code = 0;
  uint64_t trap_chunk = 0;
  ktrap trap{};
  std::vector<std::vector<uint64_t>> chunk_values;
  std::vector<krvk_random_memory> memory;
  uint32_t diverged = 0;
};

// Registers after the prologue, as every runner starts.
std::vector<uint64_t> base_registers(const krvk_random_bytecode& c, const kptr* slots) {
  std::vector<uint64_t> regs = c.initial_registers();
  if (c.program().prologue) {
    ktrap scratch{};
    krvk_interpret(c.program().prologue.get(), regs.data(), slots, 0, 1, nullptr, &scratch, 0);
  }
  return regs;
}

std::vector<uint64_t> identities_of(const krvk_program& p) {
  std::vector<uint64_t> ids;
  for (const krvk_acc& acc : p.accumulators) ids.push_back(krvk_reduce_identity(acc.op, acc.prim));
  return ids;
}

engine_run run_scalar(const krvk_random_bytecode& c, uint64_t chunk) {
  engine_run out;
  out.memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(out.memory);
  std::vector<uint64_t> regs = base_registers(c, slots.data());
  const std::vector<uint64_t> ids = identities_of(c.program());
  for (uint64_t begin = 0, index = 0; begin < c.items(); begin += chunk, ++index) {
    for (size_t i = 0; i < ids.size(); ++i) regs[c.program().accumulators[i].reg] = ids[i];
    out.code = krvk_interpret(&c.program(), regs.data(), slots.data(), begin, std::min(begin + chunk, c.items()),
                              nullptr, &out.trap, 0);
    if (out.code != 0) {
      out.trap_chunk = index;
      break;
    }
    std::vector<uint64_t>& values = out.chunk_values.emplace_back();
    for (const krvk_acc& acc : c.program().accumulators) values.push_back(regs[acc.reg]);
  }
  return out;
}

engine_run run_batch(const krvk_random_bytecode& c, uint64_t chunk) {
  engine_run out;
  out.memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(out.memory);
  const std::vector<uint64_t> base = base_registers(c, slots.data());
  std::vector<uint64_t> working = base;
  const std::vector<uint64_t> ids = identities_of(c.program());
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
std::pair<uint8_t, ktrap> run_alone(const krvk_random_bytecode& c, uint64_t gid) {
  std::vector<krvk_random_memory> memory = c.memory;
  const std::vector<kptr> slots = krvk_random_bytecode::slots_over(memory);
  std::vector<uint64_t> regs = base_registers(c, slots.data());
  const std::vector<uint64_t> ids = identities_of(c.program());
  for (size_t i = 0; i < ids.size(); ++i) regs[c.program().accumulators[i].reg] = ids[i];
  ktrap trap{};
  const uint8_t code = krvk_interpret(&c.program(), regs.data(), slots.data(), gid, gid + 1, nullptr, &trap, 0);
  return {code, trap};
}

void expect_same_trap(const ktrap& expected, const ktrap& actual) {
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

struct seed_range {
  uint64_t first;
  uint64_t count;
};

seed_range seeds_to_run() {
  const char* count = std::getenv("KRV_RANDOM_BYTECODE");
  const char* first = std::getenv("KRV_RANDOM_BYTECODE_FIRST");
  if (count == nullptr) return {0, 400};
  return {first != nullptr ? std::strtoull(first, nullptr, 10) : 0, std::strtoull(count, nullptr, 10)};
}

TEST(WideDifferential, RandomProgramsMatchTheScalarEngine) {
  const seed_range range = seeds_to_run();
  uint64_t trapped = 0, diverged = 0, clean = 0;
  for (uint64_t seed = range.first; seed < range.first + range.count; ++seed) {
    const krvk_random_bytecode c = krvk_random_bytecode_case(seed);
    // Chunk lengths of a launch (items / 256 rounded up) and odd ones that end in short groups.
    const uint64_t chunk = seed % 3 == 0 ? (c.items() + 255) / 256 : 1 + seed % 150;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", chunk " + std::to_string(chunk) + ", " +
                 std::to_string(c.width) + " x " + std::to_string(c.height) + "\n" + krvk_disasm(c.program()));
    const engine_run scalar = run_scalar(c, chunk);
    const engine_run batch = run_batch(c, chunk);
    diverged += batch.diverged > 0 ? 1 : 0;
    if (scalar.code == 0) {
      ++clean;
      ASSERT_EQ(batch.code, 0) << "trap " << int(batch.trap.code) << " at pc " << batch.trap.pc;
      EXPECT_EQ(scalar.chunk_values, batch.chunk_values);
      for (size_t s = 0; s < scalar.memory.size(); ++s) {
        const std::vector<uint64_t>& want = scalar.memory[s].words;
        const std::vector<uint64_t>& got = batch.memory[s].words;
        const size_t first = std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
        ASSERT_EQ(first, want.size()) << "slot " << s << " word " << first << ": scalar " << std::hex << want[first]
                                      << ", batch " << got[first];
      }
      continue;
    }
    ++trapped;
    EXPECT_TRUE(c.may_trap);
    ASSERT_NE(batch.code, 0);
    ASSERT_EQ(scalar.trap_chunk, batch.trap_chunk);
    const uint64_t chunk_begin = scalar.trap_chunk * chunk;
    EXPECT_EQ((scalar.trap.gid - chunk_begin) / 64, (batch.trap.gid - chunk_begin) / 64);
    const auto [alone_code, alone_trap] = run_alone(c, batch.trap.gid);
    EXPECT_EQ(alone_code, batch.code);
    expect_same_trap(alone_trap, batch.trap);
    EXPECT_EQ(scalar.chunk_values, batch.chunk_values);  // the chunks before the trap
  }
  if (range.count >= 400) {  // the seeds must exercise every path they are meant to
    EXPECT_GT(trapped, 20u);
    EXPECT_GT(diverged, 50u);
    EXPECT_GT(clean, 150u);
  }
}

}  // namespace
