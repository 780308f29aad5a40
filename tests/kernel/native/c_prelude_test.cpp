// The C prelude compiled by the system gcc: its helpers called through small exported wrappers, its
// records against the C++ run records, and its text pinned by a hash.
#include "kernel/native/c_prelude.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>

#include "kernel/compiler/value_rules.h"
#include "kernel/runtime/run_records.h"
#include "kernel/support/c_batch.h"

namespace {

const char* const kWrappers = R"(
#include <stddef.h>
K_EXPORT uint64_t t_mulhi(uint64_t a, uint64_t b) { return k_mulhi(a, b); }
K_EXPORT int t_f2i(double v, int target, int64_t* out) { return k_f2i(v, target, out); }
K_EXPORT float t_fmin(float a, float b) { return k_fmin(a, b); }
K_EXPORT float t_fmax(float a, float b) { return k_fmax(a, b); }
K_EXPORT double t_dmin(double a, double b) { return k_dmin(a, b); }
K_EXPORT double t_dmax(double a, double b) { return k_dmax(a, b); }
K_EXPORT int64_t t_divc_i32(int64_t x, uint64_t m) { return k_divc_i32(x, m); }
K_EXPORT int64_t t_modc_i32(int64_t x, uint64_t m, uint32_t d) { return k_modc_i32(x, m, d); }
K_EXPORT int64_t t_divc_u32(int64_t x, uint64_t m) { return k_divc_u32(x, m); }
K_EXPORT int64_t t_modc_u32(int64_t x, uint64_t m, uint32_t d) { return k_modc_u32(x, m, d); }
K_EXPORT uint64_t t_aadd32(uint8_t* p, uint32_t v) { return k_aadd32(p, v); }
K_EXPORT int t_trap(ktrap* trap, uint64_t gid) { K_TRAP(3, 17u, -5, 9); }
K_EXPORT int t_trapf(ktrap* trap, uint64_t gid) { K_TRAPF(4, 18u, 2.5); }
K_EXPORT void t_layout(uint64_t* out)
{
	out[0] = sizeof(kreg); out[1] = sizeof(kptr); out[2] = sizeof(ktrap);
	out[3] = offsetof(kptr, count); out[4] = offsetof(kptr, stride); out[5] = offsetof(kptr, bytes);
	out[6] = offsetof(ktrap, pc); out[7] = offsetof(ktrap, gid); out[8] = offsetof(ktrap, value);
	out[9] = offsetof(ktrap, fvalue); out[10] = offsetof(ktrap, limit);
}
K_EXPORT int t_has_int128(void)
{
#if defined(__SIZEOF_INT128__)
	return 1;
#else
	return 0;
#endif
}
)";

// The multiplier of a constant divisor d: floor((2^64 - 1) / d) + 1.
uint64_t divisor_multiplier(uint64_t d) { return ~uint64_t{0} / d + 1; }

class CPrelude : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    batch_ = new krvk_c_batch;
    batch_->add_text(kWrappers);
    std::string error;
    ASSERT_TRUE(batch_->build(error)) << error;
    // The same helpers once more, without the 128-bit type, so the portable k_mulhi is compiled.
    portable_ = new krvk_c_batch;
    portable_->add_text(kWrappers);
    std::vector<std::string> flags = krvk_c_batch::jit_flags();
    flags.push_back("-U__SIZEOF_INT128__");
    ASSERT_TRUE(portable_->build(error, flags)) << error;
  }
  static void TearDownTestSuite() {
    delete batch_;
    delete portable_;
  }
  template <class F>
  static F* fn(const krvk_c_batch* batch, const char* name) {
    F* f = reinterpret_cast<F*>(batch->symbol(name));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  static krvk_c_batch* batch_;
  static krvk_c_batch* portable_;
};
krvk_c_batch* CPrelude::batch_ = nullptr;
krvk_c_batch* CPrelude::portable_ = nullptr;

TEST_F(CPrelude, TextIsPinned) {
  // FNV-1a of the whole text: any edit, whitespace included, changes every kernel hash and cache key,
  // so it must be made on purpose, together with this number.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char* p = krvk_c_prelude; *p != 0; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ull;
  EXPECT_EQ(hash, 0x80691da50159fd82ull) << std::hex << hash;
  EXPECT_EQ(std::string(krvk_c_prelude).rfind("\n#include <stdint.h>\n#include <string.h>\n#include <math.h>\n\n", 0), 0u);
}

TEST_F(CPrelude, RecordsMatchTheRunRecords) {
  uint64_t layout[11] = {};
  fn<void(uint64_t*)>(batch_, "t_layout")(layout);
  const uint64_t expected[11] = {sizeof(kreg),           sizeof(kptr),           sizeof(ktrap),
                                 offsetof(kptr, count),  offsetof(kptr, stride), offsetof(kptr, bytes),
                                 offsetof(ktrap, pc),    offsetof(ktrap, gid),   offsetof(ktrap, value),
                                 offsetof(ktrap, fvalue), offsetof(ktrap, limit)};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(layout[i], expected[i]) << i;
}

TEST_F(CPrelude, PortableMulhiEqualsTheWideOne) {
  EXPECT_EQ(fn<int()>(batch_, "t_has_int128")(), 1);
  EXPECT_EQ(fn<int()>(portable_, "t_has_int128")(), 0);
  auto* wide = fn<uint64_t(uint64_t, uint64_t)>(batch_, "t_mulhi");
  auto* portable = fn<uint64_t(uint64_t, uint64_t)>(portable_, "t_mulhi");
  const uint64_t max = ~uint64_t{0};
  EXPECT_EQ(portable(max, max), max - 1);
  std::vector<std::pair<uint64_t, uint64_t>> inputs = {
      {0, 0}, {max, 1}, {1, max}, {max, max}, {0xFFFFFFFFull, 0xFFFFFFFFull}, {1ull << 32, 1ull << 32},
      {0x8000000000000000ull, 2}, {divisor_multiplier(7), 0xFFFFFFFFull}, {0xFFFFFFFF00000000ull, 0x00000000FFFFFFFFull}};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 10000; ++i) inputs.emplace_back(rng(), rng() >> (i % 64));
  for (const auto& [a, b] : inputs) {
    const uint64_t expected = static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
    ASSERT_EQ(portable(a, b), expected) << a << " * " << b;
    ASSERT_EQ(wide(a, b), expected) << a << " * " << b;
  }
}

TEST_F(CPrelude, FloatToIntegerAgreesWithTheInterpreterRule) {
  auto* f2i = fn<int(double, int, int64_t*)>(batch_, "t_f2i");
  const double inf = std::numeric_limits<double>::infinity();
  const double two63 = 9223372036854775808.0;
  struct row {
    double v;
    int target;
    int ok;
    int64_t out;
  };
  const std::vector<row> rows = {
      {255.9, KRVK_U8, 1, 255},
      {-0.7, KRVK_U8, 1, 0},  // truncates to -0.0, which is not below 0.0
      {two63, KRVK_I64, 0, 0},
      {-two63, KRVK_I64, 1, INT64_MIN},
      {18446744073709551615.0, KRVK_U64, 0, 0},  // 2^64 as a double
      {18446744073709549568.0, KRVK_U64, 1, static_cast<int64_t>(18446744073709549568ull)},
  };
  for (const row& r : rows) {
    int64_t out = 0;
    EXPECT_EQ(f2i(r.v, r.target, &out), r.ok) << r.v << " to " << r.target;
    if (r.ok) {
      EXPECT_EQ(out, r.out) << r.v << " to " << r.target;
    }
  }
  // Every target, against the interpreter's rule: NaN, infinities and values around each bound.
  std::vector<double> values = {std::nan(""), inf, -inf, -0.0, 0.5, -0.99};
  for (const double bound : {128.0, 256.0, 32768.0, 65536.0, 2147483648.0, 4294967296.0, two63, 2 * two63}) {
    for (const double v : {bound, -bound, bound - 1, -bound - 1, std::nextafter(bound, 0.0), -std::nextafter(bound, 0.0)}) {
      values.push_back(v);
    }
  }
  for (int target = 0; target <= 12; ++target) {
    for (const double v : values) {
      int64_t out = 0;
      uint64_t bits = 0;
      const bool ok = krvk_f2i(v, static_cast<uint8_t>(target), bits);
      ASSERT_EQ(f2i(v, target, &out), ok ? 1 : 0) << v << " to " << target;
      if (ok) {
        EXPECT_EQ(static_cast<uint64_t>(out), bits) << v << " to " << target;
      }
    }
  }
}

TEST_F(CPrelude, MinMaxKeepTheFirstOperandWhenUnordered) {
  const float fnan = std::nanf("");
  const double dnan = std::nan("");
  auto* fmin = fn<float(float, float)>(batch_, "t_fmin");
  auto* fmax = fn<float(float, float)>(batch_, "t_fmax");
  auto* dmin = fn<double(double, double)>(batch_, "t_dmin");
  auto* dmax = fn<double(double, double)>(batch_, "t_dmax");
  EXPECT_TRUE(std::isnan(fmin(fnan, 1.0f)));
  EXPECT_EQ(fmin(1.0f, fnan), 1.0f);
  EXPECT_TRUE(std::isnan(fmax(fnan, 1.0f)));
  EXPECT_EQ(fmax(1.0f, fnan), 1.0f);
  EXPECT_TRUE(std::isnan(dmin(dnan, 1.0)));
  EXPECT_EQ(dmin(1.0, dnan), 1.0);
  EXPECT_TRUE(std::isnan(dmax(dnan, 1.0)));
  EXPECT_EQ(dmax(1.0, dnan), 1.0);
  EXPECT_TRUE(std::signbit(dmax(-0.0, 0.0)));
  EXPECT_FALSE(std::signbit(dmax(0.0, -0.0)));
  EXPECT_EQ(fmin(2.0f, -3.0f), -3.0f);
  EXPECT_EQ(dmax(2.0, -3.0), 2.0);
}

TEST_F(CPrelude, ConstantDivisionTruncatesAndKeepsTheDividendsSign) {
  auto* divc_i32 = fn<int64_t(int64_t, uint64_t)>(batch_, "t_divc_i32");
  auto* modc_i32 = fn<int64_t(int64_t, uint64_t, uint32_t)>(batch_, "t_modc_i32");
  auto* divc_u32 = fn<int64_t(int64_t, uint64_t)>(batch_, "t_divc_u32");
  auto* modc_u32 = fn<int64_t(int64_t, uint64_t, uint32_t)>(batch_, "t_modc_u32");
  EXPECT_EQ(divc_i32(-7, divisor_multiplier(2)), -3);
  EXPECT_EQ(modc_i32(-7, divisor_multiplier(2), 2), -1);
  EXPECT_EQ(modc_u32(4294967295, divisor_multiplier(65535), 65535), 0);
  std::mt19937_64 rng(11);
  for (const uint32_t d : {2u, 3u, 7u, 10u, 641u, 65535u}) {
    const uint64_t m = divisor_multiplier(d);
    std::vector<int64_t> xs = {INT32_MIN, INT32_MAX, -1, 0, 1, -static_cast<int64_t>(d), static_cast<int64_t>(d) - 1};
    for (int i = 0; i < 200; ++i) xs.push_back(static_cast<int32_t>(rng()));
    for (const int64_t x : xs) {
      const int64_t sd = d;
      ASSERT_EQ(divc_i32(x, m), x / sd) << x << " / " << d;
      ASSERT_EQ(modc_i32(x, m, d), x % sd) << x << " % " << d;
      const uint32_t ux = static_cast<uint32_t>(x);
      ASSERT_EQ(divc_u32(ux, m), ux / d) << ux << " / " << d;
      ASSERT_EQ(modc_u32(ux, m, d), ux % d) << ux << " % " << d;
    }
  }
}

TEST_F(CPrelude, TrapMacrosWriteOnlyTheirFields) {
  ktrap trap{99, 99, 99, 99, 99.0, 99};
  EXPECT_EQ(fn<int(ktrap*, uint64_t)>(batch_, "t_trap")(&trap, 41), 3);
  EXPECT_EQ(trap.code, 3u);
  EXPECT_EQ(trap.pc, 17u);
  EXPECT_EQ(trap.gid, 41u);
  EXPECT_EQ(trap.value, -5);
  EXPECT_EQ(trap.limit, 9u);
  EXPECT_EQ(trap.fvalue, 99.0);
  trap = ktrap{99, 99, 99, 99, 99.0, 99};
  EXPECT_EQ(fn<int(ktrap*, uint64_t)>(batch_, "t_trapf")(&trap, 42), 4);
  EXPECT_EQ(trap.pc, 18u);
  EXPECT_EQ(trap.gid, 42u);
  EXPECT_EQ(trap.fvalue, 2.5);
  EXPECT_EQ(trap.value, 99);
  EXPECT_EQ(trap.limit, 99u);

  alignas(4) uint8_t word[4] = {5, 0, 0, 0};
  EXPECT_EQ(fn<uint64_t(uint8_t*, uint32_t)>(batch_, "t_aadd32")(word, 0xFFFFFFFFu), 5u);
  EXPECT_EQ(word[0], 4);
}

}  // namespace
