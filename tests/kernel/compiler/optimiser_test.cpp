// The back end's default passes on compiled source: value numbering, bounds-test removal, prologue
// hoisting, dead code and register allocation. Every kernel here also runs through the differential
// check of `krvk_kernel_call` where it is run.
#include <gtest/gtest.h>

#include <functional>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/runtime/listing.h"

namespace {

size_t loads_from(const krvk_program& program, uint16_t slot) {
  size_t n = 0;
  for (const krvk_insn& insn : program.code) {
    n += krvk_opcode_name(insn.op)[0] == 'L' && krvk_opcode_name(insn.op)[1] == 'D' && insn.b == slot ? 1 : 0;
  }
  return n;
}

std::vector<uint16_t> prologue_opcodes(const krvk_program& program) {
  return program.prologue ? opcodes_of(*program.prologue) : std::vector<uint16_t>{};
}

struct shape_case {
  const char* what;
  const char* source;
  std::vector<uint16_t> main;  // exact main code, or empty to rely on `check` alone
  std::vector<uint16_t> prologue;  // exact prologue code including its END; empty = no prologue
  std::function<void(const krvk_program&)> check;
};

TEST(KernelOptimiser, ShapesOfCompiledKernels) {
  const std::vector<shape_case> cases = {
      {"two identical loads in a block keep one", "kernel void k(f32* y, const f32* x) { y[gid] = x[gid] + x[gid]; }",
       {KOP_LD_F32, KOP_ADD_F32, KOP_ST_F32, KOP_END}, {}, nullptr},
      {"a store between two loads keeps both; the second is unchecked",
       "kernel void k(f32* y, f32* x) { f32 a = x[gid]; y[gid] = a; y[gid] = a + x[gid]; }",
       {KOP_LD_F32, KOP_ST_F32, KOP_LDU_F32, KOP_ADD_F32, KOP_STU_F32, KOP_END}, {}, nullptr},
      {"ZERO between two loads keeps both",
       "kernel void k(f32* y, const f32* x) { f32 a = x[gid]; f32 t[2]; y[gid] = a + x[gid] + t[0]; }", {},
       {KOP_ADDRU, KOP_END},
       [](const krvk_program& p) { EXPECT_EQ(loads_from(p, 1), 2u); }},
      {"an atomic add between two loads keeps both",
       "kernel void k(f32* y, const f32* x, u32* c) { f32 a = x[gid]; atomic_add(c[0], 1u); y[gid] = a + x[gid]; }",
       {KOP_LD_F32, KOP_AADD_32, KOP_LDU_F32, KOP_ADD_F32, KOP_ST_F32, KOP_END}, {}, nullptr},
      {"COPY between two loads keeps both",
       "struct S { f32 a; f32 b; }\nkernel void k(S* s, f32* y) { f32 v = y[gid]; S t = s[gid]; y[gid] = v + y[gid] + t.a; }",
       {}, {KOP_ADDRU, KOP_END}, [](const krvk_program& p) {
         EXPECT_EQ(count_opcode(p, KOP_COPY), 1u);
         EXPECT_EQ(loads_from(p, 1), 2u);
       }},
      {"the same load in two blocks stays, checked in each",
       "kernel void k(f32* y, const f32* x) { f32 a = x[gid]; if (a > 0.0f) { a = a + x[gid]; } y[gid] = a; }",
       {KOP_LD_F32, KOP_JFGT_F32, KOP_LD_F32, KOP_ADD_F32, KOP_ST_F32, KOP_END}, {}, nullptr},
      {"a second p[i] is unchecked until i is written",
       "kernel void k(i32* p, i32 n) { i32 i = n; p[i] = 1; p[i] = p[i] + 2; i = i + 1; p[i] = 3; }",
       {KOP_MOV, KOP_ST_I32, KOP_LDU_I32, KOP_ADDI_I32, KOP_STU_I32, KOP_ADDI_I32, KOP_ST_I32, KOP_END}, {}, nullptr},
      {"a repeated index check of a local array goes",
       "kernel void k(i32* y) { i32 a[4] = {1, 2, 3, 4}; i32 i = y[gid] & 3; y[gid] = a[i] + a[i]; }", {},
       {KOP_ADDRU, KOP_END}, [](const krvk_program& p) { EXPECT_EQ(count_opcode(p, KOP_CHKIDX), 1u); }},
      {"MOV is hoisted from a uniform source and never value-numbered",
       "kernel void k(f32* y, const f32* x, f32 s) { f32 a = x[gid]; f32 b = a; f32 c = a; f32 d = s; f32 e = s;"
       " y[gid] = b * c + d * e; }",
       {}, {KOP_MOV, KOP_MUL_F32, KOP_END}, [](const krvk_program& p) { EXPECT_GE(count_opcode(p, KOP_MOV), 1u); }},
      {"a pure expression of gsize and parameters leaves the loop, the same of gid stays",
       "kernel void k(f32* y, f32 s, i32 n) {\n"
       "  for (i32 j = 0; j < 4; j++) { y[gid] = y[gid] + s * f32(n) + f32(gsize) + f32(gid) * s; }\n}",
       {KOP_MOV, KOP_JFLT_S, KOP_LD_F32, KOP_ADD_F32, KOP_ADD_F32, KOP_CVT_U_F32, KOP_MUL_F32, KOP_ADD_F32, KOP_STU_F32,
        KOP_ADDI_I32, KOP_LOOP, KOP_END},
       {KOP_CVT_S_F32, KOP_MUL_F32, KOP_CVT_U_F32, KOP_END}, nullptr},
      {"integer division by a parameter stays; DIVC_ and float division are hoisted",
       "kernel void k(i32* y, f32* z, i32 d, f32 s, f32 t) { y[gid] = d / 3 + 7 / d; z[gid] = s / t; }",
       {KOP_DIV_I32, KOP_ADD_I32, KOP_ST_I32, KOP_ST_F32, KOP_END}, {KOP_DIVC_I32, KOP_DIV_F32, KOP_END}, nullptr},
      {"a prologue whose values go unused is dropped", "kernel void k(f32* y, f32 s) { f32 unused = s * 2.0f; y[gid] = 1.0f; }",
       {KOP_ST_F32, KOP_END}, {}, nullptr},
      {"accumulator writes stay although nothing reads them",
       "kernel f32 k(const f32* x) reduce(max) { return 1.0f; }", {KOP_MAX_F32, KOP_END, KOP_END}, {}, nullptr},
      {"saxpy", "kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }",
       {KOP_LD_F32, KOP_MUL_F32, KOP_LD_F32, KOP_ADD_F32, KOP_STU_F32, KOP_END}, {}, nullptr},
      // The index is a constant-pool operand: its version is 0, never a read past the version table.
      {"a constant index is tested once", "kernel f32 k(f32* p, f32 v) reduce(+) { p[5] = v; return p[5]; }",
       {KOP_ST_F32, KOP_LDU_F32, KOP_ADD_F32, KOP_END, KOP_END}, {}, nullptr},
  };
  for (const shape_case& c : cases) {
    SCOPED_TRACE(c.what);
    auto unit = compile_unit(c.source);
    ASSERT_NE(unit, nullptr);
    const krvk_program& program = *unit->kernels[0];
    if (!c.main.empty()) {
      EXPECT_EQ(opcodes_of(program), c.main) << krvk_disasm(program);
    }
    EXPECT_EQ(prologue_opcodes(program), c.prologue) << krvk_disasm(program);
    if (program.prologue) {
      EXPECT_EQ(program.prologue->name, program.name + " (prologue)");
    }
    if (c.check) c.check(program);
  }
}

TEST(KernelOptimiser, ConstantIndexRunsUnchanged) {
  auto unit = compile_unit("kernel f32 k(f32* p, f32 v) reduce(+) { p[5] = v; return p[5]; }");
  std::vector<float> p(6, 0.0f);
  krvk_kernel_call call(*unit->kernels[0]);
  call.buffer(p).scalar(1.5f);
  ASSERT_EQ(call.run(3), 0);
  EXPECT_EQ(call.result<float>(), 4.5f);
  std::vector<float> short_buffer(5, 0.0f);
  krvk_kernel_call past(*unit->kernels[0]);
  past.buffer(short_buffer).scalar(1.5f);
  EXPECT_EQ(past.run(1), KRVK_TRAP_INDEX);
  EXPECT_EQ(past.trap_text(), "index 5 is out of bounds of 'p' (5 elements)");
}

// Register number of the destination of the n-th instruction with the opcode.
uint16_t destination_of(const krvk_program& program, uint16_t op, size_t n = 0) {
  for (const krvk_insn& insn : program.code) {
    if (insn.op == op && n-- == 0) return insn.a;
  }
  ADD_FAILURE() << "no " << krvk_opcode_name(op);
  return 0;
}

TEST(KernelRegisterAllocation, NumbersAndLifetimes) {
  // Disjoint lifetimes share one number: the whole body needs one register beyond the seven builtins.
  auto disjoint = compile_unit(
      "kernel void k(f32* y, const f32* x) { f32 a = x[gid] * 2.0f; y[gid] = a; f32 b = x[gid + 1] * 3.0f; y[gid + 1] = b; }");
  const krvk_program& d = *disjoint->kernels[0];
  EXPECT_EQ(d.register_count - d.constants.size(), 8u);
  EXPECT_EQ(destination_of(d, KOP_LD_F32, 0), destination_of(d, KOP_LD_F32, 1));

  // The running sum is live around the loop, so it never shares the counter's number.
  auto loop = compile_unit("kernel void k(i32* y) { i32 s = 0; for (i32 j = 0; j < 4; j++) { s = s + j * 2; } y[gid] = s; }");
  const krvk_program& l = *loop->kernels[0];
  EXPECT_NE(destination_of(l, KOP_ADD_I32), destination_of(l, KOP_ADDI_I32));
  std::vector<int32_t> y(3);
  krvk_kernel_call call(l);
  call.buffer(y);
  ASSERT_EQ(call.run(3), 0);
  EXPECT_EQ(y, (std::vector<int32_t>{12, 12, 12}));

  // Prologue results take F, F + 1, ... in prologue order; fixed registers keep their numbers.
  auto hoisted = compile_unit("kernel f32 k(const f32* x, f32 s, i32 n) reduce(+) { return x[gid] * (s * f32(n)) + f32(gsize); }");
  const krvk_program& h = *hoisted->kernels[0];
  ASSERT_NE(h.prologue, nullptr);
  for (size_t i = 0; i + 1 < h.prologue->code.size(); ++i) EXPECT_EQ(h.prologue->code[i].a, 9 + i);
  const krvk_program& plain = *compile_emitted(
      "kernel f32 k(const f32* x, f32 s, i32 n) reduce(+) { return x[gid] * (s * f32(n)) + f32(gsize); }")->kernels[0];
  EXPECT_EQ(h.parameters[1].reg, plain.parameters[1].reg);
  EXPECT_EQ(h.parameters[2].reg, plain.parameters[2].reg);
  EXPECT_EQ(h.accumulators[0].reg, plain.accumulators[0].reg);

  // A kernel of builtins alone skips the passes: the register file is the seven builtins.
  auto builtins = compile_unit("kernel void k(u64* y) { y[gid] = gid; }");
  EXPECT_EQ(builtins->kernels[0]->register_count, 7u);
  EXPECT_EQ(opcodes_of(*builtins->kernels[0]), (std::vector<uint16_t>{KOP_ST_U64, KOP_END}));
}

TEST(KernelOptimiser, TheBackEndCompletesThePrologue) {
  auto unit = compile_unit("\nkernel void k(f32* y, f32 s) {\n  y[gid] = y[gid] * (s * 3.0f);\n}");
  const krvk_program& kernel = *unit->kernels[0];
  ASSERT_NE(kernel.prologue, nullptr);
  const krvk_program& prologue = *kernel.prologue;
  EXPECT_EQ(prologue.register_count, kernel.register_count);
  EXPECT_EQ(prologue.pointer_count, kernel.pointer_count);
  ASSERT_EQ(prologue.parameters.size(), 2u);
  EXPECT_EQ(prologue.parameters[1].reg, kernel.parameters[1].reg);
  EXPECT_EQ(prologue.line_table, std::vector<uint32_t>(prologue.code.size(), 2));  // the declaration's line
  EXPECT_EQ(prologue.file_table, std::vector<uint16_t>(prologue.code.size(), 0));
  EXPECT_EQ(prologue.file_names, kernel.file_names);
  // The constant 3.0f sits behind the registers, and the prologue reads it from there.
  ASSERT_EQ(kernel.constants.size(), 1u);
  EXPECT_EQ(kernel.constants[0].reg, kernel.register_count - 1);
  EXPECT_EQ(prologue.code[0].c, kernel.constants[0].reg);
  EXPECT_EQ(kernel.register_names[kernel.constants[0].reg], "#");
  std::vector<float> y{1, 2};
  krvk_kernel_call call(kernel);
  call.buffer(y).scalar(0.5f);
  ASSERT_EQ(call.run(2), 0);
  EXPECT_EQ(y, (std::vector<float>{1.5f, 3.0f}));
}

TEST(KernelOptimiser, GoldenListingWithAPrologue) {
  auto unit = compile_unit("kernel void scale(f32* y, f32 s, i32 n) {\n  y[gid] = y[gid] * (s * f32(n));\n}");
  const std::string expected =
      "kernel scale(f32* y -> p0, f32 s -> r7, i32 n -> r8)\n"
      "  registers: 12, pointers: 1, gid: r0, gsize: r1\n"
      "  prologue (once per lane runner):\n"
      "  0000  CVT_S_F32     r9, r8(n)                                 ; line 1\n"
      "  0001  MUL_F32       r10, r7(s), r9                            ; line 1\n"
      "  main:\n"
      "  0000  LD_F32        r11, p0(y), r0(gid)                       ; line 2\n"
      "  0001  MUL_F32       r11, r11, r10                             ; line 2\n"
      "  0002  STU_F32       r11, p0(y), r0(gid)                       ; line 2\n"
      "  0003  END                                                     ; line 1\n";
  EXPECT_EQ(krvk_disasm(*unit->kernels[0]), expected);
}

}  // namespace
