// Expressions compiled from source and run on the scalar interpreter: literal typing, the implicit and
// explicit conversions, constant folding (literal folding and folding through the interpreter), and the
// exact diagnostics of each rule.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

// Compiles `out[0] = EXPR;` into a kernel with an output of the given type and returns the stored value.
template <class T>
T evaluate(const std::string& type, const std::string& expr, const std::string& extra = "") {
  const std::string source = extra + "kernel void k(" + type + "* out) { out[0] = " + expr + "; }";
  auto unit = compile_emitted(source);
  if (!unit) return T{};
  std::vector<T> out(1);
  krvk_kernel_call call(*unit->kernels.at(0));
  call.buffer(out);
  EXPECT_EQ(call.run(1), 0) << call.trap_text();
  return out[0];
}

std::string in_kernel(const std::string& body) { return "kernel void k(f32* pf, i32* pi, u32* pu) { " + body + " }"; }

TEST(KernelCheckerExpressions, LiteralsFitTheirTargetOrFailExactly) {
  EXPECT_EQ(evaluate<uint8_t>("u8", "255"), 255);
  EXPECT_EQ(evaluate<uint64_t>("u64", "18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(evaluate<float>("f32", "16777216"), 16777216.0f);
  EXPECT_EQ(evaluate<double>("f64", "9007199254740992"), 9007199254740992.0);
  EXPECT_EQ(evaluate<int8_t>("i8", "-128"), -128);
  expect_failures({
      {in_kernel("u8 a = 256;"), "integer literal 256 does not fit into u8"},
      {in_kernel("u32 a = -1;"), "integer literal -1 does not fit into u32"},
      {in_kernel("i64 a = 18446744073709551615;"), "integer literal 18446744073709551615 does not fit into i64"},
      {in_kernel("f32 a = 16777217;"), "integer literal 16777217 does not fit into f32 exactly"},
      {in_kernel("f64 a = 9007199254740993;"), "integer literal 9007199254740993 does not fit into f64 exactly"},
      // 2^63 - 1 rounds to 2^63 as a double: the way back must not be an undefined conversion.
      {in_kernel("f64 a = 9223372036854775807;"), "integer literal 9223372036854775807 does not fit into f64 exactly"},
      {in_kernel("f32 a = 9223372036854775807;"), "integer literal 9223372036854775807 does not fit into f32 exactly"},
      {in_kernel("bool b = 1;"), "an integer cannot be used as bool (write x != 0, or true / false)"},
      {in_kernel("i32 a = 1.5;"), "a float literal cannot be converted to i32 implicitly, write i32(...)"},
      {in_kernel("i8 a = -129;"), "integer literal -129 does not fit into i8"},
  });
}

TEST(KernelCheckerExpressions, LiteralSuffixesGiveTypedConstants) {
  auto unit = compile_emitted("kernel void k(u64* a, f32* b) { a[0] = 5000000000u; a[1] = u64(3u); b[0] = 1.5f; }");
  ASSERT_NE(unit, nullptr);
  std::vector<uint64_t> a(2);
  std::vector<float> b(1);
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(a).buffer(b);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(a[0], 5000000000u);
  EXPECT_EQ(a[1], 3u);
  EXPECT_EQ(b[0], 1.5f);
  // 3u is a typed u32: it does not widen into i32.
  EXPECT_EQ(compile_error(in_kernel("i32 a = 3u;")).message, "cannot convert u32 to i32 implicitly, write i32(...)");
}

TEST(KernelCheckerExpressions, ImplicitConversionsOnlyWiden) {
  expect_failures({
      {"kernel void k(i64* a, i32* b) { b[0] = a[0]; }", "cannot convert i64 to i32 implicitly, write i32(...)"},
      {"kernel void k(f64* a, f32* b) { b[0] = a[0]; }", "cannot convert f64 to f32 implicitly, write f32(...)"},
      {"kernel void k(u8* a, bool* b) { }", "bool* is not supported (use u8*)"},
      {"kernel void k(u8* a) { bool b = a[0]; }", "cannot convert u8 to bool implicitly, write bool(...)"},
      {"kernel void k(i32* a) { u32 b = a[0]; }", "cannot convert i32 to u32 implicitly, write u32(...)"},
      {"kernel void k(f32* a) { f32 b = a; }", "expected f32 but got a pointer"},
      {"kernel void k(const f32* a) { f32* b = a; }", "cannot pass a const pointer as a writable pointer (f32*)"},
      {"kernel void k(i32* a) { f32* b = a; }", "pointer types do not match: expected f32* but got i32*"},
      {"kernel void k(i32* a) { f32* b = 1; }", "expected a pointer (f32*) but got a integer literal"},
  });
  // Widening costs no instruction: an i32 and a u8 assigned to i64 locals copy registers with MOV only.
  auto unit = compile_emitted("kernel void k(i64* out, const i32* a, const u8* b) { i64 x = a[0]; i64 y = b[0]; out[0] = x + y; }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  for (uint16_t op = KOP_TRUNC_I8; op <= KOP_TRUNC_U32; ++op) EXPECT_EQ(count_opcode(program, op), 0u);
  std::vector<int64_t> out(1);
  std::vector<int32_t> a{-7};
  std::vector<uint8_t> b{200};
  krvk_kernel_call call(program);
  call.buffer(out).buffer(a).buffer(b);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(out[0], 193);
  // f32 to f64 is the one implicit conversion with an instruction.
  auto widen = compile_emitted("kernel void k(f64* out, const f32* a) { out[0] = a[0]; }");
  ASSERT_NE(widen, nullptr);
  EXPECT_EQ(count_opcode(*widen->kernels[0], KOP_CVT_F32_F64), 1u);
}

TEST(KernelCheckerExpressions, ExplicitConversionsFoldAndRun) {
  EXPECT_EQ(evaluate<uint8_t>("u8", "u8(300)"), 44);
  EXPECT_EQ(evaluate<int8_t>("i8", "i8(200)"), -56);
  EXPECT_EQ(evaluate<uint8_t>("u8", "u8(bool(5))"), 1);
  EXPECT_EQ(evaluate<int32_t>("i32", "i32(-2.9)"), -2);
  EXPECT_EQ(evaluate<uint64_t>("u64", "u64(-1)"), UINT64_MAX);
  EXPECT_EQ(evaluate<float>("f32", "f32(18446744073709551615)"), 18446744073709551616.0f);
  EXPECT_EQ(evaluate<uint64_t>("u64", "u64(9223372036854775808.0)"), uint64_t{1} << 63);
  EXPECT_EQ(evaluate<int32_t>("i32", "i32(f32(2.5) * 3.0f)"), 7);
  expect_failures({
      {in_kernel("i64 a = i64(9223372036854775808.0);"), "float literal does not fit into i64"},
      {in_kernel("u8 a = u8(f32(300.0));"), "constant expression: float value 300 does not fit into u8"},
      {in_kernel("i32 a = i32(pf);"), "pointers cannot be converted"},
      {in_kernel("i32 a = void(1);"), "cannot convert to void"},
  });
  // i32(x) of an i64 truncates with TRUNC_I32; u64(x) of an i32 reads the sign-extended register as is.
  auto unit = compile_emitted("kernel void k(i32* a, u64* b, const i64* x, const i32* y) { a[0] = i32(x[0]); b[0] = u64(y[0]); }");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(count_opcode(*unit->kernels[0], KOP_TRUNC_I32), 1u);
  EXPECT_EQ(unit->kernels[0]->code.size(), 6u);  // 2 loads, TRUNC, 2 stores... and END
  std::vector<int32_t> a(1);
  std::vector<uint64_t> b(1);
  std::vector<int64_t> x{0x1'0000'0005};
  std::vector<int32_t> y{-2};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(a).buffer(b).buffer(x).buffer(y);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(a[0], 5);
  EXPECT_EQ(b[0], static_cast<uint64_t>(-2));
}

TEST(KernelCheckerExpressions, FloatToIntegerAtRunTimeTraps) {
  auto unit = compile_emitted("kernel void k(u8* out, const f32* in) { out[gid] = u8(in[gid]); }");
  ASSERT_NE(unit, nullptr);
  std::vector<uint8_t> out(2);
  std::vector<float> in{255.5f, 256.0f};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(in);
  EXPECT_EQ(call.run(2), KRVK_TRAP_F2I);
  EXPECT_EQ(call.trap_text(), "float value 256 does not fit into u8");
  EXPECT_EQ(out[0], 255);
}

TEST(KernelCheckerExpressions, NamesResolveInOrderWithHints) {
  expect_failures({
      {"struct S { i32 a; } kernel void k() { i32 x = S; }", "'S' is a struct type, not a value"},
      {"kernel void h() {} kernel void k() { i32 x = h; }", "'h' is a kernel function, call it with 'h(...)'"},
      {in_kernel("i32 x = f32;"), "'f32' is a type, convert values with 'f32(value)'"},
      {in_kernel("i32 x = nope;"), "unknown name 'nope'"},
      {in_kernel("i32 x = sizeof(void);"), "sizeof(void) is not defined"},
      {in_kernel("i32 x = {1};"), "a {...} list initializes arrays, structs and vectors, not a i32"},
      {in_kernel("i32 a[2] = {{1}, 2};"), "a {...} list initializes arrays, structs and vectors, not a i32"},
      {"const i32 A = sizeof(S); struct S { i32 a; }", "struct 'S' must be declared before sizeof(S)"},
  });
  EXPECT_EQ(evaluate<uint32_t>("u32", "u32(sizeof(S) + sizeof(f64x3))", "struct S { u8 a; f64 b; }\n"), 9u + 24u);
  EXPECT_EQ(evaluate<uint32_t>("u32", "gsize + gid"), 1u);
}

TEST(KernelCheckerExpressions, LiteralFoldingIsExactAndChecked) {
  EXPECT_EQ(evaluate<int64_t>("i64", "1 << 62"), int64_t{1} << 62);
  EXPECT_EQ(evaluate<int32_t>("i32", "-8 >> 1"), -4);
  EXPECT_EQ(evaluate<double>("f64", "1.0 % 0.75"), 0.25);
  EXPECT_EQ(evaluate<int32_t>("i32", "7 / -2 + 7 % -2"), -3 + 1);
  EXPECT_EQ(evaluate<uint8_t>("u8", "u8(18446744073709551615 == 18446744073709551615)"), 1);
  EXPECT_EQ(evaluate<int64_t>("i64", "-9223372036854775807 - 1"), INT64_MIN);
  EXPECT_EQ(evaluate<double>("f64", "1 / 2.0"), 0.5);
  expect_failures({
      {in_kernel("i64 a = 1 << 63;"), "integer constant overflow"},
      {in_kernel("i64 a = 1 << 64;"), "shift count out of range"},
      {in_kernel("i64 a = 1 >> -1;"), "shift count out of range"},
      {in_kernel("i64 a = 9223372036854775807 + 1;"), "integer constant overflow"},
      {in_kernel("i64 a = -9223372036854775807 - 2;"), "integer constant overflow"},
      {in_kernel("u64 a = 18446744073709551615 + 1;"), "integer constant overflow (write u64(...) for values above 2^63)"},
      {in_kernel("i32 a = 1 / 0;"), "division by zero"},
      {in_kernel("i32 a = 1 % 0;"), "modulo by zero"},
      {in_kernel("i32 a = 5 & 1.0;"), "'&' needs integers"},
      {in_kernel("i64 a = -(-9223372036854775807 - 1);"), "integer constant overflow"},
      {in_kernel("i64 a = ~18446744073709551615;"), "integer constant overflow"},
  });
}

TEST(KernelCheckerExpressions, ConstantDivisionByZeroInBothForms) {
  expect_failures({
      {"kernel const i32 A = 1 / 0;", "division by zero"},
      {"kernel const i32 A = i32(1) / 0;", "constant expression: integer division by zero"},
      {"kernel const i32 A = i32(1) % 0;", "constant expression: integer modulo by zero"},
      {"kernel const i32 A = i32(-2147483647 - 1) / -1;", "constant expression: integer division overflow (-2147483648 / -1)"},
      {"kernel const u8 A = 256;", "integer literal 256 does not fit into u8"},
      {"kernel const f32* A = 1;", "kernel constants cannot be pointers"},
      {"kernel const void A = 1;", "kernel constants must have a number or bool type"},
      {"struct S { i32 a; } kernel const S A = 1;", "kernel constants must have a number or bool type"},
      {"kernel void k() {} kernel const i32 A = gid;", "not a constant expression"},
  });
  auto unit = compile_emitted("kernel const f32 A = 1.5; kernel const i32 B = i32(A * 2.0f) + 1; kernel const bool C = B > 3;");
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->constants.size(), 3u);
  EXPECT_EQ(unit->constants[0].bits, 0x3FC00000u);
  EXPECT_EQ(unit->constants[1].prim, KRVK_I32);
  EXPECT_EQ(unit->constants[1].bits, 4u);
  EXPECT_EQ(unit->constants[2].bits, 1u);
}

}  // namespace
