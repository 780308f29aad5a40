// The kernels the kernel benchmarks measure, each written once: as kernel source, as the hand-assembled
// saxpy program, and as the plain C loops a programmer would write for the same work.
//
// The C loops are one macro body, so that one text serves both ways the benchmarks use it: compiled into
// the benchmark itself (krv_bench_ref_saxpy ..., noipa so that the compiler does not specialise a loop
// for its one call site, known arrays and length: at -O2 it stays the scalar loop any caller gets, since
// x and y might overlap; aligned to 64 bytes so that the saxpy loop never straddles a cache line by
// chance of link order, which once cost it 1.8x in one benchmark and not in another), and handed as C source to gcc next to translated kernels
// (krv_bench_reference_c, where K_EXPORT is the prelude's export marker). The two cannot drift apart.
//
// The saxpy arrays place x[i] and y[i] 2 KiB apart modulo 4 KiB: arrays at a distance that is a multiple
// of 4 KiB make loads wait on unrelated stores (4K aliasing), which would slow a run by chance of
// allocation.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "kernel/support/program_builder.h"

// y = a * x + y: a pointer store, two loads, a multiply and an add per work item.
inline constexpr const char* krv_bench_saxpy_source =
    "kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }\n";

// A loop of 64 steps of float arithmetic per work item: compute-bound.
inline constexpr const char* krv_bench_compute_source = R"(
kernel void compute(f32* y, const f32* x) {
  f32 v = x[gid];
  f32 acc = 0.0f;
  for (i32 k = 0; k < 64; k++) {
    acc = acc * 0.5f + v * 1.25f - 0.75f;
    v = v * 0.999f + 0.001f;
  }
  y[gid] = acc;
}
)";

// An f32 sum: a reduction.
inline constexpr const char* krv_bench_sum_source = "kernel f32 sum(const f32* x) reduce(+) { return x[gid]; }\n";

// A 3x3 box filter with clamped borders, a helper and a reduction: a kernel of the usual size.
inline constexpr const char* krv_bench_box3_source = R"(
kernel const f32 NINTH = 1.0f / 9.0f;
inline i32 clamp_to(i32 v, i32 n) { return clamp(v, 0, n - 1); }
kernel f32 box3(f32* dst, const f32* src) reduce(+) {
  i32 x = i32(gid_x), y = i32(gid_y), w = i32(gsize_x), h = i32(gsize_y);
  f32 acc = 0.0f;
  for (i32 dy = -1; dy <= 1; dy++) {
    for (i32 dx = -1; dx <= 1; dx++) {
      acc += src[clamp_to(y + dy, h) * w + clamp_to(x + dx, w)];
    }
  }
  dst[gid] = acc * NINTH;
  return dst[gid];
}
)";

// The C loops of saxpy, compute and sum, each function marked with EXPORT.
#define KRV_BENCH_REFERENCE_LOOPS(EXPORT)                                       \
  EXPORT void krv_bench_ref_saxpy(float* y, const float* x, float a, uint64_t n) { \
    for (uint64_t i = 0; i < n; i++) y[i] = a * x[i] + y[i];                   \
  }                                                                            \
  EXPORT void krv_bench_ref_compute(float* y, const float* x, uint64_t n) {    \
    for (uint64_t i = 0; i < n; i++) {                                         \
      float v = x[i], acc = 0.0f;                                              \
      for (int k = 0; k < 64; k++) {                                           \
        acc = acc * 0.5f + v * 1.25f - 0.75f;                                  \
        v = v * 0.999f + 0.001f;                                               \
      }                                                                        \
      y[i] = acc;                                                              \
    }                                                                          \
  }                                                                            \
  EXPORT float krv_bench_ref_sum(const float* x, uint64_t n) {                 \
    float s = 0.0f;                                                            \
    for (uint64_t i = 0; i < n; i++) s += x[i];                                \
    return s;                                                                  \
  }

KRV_BENCH_REFERENCE_LOOPS(inline __attribute__((noipa, aligned(64))))

#define KRV_BENCH_TEXT_OF(...) #__VA_ARGS__
#define KRV_BENCH_TEXT(...) KRV_BENCH_TEXT_OF(__VA_ARGS__)
// The same loops as C source, exported under the same names.
inline constexpr const char* krv_bench_reference_c = KRV_BENCH_TEXT(KRV_BENCH_REFERENCE_LOOPS(K_EXPORT)) "\n";

using krv_bench_ref_saxpy_fn = void (*)(float*, const float*, float, uint64_t);
using krv_bench_ref_compute_fn = void (*)(float*, const float*, uint64_t);
using krv_bench_ref_sum_fn = float (*)(const float*, uint64_t);

inline constexpr size_t krv_bench_saxpy_elements = 16 * 1024;

// x = 1 and y = 2 after reset().
struct krv_bench_saxpy_arrays {
  alignas(4096) float x[krv_bench_saxpy_elements];
  float gap[512];
  float y[krv_bench_saxpy_elements];

  void reset() {
    std::fill(std::begin(x), std::end(x), 1.0f);
    std::fill(std::begin(y), std::end(y), 2.0f);
  }
  kptr x_slot() { return kptr{reinterpret_cast<uint8_t*>(x), krv_bench_saxpy_elements, sizeof(float), sizeof x}; }
  kptr y_slot() { return kptr{reinterpret_cast<uint8_t*>(y), krv_bench_saxpy_elements, sizeof(float), sizeof y}; }
};

// saxpy assembled by hand in the six instructions the compiler makes of it (two loads, multiply, add,
// store, END), with a = 0.5 in its register file over the arrays' whole length.
struct krv_bench_saxpy_program {
  krv_bench_saxpy_program() {
    a = k.scalar_param("a", KRVK_F32);
    x = k.pointer_param("x", KRVK_F32, true);
    y = k.pointer_param("y", KRVK_F32);
    const uint16_t xi = k.reg();
    const uint16_t yi = k.reg();
    k.emit(KOP_LD_F32, xi, x, 0, 0);
    k.emit(KOP_MUL_F32, xi, a, xi);
    k.emit(KOP_LD_F32, yi, y, 0, 0);
    k.emit(KOP_ADD_F32, xi, xi, yi);
    k.emit(KOP_ST_F32, xi, y, 0, 0);
    k.emit(KOP_END);
  }
  static constexpr size_t instructions_per_element = 6;

  // The pointer slots in parameter order (x, then y).
  std::vector<kptr> slots(krv_bench_saxpy_arrays& arrays) const { return {arrays.x_slot(), arrays.y_slot()}; }
  std::vector<uint64_t> registers() const {
    std::vector<uint64_t> regs(k.program().register_count, 0);
    const float half = 0.5f;
    std::memcpy(&regs[a], &half, sizeof half);
    regs[k.program().gsize_reg] = regs[k.program().gsize_x_reg] = krv_bench_saxpy_elements;
    regs[k.program().gsize_y_reg] = 1;
    return regs;
  }

  mutable krvk_test_program k{"saxpy"};
  uint16_t a, x, y;
};
