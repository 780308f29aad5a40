// Memory access compiled from source: element and field forms, the constant element offset carried in
// the instruction, local and field arrays with their index checks, unchecked blocks, and the faults the
// checks catch at run time.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerMemory, ConstantElementOffsetsRideInTheLoad) {
  auto unit = compile_emitted("kernel void k(f32* y, const f32* x) { y[gid] = x[gid + 1] + x[gid - 1] + x[1 + 2]; }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  std::vector<int64_t> offsets;
  for (const krvk_insn& insn : program.code) {
    if (insn.op == KOP_LD_F32) offsets.push_back(static_cast<int64_t>(insn.x));
  }
  EXPECT_EQ(offsets, (std::vector<int64_t>{1, -1, 0}));  // p[1 + 2] folds to the constant index 3
  EXPECT_EQ(count_opcode(program, KOP_ADDI_X64) + count_opcode(program, KOP_ADD_X64), 0u);
  std::vector<float> y(3), x{1, 10, 100, 1000};
  krvk_kernel_call call(program);
  call.buffer(y).buffer(x);
  EXPECT_EQ(call.run(3), KRVK_TRAP_INDEX);  // gid 0 reads x[-1]
  EXPECT_EQ(call.trap_text(), "index -1 is out of bounds of 'x' (4 elements)");
}

TEST(KernelCheckerMemory, AThirtyTwoBitIndexPlusOffsetIsCheckedInSixtyFourBits) {
  // i + 1 for i = 2^31 - 1 would wrap to -2^31 in i32 arithmetic; folded into the load it is 2^31, which
  // the bounds check refuses instead of reading elsewhere.
  auto unit = compile_emitted("kernel void k(f32* y, const f32* x, i32 i) { y[0] = x[i + 1]; }");
  ASSERT_NE(unit, nullptr);
  std::vector<float> y(1), x(4);
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(y).buffer(x).scalar(int32_t{2147483647});
  EXPECT_EQ(call.run(1), KRVK_TRAP_INDEX);
  EXPECT_EQ(call.trap_text(), "index 2147483648 is out of bounds of 'x' (4 elements)");
}

TEST(KernelCheckerMemory, StructElementsUseTheFieldForm) {
  auto unit = compile_emitted("struct S { u8 tag; f32 v; }\n"
                           "kernel void k(f32* out, const S* s) { out[gid] = s[gid].v + s[gid + 1].v + (s + 1)->v; }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  ASSERT_EQ(count_opcode(program, KOP_LDF_F32), 3u);
  const krvk_insn* first = find_opcode(program, KOP_LDF_F32);
  EXPECT_EQ(first->c, program.gid_reg);
  EXPECT_EQ(first->x, 1u);
  EXPECT_EQ(count_opcode(program, KOP_ADDI_X64), 1u);  // s[gid + 1] adds 1 to the index first
  std::vector<uint8_t> bytes(15);
  const float values[3] = {1.5f, 20.0f, 300.0f};
  for (int i = 0; i < 3; ++i) std::memcpy(&bytes[5 * i + 1], &values[i], 4);
  std::vector<float> out(2);
  krvk_kernel_call call(program);
  call.buffer(out).buffer(bytes);
  ASSERT_EQ(call.run(2), 0) << call.trap_text();
  EXPECT_EQ(out, (std::vector<float>{1.5f + 20 + 20, 20 + 300 + 20}));
}

TEST(KernelCheckerMemory, LocalArraysCheckRegisterIndexesUnlessTheTypeCannotReach) {
  const auto chkidx = [](const std::string& source) {
    auto unit = compile_emitted(source);
    return unit ? count_opcode(*unit->kernels[0], KOP_CHKIDX) : size_t{99};
  };
  EXPECT_EQ(chkidx("kernel void k(u8* p) { u32 a[256]; a[p[0]] = 1u; }"), 0u);
  EXPECT_EQ(chkidx("kernel void k(u8* p) { u32 a[255]; a[p[0]] = 1u; }"), 1u);
  EXPECT_EQ(chkidx("kernel void k(u16* p) { u8 a[65536]; a[p[0]] = u8(1); }"), 0u);
  EXPECT_EQ(chkidx("kernel void k(u16* p) { u8 a[65535]; a[p[0]] = u8(1); }"), 1u);
  EXPECT_EQ(chkidx("kernel void k(i32* p) { i32 a[4]; a[2] = p[0]; }"), 0u);
  EXPECT_EQ(chkidx("kernel void k(i32* p) { i32 a[4]; unchecked { a[p[0]] = 1; } }"), 0u);
  auto unit = compile_emitted("kernel void k(i32* p) { i32 a[4] = {1, 2, 3, 4}; p[1] = a[p[0]]; }");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> p{2, 0};
  krvk_kernel_call ok(*unit->kernels[0]);
  ok.buffer(p);
  ASSERT_EQ(ok.run(1), 0);
  EXPECT_EQ(p[1], 3);
  p[0] = -1;
  krvk_kernel_call bad(*unit->kernels[0]);
  bad.buffer(p);
  EXPECT_EQ(bad.run(1), KRVK_TRAP_ARRAY_INDEX);
  EXPECT_EQ(bad.trap_text(), "array index -1 is out of bounds (array size 4)");
  expect_failures({
      {"kernel void k() { i32 a[3]; a[3] = 1; }", "array index 3 is out of bounds (array size 3)"},
      {"kernel void k() { i32 a[3]; a[-1] = 1; }", "array index -1 is out of bounds (array size 3)"},
      {"kernel void k() { i32 a[3]; a[2.0] = 1; }", "an index must be an integer"},
      {"kernel void k(f32* p) { i32 a[3]; a[p[0]] = 1; }", "an index must be an integer but got a f32"},
      {"kernel void k(f32* p) { p[1.5] = 1.0; }", "an index must be an integer but got a float literal"},
      {"kernel void k(f32* p) { p[18446744073709551615] = 1.0; }", "index out of range"},
      {"kernel void k(f32* p) { f32 x = 1.0; p[0] = x[0]; }", "only pointers and array fields can be indexed, not a f32"},
      {"kernel void k(f32* p) { i32 a[3]; i32 b = a; }", "an array (i32[3]) cannot be used as a value, index it"},
      {"struct S { f32 a; } kernel void k(S* s) { f32 b = s[0]; }",
       "a struct (S) cannot be used as a value, access a field or copy it with '='"},
  });
}

TEST(KernelCheckerMemory, UncheckedBlocksUseTheUncheckedForms) {
  auto unit = compile_emitted("struct S { f32 v; f32 w; }\n"
                           "kernel void k(f32* y, const f32* x, S* s, const i32* i) {\n"
                           "  unchecked { y[gid] = x[gid + 1]; s[gid].w = y[gid]; s[i[0]].v = y[2]; }\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  for (const krvk_insn& insn : program.code) {
    const std::string name = krvk_opcode_name(insn.op);
    EXPECT_TRUE(name.rfind("LD_", 0) != 0 && name.rfind("ST_", 0) != 0 && name.rfind("LDF_", 0) != 0 &&
                name.rfind("STF_", 0) != 0 && insn.op != KOP_ADDR)
        << name;
  }
  EXPECT_EQ(count_opcode(program, KOP_LDU_F32), 3u);
  EXPECT_EQ(count_opcode(program, KOP_LDU_I32), 1u);
  EXPECT_EQ(count_opcode(program, KOP_STU_F32), 1u);
  EXPECT_EQ(count_opcode(program, KOP_STFU_F32), 2u);
}

}  // namespace
