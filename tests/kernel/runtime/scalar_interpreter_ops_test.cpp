// Opcode semantics of the scalar interpreter, one instruction at a time: r8 and r9 hold the inputs,
// r7 receives the result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "kernel/support/program_builder.h"
#include "kernel/support/cell_bits.h"

namespace {

constexpr uint16_t kDst = 7;
constexpr uint16_t kB = 8;
constexpr uint16_t kC = 9;
constexpr uint64_t kNoise = 0xABCD123400000000u;  // upper half that f32 results must keep

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const float kNaNf = std::numeric_limits<float>::quiet_NaN();

struct outcome {
  uint8_t code;
  uint64_t dst;
  ktrap trap;
};

// Runs `op dst, b, c_field, x` once. c_field names r9 unless the opcode keeps a constant there.
outcome eval(uint16_t op, uint64_t b, uint64_t c, uint64_t dst_before = 0, uint16_t c_field = kC, uint64_t x = 0) {
  krvk_test_program k;
  for (int i = 0; i < 3; ++i) k.reg();
  k.emit(op, kDst, kB, c_field, x);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.reg(kB) = b;
  run.reg(kC) = c;
  run.reg(kDst) = dst_before;
  const uint8_t code = run.run(0, 1);
  return {code, run.reg(kDst), run.trap()};
}

struct value_case {
  const char* what;
  uint16_t op;
  uint64_t b;
  uint64_t c;
  uint64_t expected;
  uint64_t dst_before = 0;
};

void expect_values(const std::vector<value_case>& cases) {
  for (const value_case& t : cases) {
    const outcome out = eval(t.op, t.b, t.c, t.dst_before);
    EXPECT_EQ(out.code, 0) << t.what;
    EXPECT_EQ(out.dst, t.expected) << t.what << ": got 0x" << std::hex << out.dst;
  }
}

TEST(KernelScalarOps, IntegerArithmeticWrapsAndReextends) {
  expect_values({
      {"ADD_I32 wraps to negative", KOP_ADD_I32, 0x7FFFFFFF, 1, i64_bits(-2147483648LL)},
      {"ADD_U32 wraps to zero", KOP_ADD_U32, 0xFFFFFFFF, 1, 0},
      {"ADD_X64 wraps", KOP_ADD_X64, ~0ull, 2, 1},
      {"SUB_I32", KOP_SUB_I32, 0, 1, i64_bits(-1)},
      {"SUB_U32", KOP_SUB_U32, 0, 1, 0xFFFFFFFF},
      {"MUL_I32 low bits", KOP_MUL_I32, 0x10000, 0x10000, 0},
      {"MUL_U32", KOP_MUL_U32, 0xFFFFFFFF, 0xFFFFFFFF, 1},
      {"MUL_X64", KOP_MUL_X64, i64_bits(-3), 5, i64_bits(-15)},
      {"DIV_I32 truncates", KOP_DIV_I32, i64_bits(-7), 2, i64_bits(-3)},
      {"DIV_U32", KOP_DIV_U32, 0xFFFFFFFF, 2, 0x7FFFFFFF},
      {"DIV_I64", KOP_DIV_I64, i64_bits(-9), i64_bits(-2), 4},
      {"DIV_U64", KOP_DIV_U64, ~0ull, 16, 0x0FFFFFFFFFFFFFFF},
      {"MOD_I32 sign of dividend", KOP_MOD_I32, i64_bits(-7), 2, i64_bits(-1)},
      {"MOD_I64", KOP_MOD_I64, 7, i64_bits(-2), 1},
      {"MOD_U32", KOP_MOD_U32, 0xFFFFFFFF, 10, 5},
      {"MOD_U64", KOP_MOD_U64, ~0ull, 10, 5},
      {"AND_X", KOP_AND_X, 0xF0F0, 0xFF00, 0xF000},
      {"OR_X", KOP_OR_X, 0xF0F0, 0xFF00, 0xFFF0},
      {"XOR_X", KOP_XOR_X, 0xF0F0, 0xFF00, 0x0FF0},
      {"SHL_I32 by 33 shifts by 1", KOP_SHL_I32, 0x40000000, 33, i64_bits(-2147483648LL)},
      {"SHL_U32 drops high bits", KOP_SHL_U32, 0x80000001, 1, 2},
      {"SHL_X64 by 64 shifts by 0", KOP_SHL_X64, 5, 64, 5},
      {"SHL_X64 uses the low byte", KOP_SHL_X64, 1, 0x103, 8},
      {"SHR_I32 arithmetic", KOP_SHR_I32, i64_bits(-8), 1, i64_bits(-4)},
      {"SHR_U32 logical", KOP_SHR_U32, 0xFFFFFFFF, 31, 1},
      {"SHR_I64 arithmetic", KOP_SHR_I64, i64_bits(-1), 63, i64_bits(-1)},
      {"SHR_U64 by 64 shifts by 0", KOP_SHR_U64, 0x8000000000000000, 64, 0x8000000000000000},
      {"NEG_I32 of most negative", KOP_NEG_I32, i64_bits(-2147483648LL), 0, i64_bits(-2147483648LL)},
      {"NEG_U32", KOP_NEG_U32, 1, 0, 0xFFFFFFFF},
      {"NEG_X64", KOP_NEG_X64, 1, 0, ~0ull},
      {"NOT_X", KOP_NOT_X, 0, 0, ~0ull},
      {"NOT_U32", KOP_NOT_U32, 0, 0, 0xFFFFFFFF},
      {"LNOT of zero", KOP_LNOT, 0, 0, 1},
      {"LNOT of high bit only", KOP_LNOT, 0x8000000000000000, 0, 0},
      {"MIN_S", KOP_MIN_S, 1, i64_bits(-1), i64_bits(-1)},
      {"MIN_U", KOP_MIN_U, 1, i64_bits(-1), 1},
      {"MAX_S", KOP_MAX_S, 1, i64_bits(-1), 1},
      {"MAX_U", KOP_MAX_U, 1, i64_bits(-1), i64_bits(-1)},
      {"ABS_I32", KOP_ABS_I32, i64_bits(-5), 0, 5},
      {"ABS_I32 of most negative", KOP_ABS_I32, i64_bits(-2147483648LL), 0, i64_bits(-2147483648LL)},
      {"ABS_I64 of most negative", KOP_ABS_I64, 0x8000000000000000, 0, 0x8000000000000000},
      {"TRUNC_I8", KOP_TRUNC_I8, 0x1FF, 0, i64_bits(-1)},
      {"TRUNC_U8", KOP_TRUNC_U8, 0x1FF, 0, 0xFF},
      {"TRUNC_I16", KOP_TRUNC_I16, 0x18000, 0, i64_bits(-32768)},
      {"TRUNC_U16", KOP_TRUNC_U16, i64_bits(-1), 0, 0xFFFF},
      {"TRUNC_I32", KOP_TRUNC_I32, 0x180000000, 0, i64_bits(-2147483648LL)},
      {"TRUNC_U32", KOP_TRUNC_U32, i64_bits(-1), 0, 0xFFFFFFFF},
      {"MOV copies all 64 bits", KOP_MOV, 0x123456789ABCDEF0, 0, 0x123456789ABCDEF0},
  });
}

TEST(KernelScalarOps, FloatArithmeticKeepsTheUpperHalfOfF32Results) {
  expect_values({
      {"ADD_F32", KOP_ADD_F32, f32_bits(1.5f), f32_bits(2.25f), kNoise | f32_bits(3.75f), kNoise},
      {"SUB_F32", KOP_SUB_F32, f32_bits(1.0f), f32_bits(3.0f), kNoise | f32_bits(-2.0f), kNoise},
      {"MUL_F32", KOP_MUL_F32, f32_bits(1.5f), f32_bits(4.0f), f32_bits(6.0f)},
      {"DIV_F32 by zero is infinity", KOP_DIV_F32, f32_bits(1.0f), f32_bits(0.0f), f32_bits(INFINITY)},
      {"MOD_F32", KOP_MOD_F32, f32_bits(-7.5f), f32_bits(2.0f), f32_bits(-1.5f)},
      {"ADD_F64", KOP_ADD_F64, f64_bits(0.1), f64_bits(0.2), f64_bits(0.1 + 0.2)},
      {"DIV_F64", KOP_DIV_F64, f64_bits(1.0), f64_bits(-0.0), f64_bits(-INFINITY)},
      {"MOD_F64", KOP_MOD_F64, f64_bits(7.5), f64_bits(-2.0), f64_bits(1.5)},
      {"NEG_F32 of +0", KOP_NEG_F32, f32_bits(0.0f), 0, kNoise | f32_bits(-0.0f), kNoise},
      {"NEG_F64", KOP_NEG_F64, f64_bits(2.0), 0, f64_bits(-2.0)},
      {"ABS_F32", KOP_ABS_F32, f32_bits(-2.0f), 0, kNoise | f32_bits(2.0f), kNoise},
      {"ABS_F64 of -0", KOP_ABS_F64, f64_bits(-0.0), 0, f64_bits(0.0)},
      {"SQRT_F32", KOP_SQRT_F32, f32_bits(9.0f), 0, f32_bits(3.0f)},
      {"SQRT_F64 of -0", KOP_SQRT_F64, f64_bits(-0.0), 0, f64_bits(-0.0)},
      {"MIN_F32 NaN first stays", KOP_MIN_F32, f32_bits(kNaNf), f32_bits(1.0f), f32_bits(kNaNf)},
      {"MIN_F32 NaN second ignored", KOP_MIN_F32, f32_bits(1.0f), f32_bits(kNaNf), f32_bits(1.0f)},
      {"MAX_F64 +0 vs -0", KOP_MAX_F64, f64_bits(0.0), f64_bits(-0.0), f64_bits(0.0)},
      {"MAX_F64 -0 vs +0", KOP_MAX_F64, f64_bits(-0.0), f64_bits(0.0), f64_bits(-0.0)},
      {"MIN_F64", KOP_MIN_F64, f64_bits(2.0), f64_bits(-3.0), f64_bits(-3.0)},
      {"MAX_F32", KOP_MAX_F32, f32_bits(2.0f), f32_bits(3.0f), f32_bits(3.0f)},
      {"CVT_S_F32", KOP_CVT_S_F32, i64_bits(-3), 0, kNoise | f32_bits(-3.0f), kNoise},
      {"CVT_U_F32 of 2^64-1", KOP_CVT_U_F32, ~0ull, 0, f32_bits(18446744073709551616.0f)},
      {"CVT_S_F64", KOP_CVT_S_F64, i64_bits(-5), 0, f64_bits(-5.0)},
      {"CVT_U_F64 of 2^63+1", KOP_CVT_U_F64, 0x8000000000000001, 0, f64_bits(9223372036854775808.0)},
      {"CVT_F32_F64", KOP_CVT_F32_F64, f32_bits(0.1f), 0, f64_bits(static_cast<double>(0.1f))},
      {"CVT_F64_F32", KOP_CVT_F64_F32, f64_bits(0.1), 0, kNoise | f32_bits(0.1f), kNoise},
      {"BOOL_F32 of -0", KOP_BOOL_F32, f32_bits(-0.0f), 0, 0},
      {"BOOL_F32 of NaN", KOP_BOOL_F32, f32_bits(kNaNf), 0, 1},
      {"BOOL_F64", KOP_BOOL_F64, f64_bits(0.5), 0, 1},
      {"CMPEQ_X", KOP_CMPEQ_X, 5, 5, 1},
      {"CMPNE_F32 with NaN", KOP_CMPNE_F32, f32_bits(kNaNf), f32_bits(kNaNf), 1},
      {"CMPEQ_F64 +0 -0", KOP_CMPEQ_F64, f64_bits(0.0), f64_bits(-0.0), 1},
      {"CMPLT_S", KOP_CMPLT_S, i64_bits(-1), 0, 1},
      {"CMPLT_U", KOP_CMPLT_U, i64_bits(-1), 0, 0},
      {"CMPLE_F64 NaN", KOP_CMPLE_F64, f64_bits(kNaN), f64_bits(1.0), 0},
      {"CMPGT_F32", KOP_CMPGT_F32, f32_bits(2.0f), f32_bits(1.0f), 1},
      {"CMPGE_U", KOP_CMPGE_U, 3, 3, 1},
  });
}

TEST(KernelScalarOps, ImmediateAndSelectorOperands) {
  struct row {
    const char* what;
    uint16_t op;
    uint64_t b;
    uint64_t c;
    uint16_t c_field;
    uint64_t x;
    uint64_t expected;
  };
  const row rows[] = {
      {"ADDI_I32 adds the low 32 bits", KOP_ADDI_I32, 0x7FFFFFFF, 0, 0, 0x100000001, i64_bits(-2147483648LL)},
      {"ADDI_U32", KOP_ADDI_U32, 5, 0, 0, i64_bits(-6), 0xFFFFFFFF},
      {"ADDI_X64", KOP_ADDI_X64, 5, 0, 0, i64_bits(-6), i64_bits(-1)},
      {"MATH1_F64 floor", KOP_MATH1_F64, f64_bits(-1.5), 0, KRVK_MATH_FLOOR, 0, f64_bits(-2.0)},
      {"MATH1_F64 round halves away", KOP_MATH1_F64, f64_bits(-2.5), 0, KRVK_MATH_ROUND, 0, f64_bits(-3.0)},
      {"MATH1_F32 log2", KOP_MATH1_F32, f32_bits(8.0f), 0, KRVK_MATH_LOG2, 0, f32_bits(3.0f)},
      {"MATH1_F64 selector 14 gives 0", KOP_MATH1_F64, f64_bits(2.0), 0, 14, 0, f64_bits(0.0)},
      {"MATH1 uses the low 8 bits", KOP_MATH1_F64, f64_bits(2.7), 0, 0x100 | KRVK_MATH_TRUNC, 0, f64_bits(2.0)},
      {"MATH2_F64 pow", KOP_MATH2_F64, f64_bits(2.0), f64_bits(10.0), kC, KRVK_MATH_POW, f64_bits(1024.0)},
      {"MATH2_F32 atan2", KOP_MATH2_F32, f32_bits(0.0f), f32_bits(-1.0f), kC, KRVK_MATH_ATAN2, f32_bits(std::atan2(0.0f, -1.0f))},
      {"MATH2_F32 selector 3 gives 0", KOP_MATH2_F32, f32_bits(2.0f), f32_bits(3.0f), kC, 3, f32_bits(0.0f)},
      {"CVT_F64_INT to u8 of -0.9", KOP_CVT_F64_INT, f64_bits(-0.9), 0, KRVK_U8, 0, 0},
      {"CVT_F64_INT to i32 of -1.5", KOP_CVT_F64_INT, f64_bits(-1.5), 0, KRVK_I32, 0, i64_bits(-1)},
      {"CVT_F64_INT to u64 near 2^64", KOP_CVT_F64_INT, f64_bits(18446744073709549568.0), 0, KRVK_U64, 0,
       18446744073709549568ull},
      {"CVT_F32_INT to u16", KOP_CVT_F32_INT, f32_bits(65535.5f), 0, KRVK_U16, 0, 65535},
  };
  for (const row& r : rows) {
    const outcome out = eval(r.op, r.b, r.c, 0, r.c_field, r.x);
    EXPECT_EQ(out.code, 0) << r.what;
    EXPECT_EQ(out.dst, r.expected) << r.what << ": got 0x" << std::hex << out.dst;
  }
}

uint64_t divc_multiplier(uint64_t d) { return ~0ull / d + 1; }

TEST(KernelScalarOps, ConstantDivisionMatchesTruncatingDivision) {
  struct row {
    uint16_t op;
    int64_t n;
    uint16_t d;
    int64_t expected;
  };
  const row rows[] = {
      {KOP_DIVC_I32, -14, 7, -2},       {KOP_DIVC_I32, -13, 7, -1},
      {KOP_MODC_I32, -13, 7, -6},       {KOP_MODC_U32, 4294967295, 65535, 0},
      {KOP_DIVC_I32, INT32_MIN, 2, INT32_MIN / 2},
      {KOP_MODC_I32, INT32_MIN, 65535, INT32_MIN % 65535},
  };
  for (const row& r : rows) {
    const outcome out = eval(r.op, i64_bits(r.n), 0, 0, r.d, divc_multiplier(r.d));
    EXPECT_EQ(static_cast<int64_t>(out.dst), r.expected) << krvk_opcode_names[r.op] << " " << r.n << " " << r.d;
  }
  // Sweep divisors and dividends around the interesting edges against the hardware division.
  const int64_t dividends[] = {0, 1, -1, 6, -6, 7, -7, 65534, 65535, 65536, -65536, 1000000007, INT32_MAX,
                               INT32_MIN, INT32_MIN + 1, 123456789, -987654321};
  for (uint16_t d : {2, 3, 5, 7, 10, 100, 641, 1000, 32767, 32768, 65535}) {
    for (int64_t n : dividends) {
      const uint64_t m = divc_multiplier(d);
      EXPECT_EQ(static_cast<int64_t>(eval(KOP_DIVC_I32, i64_bits(n), 0, 0, d, m).dst), n / d) << n << "/" << d;
      EXPECT_EQ(static_cast<int64_t>(eval(KOP_MODC_I32, i64_bits(n), 0, 0, d, m).dst), n % d) << n << "%" << d;
      const uint32_t u = static_cast<uint32_t>(n);
      EXPECT_EQ(eval(KOP_DIVC_U32, u, 0, 0, d, m).dst, u / d) << u << "/" << d;
      EXPECT_EQ(eval(KOP_MODC_U32, u, 0, 0, d, m).dst, u % d) << u << "%" << d;
    }
  }
}

TEST(KernelScalarOps, IntegerDivisionTrapsBeforeDividing) {
  struct row {
    uint16_t op;
    uint64_t b;
    uint64_t c;
    uint8_t code;
    uint64_t limit;
  };
  const uint64_t min32 = i64_bits(INT32_MIN);
  const uint64_t min64 = 0x8000000000000000u;
  const row rows[] = {
      {KOP_DIV_I32, 5, 0, KRVK_TRAP_DIV_ZERO, 0},      {KOP_DIV_U32, 77, 0, KRVK_TRAP_DIV_ZERO, 0},
      {KOP_DIV_I64, 5, 0, KRVK_TRAP_DIV_ZERO, 0},      {KOP_DIV_U64, 5, 0, KRVK_TRAP_DIV_ZERO, 0},
      {KOP_MOD_I32, 5, 0, KRVK_TRAP_DIV_ZERO, 0},      {KOP_MOD_U64, 5, 0, KRVK_TRAP_DIV_ZERO, 0},
      {KOP_DIV_I32, min32, i64_bits(-1), KRVK_TRAP_DIV_OVERFLOW, i64_bits(-1)},
      {KOP_MOD_I32, min32, i64_bits(-1), KRVK_TRAP_DIV_OVERFLOW, i64_bits(-1)},
      {KOP_DIV_I64, min64, i64_bits(-1), KRVK_TRAP_DIV_OVERFLOW, i64_bits(-1)},
      {KOP_MOD_I64, min64, i64_bits(-1), KRVK_TRAP_DIV_OVERFLOW, i64_bits(-1)},
      // A 32-bit divisor whose low half is zero must trap, never reach the hardware division.
      {KOP_DIV_I32, 5, 0x100000000, KRVK_TRAP_DIV_ZERO, 0},
      {KOP_MOD_U32, 5, 0x100000000, KRVK_TRAP_DIV_ZERO, 0},
  };
  for (const row& r : rows) {
    const outcome out = eval(r.op, r.b, r.c, 0x5555);
    EXPECT_EQ(out.code, r.code) << krvk_opcode_names[r.op];
    EXPECT_EQ(out.trap.code, r.code);
    EXPECT_EQ(out.trap.pc, 0u);
    EXPECT_EQ(out.trap.value, static_cast<int64_t>(r.b)) << krvk_opcode_names[r.op];
    EXPECT_EQ(out.trap.limit, r.limit) << krvk_opcode_names[r.op];
    EXPECT_EQ(out.dst, 0x5555u) << "a trapping instruction writes no register";
  }
  // The unsigned and 64-bit forms do not trap on "overflow".
  EXPECT_EQ(eval(KOP_DIV_U32, 0x80000000, 0xFFFFFFFF, 0).code, 0);
  EXPECT_EQ(eval(KOP_DIV_I64, min32, i64_bits(-1), 0).dst, 0x80000000u);
}

TEST(KernelScalarOps, FloatToIntegerTrapsWithTheSourceValue) {
  struct row {
    uint16_t op;
    uint64_t b;
    uint16_t target;
    double fvalue;
  };
  const row rows[] = {
      {KOP_CVT_F64_INT, f64_bits(9223372036854775808.0), KRVK_I64, 9223372036854775808.0},
      {KOP_CVT_F64_INT, f64_bits(256.0), KRVK_U8, 256.0},
      {KOP_CVT_F32_INT, f32_bits(-1.0f), KRVK_U32, -1.0},
      {KOP_CVT_F32_INT, f32_bits(3.0f), KRVK_F32, 3.0},
      {KOP_CVT_F64_INT, f64_bits(1.0), 13, 1.0},
  };
  for (const row& r : rows) {
    const outcome out = eval(r.op, r.b, 0, 0, r.target);
    EXPECT_EQ(out.code, KRVK_TRAP_F2I);
    EXPECT_EQ(out.trap.fvalue, r.fvalue);
  }
  const outcome nan = eval(KOP_CVT_F64_INT, f64_bits(kNaN), 0, 0, KRVK_I32);
  EXPECT_EQ(nan.code, KRVK_TRAP_F2I);
  EXPECT_TRUE(std::isnan(nan.trap.fvalue));
}

// A two-way program: instruction 0 branches to 2; r7 ends as 1 when the branch was taken.
bool branch_taken(uint16_t op, uint64_t a, uint64_t b) {
  krvk_test_program k;
  const uint16_t lhs = k.reg();
  const uint16_t rhs = k.reg();
  const uint16_t flag = k.reg();
  k.emit(op, lhs, rhs, 0, 2);
  k.emit(KOP_END);
  k.emit(KOP_ADDI_X64, flag, flag, 0, 1);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.reg(lhs) = a;
  run.reg(rhs) = b;
  EXPECT_EQ(run.run(0, 1), 0);
  return run.reg(flag) == 1;
}

TEST(KernelScalarOps, BranchesAndNaNOrdering) {
  struct row {
    uint16_t op;
    uint64_t a;
    uint64_t b;
    bool taken;
  };
  const row rows[] = {
      {KOP_JFLT_F64, f64_bits(kNaN), f64_bits(1.0), true},   {KOP_JTLT_F64, f64_bits(kNaN), f64_bits(1.0), false},
      {KOP_JTGE_F64, f64_bits(kNaN), f64_bits(1.0), false},  {KOP_JFLT_F32, f32_bits(2.0f), f32_bits(1.0f), true},
      {KOP_JTLT_F32, f32_bits(1.0f), f32_bits(2.0f), true},  {KOP_JTLT_S, i64_bits(-1), 0, true},
      {KOP_JTLT_U, i64_bits(-1), 0, false},             {KOP_JFGE_S, i64_bits(-1), 0, true},
      {KOP_JTLE_U, 3, 3, true},                    {KOP_JFGT_S, 3, 3, true},
      {KOP_JTEQ_X, 4, 4, true},                    {KOP_JFEQ_X, 4, 4, false},
      {KOP_JTNE_X, 4, 5, true},                    {KOP_JFNE_X, 4, 5, false},
      {KOP_JTEQ_F32, f32_bits(0.0f), f32_bits(-0.0f), true}, {KOP_JFEQ_F64, f64_bits(kNaN), f64_bits(kNaN), true},
      {KOP_JTNE_F64, f64_bits(kNaN), f64_bits(kNaN), true},  {KOP_JFNE_F32, f32_bits(1.0f), f32_bits(1.0f), true},
      {KOP_JT, 0x100000000, 0, true},              {KOP_JF, 0x100000000, 0, false},
      {KOP_JF, 0, 0, true},                        {KOP_JMP, 0, 0, true},
  };
  for (const row& r : rows) EXPECT_EQ(branch_taken(r.op, r.a, r.b), r.taken) << krvk_opcode_names[r.op];
}

TEST(KernelScalarOps, OpcodeAboveTheTableAborts) {
  const outcome out = eval(KRVK_OPCODE_COUNT, 1, 2, 9);
  EXPECT_EQ(out.code, KRVK_TRAP_ABORTED);
  EXPECT_EQ(out.trap.value, 0);
  EXPECT_EQ(out.trap.limit, 0u);
  EXPECT_EQ(out.dst, 9u);
}

}  // namespace
