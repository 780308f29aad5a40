#include "kernel/runtime/listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "kernel/compiler/compile_driver.h"
#include "kernel/support/cell_bits.h"
#include "kernel/support/program_builder.h"

namespace {


TEST(KernelListing, GoldenKernelWithConstantsAndLineNotes) {
  krvk_test_program k("scale");
  const uint16_t a = k.scalar_param("a", KRVK_F32);
  const uint16_t x = k.pointer_param("x", KRVK_F32, true);
  const uint16_t y = k.pointer_param("y", KRVK_F32);
  const uint16_t t = k.reg();
  const uint16_t half = k.constant(KRVK_F32, f32_bits(0.1f));
  const uint16_t big = k.constant(KRVK_U64, ~0ull);
  const uint16_t neg = k.constant(KRVK_I32, static_cast<uint64_t>(-5));
  const uint16_t third = k.constant(KRVK_F64, f64_bits(1.0 / 3.0));
  k.emit(KOP_LD_F32, t, x, 0, 0, 3);
  k.emit(KOP_MUL_F32, t, t, a, 0, 3);
  k.emit(KOP_ADD_F32, t, t, half, 0, 4);
  k.emit(KOP_ST_F32, t, y, 0, 3, 4);
  k.emit(KOP_LD_F32, t, x, 0, static_cast<uint64_t>(-2), 5);
  k.emit(KOP_ADD_X64, t, big, neg, 0, 5);
  k.emit(KOP_MOV, t, third, 0, 0, 123456);
  k.emit(KOP_END, 0, 0, 0, 0, 6);
  const std::string expected =
      "kernel scale(f32 a -> r7, const f32* x -> p0, f32* y -> p1)\n"
      "  registers: 13, pointers: 2, gid: r0, gsize: r1\n"
      "  const r9 = 0.100000001 (f32)\n"
      "  const r10 = 18446744073709551615 (u64)\n"
      "  const r11 = -5 (i32)\n"
      "  const r12 = 0.33333333333333331 (f64)\n"
      "  0000  LD_F32        r8, p0(x), r0(gid)                        ; line 3\n"
      "  0001  MUL_F32       r8, r8, r7(a)                             ; line 3\n"
      "  0002  ADD_F32       r8, r8, r9(#)                             ; line 4\n"
      "  0003  ST_F32        r8, p1(y), r0(gid), +3                    ; line 4\n"
      "  0004  LD_F32        r8, p0(x), r0(gid), -2                    ; line 5\n"
      "  0005  ADD_X64       r8, r10(#), r11(#)                        ; line 5\n"
      "  0006  MOV           r8, r12(#)                                ; line 123456\n"
      "  0007  END                                                     ; line 6\n";
  EXPECT_EQ(krvk_disasm(k.program()), expected);
}

TEST(KernelListing, GoldenPrologueStructResultAndFrame) {
  krvk_test_program k("stats");
  const uint16_t n = k.scalar_param("n", KRVK_U32);
  const uint16_t frame = k.frame(48);
  k.program().result_type = krvk_type{KRVK_STRUCT, 0, 0, 0};
  k.program().result_text = "S reduce(sum: +, n: +)";
  const uint16_t sum = k.reg("acc.sum");
  const uint16_t count = k.reg("acc.n");
  k.program().accumulators = {krvk_acc{sum, KRVK_F64, KRVK_REDUCE_ADD, 0, "sum"},
                              krvk_acc{count, KRVK_U32, KRVK_REDUCE_ADD, 8, "n"}};
  const uint16_t u = k.reg("u");
  k.emit(KOP_ADDI_X64, count, count, 0, 1);
  k.emit(KOP_ST_U8, count, frame, 0, 0);
  k.emit(KOP_END);

  krvk_test_program pro("stats (prologue)");
  pro.program().register_names = k.program().register_names;
  pro.emit(KOP_DIVC_U32, u, n, 7, 0, 2);
  pro.emit(KOP_END, 0, 0, 0, 0, 2);
  k.program().prologue = pro.share();

  const std::string expected =
      "kernel stats(u32 n -> r7) -> S reduce(sum: +, n: +)\n"
      "  registers: 11, pointers: 0, gid: r0, gsize: r1, acc: sum=r8 n=r9, frame: p0 (48 bytes)\n"
      "  prologue (once per lane runner):\n"
      "  0000  DIVC_U32      r10(u), r7(n), #7                         ; line 2\n"
      "  main:\n"
      "  0000  ADDI_X64      r9(acc.n), r9(acc.n), +1\n"
      "  0001  ST_U8         r9(acc.n), p0(frame), r0(gid)\n"
      "  0002  END           \n";
  EXPECT_EQ(krvk_disasm(k.program()), expected);
}

TEST(KernelListing, HeaderVariants) {
  krvk_test_program empty("nothing");
  empty.emit(KOP_END);
  EXPECT_EQ(krvk_disasm(empty.program()),
            "kernel nothing()\n"
            "  registers: 7, pointers: 0, gid: r0, gsize: r1\n"
            "  0000  END           \n");

  krvk_test_program sum("total");
  sum.scalar_result(KRVK_I64, KRVK_REDUCE_ADD, "i64 reduce(+)");
  sum.emit(KOP_ADD_X64, 2, 2, 0);
  sum.emit(KOP_END);
  EXPECT_EQ(krvk_disasm(sum.program()),
            "kernel total() -> i64 reduce(+)\n"
            "  registers: 7, pointers: 0, gid: r0, gsize: r1, acc: r2\n"
            "  0000  ADD_X64       r2(acc), r2(acc), r0(gid)\n"
            "  0001  END           \n");

  // A compiled struct reduction names each accumulator by its field.
  kerror err;
  const auto unit = krvk_compile_source(
      "kernel struct S { f64 sum; u32 n; };\n"
      "kernel S stats(const f64* x) reduce(sum: +, n: +) { S s; s.sum = x[gid]; s.n = 1u; return s; }\n",
      "stats.k", err, {});
  ASSERT_TRUE(unit) << err.message;
  const krvk_program& stats = *unit->kernels.front();
  ASSERT_EQ(stats.accumulators.size(), 2u);
  const std::string header = ", acc: sum=r" + std::to_string(stats.accumulators[0].reg) + " n=r" +
                             std::to_string(stats.accumulators[1].reg) + ",";
  EXPECT_NE(krvk_disasm(stats).find(header), std::string::npos) << krvk_disasm(stats);
}

TEST(KernelListing, OperandKinds) {
  krvk_test_program k("ops");
  const uint16_t data = k.pointer_param("data", KRVK_I32);
  struct row {
    krvk_insn insn;
    const char* line;
  };
  const row rows[] = {
      {{KOP_MATH2_F64, 7, 8, 9, KRVK_MATH_POW}, "  0000  MATH2_F64     r7, r8, r9, pow\n"},
      {{KOP_MATH1_F32, 7, 8, KRVK_MATH_LOG10, 0}, "  0000  MATH1_F32     r7, r8, log10\n"},
      {{KOP_MATH1_F32, 7, 8, 16, 0}, "  0000  MATH1_F32     r7, r8, ?\n"},
      {{KOP_CVT_F64_INT, 7, 8, KRVK_I32, 0}, "  0000  CVT_F64_INT   r7, r8, i32\n"},
      {{KOP_CVT_F64_INT, 7, 8, 0x109, 0}, "  0000  CVT_F64_INT   r7, r8, u64\n"},
      {{KOP_CVT_F32_INT, 7, 8, 13, 0}, "  0000  CVT_F32_INT   r7, r8, ?\n"},
      {{KOP_JMP, 0, 0, 0, 42}, "  0000  JMP           @42\n"},
      {{KOP_JTLT_S, 7, 8, 0, 3}, "  0000  JTLT_S        r7, r8, @3\n"},
      {{KOP_CHKIDX, 7, 0, 0, 16}, "  0000  CHKIDX        r7, #16\n"},
      {{KOP_COPY, 7, 8, 0, 24}, "  0000  COPY          r7, r8, #24\n"},
      {{KOP_ZERO, 7, 0, 0, 8}, "  0000  ZERO          r7, #8\n"},
      {{KOP_MODC_I32, 7, 8, 10, 0}, "  0000  MODC_I32      r7, r8, #10\n"},
      {{KOP_AADD_I32, 7, data, 0, 0x10008}, "  0000  AADD_I32      r7, p0(data), r0(gid), r8\n"},
      {{KOP_LD_I32, 7, 3, 0, 0}, "  0000  LD_I32        r7, p3(?), r0(gid)\n"},
      {{KOP_LDR_I32, 7, 8, 0, 0x8000000000000000}, "  0000  LDR_I32       r7, r8, -9223372036854775808\n"},
      {{KOP_ADDI_I32, 7, 8, 0, 0x7FFFFFFFFFFFFFFF}, "  0000  ADDI_I32      r7, r8, +9223372036854775807\n"},
      {{KOP_NOP, 0, 0, 0, 0}, "  0000  NOP           \n"},
      {{300, 1, 2, 3, 4}, "  0000  ?             \n"},
      {{KOP_AADDR_64, 7, 8, 9, 0}, "  0000  AADDR_64      r7, r8, r9\n"},
  };
  for (const row& r : rows) {
    k.program().code = {r.insn};
    EXPECT_EQ(krvk_disasm_code(k.program()), r.line);
  }
}

TEST(KernelListing, PaddingNeverCutsAndIndexesGrow) {
  krvk_test_program k("pad");
  k.program().register_names.resize(65536);
  k.program().register_names[40000] = "a_rather_long_register_name";
  k.program().code = {krvk_insn{KOP_CVT_F64_F32, 40000, 40000, 0, 0}};
  k.program().line_table = {9};
  EXPECT_EQ(krvk_disasm_code(k.program()),
            "  0000  CVT_F64_F32   r40000(a_rather_long_register_name), r40000(a_rather_long_register_name)"
            "; line 9\n");

  k.program().code.assign(12346, krvk_insn{});
  k.program().line_table.clear();
  const std::string listing = krvk_disasm_code(k.program());
  EXPECT_NE(listing.find("\n  0007  NOP           \n"), std::string::npos);
  EXPECT_TRUE(listing.ends_with("\n  12345  NOP          \n"));
}

TEST(KernelListing, RegisterOperandText) {
  krvk_test_program k;
  EXPECT_EQ(krvk_disasm_operand(k.program(), 0), "r0(gid)");
  EXPECT_EQ(krvk_disasm_operand(k.program(), 2), "r2") << "unnamed register";
  EXPECT_EQ(krvk_disasm_operand(k.program(), 7), "r7") << "outside the name list";
  EXPECT_EQ(krvk_disasm_operand(k.program(), -1), "r-1");
}

}  // namespace
