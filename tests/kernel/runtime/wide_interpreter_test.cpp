// The 64-lane interpreter's own rules: lane layout, short groups, 2-D lanes filled by the batch runner,
// per-lane traps (which lanes have carried out the trapping instruction), the divergence exit, the abort
// poll, invalid opcodes and the batch runner's switch counters. Results per work item are checked
// against the scalar engine by the differential test; here the lane-specific behaviour is pinned down.
#include <gtest/gtest.h>

#include <vector>

#include "allocation_counter.h"
#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/wide_interpreter.h"
#include "kernel/support/program_builder.h"

namespace {

// A wide file with every register's lanes set from a scalar file, and the gid lanes of one group.
struct wide_file {
  wide_file(const krvk_program& p, const std::vector<uint64_t>& regs) : words(size_t{p.register_count} * 64) {
    for (uint32_t r = 0; r < p.register_count; ++r) std::fill_n(words.begin() + r * 64, 64, regs[r]);
  }
  uint64_t& at(uint16_t r, uint32_t lane) { return words[size_t{r} * 64 + lane]; }
  void group(const krvk_program& p, uint64_t first, uint32_t n) {
    for (uint32_t l = 0; l < n; ++l) at(p.gid_reg, l) = first + l;
  }
  std::vector<uint64_t> words;
};

// out[gid + offset] = gid * 3 through a checked i32 store, then q = 100 / (gid - zero_at).
struct lane_kernel {
  lane_kernel() {
    out = k.pointer_param("out", KRVK_I32);
    three = k.constant(KRVK_I64, 3);
    hundred = k.constant(KRVK_I64, 100);
    zero_at = k.scalar_param("zero_at", KRVK_I64);
    v = k.reg();
    d = k.reg();
    q = k.reg();
    k.emit(KOP_MUL_X64, v, 0, three);
    k.emit(KOP_ST_I32, v, out, 0, 0);  // 1
    k.emit(KOP_SUB_X64, d, 0, zero_at);
    k.emit(KOP_DIV_I64, q, hundred, d);  // 3
    k.emit(KOP_END);
  }
  krvk_test_program k;
  uint16_t out, three, hundred, zero_at, v, d, q;
};

struct group_case {
  const char* name;
  uint64_t first;
  uint32_t lanes;
  uint64_t out_count;  // elements bound to out
  int64_t zero_at;  // the gid whose divisor is zero
  uint8_t code;
  uint32_t pc;
  uint64_t trap_gid;
  int64_t value;
  uint64_t limit;
  uint32_t stored;  // lanes whose store took place
};

TEST(WideInterpreter, GroupsAndPerLaneTraps) {
  const group_case cases[] = {
      {"full group", 0, 64, 200, -1, 0, 0, 0, 0, 0, 64},
      {"short group", 128, 7, 200, -1, 0, 0, 0, 0, 0, 7},
      {"one lane", 199, 1, 200, -1, 0, 0, 0, 0, 0, 1},
      {"store out of bounds in lane 5", 40, 64, 45, -1, KRVK_TRAP_INDEX, 1, 45, 45, 45, 5},
      {"division by zero in lane 3", 10, 20, 200, 13, KRVK_TRAP_DIV_ZERO, 3, 13, 100, 0, 20},
  };
  for (const group_case& c : cases) {
    SCOPED_TRACE(c.name);
    lane_kernel kernel;
    const krvk_program& p = kernel.k.program();
    std::vector<uint64_t> regs(p.register_count, 0);
    for (const krvk_const& constant : p.constants) regs[constant.reg] = constant.bits;
    regs[kernel.zero_at] = static_cast<uint64_t>(c.zero_at);
    wide_file wide(p, regs);
    wide.group(p, c.first, c.lanes);
    const uint64_t untouched = 0xABABABABABABABABull;
    for (uint32_t l = c.lanes; l < 64; ++l) wide.at(kernel.q, l) = untouched;
    std::vector<int32_t> out(200, -1);
    const kptr slot{reinterpret_cast<uint8_t*>(out.data()), c.out_count, 4, c.out_count * 4};
    ktrap trap{};
    trap.fvalue = 1.5;

    EXPECT_EQ(krvk_interpret_wide(&p, wide.words.data(), &slot, c.first, c.lanes, nullptr, &trap), c.code);
    for (uint32_t l = 0; l < c.lanes; ++l) {
      EXPECT_EQ(out[c.first + l], l < c.stored ? static_cast<int32_t>((c.first + l) * 3) : -1) << "lane " << l;
    }
    for (uint32_t l = c.lanes; l < 64; ++l) EXPECT_EQ(wide.at(kernel.q, l), untouched) << "lane " << l;
    if (c.code == 0) {
      for (uint32_t l = 0; l < c.lanes; ++l) {
        EXPECT_EQ(static_cast<int64_t>(wide.at(kernel.q, l)), 100 / (static_cast<int64_t>(c.first + l) + 1));
      }
      continue;
    }
    EXPECT_EQ(trap.code, c.code);
    EXPECT_EQ(trap.pc, c.pc);
    EXPECT_EQ(trap.gid, c.trap_gid);
    EXPECT_EQ(trap.value, c.value);
    EXPECT_EQ(trap.limit, c.limit);
    EXPECT_EQ(trap.fvalue, 1.5);  // only a float trap writes it
    if (c.code == KRVK_TRAP_DIV_ZERO) {  // lanes before the failing one divided; the rest did not
      EXPECT_EQ(static_cast<int64_t>(wide.at(kernel.q, 2)), -100);  // 100 / (12 - 13)
      EXPECT_EQ(wide.at(kernel.q, 3), 0u);
    }
  }
}

TEST(WideInterpreter, TwoDimensionalLanesFromItem62AtWidth3) {
  krvk_test_program k;
  k.two_d();
  k.emit(KOP_END);
  const krvk_program& p = k.program();
  std::vector<uint64_t> regs(p.register_count, 0);
  const std::vector<uint64_t> identities;
  krvk_batch_runner runner;
  runner.program = &p;
  runner.scalar_regs = regs.data();
  runner.base_regs = regs.data();
  runner.identities = identities.data();
  runner.width = 3;
  ktrap trap{};
  runner.trap = &trap;
  ASSERT_TRUE(runner.allocate());
  EXPECT_EQ(runner.run_chunk(62, 66, nullptr), 0);
  const uint64_t* xs = runner.wide.get() + p.gid_x_reg * 64;
  const uint64_t* ys = runner.wide.get() + p.gid_y_reg * 64;
  EXPECT_EQ(std::vector<uint64_t>(xs, xs + 4), (std::vector<uint64_t>{2, 0, 1, 2}));
  EXPECT_EQ(std::vector<uint64_t>(ys, ys + 4), (std::vector<uint64_t>{20, 21, 21, 21}));
}

// if (gid < split) r = 1 else r = 2; returns r with reduce(+) into the accumulator.
struct split_kernel {
  split_kernel() {
    k.scalar_result(KRVK_U64, KRVK_REDUCE_ADD, "u64 reduce(+)");
    split = k.scalar_param("split", KRVK_U64);
    one = k.constant(KRVK_U64, 1);
    two = k.constant(KRVK_U64, 2);
    r = k.reg();
    k.emit(KOP_MOV, r, two);
    k.emit(KOP_JFLT_U, 0, split, 0, 3);  // 1: the branch that splits the group
    k.emit(KOP_MOV, r, one);
    k.emit(KOP_ADD_X64, 2, 2, r);  // 3
    k.emit(KOP_END);
  }
  krvk_test_program k;
  uint16_t split, one, two, r;
};

TEST(WideInterpreter, DivergenceStopsWithOnlyThePcAndTheRunnerFinishesLanesOnTheScalarEngine) {
  split_kernel kernel;
  const krvk_program& p = kernel.k.program();
  std::vector<uint64_t> regs(p.register_count, 0);
  for (const krvk_const& constant : p.constants) regs[constant.reg] = constant.bits;
  regs[kernel.split] = 10;
  wide_file wide(p, regs);
  wide.group(p, 0, 64);
  ktrap trap{7, 99, 5, 6, 7.0, 8};
  EXPECT_EQ(krvk_interpret_wide(&p, wide.words.data(), nullptr, 0, 64, nullptr, &trap), KRVK_TRAP_DIVERGED);
  EXPECT_EQ(trap.pc, 1u);
  EXPECT_EQ(trap.code, 7u);  // nothing but pc is written
  EXPECT_EQ(trap.gid, 5u);
  EXPECT_EQ(wide.at(kernel.r, 0), 2u);  // the lanes stand just before the jump

  // Through the batch runner: the group that straddles gid 10 diverges, the others do not; every
  // work item still adds 1 below the split and 2 from it on.
  const std::vector<uint64_t> ids = {krvk_reduce_identity(KRVK_REDUCE_ADD, KRVK_U64)};
  std::vector<uint64_t> working = regs;
  krvk_batch_runner runner;
  runner.program = &p;
  runner.scalar_regs = working.data();
  runner.base_regs = regs.data();
  runner.identities = ids.data();
  runner.trap = &trap;
  ASSERT_TRUE(runner.allocate());
  uint64_t sum = 0;
  EXPECT_EQ(runner.run_chunk(0, 200, &sum), 0);
  EXPECT_EQ(sum, 10u * 1 + 190u * 2);
  EXPECT_EQ(runner.completed, 4u);
  EXPECT_EQ(runner.diverged, 1u);
  EXPECT_EQ(working, regs);  // the scalar file is back at the base file
}

TEST(WideInterpreter, BatchRunnerSwitchRule) {
  struct counts {
    uint32_t completed, diverged;
    bool switch_to_scalar;
  };
  const counts cases[] = {{31, 31, false}, {32, 17, true}, {32, 16, false}, {100, 51, true}, {100, 50, false}};
  for (const counts& c : cases) {
    krvk_batch_runner runner;
    runner.completed = c.completed;
    runner.diverged = c.diverged;
    EXPECT_EQ(runner.should_switch_to_scalar(), c.switch_to_scalar) << c.completed << "/" << c.diverged;
  }
}

TEST(WideInterpreter, AbortAtLoopAndInvalidOpcodeReportTheGroupsFirstItem) {
  krvk_test_program looping;
  looping.emit(KOP_NOP);
  looping.emit(KOP_LOOP, 0, 0, 0, 0);  // 1: loops until stopped
  krvk_test_program invalid;
  invalid.emit(KOP_NOP);
  invalid.emit(300);  // 1
  for (krvk_test_program* k : {&looping, &invalid}) {
    const krvk_program& p = k->program();
    wide_file wide(p, std::vector<uint64_t>(p.register_count, 0));
    const unsigned char stop = 1;
    ktrap trap{};
    trap.value = trap.limit = 9;
    EXPECT_EQ(krvk_interpret_wide(&p, wide.words.data(), nullptr, 640, 64, &stop, &trap), KRVK_TRAP_ABORTED);
    EXPECT_EQ(trap.pc, 1u);
    EXPECT_EQ(trap.gid, 640u);
    EXPECT_EQ(trap.value, 0);
    EXPECT_EQ(trap.limit, 0u);
  }
}

TEST(WideInterpreter, RunsWithoutHeapAllocation) {
  lane_kernel kernel;
  split_kernel split;
  const krvk_program& p = kernel.k.program();
  std::vector<uint64_t> regs(p.register_count, 0);
  for (const krvk_const& constant : p.constants) regs[constant.reg] = constant.bits;
  regs[kernel.zero_at] = 63;
  wide_file wide(p, regs);
  wide.group(p, 0, 64);
  std::vector<uint64_t> split_regs(split.k.program().register_count, 0);
  split_regs[split.split] = 5;
  wide_file split_wide(split.k.program(), split_regs);
  split_wide.group(split.k.program(), 0, 64);
  std::vector<int32_t> out(64);
  const kptr slot{reinterpret_cast<uint8_t*>(out.data()), 64, 4, 256};
  ktrap trap{};
  const size_t before = krv_thread_allocations();
  const uint8_t trapped = krvk_interpret_wide(&p, wide.words.data(), &slot, 0, 64, nullptr, &trap);
  const uint8_t diverged = krvk_interpret_wide(&split.k.program(), split_wide.words.data(), nullptr, 0, 64, nullptr, &trap);
  EXPECT_EQ(krv_thread_allocations(), before);
  EXPECT_EQ(trapped, KRVK_TRAP_DIV_ZERO);
  EXPECT_EQ(diverged, KRVK_TRAP_DIVERGED);
}

}  // namespace
