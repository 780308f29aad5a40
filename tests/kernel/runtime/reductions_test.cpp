#include "kernel/runtime/reductions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kernel/compiler/types.h"
#include "kernel/support/cell_bits.h"

namespace {


TEST(KernelReductions, Identities) {
  struct row {
    uint8_t op;
    uint8_t prim;
    uint64_t bits;
  };
  const row rows[] = {
      {KRVK_REDUCE_ADD, KRVK_I32, 0},
      {KRVK_REDUCE_ADD, KRVK_F32, 0},
      {KRVK_REDUCE_ADD, KRVK_F64, 0},
      {KRVK_REDUCE_MIN, KRVK_I32, 0x7FFFFFFF},
      {KRVK_REDUCE_MIN, KRVK_U32, 0xFFFFFFFF},
      {KRVK_REDUCE_MIN, KRVK_I64, 0x7FFFFFFFFFFFFFFF},
      {KRVK_REDUCE_MIN, KRVK_U64, 0xFFFFFFFFFFFFFFFF},
      {KRVK_REDUCE_MIN, KRVK_F32, 0x7F800000},
      {KRVK_REDUCE_MIN, KRVK_F64, 0x7FF0000000000000},
      {KRVK_REDUCE_MAX, KRVK_I32, 0xFFFFFFFF80000000},
      {KRVK_REDUCE_MAX, KRVK_U32, 0},
      {KRVK_REDUCE_MAX, KRVK_I64, 0x8000000000000000},
      {KRVK_REDUCE_MAX, KRVK_U64, 0},
      {KRVK_REDUCE_MAX, KRVK_F32, 0xFF800000},
      {KRVK_REDUCE_MAX, KRVK_F64, 0xFFF0000000000000},
      {KRVK_REDUCE_AND, KRVK_I32, 0xFFFFFFFFFFFFFFFF},
      {KRVK_REDUCE_AND, KRVK_U32, 0xFFFFFFFF},
      {KRVK_REDUCE_AND, KRVK_I64, 0xFFFFFFFFFFFFFFFF},
      {KRVK_REDUCE_AND, KRVK_U64, 0xFFFFFFFFFFFFFFFF},
      {KRVK_REDUCE_AND, KRVK_BOOL, 1},
      {KRVK_REDUCE_OR, KRVK_U64, 0},
      {KRVK_REDUCE_OR, KRVK_BOOL, 0},
      {KRVK_REDUCE_XOR, KRVK_I32, 0},
      {KRVK_REDUCE_XOR, KRVK_BOOL, 0},
      {KRVK_REDUCE_NONE, KRVK_I32, 0},
      {KRVK_REDUCE_NONE, KRVK_F64, 0},
  };
  for (const row& r : rows) {
    EXPECT_EQ(krvk_reduce_identity(r.op, r.prim), r.bits) << int{r.op} << "/" << krvk_prim_name(r.prim);
  }
}

TEST(KernelReductions, CombineByOperatorAndType) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const uint64_t noise = 0xAAAA000000000000u;
  struct row {
    const char* what;
    uint8_t op;
    uint8_t prim;
    uint64_t a;
    uint64_t b;
    uint64_t expected;
  };
  const row rows[] = {
      {"i32 + wraps, sign-extended", KRVK_REDUCE_ADD, KRVK_I32, 2147483647, 1, i64_bits(-2147483648LL)},
      {"u32 + wraps, zero-extended", KRVK_REDUCE_ADD, KRVK_U32, 4294967295, 1, 0},
      {"i64 + wraps", KRVK_REDUCE_ADD, KRVK_I64, 0x7FFFFFFFFFFFFFFF, 1, 0x8000000000000000},
      {"f32 + keeps a's upper half", KRVK_REDUCE_ADD, KRVK_F32, noise | f32_bits(1.5f), f32_bits(2.0f), noise | f32_bits(3.5f)},
      {"f64 +", KRVK_REDUCE_ADD, KRVK_F64, f64_bits(0.5), f64_bits(0.25), f64_bits(0.75)},
      {"u64 max", KRVK_REDUCE_MAX, KRVK_U64, 1, ~0ull, ~0ull},
      {"i64 max", KRVK_REDUCE_MAX, KRVK_I64, 1, ~0ull, 1},
      {"i32 min signed", KRVK_REDUCE_MIN, KRVK_I32, 5, i64_bits(-5), i64_bits(-5)},
      {"u32 min unsigned", KRVK_REDUCE_MIN, KRVK_U32, 5, 0xFFFFFFFF, 5},
      {"f32 min ignores NaN", KRVK_REDUCE_MIN, KRVK_F32, f32_bits(3.0f), f32_bits(NAN), f32_bits(3.0f)},
      {"f64 max keeps NaN accumulator", KRVK_REDUCE_MAX, KRVK_F64, f64_bits(nan), f64_bits(1.0), f64_bits(nan)},
      {"f64 min of equal zeros keeps a", KRVK_REDUCE_MIN, KRVK_F64, f64_bits(0.0), f64_bits(-0.0), f64_bits(0.0)},
      {"f32 max of equal zeros keeps a", KRVK_REDUCE_MAX, KRVK_F32, f32_bits(-0.0f), f32_bits(0.0f), f32_bits(-0.0f)},
      {"f64 max", KRVK_REDUCE_MAX, KRVK_F64, f64_bits(-1.0), f64_bits(2.0), f64_bits(2.0)},
      {"and", KRVK_REDUCE_AND, KRVK_U64, 0xF0F0, 0xFF00, 0xF000},
      {"or", KRVK_REDUCE_OR, KRVK_BOOL, 0, 1, 1},
      {"xor", KRVK_REDUCE_XOR, KRVK_I32, 0xF0F0, 0xFF00, 0x0FF0},
      {"none keeps a", KRVK_REDUCE_NONE, KRVK_I32, 7, 9, 7},
  };
  for (const row& r : rows) EXPECT_EQ(krvk_reduce_combine(r.op, r.prim, r.a, r.b), r.expected) << r.what;
}

TEST(KernelReductions, LaneFolds) {
  struct row {
    const char* what;
    uint8_t op;
    uint8_t prim;
    uint64_t acc;
    std::vector<uint64_t> lanes;
    uint64_t expected;
  };
  const std::vector<row> rows = {
      {"f32 sum strictly left to right", KRVK_REDUCE_ADD, KRVK_F32, f32_bits(1e8f),
       {f32_bits(3.0f), f32_bits(3.0f), f32_bits(3.0f), f32_bits(3.0f)}, f32_bits(1e8f)},
      {"f64 sum left to right", KRVK_REDUCE_ADD, KRVK_F64, f64_bits(1e16), {f64_bits(1.0), f64_bits(1.0)}, f64_bits(1e16)},
      {"f32 min from identity over 3, NaN, 1", KRVK_REDUCE_MIN, KRVK_F32, 0x7F800000,
       {f32_bits(3.0f), f32_bits(NAN), f32_bits(1.0f)}, f32_bits(1.0f)},
      {"i32 sum wraps", KRVK_REDUCE_ADD, KRVK_I32, 0, {2147483647, 1}, i64_bits(-2147483648LL)},
      {"u32 sum wraps", KRVK_REDUCE_ADD, KRVK_U32, 0, {4294967295, 1}, 0},
      {"i64 sum", KRVK_REDUCE_ADD, KRVK_I64, 10, {i64_bits(-3), i64_bits(-4)}, 3},
      {"bool and from 1", KRVK_REDUCE_AND, KRVK_BOOL, 1, {1, 1, 0}, 0},
      {"bool xor of three ones", KRVK_REDUCE_XOR, KRVK_BOOL, 0, {1, 1, 1}, 1},
      {"u64 max", KRVK_REDUCE_MAX, KRVK_U64, 0, {1, ~0ull, 5}, ~0ull},
      {"i64 max", KRVK_REDUCE_MAX, KRVK_I64, 0x8000000000000000, {1, ~0ull, 5}, 5},
      {"or", KRVK_REDUCE_OR, KRVK_U32, 0, {1, 2, 4}, 7},
      {"no lanes", KRVK_REDUCE_ADD, KRVK_I32, 42, {}, 42},
  };
  for (const row& r : rows) {
    const uint64_t got = krvk_reduce_lanes(r.op, r.prim, r.acc, r.lanes.data(), static_cast<uint32_t>(r.lanes.size()));
    EXPECT_EQ(got, r.expected) << r.what << ": got 0x" << std::hex << got;
  }
}

}  // namespace
