// Calls compiled from source: the element-wise built-ins (folded on constants, lane by lane on vectors),
// the vector built-ins, atomic_add, and inline helpers with arguments by value and recursion refused.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

TEST(KernelCheckerCalls, BuiltinDiagnostics) {
  expect_failures({
      {"kernel void k(f32* p) { p[0] = sqrt(2); }", "'sqrt' needs f32 or f64 but got a integer literal (convert with f32(x))", 37},
      {"kernel void k(f32* p, i32* q) { p[0] = pow(1.0f, q[0]); }", "'pow' needs f32 or f64 but got a i32 (convert with f32(x))", 51},
      {"kernel void k(f32* p, f64* q) { p[0] = atan2(p[0], 1.0f); p[0] = pow(p[0], q[0]); }",
       "cannot convert f64 to f32 implicitly, write f32(...)"},
      {"kernel void k(i32* p, u32* q) { p[0] = min(p[0], 5u); }", "cannot mix i32 and u32 in 'min', convert one side explicitly (e.g. i32(x))"},
      {"kernel void k(i32* p) { bool b = max(true, false); }", "min / max / clamp need numbers"},
      {"kernel void k(i32* p) { i32 b = min(p, 1); }", "min / max / clamp need numbers"},
      {"kernel void k(i32* p) { bool b = abs(true); }", "'abs' needs a number"},
      {"kernel void k(i64* p) { p[0] = abs(-9223372036854775807 - 1); }", "integer constant overflow"},
      {"kernel void k(f32* p) { p[0] = min(1.0f); }", "'min' expects 2 arguments but got 1"},
      {"kernel void k(f32* p) { p[0] = sqrt(1.0f, 2.0f); }", "'sqrt' expects 1 argument but got 2"},
      {"kernel void k(f32x4* a, f32x3* b) { a[0] = max(a[0], b[0]); }", "'max' needs vectors of the same size"},
      {"kernel void k(f32x2* a) { a[0] = cross(a[0], a[1]); }", "'cross' needs vectors with 3 components"},
      {"kernel void k(i32x3* a, f32* f) { f[0] = length(a[0]); }", "'length' needs a float vector (f32x2 .. f64x4)"},
      {"kernel void k(f32x3* a, f32x4* b, f32* f) { f[0] = dot(a[0], b[0]); }", "'dot' needs two vectors of the same size"},
      {"kernel void k(f32* f) { f[0] = length(f[0]); }", "'length' needs a vector"},
      {"struct S { i32 a; } kernel void k() { S s = S(1); }", "structs have no constructor, write 'S v = {...};'"},
      {"kernel void k() { foo(1); }", "unknown function 'foo'"},
      {"kernel void k(f32* p) { atomic_add(p[0], 1.0f); }", "atomic_add supports i32, u32, i64 and u64 memory, not f32"},
      {"kernel void k(const u32* p) { atomic_add(p[0], 1u); }", "cannot write through a const pointer"},
      {"kernel void k(u32* p) { u32 x = 1u; atomic_add(x, 1u); }", "atomic_add needs a memory location ('atomic_add(p[i], v)')"},
      {"kernel void k(u32* p) { atomic_add(p[0], 1); atomic_add(p[0]); }", "'atomic_add' expects 2 arguments but got 1"},
      {"kernel void k(u32* p) { atomic_add(p[0], -1); }", "integer literal -1 does not fit into u32"},
  });
}

TEST(KernelCheckerCalls, BuiltinsFoldOnConstants) {
  auto unit = compile_emitted("kernel void k(f64* d, i32* i, f32* f) {\n"
                           "  d[0] = sqrt(2.0); d[1] = pow(2.0, 10.0); d[2] = floor(-2.5); d[3] = abs(-3.5);\n"
                           "  i[0] = min(3, 5); i[1] = max(-3, 5); i[2] = abs(-7); i[3] = clamp(12, 0, 10);\n"
                           "  f[0] = round(2.5f); f[1] = atan2(0.0f, -1.0f);\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  for (uint16_t op : {KOP_SQRT_F64, KOP_MATH1_F64, KOP_MATH2_F64, KOP_MIN_S, KOP_MAX_S, KOP_ABS_I32, KOP_MATH1_F32, KOP_MATH2_F32}) {
    EXPECT_EQ(count_opcode(program, op), 0u) << krvk_opcode_name(op);
  }
  std::vector<double> d(4);
  std::vector<int32_t> i(4);
  std::vector<float> f(2);
  krvk_kernel_call call(program);
  call.buffer(d).buffer(i).buffer(f);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(d, (std::vector<double>{std::sqrt(2.0), 1024.0, -3.0, 3.5}));
  EXPECT_EQ(i, (std::vector<int32_t>{3, 5, 7, 10}));
  EXPECT_EQ(f[0], 3.0f);
  EXPECT_EQ(f[1], std::atan2(0.0f, -1.0f));
}

TEST(KernelCheckerCalls, BuiltinsRunOnRegistersAndLanes) {
  auto unit = compile_emitted(
      "kernel void k(i32* i, u32* u, f32x4* v, const i8* b, const f32* x) {\n"
      "  i[0] = abs(b[0]); u[1] = abs(u[0]); i[2] = min(i[1], 5) + max(i[1], 5);\n"
      "  v[2] = max(v[0], v[1]); v[3] = sqrt(v[0]) + floor(x[0]);\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  EXPECT_EQ(count_opcode(program, KOP_ABS_I32), 1u);  // abs of an i8 computes in i32; abs of a u32 emits nothing
  EXPECT_EQ(count_opcode(program, KOP_MAX_F32), 4u);
  EXPECT_EQ(count_opcode(program, KOP_SQRT_F32), 4u);
  std::vector<int32_t> i{0, 9, 0};
  std::vector<uint32_t> u{4000000000u, 0};
  std::vector<float> v{1, 4, 9, 16, 2, 3, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<int8_t> b{-128};
  std::vector<float> x{-1.5f};
  krvk_kernel_call call(program);
  call.buffer(i).buffer(u).buffer(v).buffer(b).buffer(x);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(i, (std::vector<int32_t>{128, 9, 14}));
  EXPECT_EQ(u[1], 4000000000u);
  EXPECT_EQ(std::vector<float>(v.begin() + 8, v.end()), (std::vector<float>{2, 4, 10, 16, -1, 0, 1, 2}));
}

TEST(KernelCheckerCalls, VectorBuiltins) {
  auto unit = compile_emitted("kernel void k(f32* out, i32x3* c, const f32x3* a, const i32x3* ia) {\n"
                           "  out[0] = dot(a[0], a[1]); out[1] = length(a[0]); c[0] = cross(ia[0], ia[1]);\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<float> out(2), a{3, 4, 0, 1, 2, 3};
  std::vector<int32_t> c(3), ia{1, 0, 0, 0, 1, 0};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(c).buffer(a).buffer(ia);
  ASSERT_EQ(call.run(1), 0);
  EXPECT_EQ(out, (std::vector<float>{11, 5}));
  EXPECT_EQ(c, (std::vector<int32_t>{0, 0, 1}));
  // A helper named like a vector built-in is called instead of the built-in.
  auto own = compile_emitted("inline f32 dot(f32 a, f32 b) { return a - b; }\nkernel void k(f32* o) { o[0] = dot(5.0f, 2.0f); }");
  ASSERT_NE(own, nullptr);
  std::vector<float> o(1);
  krvk_kernel_call own_call(*own->kernels[0]);
  own_call.buffer(o);
  ASSERT_EQ(own_call.run(1), 0);
  EXPECT_EQ(o[0], 3.0f);
}

TEST(KernelCheckerCalls, AtomicAddChoosesElementOrAddressForm) {
  auto unit = compile_emitted("struct C { i64 sum; u32 hits; }\n"
                           "kernel void k(u32* bins, C* c, i32* old, const i32* x) {\n"
                           "  atomic_add(bins[x[gid] + 1], 1u);\n"
                           "  old[gid] = i32(atomic_add(c[0].sum, i64(x[gid])));\n"
                           "  atomic_add(c->hits, 2u);\n}");
  ASSERT_NE(unit, nullptr);
  const krvk_program& program = *unit->kernels[0];
  EXPECT_EQ(count_opcode(program, KOP_AADD_32), 1u);
  EXPECT_EQ(count_opcode(program, KOP_AADDR_64), 1u);
  EXPECT_EQ(count_opcode(program, KOP_AADDR_32), 1u);
  // The constant addend is an I operand in x: relocated behind the registers like any register operand.
  for (const krvk_insn& insn : program.code) {
    if (insn.op == KOP_AADD_32) {
      EXPECT_GE(insn.x, program.register_count - program.constants.size());
      EXPECT_LT(insn.x, program.register_count);
    }
  }
  std::vector<uint32_t> bins(4);
  std::vector<uint8_t> c(12, 0);
  std::vector<int32_t> old(3), x{0, 2, 2};
  krvk_kernel_call call(program);
  call.buffer(bins).buffer(c).buffer(old).buffer(x);
  ASSERT_EQ(call.run(3), 0) << call.trap_text();
  EXPECT_EQ(bins, (std::vector<uint32_t>{0, 1, 0, 2}));
  EXPECT_EQ(old, (std::vector<int32_t>{0, 0, 2}));
  uint32_t hits = 0;
  int64_t sum = 0;
  std::memcpy(&sum, &c[0], 8);
  std::memcpy(&hits, &c[8], 4);
  EXPECT_EQ(hits, 6u);
  EXPECT_EQ(sum, 4);
  // Struct fields are packed: a 64-bit counter at offset 4 is misaligned and the add traps.
  auto packed = compile_emitted("struct C { u32 hits; i64 sum; }\nkernel void k(C* c) { atomic_add(c->sum, i64(1)); }");
  ASSERT_NE(packed, nullptr);
  std::vector<uint8_t> bytes(12);
  krvk_kernel_call misaligned(*packed->kernels[0]);
  misaligned.buffer(bytes);
  EXPECT_EQ(misaligned.run(1), KRVK_TRAP_MISALIGNED);
  EXPECT_EQ(misaligned.trap_text(), "atomic access to an address that is not aligned to 8 bytes");
}

TEST(KernelCheckerCalls, HelpersAreInlinedWithArgumentsByValue) {
  auto unit = compile_emitted(
      "struct P { f32 x; f32 y; }\n"
      "inline void bump(i32 n, i32* p) { n = n + 100; p[0] = n; }\n"
      "inline P swapped(P p) { f32 t = p.x; p.x = p.y; p.y = t; return p; }\n"
      "inline i32 sign(i32 v) { if (v < 0) return -1; else if (v > 0) return 1; else return 0; }\n"
      "kernel void k(i32* out, P* ps) {\n"
      "  i32 n = 1; bump(n, out); out[1] = n;\n"
      "  P q = swapped(ps[0]); ps[1] = q; out[2] = sign(-5) + 10 * sign(7) + 100 * sign(0);\n"
      "  for (i32 i = 0; i < 2; i++) { unchecked { out[3] = sign(i); } }\n}");
  ASSERT_NE(unit, nullptr);
  std::vector<int32_t> out(4);
  std::vector<float> ps{1, 2, 0, 0};
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(out).buffer(ps);
  ASSERT_EQ(call.run(1), 0) << call.trap_text();
  EXPECT_EQ(out, (std::vector<int32_t>{101, 1, 9, 1}));
  EXPECT_EQ(ps, (std::vector<float>{1, 2, 2, 1}));
  // A helper called inside unchecked still checks its own accesses.
  auto checked = compile_emitted("inline void put(f32* p) { p[1] = 1.0; }\nkernel void k(f32* p) { unchecked { put(p); } }");
  ASSERT_NE(checked, nullptr);
  EXPECT_EQ(count_opcode(*checked->kernels[0], KOP_ST_F32), 1u);
}

TEST(KernelCheckerCalls, HelperDiagnostics) {
  expect_failures({
      {"inline i32 f(i32 n) { return f(n - 1); }\nkernel void k() {}",
       "recursive call of 'f' (kernel helpers are inlined, recursion is not possible)", 30},
      {"inline i32 a(i32 n) { return b(n); }\ninline i32 b(i32 n) { return a(n); }\nkernel void k() {}",
       "recursive call of 'a' (kernel helpers are inlined, recursion is not possible)"},
      {"inline i32 f(i32 n) { while (true) { return n; } }\nkernel void k() {}", "'f' does not return a value on every path", 12},
      {"inline i32 f(i32 n) { if (n > 0) return 1; }\nkernel void k() {}", "'f' does not return a value on every path"},
      {"kernel void other() {}\nkernel void k() { other(); }",
       "'other' is an entry kernel and cannot be called from kernel code (declare helpers with 'kernel inline')"},
      {"inline i32 f(i32 a, i32 b) { return a + b; }\nkernel void k() { i32 x = f(1); }", "'f' expects 2 arguments but got 1"},
      {"inline i32 f() reduce(+) { return 1; }\nkernel void k() {}", "only entry kernels can have a reduction"},
      {"inline void f(void* p) {}\nkernel void k() {}", "parameters cannot be void"},
      {"inline void f(i32 gid) {}\nkernel void k() {}", "'gid' is a reserved word"},
      {"inline void f(f32* p) { p[0] = 1.0; }\nkernel void k(const f32* q) { f(q); }",
       "cannot pass a const pointer as a writable pointer (f32*)"},
      {"inline void f(u8 v) {}\nkernel void k(i32* q) { f(q[0]); }", "cannot convert i32 to u8 implicitly, write u8(...)"},
      {"inline void f(i32 v) { i32 w = missing; }\nkernel void k() {}", "unknown name 'missing'"},
      {"inline void f(i32 v) { break; }\nkernel void k() { while (true) { f(1); } }", "'break' outside of a loop"},
      {"inline void f(i32 v) { i32 w = n; }\nkernel void k(i32 n) { f(1); }", "unknown name 'n'"},
  });
}

TEST(KernelCheckerCalls, RunawayExpansionIsADiagnosticNotACrash) {
  // Each helper calls the next one twice: 2^30 expansions if nothing stopped it.
  std::string doubling;
  for (int i = 0; i < 30; ++i) {
    doubling += "inline void h" + std::to_string(i) + "(u32* p) { h" + std::to_string(i + 1) + "(p); h" +
                std::to_string(i + 1) + "(p); }\n";
  }
  doubling += "inline void h30(u32* p) { p[0] = 1u; }\nkernel void k(u32* p) { h0(p); }";
  EXPECT_EQ(compile_error(doubling).message.rfind("kernel is too large (too many", 0), 0u);
  // A chain of helpers deeper than the expansion limit.
  std::string chain;
  for (int i = 0; i < 300; ++i) chain += "inline void c" + std::to_string(i) + "() { c" + std::to_string(i + 1) + "(); }\n";
  chain += "inline void c300() {}\nkernel void k() { c0(); }";
  EXPECT_EQ(compile_error(chain).message, "helper calls are nested too deeply (more than 256 levels)");
}

TEST(KernelCheckerCalls, DeepExpressionsInNestedHelpersAreADiagnosticNotAStackOverflow) {
  // Each helper is within the parser's nesting bound on its own, but expanded into one another the
  // checker would recurse through 200 x 480 expression levels.
  std::string source = "inline i32 h0(i32 x) { return x; }\n";
  for (int i = 1; i < 200; ++i) {
    source += "inline i32 h" + std::to_string(i) + "(i32 x) { return h" + std::to_string(i - 1) + "(x)";
    for (int term = 0; term < 480; ++term) source += " + 1";
    source += "; }\n";
  }
  source += "kernel void k(i32* p) { p[gid] = h199(p[gid]); }";
  const kerror err = compile_error(source);
  EXPECT_EQ(err.message, "kernel code is nested too deeply");
  EXPECT_GE(err.line, 1u);
}

}  // namespace
