// Entry kernels: parameters, result types, reductions and their accumulators, the launch builtins, and
// the program record the back end finishes.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerKernels, ParameterAndReductionDiagnostics) {
  expect_failures({
      {"kernel void k(void* p) {}", "parameters cannot be void", 15},
      {"kernel void k(bool* p) {}", "bool* is not supported (use u8*)", 15},
      {"struct S { i32 a; }\nkernel void k(S s) {}", "kernels take structs as pointers ('S* s'), struct values are for helpers and local variables", 15},
      {"kernel f32* k() {}", "kernels cannot return pointers", 8},
      {"kernel f32 k() {}", "a kernel that returns a value needs a reduction: 'kernel f32 k(...) reduce(+) { ... }' (+, min, max, &, |, ^)", 8},
      {"struct S { i32 a; }\nkernel S k() {}",
       "a kernel that returns a value needs a reduction: 'kernel S k(...) reduce(+) { ... }' (+, min, max, &, |, ^, or per field: reduce(a: +, b: max))"},
      {"kernel void k() reduce(+) {}", "a void kernel cannot have a reduction", 17},
      {"kernel i32 k() reduce(a: +) { return 1; }", "reductions per field ('reduce(a: +)') need a struct result"},
      {"kernel u8 k() reduce(+) { return u8(1); }",
       "reduce(+) is not supported for u8 (reductions return i32, u32, i64, u64, f32, f64, or bool with &, |, ^)"},
      {"kernel f64 k() reduce(^) { return 1.0; }",
       "reduce(^) is not supported for f64 (reductions return i32, u32, i64, u64, f32, f64, or bool with &, |, ^)"},
      {"kernel bool k() reduce(+) { return true; }",
       "reduce(+) is not supported for bool (reductions return i32, u32, i64, u64, f32, f64, or bool with &, |, ^)"},
      {"struct S { i32 a; u8 b; }\nkernel S k() reduce(+) { return {1, u8(2)}; }",
       "reduce(+) is not supported for field 'b' (u8), reduced fields must be i32, u32, i64, u64, f32 or f64 (&, |, ^ only for integers)"},
      {"struct S { f32 a; }\nkernel S k() reduce(^) { return {1.0}; }",
       "reduce(^) is not supported for field 'a' (f32), reduced fields must be i32, u32, i64, u64, f32 or f64 (&, |, ^ only for integers)"},
      {"struct S { i32 a; i32 b; }\nkernel S k() reduce(a: +) { return {1, 2}; }",
       "field 'b' of 'S' has no reduction (add 'b: +', min, max, &, | or ^)", 14},
      {"struct S { i32 a; }\nkernel S k() reduce(a: +, z: max) { return {1}; }", "struct 'S' has no field 'z'", 27},
      {"struct S { i32 a; }\nkernel S k() reduce(a: +, a: max) { return {1}; }", "field 'a' has two reductions", 27},
      {"kernel void k(Unknown* p) {}", "expected a type (bool, i8, u8, i16, u16, i32, u32, i64, u64, f32, f64, a vector type like f32x4 or a kernel struct) but found 'Unknown'"},
      {"kernel void k(f32* p, i32 p) {}", "'p' is already declared in this scope", 27},
      {"kernel const i32 N = 1;\nkernel void k(f32* N) {}", "'N' is already the name of a kernel struct or constant"},
  });
  EXPECT_NE(compile_emitted("kernel bool k(bool flag) reduce(&) { return flag; }"), nullptr);
  EXPECT_NE(compile_emitted("struct S { i32 a; }\ninline i32 h(S s) { return s.a; }\nkernel void k() {}"), nullptr);
}

TEST(KernelCheckerKernels, ParametersAccumulatorsAndRegisterNames) {
  auto unit = compile_emitted("struct Stats { f32 sum; f32x2 v; i32 m[2]; }\n"
                           "kernel Stats k(const f32* a, f32 scale, f32* b, u32 n) reduce(sum: +, v: +, m: max) {\n"
                           "  f32 tmp[2]; tmp[0] = a[gid] * scale; b[gid] = tmp[0];\n"
                           "  return {tmp[0], f32x2(1.0, 2.0), {i32(n), 3}};\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  EXPECT_EQ(program.name, "k");
  EXPECT_EQ(program.source_file, "test.k");
  EXPECT_EQ(program.line, 2u);
  EXPECT_EQ(program.result_text, "Stats reduce(sum: +, v: +, m: max)");
  EXPECT_EQ(program.reduction, KRVK_REDUCE_ADD);
  ASSERT_EQ(program.accumulators.size(), 5u);
  const std::vector<std::string> names = {"sum", "v.x", "v.y", "m[0]", "m[1]"};
  const std::vector<uint32_t> offsets = {0, 4, 8, 12, 16};
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(program.accumulators[i].name, names[i]);
    EXPECT_EQ(program.accumulators[i].offset, offsets[i]);
    EXPECT_EQ(program.accumulators[i].reg, 7 + i);
    EXPECT_EQ(program.register_names[7 + i], "acc." + names[i]);
  }
  EXPECT_EQ(program.accumulators[3].op, KRVK_REDUCE_MAX);
  ASSERT_EQ(program.parameters.size(), 4u);
  EXPECT_EQ(program.parameters[0].pointer_slot, 0);
  EXPECT_EQ(program.parameters[0].type_text, "const f32*");
  EXPECT_EQ(program.parameters[1].reg, 12);  // after the five accumulators
  EXPECT_EQ(program.register_names[12], "scale");
  EXPECT_EQ(program.parameters[2].pointer_slot, 1);
  EXPECT_EQ(program.parameters[3].reg, 13);
  EXPECT_EQ(program.parameters[3].element_size, 4u);
  EXPECT_EQ(program.pointer_count, 2u);
  EXPECT_EQ(program.frame_slot, 2);
  EXPECT_GT(program.frame_bytes, 0u);
  EXPECT_EQ(program.register_names[0], "gid");
  EXPECT_EQ(program.register_names[2], "");  // no scalar accumulator
  EXPECT_EQ(program.two_d, 0);
  EXPECT_EQ(program.register_names.size(), program.register_count);
  EXPECT_EQ(program.line_table.size(), program.code.size());
  EXPECT_EQ(program.file_table.size(), program.code.size());
  EXPECT_EQ(program.file_names, std::vector<std::string>{"test.k"});
  EXPECT_EQ(program.code.back().op, KOP_END);
  EXPECT_EQ(program.line_table.back(), 2u);  // the closing END carries the declaration's line

  std::vector<float> a{1, 2}, b(2);
  krvk_kernel_call call(program);
  call.buffer(a).scalar(3.0f).buffer(b).scalar(uint32_t{9});
  ASSERT_EQ(call.run(2), 0) << call.trap_text();
  EXPECT_EQ(call.result<float>(0), 9.0f);
  EXPECT_EQ(call.result<float>(1), 2.0f);
  EXPECT_EQ(call.result<float>(2), 4.0f);
  EXPECT_EQ(call.result<int32_t>(3), 9);
  EXPECT_EQ(call.result<int32_t>(4), 3);
  EXPECT_EQ(b, (std::vector<float>{3, 6}));
}

TEST(KernelCheckerKernels, ScalarResultNamesTheAccumulatorRegister) {
  auto unit = compile_emitted("kernel f32 k(const f32* x) reduce(max) { return x[gid]; }\n"
                           "kernel void w(u32* o) { o[gid] = gsize_x; }\n"
                           "inline u32 row() { return gid_y; }\n"
                           "kernel void v(u32* o) { o[gid] = row(); }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& k = *unit->kernels[0];
  EXPECT_EQ(k.result_text, "f32 reduce(max)");
  ASSERT_EQ(k.accumulators.size(), 1u);
  EXPECT_EQ(k.accumulators[0].reg, 2);
  EXPECT_EQ(k.accumulators[0].name, "");
  EXPECT_EQ(k.register_names[2], "acc");
  EXPECT_EQ(unit->kernels[1]->two_d, 0);  // gsize_x alone does not make a kernel 2-D
  EXPECT_EQ(unit->kernels[2]->two_d, 1);  // gid_y read inside an expanded helper does
}

}  // namespace

namespace {

TEST(KernelCheckerKernels, AStructResultWithMoreLeavesThanRegistersIsRefusedEarly) {
  // 64 million u32 leaves (256 MB, under the struct size limit) cannot have an accumulator each; the
  // diagnostic must come without listing every leaf first, which would take gigabytes.
  const kerror err = compile_error("struct A { u32 m[16000000]; }\nkernel struct R { A a[4]; }\n"
                                   "kernel R k() reduce(+) { return {}; }");
  EXPECT_EQ(err.message, "kernel is too large (too many registers)");
  // Just past the limit: a struct of 32761 leaves needs one register more than a program has.
  EXPECT_EQ(compile_error("kernel struct R { u32 m[32761]; }\nkernel R k() reduce(+) { return {}; }").message,
            "kernel is too large (too many registers)");
}

}  // namespace
