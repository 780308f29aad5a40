// Operators compiled from source: the common-type rules with their exact messages, the reciprocal
// division and add-immediate forms (shape and results), pointer arithmetic, lane-wise vector operators
// and the conditional.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerOperators, CommonTypeRefusesMixedSignednessAndFloats) {
  const std::string decl = "kernel void k(const i32* a, const u32* b, const f32* f, const f64* d, const u8* c, const u16* s, "
                           "const i64* l, const u64* q, i64* out, f64* fo) { ";
  expect_failures({
      {decl + "i64 x = a[0] + b[0]; }", "cannot mix i32 and u32 in '+', convert one side explicitly (e.g. i32(x))"},
      {decl + "i64 x = c[0] + b[0]; }", "cannot mix u8 and u32 in '+', convert one side explicitly (e.g. i32(x))"},
      {decl + "u64 x = q[0] * l[0]; }", "cannot mix u64 and i64 in '*', convert one side explicitly (e.g. u64(x))"},
      {decl + "f32 x = a[0] + f[0]; }", "cannot mix i32 and f32 in '+', convert one side explicitly (e.g. i32(x))"},
      {decl + "f32 x = a[0] + 1.5; }", "cannot mix i32 with a float literal in '+', convert explicitly"},
      {decl + "f32 x = 1.5 * c[0]; }", "cannot mix a float literal with u8 in '*', convert explicitly"},
      {decl + "bool x = true + false; }", "'+' is not defined for bool (use && / || / !)"},
      {decl + "bool x = true < false; }", "'<' is not defined for bool (use && / || / !)"},
      {decl + "f32 x = f[0] & f[0]; }", "'&' needs integers but got f32"},
      {decl + "f32 x = f[0] << 1; }", "'<<' needs an integer on the left but got f32"},
      {decl + "i32 x = a[0] << 1.0; }", "the shift count must be an integer"},
      {decl + "i32 x = a[0] >> f[0]; }", "the shift count must be an integer but got f32"},
      {decl + "bool x = !a[0]; }", "'!' needs a bool but got i32 (write x == 0)"},
      {decl + "bool x = !1; }", "'!' needs a bool (write x == 0)"},
      {decl + "bool x = -true; }", "'-' needs a number but got bool"},
      {decl + "f32 x = ~f[0]; }", "'~' needs an integer but got f32"},
      {decl + "i32 x = -a; }", "'-' cannot be used on a pointer"},
  });
  // u8 with u16 computes in i32, i32 with i64 in i64, u32 with i64 in i64, f32 with f64 in f64.
  auto unit = compile_emitted(decl + "out[0] = c[0] * s[0] - a[0] * l[0] + b[0] - 1; fo[0] = f[0] + d[0] + 0.5; "
                                  "out[1] = i64(f[0] + 1.5); out[2] = -c[0]; out[3] = ~s[0]; }");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> a{-3};
  std::vector<uint32_t> b{4000000000u};
  std::vector<float> f{2.25f};
  std::vector<double> d{0.125};
  std::vector<uint8_t> c{200};
  std::vector<uint16_t> s{60000};
  std::vector<int64_t> l{5}, out(4);
  std::vector<uint64_t> q{1};
  std::vector<double> fo(1);
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(a).buffer(b).buffer(f).buffer(d).buffer(c).buffer(s).buffer(l).buffer(q).buffer(out).buffer(fo);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(out[0], int64_t{12000000} + 15 + 4000000000 - 1);
  EXPECT_EQ(fo[0], 2.875);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(out[2], -200);
  EXPECT_EQ(out[3], ~int64_t{60000});
}

TEST(KernelCheckerOperators, DivisionByConstantUsesTheReciprocalForms) {
  auto unit = compile_emitted(
      "kernel void k(i32* q, i32* r, u32* uq, u32* ur, const i32* n, const u32* u) {\n"
      "  q[gid] = n[gid] / 7; r[gid] = n[gid] % 7; uq[gid] = u[gid] / 65535u; ur[gid] = u[gid] % 10u;\n"
      "}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  const krvk_insn* divc = find_opcode(program, KOP_DIVC_I32);
  ASSERT_NE(divc, nullptr);
  EXPECT_EQ(divc->c, 7);
  EXPECT_EQ(divc->x, UINT64_MAX / 7 + 1);
  ASSERT_NE(find_opcode(program, KOP_MODC_I32), nullptr);
  ASSERT_NE(find_opcode(program, KOP_DIVC_U32), nullptr);
  EXPECT_EQ(find_opcode(program, KOP_DIVC_U32)->c, 65535);
  EXPECT_EQ(find_opcode(program, KOP_MODC_U32)->c, 10);
  EXPECT_EQ(count_opcode(program, KOP_DIV_I32) + count_opcode(program, KOP_MOD_I32), 0u);

  std::vector<int32_t> n{-14, -13, 13, INT32_MIN, INT32_MAX, -1};
  std::vector<uint32_t> u{UINT32_MAX, 0, 65534, 65535, 123456789, 7};
  std::vector<int32_t> q(6), r(6);
  std::vector<uint32_t> uq(6), ur(6);
  krvk_kernel_call call(program);
  call.buffer(q).buffer(r).buffer(uq).buffer(ur).buffer(n).buffer(u);
  ASSERT_EQ(call.run(6), 0);
  for (size_t i = 0; i < n.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(q[i], n[i] / 7);  // C truncates toward zero, also for negative dividends
    EXPECT_EQ(r[i], n[i] % 7);
    EXPECT_EQ(uq[i], u[i] / 65535u);
    EXPECT_EQ(ur[i], u[i] % 10u);
  }

  // Not a constant 2..65535: the plain opcodes, with a pool constant for the divisor.
  for (const char* divisor : {"65536", "1", "n[1]"}) {
    auto plain = compile_emitted(std::string("kernel void k(i32* q, const i32* n) { q[gid] = n[gid] / ") + divisor + "; }");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(count_opcode(*plain->kernels[0], KOP_DIV_I32), 1u) << divisor;
    EXPECT_EQ(count_opcode(*plain->kernels[0], KOP_DIVC_I32), 0u) << divisor;
  }
}

TEST(KernelCheckerOperators, AddingAConstantUsesAddImmediate) {
  auto unit = compile_emitted("kernel void k(i64* a, i64* b, u32* c, const i64* x, const u32* y) {\n"
                           "  a[gid] = x[gid] - 3; b[gid] = 3 - x[gid]; c[gid] = 5u + y[gid];\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  const krvk_insn* addi = find_opcode(program, KOP_ADDI_X64);
  ASSERT_NE(addi, nullptr);
  EXPECT_EQ(static_cast<int64_t>(addi->x), -3);
  EXPECT_EQ(count_opcode(program, KOP_SUB_X64), 1u);  // 3 - x needs the subtraction
  EXPECT_EQ(find_opcode(program, KOP_ADDI_U32)->x, 5u);
  std::vector<int64_t> a(1), b(1), x{10};
  std::vector<uint32_t> c(1), y{UINT32_MAX};
  krvk_kernel_call call(program);
  call.buffer(a).buffer(b).buffer(c).buffer(x).buffer(y);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(a[0], 7);
  EXPECT_EQ(b[0], -7);
  EXPECT_EQ(c[0], 4u);  // wraps in 32 bits
}

TEST(KernelCheckerOperators, PointerArithmeticStaysInItsSlot) {
  auto unit = compile_emitted(
      "kernel void k(i64* out, const f32* x, const f32* y) {\n"
      "  const f32* p = x + 3; const f32* q = p - 1; const f32* r = 2 + x;\n"
      "  out[0] = p - x; out[1] = i64(q[0]); out[2] = i64(*r); out[3] = i64(p > q) + i64(q == r) * 10;\n"
      "  const f32* s = &x[gid + 1]; out[4] = i64(s[1]);\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<int64_t> out(5);
  std::vector<float> x{0, 1, 2, 3, 4}, y{9};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(x).buffer(y);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(out, (std::vector<int64_t>{3, 2, 2, 11, 2}));
  expect_failures({
      {"kernel void k(const f32* x, const f32* y) { i64 d = x - y; }",
       "pointers into different parameters cannot be compared or subtracted"},
      {"kernel void k(const f32* x) { const f32* p = x * 2; }", "only 'pointer + integer' and 'pointer - integer' are defined"},
      {"kernel void k(const f32* x) { const f32* p = 2 - x; }", "only 'pointer + integer' and 'pointer - integer' are defined"},
      {"kernel void k(const f32* x) { const f32* p = x + x; }", "'+' is not defined for two pointers"},
      {"kernel void k(const f32* x) { const f32* p = x + 1.0; }", "pointer arithmetic needs an integer offset but got a float literal"},
      {"kernel void k(const f32* x) { const f32* p = x + 18446744073709551615; }", "pointer offset out of range"},
      {"kernel void k(f32* x) { f32 a = *x[0]; }", "'*' needs a pointer but got a f32"},
      {"struct S { f32 a; } kernel void k(S* s) { f32* p = &s[0].a; }", "'&' only works on array elements ('&p[i]')"},
  });
  // Reading past the buffer through pointer arithmetic is still a checked access.
  std::vector<float> small{1, 2};
  auto past = compile_emitted("kernel void k(f32* y, const f32* x) { const f32* p = x + 2; y[0] = p[gid]; }");
  ASSERT_NE(past, nullptr);
  std::vector<float> result(1);
  krvk_kernel_call trapping(*past->kernels[0]);
  trapping.buffer(result).buffer(small);
  EXPECT_EQ(trapping.run(1), KRVK_TRAP_INDEX);
  EXPECT_EQ(trapping.trap_text(), "index 2 is out of bounds of 'x' (2 elements)");
}

TEST(KernelCheckerOperators, VectorsOperateLaneByLane) {
  auto unit = compile_emitted(
      "kernel void k(f32x4* out, const f32x4* a, const f32x4* b, i32x3* io) {\n"
      "  out[0] = a[0] + b[0]; out[1] = a[0] * 2.0f - 1.5; out[2] = -a[0]; out[3] = f32x4(0.5);\n"
      "  f32x4 v = f32x4(1, 2, 3, 4); v *= b[0]; out[4] = v; io[0] = i32x3(io[0] % 3) + 1;\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<float> out(20), a{1, 2, 3, 4}, b{10, 20, 30, 40};
  std::vector<int32_t> io{7, -8, 9};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(a).buffer(b).buffer(io);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(out, (std::vector<float>{11, 22, 33, 44, 0.5f, 2.5f, 4.5f, 6.5f, -1, -2, -3, -4, 0.5f, 0.5f, 0.5f, 0.5f,
                                     10, 40, 90, 160}));
  EXPECT_EQ(io, (std::vector<int32_t>{2, -1, 1}));
  EXPECT_EQ(count_opcode(*unit->kernels[0], KOP_ADD_F32), 4u);
  expect_failures({
      {"kernel void k(f32x4* a) { bool c = a[0] == a[1]; }", "'==' is not defined for vectors (compare their components)"},
      {"kernel void k(f32x4* a, f32x2* b) { a[0] = a[0] + b[0]; }", "'+' needs vectors of the same size (f32x4 and f32x2)"},
      {"kernel void k(f32x4* a, i32* b) { a[0] = a[0] + b[0]; }", "cannot mix f32 and i32 in '+', convert one side explicitly (e.g. f32(x))"},
      {"struct S { f32 x; } kernel void k(f32x4* a, S* s) { a[0] = a[0] + s[0]; }", "'+' is not defined for structs"},
      {"kernel void k(f32x4* a) { a[0] = a[0] + a; }", "vectors and pointers cannot be combined"},
      {"kernel void k(f32x4* a, f32x2* b) { a[0] = f32x4(b[0]); }", "cannot convert a f32x2 to f32x4"},
      {"kernel void k(f32x4* a) { a[0] = f32x4(1.0, 2.0); }", "'f32x4' expects 1 or 4 values but got 2"},
      {"kernel void k(f32x4* a) { f32x2 v = f32x2(1.0, 2.0); a[0] = v; }", "expected a f32x4 but got a f32x2"},
  });
}

TEST(KernelCheckerOperators, ConditionalSelectsAndConverts) {
  auto unit = compile_emitted(
      "kernel void k(f64* out, i32* io, const i32* c) {\n"
      "  out[gid] = c[gid] > 0 ? 1 : 2.5; io[gid] = c[gid] < 0 ? -c[gid] : c[gid] * 2;\n"
      "  io[gid + 3] = true ? 5 : c[9];\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<double> out(3);
  std::vector<int32_t> io(6), c{4, -3, 0};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(io).buffer(c);
  ASSERT_EQ(call.run(3), 0) << call.trap_text();  // c[9] is never compiled: the condition is constant
  EXPECT_EQ(out, (std::vector<double>{1.0, 2.5, 2.5}));
  EXPECT_EQ(io, (std::vector<int32_t>{8, 3, 0, 5, 5, 5}));
  // A then-value that needs one conversion writes the result itself: no MOV follows it.
  auto shape = compile_emitted("kernel void k(f64* out, const f32* a, const f64* b) { out[gid] = a[gid] > 0.0f ? a[gid] : b[gid]; }");
  ASSERT_NE(shape, nullptr);
  const krvk_program& program = *shape->kernels[0];
  ASSERT_EQ(count_opcode(program, KOP_CVT_F32_F64), 1u);
  EXPECT_EQ(count_opcode(program, KOP_MOV), 0u);
  expect_failures({
      {"kernel void k(f32* a) { f32 x = 1 ? 1.0 : 2.0; }", "the condition of '?:' must be a bool"},
      {"kernel void k(f32* a, f32* b) { f32 x = gid > 0 ? i32(a[0]) : 2.5; }", "cannot mix i32 with a float literal in '?:', convert explicitly"},
      {"kernel void k(f32* a, f32* b) { f32* x = gid > 0 ? a : b; }", "'?:' cannot select pointers"},
  });
}

TEST(KernelCheckerOperators, ConditionalsNestedInConditionsCompileInLinearTime) {
  // Each '?:' tries its condition as a constant before compiling it; without remembering the answer,
  // every level doubles the work and 40 levels would take days.
  std::string chain = "x";
  for (int level = 0; level < 40; ++level) chain = "(" + chain + " > 1 ? 1 : 2)";
  auto unit = compile_emitted("kernel void k(i32* p) { i32 x = p[gid]; p[gid] = " + chain + "; }");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> p{5, 0};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(p);
  ASSERT_EQ(call.run(2), 0) << call.trap_text();
  // 5 -> 1 -> 2 -> 1 ...; 0 -> 2 -> 1 -> 2 ...: after 40 levels the first is back at 2, the second at 1.
  EXPECT_EQ(p, (std::vector<int32_t>{2, 1}));
}

}  // namespace
