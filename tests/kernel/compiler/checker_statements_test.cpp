// Statements compiled from source: declarations and initialisers, assignment and compound assignment,
// control flow and its shapes, return, field access, and the exact diagnostics of each.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerStatements, DeclarationDiagnostics) {
  expect_failures({
      {"kernel void k() { void v; }", "variables cannot be void", 19},
      {"kernel void k() { void* v; }", "parameters cannot be void"},
      {"kernel void k() { bool* v; }", "bool* is not supported (use u8*)"},
      {"kernel void k(f32* p) { f32* a[2]; }", "arrays of pointers are not supported"},
      {"kernel void k() { bool a[2]; }", "bool arrays are not supported (use u8)"},
      {"kernel const i32 N = 4;\nkernel void k() { u8 a[N]; }", "array size must be a positive integer constant", 24},
      {"kernel void k() { u8 a[4u]; }", "array size must be a positive integer constant", 24},
      {"kernel void k() { u8 a[1048577]; }", "array size must be a positive integer constant"},
      {"kernel void k() { u8 a[1048576]; u8 b; u8 c[1]; }", "the local variables of this kernel need more than 1 MiB", 40},
      {"kernel void k() { f32* p; }", "pointer variables must be initialized ('f32* p = p;')"},
      {"kernel void k() { i32 a[2] = 5; }", "arrays are initialized with a list ('{1, 2, 3}')", 30},
      {"kernel void k() { i32 a[2] = {1, 2, 3}; }", "too many values for an array of 2", 37},
      {"struct S { i32 a; f32 b; }\nkernel void k() { S s = {1, 2.0, 3}; }", "too many values for 'S' (2 fields)", 34},
      {"struct S { i32 a; } struct T { i32 a; }\nkernel void k(T* t) { S s = t[0]; }", "expected a S but got a T"},
  });
}

TEST(KernelCheckerStatements, InitialisersZeroFillCopyAndConvert) {
  auto unit = compile_emitted(
      "struct S { i32 a; f32 b; i32 c[2]; }\n"
      "kernel void k(S* out, const S* in) {\n"
      "  S copied = in[0];\n"
      "  S partial = {7};\n"
      "  S nested = {1, 2, {3, 4}};\n"
      "  i32 none[3] = {};\n"
      "  out[0] = copied; out[1] = partial; out[2] = nested; out[3].c[1] = none[2] + 9;\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  EXPECT_EQ(count_opcode(program, KOP_ZERO), 3u);  // the copy is not zero-filled first
  std::vector<uint8_t> out(4 * 16, 0xAB);
  std::vector<uint8_t> in(16);
  const int32_t a = -5;
  const float b = 0.25f;
  std::memcpy(&in[0], &a, 4);
  std::memcpy(&in[4], &b, 4);
  krvk_kernel_call call(program);
  call.buffer(out).buffer(in);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  const auto i32_at = [&](size_t offset) {
    int32_t v;
    std::memcpy(&v, &out[offset], 4);
    return v;
  };
  const auto f32_at = [&](size_t offset) {
    float v;
    std::memcpy(&v, &out[offset], 4);
    return v;
  };
  EXPECT_EQ(i32_at(0), -5);
  EXPECT_EQ(f32_at(4), 0.25f);
  EXPECT_EQ(i32_at(16), 7);
  EXPECT_EQ(f32_at(20), 0.0f);
  EXPECT_EQ(i32_at(28), 0);
  EXPECT_EQ(i32_at(32), 1);
  EXPECT_EQ(f32_at(36), 2.0f);
  EXPECT_EQ(i32_at(40), 3);
  EXPECT_EQ(i32_at(44), 4);
  EXPECT_EQ(i32_at(60), 9);
}

TEST(KernelCheckerStatements, SiblingBlocksShareFrameBytes) {
  auto unit = compile_emitted("kernel void k(i32* p) {\n"
                           "  { i32 a[10]; a[1] = 1; p[0] = a[1]; }\n"
                           "  { i64 b[3]; b[2] = 2; p[1] = i32(b[2]); { u8 c[4]; } }\n}");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->kernels[0]->frame_bytes, 40u);  // the larger sibling, not the sum
  EXPECT_EQ(unit->kernels[0]->frame_slot, 1u);
}

TEST(KernelCheckerStatements, AssignmentDiagnostics) {
  expect_failures({
      {"kernel void k(i32 n) { n = 1; }", "kernel parameters are read only, copy 'n' into a local variable first"},
      {"kernel void k() { gid = 1; }", "'gid' is read only"},
      {"kernel void k() { gsize_y += 1; }", "'gsize_y' is read only"},
      {"kernel const i32 A = 1;\nkernel void k() { A = 2; }", "'A' is a constant"},
      {"kernel void k() { zz = 2; }", "unknown name 'zz'"},
      {"kernel void k(i32* p) { p[0] + 1 = 2; }", "cannot assign to this expression"},
      {"kernel void k() { i32 a[2]; i32 b[2]; a = b; }", "cannot assign to an array, assign its elements"},
      {"kernel void k(const i32* p) { p[0] = 1; }", "cannot write through a const pointer"},
      {"kernel void k(const i32* p) { p[0] += 1; }", "cannot write through a const pointer"},
      {"kernel void k(f32* a, f32* b) { f32* q = a; q = b; }", "pointer variable 'q' points into 'a' and cannot be set to another parameter"},
      {"kernel void k(f32* a) { f32* q = a; q *= 2; }", "only += and -= (and ++ / --) are defined for pointers"},
      {"struct S { i32 a; } kernel void k(S* s) { s[0] += s[1]; }", "'+=' is not defined for structs"},
      {"kernel void k(i8x4* v) { v[0] += 1; }", "the result is a i32x4, not a i8x4 (write v = i8x4(v + ...))"},
      {"kernel void k(u8* p) { u8 x = p[0]; x += 1; }", "cannot convert i32 to u8 implicitly, write u8(...)"},
      {"kernel void k(i32* p) { p[0]; }", "this expression does nothing (only calls can be statements)"},
      {"kernel void k() { break; }", "'break' outside of a loop"},
      {"kernel void k() { continue; }", "'continue' outside of a loop"},
      {"kernel void k() { for (i32 i = 0; i < 3; i32 j = 1) {} }", "the step of a for loop cannot declare variables", 42},
      {"kernel void k(i32* p) { if (p[0]) {} }", "a condition must be a bool but got a i32 (write x != 0)"},
      {"kernel void k(i32* p) { while (1) {} }", "a condition must be a bool but got a integer literal (write x != 0)"},
      {"struct S { i32 a; } kernel void k(S* s) { s.a = 1; }", "use '->' to access a field through a pointer ('p->a' or 'p[i].a')"},
      {"struct S { i32 a; } kernel void k(S* s) { s[0]->a = 1; }", "'->' needs a pointer to a struct"},
      {"kernel void k(i32* p) { p[0].a = 1; }", "'.a' needs a struct"},
      {"struct S { i32 a; } kernel void k(S* s) { s->b = 1; }", "struct 'S' has no field 'b'"},
  });
}

TEST(KernelCheckerStatements, AssignmentsAndIncrementsRun) {
  auto unit = compile_emitted(
      "struct S { i32 a; f32x2 v; }\n"
      "kernel void k(f32* f, i32* n, S* s, const f32* src) {\n"
      "  f32 x = 1.5; x++; f[0] = x;\n"
      "  const f32* p = src; p++; p += 2; f[1] = *p; p -= 3; f[2] = p[1];\n"
      "  i32 m = 7; m <<= 2; m -= 3; m %= 10; n[0] = m;\n"
      "  n[1] *= 3; n[1]--;\n"
      "  s->v += f32x2(1.0, 2.0); s[0].a = s[0].a | 6;\n"
      "  S t = s[0]; t.v.y = 100.0; s[1] = t;\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<float> f(3), src{1, 2, 3, 4};
  std::vector<int32_t> n{0, 5};
  std::vector<float> s_raw(6, 0.0f);
  int32_t one = 1;
  std::memcpy(&s_raw[0], &one, 4);
  s_raw[1] = 10;
  s_raw[2] = 20;
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(f).buffer(n).buffer(s_raw).buffer(src);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(f, (std::vector<float>{2.5f, 4, 2}));
  EXPECT_EQ(n, (std::vector<int32_t>{5, 14}));
  int32_t a = 0;
  std::memcpy(&a, &s_raw[0], 4);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(s_raw[1], 11);
  EXPECT_EQ(s_raw[2], 22);
  EXPECT_EQ(s_raw[4], 11);
  EXPECT_EQ(s_raw[5], 100);
}

TEST(KernelCheckerStatements, MovesNeverStealALocalsDefiningInstruction) {
  // y's value comes from the ADDI just emitted into y's register; copying y into x must add a MOV, not
  // retarget that ADDI (which would leave y unset).
  auto unit = compile_emitted("kernel void k(i32* p) { i32 y = p[0] + 1; i32 x = y; x += 10; p[1] = x; p[2] = y;\n"
                           "  i32 z = p[0] > 0 ? y : x; y = z; p[3] = z; p[4] = y; }");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> p{4, 0, 0, 0, 0};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(p);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(p, (std::vector<int32_t>{4, 15, 5, 5, 5}));
}

TEST(KernelCheckerStatements, ControlFlowShapesAndLoops) {
  auto always = compile_emitted("kernel void k(i32* p) { if (true) p[0] = 1; }");
  ASSERT_NE(always, nullptr);
  EXPECT_EQ(opcodes_of(*always->kernels[0]), (std::vector<uint16_t>{KOP_ST_I32, KOP_END}));
  auto never = compile_emitted("kernel void k(i32* p) { if (false) p[0] = 1; }");
  ASSERT_NE(never, nullptr);
  EXPECT_EQ(opcodes_of(*never->kernels[0]), (std::vector<uint16_t>{KOP_JMP, KOP_ST_I32, KOP_END}));
  EXPECT_EQ(never->kernels[0]->code[0].x, 2u);

  auto unit = compile_emitted(
      "kernel void k(i32* out) {\n"
      "  i32 total = 0;\n"
      "  for (i32 i = 0;; i++) { if (i == 10) break; if (i % 2 == 0) continue; total += i; }\n"
      "  out[0] = total;\n"
      "  i32 j = 0; while (j < 5 && !(j == 3)) j++; out[1] = j;\n"
      "  bool both = j == 3 || total > 100; out[2] = both ? 1 : 0;\n"
      "  if (j > 2) { out[3] = 1; } else if (j > 1) { out[3] = 2; } else { out[3] = 3; }\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> out(4);
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(out, (std::vector<int32_t>{25, 3, 1, 1}));
  // Comparisons in conditions are fused compare-and-branches; every back edge is a LOOP.
  const krvk_program& program = *unit->kernels[0];
  EXPECT_EQ(count_opcode(program, KOP_LOOP), 2u);
  EXPECT_EQ(count_opcode(program, KOP_CMPLT_S) + count_opcode(program, KOP_CMPEQ_X), 0u);
}

TEST(KernelCheckerStatements, ReturnRules) {
  expect_failures({
      {"kernel f32 k() reduce(+) { return; }", "this kernel must return a f32 (it is reduced with +)"},
      {"kernel f32 k() reduce(+) { return {1.0}; }", "a {...} list needs a struct result"},
      {"kernel void k() { return 1; }", "a void kernel cannot return a value"},
      {"inline f32 h() { return; } kernel void k() {}", "this function must return a f32"},
      {"inline void h() { return 1; } kernel void k() {}", "a void function cannot return a value"},
      {"inline f32 h() { return {1.0}; } kernel void k() {}", "a {...} list needs a struct result"},
      {"struct S { i32 a; } kernel S k() reduce(a: +) { return 1; }", "expected a S but got a integer literal"},
  });
  // A work item that ends without return contributes nothing to the reduction.
  auto unit = compile_emitted("kernel i32 k(const i32* x) reduce(+) { if (x[gid] > 0) return x[gid]; }");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> x{5, -100, 7};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(x);
  ASSERT_EQ(call.run(3), 0);
  EXPECT_EQ(call.result<int32_t>(), 12);
}

}  // namespace
