// The operations of kernel bytecode that are more than one C operator, with exactly the semantics the
// scalar interpreter defines. The scalar and the 64-lane interpreters both use these, so the engines
// cannot drift apart.
//
// Every function takes and returns register cells (uint64_t) in the register representation: narrow
// signed integers sign-extended, unsigned ones zero-extended, an f32 in the low 32 bits with the upper
// half of the destination kept. Division helpers never divide by zero or overflow: callers run the
// matching check first and trap on a non-zero code. Nothing here allocates or throws.
#pragma once
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernel/compiler/opcodes.h"
#include "kernel/runtime/run_records.h"

// ---- cell representation -------------------------------------------------------------------------

inline uint64_t krvk_sext32(uint64_t v) { return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v))); }
inline uint64_t krvk_zext32(uint64_t v) { return v & 0xFFFFFFFFu; }
inline float krvk_cell_f32(uint64_t cell) { return std::bit_cast<float>(static_cast<uint32_t>(cell)); }
inline double krvk_cell_f64(uint64_t cell) { return std::bit_cast<double>(cell); }
// An f32 result replaces the low half of the destination cell only.
inline uint64_t krvk_with_f32(uint64_t old_cell, float v) {
  return (old_cell & 0xFFFFFFFF00000000u) | std::bit_cast<uint32_t>(v);
}
inline uint64_t krvk_f64_cell(double v) { return std::bit_cast<uint64_t>(v); }

// ---- integer arithmetic ----------------------------------------------------------------------------

inline uint64_t krvk_add_i32(uint64_t b, uint64_t c) { return krvk_sext32(b + c); }
inline uint64_t krvk_add_u32(uint64_t b, uint64_t c) { return krvk_zext32(b + c); }
inline uint64_t krvk_add_x64(uint64_t b, uint64_t c) { return b + c; }
inline uint64_t krvk_sub_i32(uint64_t b, uint64_t c) { return krvk_sext32(b - c); }
inline uint64_t krvk_sub_u32(uint64_t b, uint64_t c) { return krvk_zext32(b - c); }
inline uint64_t krvk_sub_x64(uint64_t b, uint64_t c) { return b - c; }
inline uint64_t krvk_mul_i32(uint64_t b, uint64_t c) { return krvk_sext32(b * c); }
inline uint64_t krvk_mul_u32(uint64_t b, uint64_t c) { return krvk_zext32(b * c); }
inline uint64_t krvk_mul_x64(uint64_t b, uint64_t c) { return b * c; }

// Trap code of an integer division or remainder, tested before dividing: 2 for a zero divisor, 3 for
// the most negative value divided by -1 (signed forms only). The 32-bit forms look at the low 32 bits
// the division uses, so a cell with stray upper bits can never reach a hardware division by zero.
inline uint8_t krvk_div_check_i32(uint64_t b, uint64_t c) {
  if (static_cast<uint32_t>(c) == 0) return KRVK_TRAP_DIV_ZERO;
  if (static_cast<int32_t>(b) == INT32_MIN && static_cast<int32_t>(c) == -1) return KRVK_TRAP_DIV_OVERFLOW;
  return KRVK_TRAP_NONE;
}
inline uint8_t krvk_div_check_i64(uint64_t b, uint64_t c) {
  if (c == 0) return KRVK_TRAP_DIV_ZERO;
  if (static_cast<int64_t>(b) == INT64_MIN && static_cast<int64_t>(c) == -1) return KRVK_TRAP_DIV_OVERFLOW;
  return KRVK_TRAP_NONE;
}
inline uint8_t krvk_div_check_u32(uint64_t c) {
  return static_cast<uint32_t>(c) == 0 ? KRVK_TRAP_DIV_ZERO : KRVK_TRAP_NONE;
}
inline uint8_t krvk_div_check_u64(uint64_t c) { return c == 0 ? KRVK_TRAP_DIV_ZERO : KRVK_TRAP_NONE; }

inline uint64_t krvk_div_i32(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(b) / static_cast<int32_t>(c)));
}
inline uint64_t krvk_div_u32(uint64_t b, uint64_t c) { return static_cast<uint32_t>(b) / static_cast<uint32_t>(c); }
inline uint64_t krvk_div_i64(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(b) / static_cast<int64_t>(c));
}
inline uint64_t krvk_div_u64(uint64_t b, uint64_t c) { return b / c; }
inline uint64_t krvk_mod_i32(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(b) % static_cast<int32_t>(c)));
}
inline uint64_t krvk_mod_u32(uint64_t b, uint64_t c) { return static_cast<uint32_t>(b) % static_cast<uint32_t>(c); }
inline uint64_t krvk_mod_i64(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(b) % static_cast<int64_t>(c));
}
inline uint64_t krvk_mod_u64(uint64_t b, uint64_t c) { return b % c; }

// Division by a constant d (2..65535) through the multiplier M = floor((2^64 - 1) / d) + 1 kept in x.
inline uint64_t krvk_mulhi64(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
}
// |n| of the i32 held in a cell, as 32 bits (2^31 for the most negative value).
inline uint64_t krvk_abs32_of(uint64_t cell) {
  const int64_t n = static_cast<int64_t>(cell);
  return static_cast<uint32_t>(n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n));
}
inline uint64_t krvk_divc_u32(uint64_t b, uint64_t m) { return krvk_mulhi64(krvk_zext32(b), m); }
inline uint64_t krvk_divc_i32(uint64_t b, uint64_t m) {
  const uint64_t q = krvk_mulhi64(krvk_abs32_of(b), m);
  return static_cast<int64_t>(b) < 0 ? 0 - q : q;
}
inline uint64_t krvk_modc_u32(uint64_t b, uint64_t d, uint64_t m) { return krvk_mulhi64(krvk_zext32(b) * m, d); }
inline uint64_t krvk_modc_i32(uint64_t b, uint64_t d, uint64_t m) {
  const uint64_t r = krvk_mulhi64(krvk_abs32_of(b) * m, d);
  return static_cast<int64_t>(b) < 0 ? 0 - r : r;
}

// ---- shifts, negation, complement, absolute value ---------------------------------------------------

inline unsigned krvk_shift32(uint64_t c) { return static_cast<uint8_t>(c) & 31u; }
inline unsigned krvk_shift64(uint64_t c) { return static_cast<uint8_t>(c) & 63u; }
inline uint64_t krvk_shl_i32(uint64_t b, uint64_t c) { return krvk_sext32(static_cast<uint32_t>(b) << krvk_shift32(c)); }
inline uint64_t krvk_shl_u32(uint64_t b, uint64_t c) { return static_cast<uint32_t>(static_cast<uint32_t>(b) << krvk_shift32(c)); }
inline uint64_t krvk_shl_x64(uint64_t b, uint64_t c) { return b << krvk_shift64(c); }
inline uint64_t krvk_shr_i32(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(b) >> krvk_shift32(c)));
}
inline uint64_t krvk_shr_u32(uint64_t b, uint64_t c) { return static_cast<uint32_t>(b) >> krvk_shift32(c); }
inline uint64_t krvk_shr_i64(uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<int64_t>(b) >> krvk_shift64(c));
}
inline uint64_t krvk_shr_u64(uint64_t b, uint64_t c) { return b >> krvk_shift64(c); }

inline uint64_t krvk_neg_i32(uint64_t b) { return krvk_sext32(0 - b); }
inline uint64_t krvk_neg_u32(uint64_t b) { return krvk_zext32(0 - b); }
inline uint64_t krvk_neg_x64(uint64_t b) { return 0 - b; }
inline uint64_t krvk_not_u32(uint64_t b) { return krvk_zext32(~b); }
// Wrapping: the most negative value stays what it is.
inline uint64_t krvk_abs_i32(uint64_t b) { return static_cast<int32_t>(b) < 0 ? krvk_neg_i32(b) : krvk_sext32(b); }
inline uint64_t krvk_abs_i64(uint64_t b) { return static_cast<int64_t>(b) < 0 ? 0 - b : b; }
inline uint64_t krvk_abs_f32(uint64_t b) { return b & ~uint64_t{0x80000000u}; }

// ---- floats -------------------------------------------------------------------------------------------

// [c] when it is strictly smaller (larger), else [b]: a NaN on either side, or equal values (+0 and -0
// included), give [b].
inline float krvk_min_f32(float b, float c) { return c < b ? c : b; }
inline float krvk_max_f32(float b, float c) { return c > b ? c : b; }
inline double krvk_min_f64(double b, double c) { return c < b ? c : b; }
inline double krvk_max_f64(double b, double c) { return c > b ? c : b; }
inline float krvk_mod_f32(float b, float c) { return std::fmod(b, c); }
inline float krvk_sqrt_f32(float b) { return std::sqrt(b); }

// A NaN made quiet (v + v keeps its sign and payload), any other value rounded by `round`. The C
// library's floor, ceil and trunc hand a signalling NaN back unchanged, while the rounding instruction
// the batch engine's vector code uses quiets it, as every IEEE operation does: quieting here makes the
// engines agree, on the IEEE result.
template <class F, class ROUND>
inline F krvk_round_quieting(F v, ROUND round) {
  return v != v ? v + v : round(v);
}

// One-argument math functions by selector (0..13); any other selector gives 0.
template <class F>
inline F krvk_math1(uint32_t selector, F v) {
  switch (selector) {
    case KRVK_MATH_FLOOR: return krvk_round_quieting(v, [](F x) { return std::floor(x); });
    case KRVK_MATH_CEIL: return krvk_round_quieting(v, [](F x) { return std::ceil(x); });
    case KRVK_MATH_ROUND: return std::round(v);
    case KRVK_MATH_TRUNC: return krvk_round_quieting(v, [](F x) { return std::trunc(x); });
    case KRVK_MATH_SIN: return std::sin(v);
    case KRVK_MATH_COS: return std::cos(v);
    case KRVK_MATH_TAN: return std::tan(v);
    case KRVK_MATH_ASIN: return std::asin(v);
    case KRVK_MATH_ACOS: return std::acos(v);
    case KRVK_MATH_ATAN: return std::atan(v);
    case KRVK_MATH_EXP: return std::exp(v);
    case KRVK_MATH_LOG: return std::log(v);
    case KRVK_MATH_LOG2: return std::log2(v);
    case KRVK_MATH_LOG10: return std::log10(v);
    default: return F{0};
  }
}
// Two-argument math functions: 14 pow, 15 atan2; any other selector gives 0.
template <class F>
inline F krvk_math2(uint32_t selector, F b, F c) {
  if (selector == KRVK_MATH_POW) return std::pow(b, c);
  if (selector == KRVK_MATH_ATAN2) return std::atan2(b, c);
  return F{0};
}
inline float krvk_math1_f32(uint32_t selector, float v) { return krvk_math1<float>(selector, v); }
inline double krvk_math1_f64(uint32_t selector, double v) { return krvk_math1<double>(selector, v); }
inline float krvk_math2_f32(uint32_t selector, float b, float c) { return krvk_math2<float>(selector, b, c); }
inline double krvk_math2_f64(uint32_t selector, double b, double c) { return krvk_math2<double>(selector, b, c); }

// ---- memory ---------------------------------------------------------------------------------------------

// Address arithmetic wraps like the 64-bit registers it comes from; it is done on integers so that a
// wrapped offset is no pointer overflow.
inline uint8_t* krvk_address(const uint8_t* base, uint64_t offset) {
  return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(base) + offset);
}
inline uint8_t* krvk_cell_address(uint64_t cell) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(cell)); }

// Reads one element at any alignment into its register form (f32 keeps the upper half of old_cell).
template <class T>
inline uint64_t krvk_load_element(const uint8_t* p, uint64_t old_cell) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::is_same_v<T, float>) {
    return krvk_with_f32(old_cell, v);
  } else if constexpr (std::is_same_v<T, double>) {
    return std::bit_cast<uint64_t>(v);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  } else {
    return static_cast<uint64_t>(v);
  }
}
// Writes the low sizeof(T) bytes of a cell at any alignment (cells are little-endian). It reads only
// those bytes of the cell: an f32 result is written to its cell as a 4-byte store, and an 8-byte read
// right after it would miss store forwarding and stall.
template <class T>
inline void krvk_store_element(uint8_t* p, const uint64_t* cell) {
  std::memcpy(p, cell, sizeof(T));
}

// Sequentially consistent fetch-and-add; the address must be aligned to the width (checked by callers).
inline uint32_t krvk_atomic_add_32(uint8_t* p, uint32_t addend) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(p)).fetch_add(addend);
}
inline uint64_t krvk_atomic_add_64(uint8_t* p, uint64_t addend) {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(p)).fetch_add(addend);
}
