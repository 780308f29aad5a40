#include "kernel/compiler/value_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernel/compiler/types.h"

namespace {

TEST(KernelWrapInt, ReducesToTheTypesRange) {
  struct row {
    uint8_t prim;
    int64_t in;
    int64_t out;
  };
  const row rows[] = {
      {KRVK_U8, 300, 44},
      {KRVK_I8, 200, -56},
      {KRVK_BOOL, 5, 1},
      {KRVK_BOOL, 0, 0},
      {KRVK_BOOL, INT64_MIN, 1},
      {KRVK_U32, 0x100000001, 1},
      {KRVK_I32, 0x80000000, -2147483648LL},
      {KRVK_U16, -1, 65535},
      {KRVK_I16, 32768, -32768},
      {KRVK_I64, INT64_MIN, INT64_MIN},
      {KRVK_U64, -1, -1},
      {KRVK_F32, 123456789012, 123456789012},
      {KRVK_NO_TYPE, -7, -7},
  };
  for (const row& r : rows) EXPECT_EQ(krvk_wrap_int(r.prim, r.in), r.out) << int{r.prim} << " " << r.in;
}

TEST(KernelF2I, TruncatesTowardZeroAndChecksTheRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct row {
    double in;
    uint8_t target;
    bool ok;
    uint64_t bits;
  };
  const row rows[] = {
      {127.9, KRVK_I8, true, 127},
      {128.0, KRVK_I8, false, 0},
      {-128.9, KRVK_I8, true, static_cast<uint64_t>(-128)},
      {-129.0, KRVK_I8, false, 0},
      {-0.7, KRVK_U8, true, 0},
      {-1.0, KRVK_U8, false, 0},
      {255.99, KRVK_U8, true, 255},
      {-1.0, KRVK_I32, true, 0xFFFFFFFFFFFFFFFFull},
      {2147483647.9, KRVK_I32, true, 2147483647},
      {2147483648.0, KRVK_I32, false, 0},
      {4294967295.0, KRVK_U32, true, 4294967295u},
      {4294967296.0, KRVK_U32, false, 0},
      {65535.0, KRVK_U16, true, 65535},
      {-32769.0, KRVK_I16, false, 0},
      {9223372036854775808.0, KRVK_I64, false, 0},
      {-9223372036854775808.0, KRVK_I64, true, 0x8000000000000000ull},
      {9223372036854775808.0, KRVK_U64, true, 0x8000000000000000ull},
      {18446744073709549568.0, KRVK_U64, true, 18446744073709549568ull},
      {18446744073709551616.0, KRVK_U64, false, 0},
      {inf, KRVK_I64, false, 0},
      {-inf, KRVK_U64, false, 0},
      {1.0, KRVK_F32, false, 0},
      {1.0, KRVK_BOOL, false, 0},
      {1.0, KRVK_VOID, false, 0},
      {1.0, KRVK_STRUCT, false, 0},
  };
  for (const row& r : rows) {
    uint64_t bits = 0xDEAD;
    EXPECT_EQ(krvk_f2i(r.in, r.target, bits), r.ok) << r.in << " to " << int{r.target};
    if (r.ok) {
      EXPECT_EQ(bits, r.bits) << r.in << " to " << int{r.target};
    }
  }
  for (uint8_t target = 0; target < 14; ++target) {
    uint64_t bits = 0;
    EXPECT_FALSE(krvk_f2i(nan, target, bits)) << int{target};
  }
}

}  // namespace
