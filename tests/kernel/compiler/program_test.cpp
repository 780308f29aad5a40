#include "kernel/compiler/program.h"

#include <gtest/gtest.h>

namespace {

TEST(KernelProgram, FreshProgramHasItsOwnEmptyJitSlot) {
  krvk_program a;
  krvk_program b;
  ASSERT_NE(a.jit_slot, nullptr);
  EXPECT_NE(a.jit_slot, b.jit_slot);
  EXPECT_EQ(a.jit_slot->state.load(), KRVK_JIT_NONE);
  EXPECT_EQ(a.jit_slot->function, nullptr);
  EXPECT_TRUE(a.jit_slot->message.empty());
  EXPECT_EQ(a.jit_slot->from_aot, 0);
  EXPECT_EQ(a.jit_slot->kernel_hash.load(), 0u);
  EXPECT_EQ(a.jit_slot->generation_seen.load(), 0u);
  EXPECT_EQ(a.result_type.struct_index, -1);
  EXPECT_EQ(a.two_d, 0);
  EXPECT_EQ(a.prologue, nullptr);
}

TEST(KernelProgram, UnitHandleKeepsProgramsAlive) {
  std::weak_ptr<krvk_program> kernel;
  std::shared_ptr<const krvk_unit> handle;
  {
    auto unit = std::make_shared<krvk_compiled_unit>();
    unit->kernels.push_back(std::make_shared<krvk_program>());
    kernel = unit->kernels[0];
    handle = unit;
  }
  EXPECT_FALSE(kernel.expired());
  handle.reset();
  EXPECT_TRUE(kernel.expired());
}

TEST(KernelProgram, PointerSlotNamesPreferTheFrame) {
  krvk_program program;
  krvk_param scalar;
  scalar.name = "n";
  krvk_param first;
  first.name = "src";
  first.type.is_pointer = 1;
  first.pointer_slot = 0;
  krvk_param second = first;
  second.name = "dst";
  second.pointer_slot = 1;
  program.parameters = {scalar, first, second};
  program.pointer_count = 2;
  program.frame_slot = 2;
  EXPECT_EQ(krvk_pointer_slot_name(program, 0), "src");
  EXPECT_EQ(krvk_pointer_slot_name(program, 1), "dst");
  EXPECT_EQ(krvk_pointer_slot_name(program, 2), "?") << "no frame";
  program.frame_bytes = 16;
  EXPECT_EQ(krvk_pointer_slot_name(program, 2), "frame");
  EXPECT_EQ(krvk_pointer_slot_name(program, 3), "?");
}

}  // namespace
