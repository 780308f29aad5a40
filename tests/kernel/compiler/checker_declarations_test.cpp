// Declarations: struct layouts (packed, limits, builtin vectors on first use), kernel constants, the
// name rules, and the limits of registers and the constant pool.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerDeclarations, StructFieldsArePackedWithoutPadding) {
  auto unit = compile_emitted("struct S { u8 a; f64 b; }\ncstruct C { u8 a; f64 b; }\nstruct T { S s[2]; u16 t; f32x3 v; }");
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->structs.size(), 4u);  // S, C, the builtin f32x3 on its first use, then T
  for (size_t i : {size_t{0}, size_t{1}}) {
    const krvk_struct& s = unit->structs[i];
    EXPECT_EQ(s.size, 9u);
    EXPECT_EQ(s.fields[1].offset, 1u);
    EXPECT_EQ(s.fields[1].element_size, 8u);
    EXPECT_EQ(s.source_file, "test.k");
  }
  const krvk_struct& vector = unit->structs[2];
  EXPECT_EQ(vector.name, "f32x3");
  EXPECT_EQ(vector.size, 12u);
  EXPECT_EQ(vector.source_file, "<builtin>");
  EXPECT_EQ(vector.vector_prim, KRVK_F32);
  EXPECT_EQ(vector.vector_lanes, 3);
  EXPECT_EQ(vector.fields[2].name, "z");
  EXPECT_EQ(vector.fields[2].offset, 8u);
  const krvk_struct& t = unit->structs[3];
  EXPECT_EQ(t.line, 3u);
  EXPECT_EQ(t.fields[0].array_count, 2u);
  EXPECT_EQ(t.fields[0].struct_index, 0);
  EXPECT_EQ(t.fields[1].offset, 18u);
  EXPECT_EQ(t.fields[2].offset, 20u);
  EXPECT_EQ(t.size, 32u);
}

TEST(KernelCheckerDeclarations, VectorStructsAreSharedByLaterUses) {
  auto unit = compile_emitted("struct P { f32x3 v; }\nkernel void k(f32x3* a, P* p) { a[gid] = p[gid].v; }");
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->structs.size(), 2u);
  EXPECT_EQ(unit->kernels[0]->parameters[0].type.struct_index, 0);
  EXPECT_EQ(unit->kernels[0]->parameters[0].type_text, "f32x3*");
  EXPECT_EQ(unit->kernels[0]->parameters[0].element_size, 12u);
}

TEST(KernelCheckerDeclarations, ArraySizesAndStructLimits) {
  auto unit = compile_emitted("struct A { f32 big[16777215]; }\nstruct B { u8 a[2 * 2]; u8 b[sizeof(f32)]; }\n"
                           "struct C { f64 a[16777215]; f64 b[16777215]; u8 c[16]; }");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->structs[0].size, 67108860u);
  EXPECT_EQ(unit->structs[1].size, 8u);
  EXPECT_EQ(unit->structs[2].size, 268435456u);
  expect_failures({
      {"struct S { u8 a[0]; }", "array size must be a positive integer constant", 17, 1},
      {"struct S { u8 a[16777216]; }", "array size must be a positive integer constant", 17, 1},
      {"kernel const i32 N = 4;\nstruct S { u8 a[N]; }", "array size must be a positive integer constant", 17, 2},
      {"struct S { u8 a[4u]; }", "array size must be a positive integer constant", 17, 1},
      {"struct S { u8 a[i32(4)]; }", "array size must be a positive integer constant", 17, 1},
      {"struct S { u8 a[2.0]; }", "array size must be a positive integer constant", 17, 1},
      {"struct S { f64 a[16777215]; f64 b[16777215]; u8 c[17]; }", "struct 'S' is too large (more than 256 MiB)", 49, 1},
  });
}

TEST(KernelCheckerDeclarations, StructNestingIsBounded) {
  // Every consumer of a struct type walks its nesting; a chain of 30,000 structs each holding the one
  // before would exhaust the stack (and, with field paths, take quadratic memory) in those walks.
  const auto chain = [](int count) {
    std::string source = "struct S0 { u32 a; }\n";
    for (int i = 1; i < count; ++i) {
      source += "struct S" + std::to_string(i) + " { S" + std::to_string(i - 1) + " a; }\n";
    }
    return source + "kernel S" + std::to_string(count - 1) + " k() reduce(+) { return {}; }\n";
  };
  // 500 levels are accepted: S499 holds 499 structs inside it.
  auto unit = compile_emitted(chain(500));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->kernels[0]->accumulators.size(), 1u);
  const kerror err = compile_error(chain(30000));
  EXPECT_EQ(err.message, "struct 'S500' is nested too deeply (more than 500 levels)");
  EXPECT_EQ(err.line, 501u);
  EXPECT_EQ(err.column, 15u);  // at the field's type
}

TEST(KernelCheckerDeclarations, StructAndNameDiagnostics) {
  expect_failures({
      {"struct S { u8 gid; }", "'gid' is a reserved word", 15, 1},
      {"struct S { u8 a; u16 a; }", "duplicate field 'a'", 22, 1},
      {"struct S { u8* a; }", "struct fields cannot be pointers", 12, 1},
      {"struct S { bool a; }", "struct fields cannot be bool (use u8 for flags)", 12, 1},
      {"struct S { void a; }", "struct fields cannot be void (use u8 for flags)", 12, 1},
      {"struct S { T t; }\nstruct T { u8 a; }", "struct 'T' must be declared before it is used as a field type", 12, 1},
      {"struct S { }", "struct 'S' has no fields", 8, 1},
      {"struct f32x4 { u8 a; }", "'f32x4' is a reserved word", 8, 1},
      {"struct S { u8 a; }\nkernel const i32 S = 1;", "'S' is already declared in this kernel source", 18, 2},
      {"kernel void k() {}\ninline i32 k() { return 1; }", "'k' is already declared in this kernel source", 12, 2},
      {"kernel void gsize() {}", "'gsize' is a reserved word", 13, 1},
      {"kernel const i32 A = 1;\nkernel void k() { i32 A = 2; }", "'A' is already the name of a kernel struct or constant", 23, 2},
      {"kernel void k() { i32 a = 1; f32 a = 2.0; }", "'a' is already declared in this scope", 34, 1},
      {"kernel void k() { i32 while = 1; }", "'while' is a reserved word", 23, 1},
      {"kernel void k(f32* if) { }", "'if' is a reserved word", 20, 1},
  });
  // A local may shadow an outer local.
  EXPECT_NE(compile_emitted("kernel void k(i32* p) { i32 a = 1; { i32 a = 2; p[0] = a; } }"), nullptr);
}

TEST(KernelCheckerDeclarations, ConstantPoolIsDeduplicatedAndLimited) {
  auto unit = compile_emitted("kernel void k(i32* a, i64* b) { a[0] = 7; a[0] = 7; b[0] = 7; b[0] = i64(7); }");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  // The element index 0 (an i64 0), the i32 7 once and the i64 7 once, in first-use order.
  ASSERT_EQ(program.constants.size(), 3u);
  EXPECT_EQ(program.constants[0].prim, KRVK_I64);
  EXPECT_EQ(program.constants[1].prim, KRVK_I32);
  EXPECT_EQ(program.constants[2].prim, KRVK_I64);
  EXPECT_EQ(program.constants[2].bits, 7u);
  EXPECT_EQ(program.register_names[program.constants[0].reg], "#");
  EXPECT_EQ(program.register_count, program.constants[2].reg + 1u);

  // A kernel storing 1..N through p[0] uses N + 1 entries (the values and the index 0).
  const auto stores = [](int n) {
    std::string source = "kernel void k(i32* p) {\n";
    for (int i = 1; i <= n; ++i) source += "p[0] = " + std::to_string(i) + ";\n";
    return source + "}";
  };
  EXPECT_NE(compile_emitted(stores(28671)), nullptr);
  const kerror err = compile_error(stores(28672));
  EXPECT_EQ(err.message, "kernel is too large (too many constants)");
  EXPECT_EQ(err.line, 28673u);
}

TEST(KernelCheckerDeclarations, RegisterNumbersStopBelow32767) {
  // Registers 7..32766 are available: 32,760 scalar locals fit, one more does not.
  const auto locals = [](int n) {
    std::string source = "kernel void k() {\n";
    for (int i = 0; i < n; ++i) {
      if (i % 100 == 0) source += "{";
      source += "i32 v" + std::to_string(i) + ";";
      if (i % 100 == 99 || i == n - 1) source += "}\n";
    }
    return source + "}";
  };
  auto unit = compile_emitted(locals(32760));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->kernels[0]->register_count, 32767u + 1u);  // every register plus the one zero constant
  // With the passes the unread locals go, and so do their registers.
  EXPECT_EQ(compile_unit(locals(32760))->kernels[0]->register_count, 7u + 1u + 1u);
  EXPECT_EQ(compile_error(locals(32761)).message, "kernel is too large (too many registers)");
}

}  // namespace
