// Kernel programs compiled from source and run on the scalar interpreter over whole domains, with their
// results checked against the same computation written in C++.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "kernel/compiler/kernel_runner.h"

namespace {

const char* const kMaps = R"(
kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }

kernel void clamped_scale(f32* p, f32 s, f32 lo, f32 hi) { p[gid] = clamp(p[gid] * s, lo, hi); }

kernel void histogram(u32* bins, const u8* data) {
  u32 bin = u32(data[gid]) / 64u;
  atomic_add(bins[bin], 1u);
}

kernel void copy_unchecked(i64* dst, const i64* src) {
  if (gid >= gsize) return;
  unchecked { dst[gid] = src[gid]; }
}
)";

TEST(KernelPrograms, OneDimensionalMaps) {
  auto unit = compile_unit(kMaps);
  ASSERT_NE(unit, nullptr);
  {
    std::vector<float> y{1, 2, 3, 4}, x{10, 20, 30, 40};
    krvk_kernel_call call(kernel_named(*unit, "saxpy"));
    call.buffer(y).buffer(x).scalar(0.5f);
    ASSERT_EQ(call.run(4), 0);
    EXPECT_EQ(y, (std::vector<float>{6, 12, 18, 24}));
  }
  {
    std::vector<float> p{-3, 0.25f, 2, 9};
    krvk_kernel_call call(kernel_named(*unit, "clamped_scale"));
    call.buffer(p).scalar(2.0f).scalar(-1.0f).scalar(5.0f);
    ASSERT_EQ(call.run(4), 0);
    EXPECT_EQ(p, (std::vector<float>{-1, 0.5f, 4, 5}));
  }
  {
    std::vector<uint8_t> data(256);
    std::iota(data.begin(), data.end(), 0);
    std::vector<uint32_t> bins(4);
    krvk_kernel_call call(kernel_named(*unit, "histogram"));
    call.buffer(bins).buffer(data);
    ASSERT_EQ(call.run(256), 0);
    EXPECT_EQ(bins, (std::vector<uint32_t>{64, 64, 64, 64}));
  }
  {
    std::vector<int64_t> dst(3), src{-1, 1LL << 40, 7};
    krvk_kernel_call call(kernel_named(*unit, "copy_unchecked"));
    call.buffer(dst).buffer(src);
    ASSERT_EQ(call.run(3), 0);
    EXPECT_EQ(dst, src);
    EXPECT_EQ(count_opcode(kernel_named(*unit, "copy_unchecked"), KOP_LDU_I64), 1u);
  }
}

const char* const kReductions = R"(
kernel f32 sum(const f32* x) reduce(+) { return x[gid]; }
kernel i32 lowest(const i32* x) reduce(min) { return x[gid]; }
kernel u64 highest(const u64* x) reduce(max) { return x[gid]; }
kernel bool all_positive(const f32* x) reduce(&) { return x[gid] > 0.0f; }

// Index of the first element above the threshold in each row of 8, found with a while loop.
kernel u32 first_above(const i32* rows, i32 threshold) reduce(+) {
  u32 i = 0;
  while (true) {
    if (i == 8u) break;
    if (rows[gid * 8 + i] > threshold) break;
    i++;
  }
  return i;
}

kernel i32 weighted(const i32* x) reduce(+) {
  i32 w[4] = {1, 10, 100};
  w[3] = 1000;
  return x[gid] * w[gid % 4];
}

kernel f64 polynomial(const f64* x) reduce(+) {
  f64 v = x[gid];
  return ((2.0 * v - 3.0) * v + 0.5) * v - 7.0;
}
)";

TEST(KernelPrograms, Reductions) {
  auto unit = compile_unit(kReductions);
  ASSERT_NE(unit, nullptr);
  std::vector<float> xf{1.5f, 2.5f, -4.0f, 8.0f};
  {
    krvk_kernel_call call(kernel_named(*unit, "sum"));
    call.buffer(xf);
    ASSERT_EQ(call.run(4), 0);
    EXPECT_EQ(call.result<float>(), 8.0f);
  }
  {
    std::vector<int32_t> x{5, -7, 3, 0};
    krvk_kernel_call call(kernel_named(*unit, "lowest"));
    call.buffer(x);
    ASSERT_EQ(call.run(4), 0);
    EXPECT_EQ(call.result<int32_t>(), -7);
  }
  {
    std::vector<uint64_t> x{5, UINT64_MAX - 1, 3};
    krvk_kernel_call call(kernel_named(*unit, "highest"));
    call.buffer(x);
    ASSERT_EQ(call.run(3), 0);
    EXPECT_EQ(call.result<uint64_t>(), UINT64_MAX - 1);
  }
  for (bool negative : {false, true}) {
    std::vector<float> x{1, 2, negative ? -3.0f : 3.0f};
    krvk_kernel_call call(kernel_named(*unit, "all_positive"));
    call.buffer(x);
    ASSERT_EQ(call.run(3), 0);
    EXPECT_EQ(call.result<uint8_t>(), negative ? 0 : 1);
  }
  {
    std::vector<int32_t> rows(24, 0);
    rows[3] = 9;    // row 0: index 3
    rows[8] = 10;   // row 1: index 0
    krvk_kernel_call call(kernel_named(*unit, "first_above"));  // row 2: none, 8
    call.buffer(rows).scalar(int32_t{5});
    ASSERT_EQ(call.run(3), 0);
    EXPECT_EQ(call.result<uint32_t>(), 3u + 0u + 8u);
    EXPECT_EQ(count_opcode(kernel_named(*unit, "first_above"), KOP_LOOP), 1u);
  }
  {
    std::vector<int32_t> x{1, 2, 3, 4, 5};
    krvk_kernel_call call(kernel_named(*unit, "weighted"));
    call.buffer(x);
    ASSERT_EQ(call.run(5), 0);
    EXPECT_EQ(call.result<int32_t>(), 1 + 20 + 300 + 4000 + 5);
  }
  {
    std::vector<double> x{0.5, -1.25, 3.0};
    double expected = 0;
    for (double v : x) expected += ((2.0 * v - 3.0) * v + 0.5) * v - 7.0;
    krvk_kernel_call call(kernel_named(*unit, "polynomial"));
    call.buffer(x);
    ASSERT_EQ(call.run(3), 0);
    EXPECT_EQ(call.result<double>(), expected);
  }
}

const char* const kTwoD = R"(
kernel void coordinates(u32* out) { out[gid] = gid_x + 100u * gid_y; }

kernel void transpose(f32* dst, const f32* src) {
  dst[gid_x * gsize_y + gid_y] = src[gid];
}

kernel void box3(f32* dst, const f32* src) {
  i32 x = i32(gid_x), y = i32(gid_y), w = i32(gsize_x), h = i32(gsize_y);
  f32 acc = 0.0f;
  for (i32 dy = -1; dy <= 1; dy++) {
    for (i32 dx = -1; dx <= 1; dx++) {
      i32 sx = clamp(x + dx, 0, w - 1);
      i32 sy = clamp(y + dy, 0, h - 1);
      acc += src[sy * w + sx];
    }
  }
  dst[gid] = acc / 9.0f;
}
)";

TEST(KernelPrograms, TwoDimensionalKernels) {
  auto unit = compile_unit(kTwoD);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(kernel_named(*unit, "coordinates").two_d, 1);
  {
    std::vector<uint32_t> out(6);
    krvk_kernel_call call(kernel_named(*unit, "coordinates"));
    call.buffer(out);
    ASSERT_EQ(call.run(3, 2), 0);
    EXPECT_EQ(out, (std::vector<uint32_t>{0, 1, 2, 100, 101, 102}));
  }
  {
    std::vector<float> src{1, 2, 3, 4, 5, 6}, dst(6);  // 3 wide, 2 high
    krvk_kernel_call call(kernel_named(*unit, "transpose"));
    call.buffer(dst).buffer(src);
    ASSERT_EQ(call.run(3, 2), 0);
    EXPECT_EQ(dst, (std::vector<float>{1, 4, 2, 5, 3, 6}));
  }
  {
    const int w = 4, h = 3;
    std::vector<float> src(w * h), dst(w * h), expected(w * h);
    for (int i = 0; i < w * h; ++i) src[i] = static_cast<float>(i * i % 7);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        float acc = 0.0f;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            acc += src[std::clamp(y + dy, 0, h - 1) * w + std::clamp(x + dx, 0, w - 1)];
          }
        }
        expected[y * w + x] = acc / 9.0f;
      }
    }
    krvk_kernel_call call(kernel_named(*unit, "box3"));
    call.buffer(dst).buffer(src);
    ASSERT_EQ(call.run(w, h), 0) << call.trap_text();
    EXPECT_EQ(dst, expected);
  }
}

const char* const kStructs = R"(
kernel const f32 DAMPING = 0.5f;
kernel const u32 LIMIT = 3;

struct Body { f32x3 pos; f32x3 vel; }
kernel struct Stats { f32 sum; f32 hi; u32 n; }
cstruct Window { u32 id; i32 samples[3]; }

inline f32x3 damped(f32x3 v) { return v * DAMPING; }
inline f32 square(f32 x) { return x * x; }

kernel void step(Body* bodies, f32 dt) {
  Body b = bodies[gid];
  b.pos += b.vel * dt;
  bodies[gid].vel = damped(b.vel);
  bodies[gid].pos = b.pos;
}

kernel Stats stats(const f32* x) reduce(sum: +, hi: max, n: +) {
  if (u32(gid) >= LIMIT) return {0.0f, -1000.0f, 0u};
  return {square(x[gid]), x[gid], 1u};
}

kernel Window peaks(const Window* w) reduce(id: max, samples: max) { return w[gid]; }

kernel void normalise(f32x3* v) { v[gid] = v[gid] / length(v[gid]); }
)";

TEST(KernelPrograms, StructsVectorsConstantsAndHelpers) {
  auto unit = compile_unit(kStructs);
  ASSERT_NE(unit, nullptr);
  {
    std::vector<float> bodies{0, 0, 0, 2, 4, -6, 1, 1, 1, 0, 0, 0};
    krvk_kernel_call call(kernel_named(*unit, "step"));
    call.buffer(bodies).scalar(0.5f);
    ASSERT_EQ(call.run(2), 0) << call.trap_text();
    EXPECT_EQ(bodies, (std::vector<float>{1, 2, -3, 1, 2, -3, 1, 1, 1, 0, 0, 0}));
  }
  {
    const krvk_program& stats = kernel_named(*unit, "stats");
    EXPECT_EQ(stats.result_text, "Stats reduce(sum: +, hi: max, n: +)");
    std::vector<float> x{1, -2, 3, 100};
    krvk_kernel_call call(stats);
    call.buffer(x);
    ASSERT_EQ(call.run(4), 0) << call.trap_text();
    EXPECT_EQ(call.result<float>(0), 14.0f);
    EXPECT_EQ(call.result<float>(1), 3.0f);
    EXPECT_EQ(call.result<uint32_t>(2), 3u);
  }
  {
    const krvk_program& peaks = kernel_named(*unit, "peaks");
    ASSERT_EQ(peaks.accumulators.size(), 4u);
    EXPECT_EQ(peaks.accumulators[1].name, "samples[0]");
    EXPECT_EQ(peaks.accumulators[3].offset, 12u);
    EXPECT_EQ(peaks.result_text, "Window reduce(id: max, samples: max)");
    std::vector<int32_t> windows{1, 5, -2, 7, 4, 9, -8, 0};
    krvk_kernel_call call(peaks);
    call.buffer(windows);
    ASSERT_EQ(call.run(2), 0);
    EXPECT_EQ(call.result<uint32_t>(0), 4u);
    EXPECT_EQ(call.result<int32_t>(1), 9);
    EXPECT_EQ(call.result<int32_t>(2), -2);
    EXPECT_EQ(call.result<int32_t>(3), 7);
    EXPECT_EQ(compile_error("cstruct W { u16 id; i32 s[2]; }\nkernel W k(const W* w) reduce(max) { return w[gid]; }").message,
              "reduce(max) is not supported for field 'id' (u16), reduced fields must be i32, u32, i64, u64, f32 or f64 "
              "(&, |, ^ only for integers)");
  }
  {
    std::vector<float> v{3, 0, 4, 0, -2, 0};
    krvk_kernel_call call(kernel_named(*unit, "normalise"));
    call.buffer(v);
    ASSERT_EQ(call.run(2), 0);
    EXPECT_EQ(v, (std::vector<float>{0.6f, 0, 0.8f, 0, -1, 0}));
  }
}

}  // namespace
