// The back end: compaction of NOPs and jumps to the next instruction, constant relocation, and the
// optional optimiser and register-allocation hooks.
#include <gtest/gtest.h>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelBackEnd, CompactionRemovesNopsAndJumpsToTheNextInstruction) {
  krvk_test_program builder;
  builder.emit(KOP_JMP, 0, 0, 0, 3, 10);   // 0: jumps over the NOP to 3
  builder.emit(KOP_NOP, 0, 0, 0, 0, 11);   // 1
  builder.emit(KOP_JMP, 0, 0, 0, 3, 12);   // 2: jump to next, removed
  builder.emit(KOP_JF, 7, 0, 0, 5, 13);    // 3: target 5 moves to 3
  builder.emit(KOP_JMP, 0, 0, 0, 5, 14);   // 4: jump to next, removed
  builder.emit(KOP_END, 0, 0, 0, 0, 15);   // 5
  krvk_program& program = builder.program();
  krvk_opt_compact(program);
  // Round 1 removes 1, 2 and 4, which turns the first JMP into a jump to the next instruction; round 2
  // removes that one too.
  ASSERT_EQ(opcodes_of(program), (std::vector<uint16_t>{KOP_JF, KOP_END}));
  EXPECT_EQ(program.code[0].x, 1u);
  EXPECT_EQ(program.line_table, (std::vector<uint32_t>{13, 15}));
  EXPECT_EQ(program.file_table.size(), 2u);
}

TEST(KernelBackEnd, CompactionStopsAfterFourRounds) {
  // Five jumps to the END after them: each round removes the last one, which makes the one before it a
  // jump to the next instruction. Four rounds leave the first jump in place.
  krvk_test_program builder;
  for (int i = 0; i < 5; ++i) builder.emit(KOP_JMP, 0, 0, 0, 5);
  builder.emit(KOP_END);
  krvk_opt_compact(builder.program());
  ASSERT_EQ(opcodes_of(builder.program()), (std::vector<uint16_t>{KOP_JMP, KOP_END}));
  EXPECT_EQ(builder.program().code[0].x, 1u);
}

TEST(KernelBackEnd, EmptyThenBranchLosesItsJumps) {
  auto unit = compile_emitted("kernel void k(i32* p) { if (p[0] > 1) { } else { } p[1] = 2; }");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(opcodes_of(*unit->kernels[0]),
            (std::vector<uint16_t>{KOP_LD_I32, KOP_JFGT_S, KOP_ST_I32, KOP_END}));
  EXPECT_EQ(unit->kernels[0]->code[1].x, 2u);
}

TEST(KernelBackEnd, ConstantsFollowTheRegistersAndOnlyRegisterOperandsMove) {
  auto unit = compile_unit("kernel void k(f32* p, u32* c) { p[gid + 2] = floor(p[gid]) * 3.0f; atomic_add(c[0], 5u); }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  const uint32_t registers = program.register_count - static_cast<uint32_t>(program.constants.size());
  for (size_t k = 0; k < program.constants.size(); ++k) EXPECT_EQ(program.constants[k].reg, registers + k);
  for (const krvk_insn& insn : program.code) {
    if (insn.op == KOP_MATH1_F32) {
      EXPECT_EQ(insn.c, KRVK_MATH_FLOOR);  // a selector, never relocated
    } else if (insn.op == KOP_ST_F32) {
      EXPECT_EQ(insn.x, 2u);  // an offset, never relocated
    } else if (insn.op == KOP_MUL_F32) {
      EXPECT_GE(insn.c, registers);  // the constant 3.0f
    }
  }
}

TEST(KernelBackEnd, PassesRunOnlyWhenGivenAndTheBodyHasRegisters) {
  int optimised = 0;
  krvk_back_end_passes passes;
  passes.optimise = [&](krvk_function_view& view) {
    ++optimised;
    EXPECT_EQ(view.fixed_registers, 8);  // builtins and the one scalar parameter
    EXPECT_GT(view.register_count, view.fixed_registers);
  };
  passes.allocate_registers = [](krvk_function_view& view) { return view.register_count; };
  kerror err;
  const std::string source = "kernel void k(f32* p, f32 s) { p[gid] = p[gid] * s; }\nkernel void e(f32* p, f32 s) { }";
  auto with = krvk_compile_source(source, "t.k", err, {}, passes);
  ASSERT_NE(with, nullptr) << err.message;
  EXPECT_EQ(optimised, 1);  // the empty kernel has no registers beyond the fixed ones
  auto without = krvk_compile_source(source, "t.k", err, {}, krvk_back_end_passes{});
  ASSERT_NE(without, nullptr);
  EXPECT_EQ(opcodes_of(*with->kernels[0]), opcodes_of(*without->kernels[0]));
  EXPECT_EQ(without->kernels[1]->register_count, 8u);
}

}  // namespace
