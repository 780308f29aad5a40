#include "kernel/runtime/reductions.h"

#include "kernel/compiler/types.h"
#include "kernel/runtime/kernel_ops.h"

namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

uint64_t min_identity(uint8_t prim) {
  switch (prim) {
    case KRVK_I32: return 0x7FFFFFFFu;
    case KRVK_U32: return 0xFFFFFFFFu;
    case KRVK_I64: return 0x7FFFFFFFFFFFFFFFu;
    case KRVK_U64: return kAllOnes;
    case KRVK_F32: return 0x7F800000u;
    case KRVK_F64: return 0x7FF0000000000000u;
    default: return 0;
  }
}

uint64_t max_identity(uint8_t prim) {
  switch (prim) {
    case KRVK_I32: return 0xFFFFFFFF80000000u;
    case KRVK_I64: return 0x8000000000000000u;
    case KRVK_F32: return 0xFF800000u;
    case KRVK_F64: return 0xFFF0000000000000u;
    default: return 0;  // unsigned types
  }
}

uint64_t and_identity(uint8_t prim) {
  switch (prim) {
    case KRVK_BOOL: return 1;
    case KRVK_U32: return 0xFFFFFFFFu;
    default: return kAllOnes;
  }
}

uint64_t add(uint8_t prim, uint64_t a, uint64_t b) {
  switch (prim) {
    case KRVK_F32: return krvk_with_f32(a, krvk_cell_f32(a) + krvk_cell_f32(b));
    case KRVK_F64: return krvk_f64_cell(krvk_cell_f64(a) + krvk_cell_f64(b));
    case KRVK_I32: return krvk_sext32(a + b);
    case KRVK_U32: return krvk_zext32(a + b);
    default: return a + b;
  }
}

// True when b orders before a: float compares for floats (false with a NaN on either side), signed
// 64-bit compares for the signed integer types, unsigned for all others.
bool less(uint8_t prim, uint64_t b, uint64_t a) {
  switch (prim) {
    case KRVK_F32: return krvk_cell_f32(b) < krvk_cell_f32(a);
    case KRVK_F64: return krvk_cell_f64(b) < krvk_cell_f64(a);
    default:
      if (krvk_prim_is_signed_integer(prim)) return static_cast<int64_t>(b) < static_cast<int64_t>(a);
      return b < a;
  }
}

}  // namespace

uint64_t krvk_reduce_identity(uint8_t op, uint8_t prim) noexcept {
  switch (op) {
    case KRVK_REDUCE_MIN: return min_identity(prim);
    case KRVK_REDUCE_MAX: return max_identity(prim);
    case KRVK_REDUCE_AND: return and_identity(prim);
    default: return 0;  // +, |, ^ and none
  }
}

uint64_t krvk_reduce_combine(uint8_t op, uint8_t prim, uint64_t a, uint64_t b) noexcept {
  switch (op) {
    case KRVK_REDUCE_ADD: return add(prim, a, b);
    case KRVK_REDUCE_MIN: return less(prim, b, a) ? b : a;
    case KRVK_REDUCE_MAX: return less(prim, a, b) ? b : a;
    case KRVK_REDUCE_AND: return a & b;
    case KRVK_REDUCE_OR: return a | b;
    case KRVK_REDUCE_XOR: return a ^ b;
    default: return a;
  }
}

uint64_t krvk_reduce_lanes(uint8_t op, uint8_t prim, uint64_t acc, const uint64_t* lanes, uint32_t n) noexcept {
  if (op == KRVK_REDUCE_ADD && !krvk_prim_is_float(prim)) {
    // Integer sums wrap, so any order gives the same bits; narrow to the type once at the end.
    uint64_t sum = acc;
    for (uint32_t i = 0; i < n; ++i) sum += lanes[i];
    return n == 0 ? acc : add(prim, sum, 0);
  }
  for (uint32_t i = 0; i < n; ++i) acc = krvk_reduce_combine(op, prim, acc, lanes[i]);
  return acc;
}
