// The three value operations of kernel reductions: the identity an accumulator starts from, the
// combination of an accumulated value with a new one, and the fold of an array of lane values.
//
// Values are register cells (f32 in the low 32 bits). Launches combine per-chunk accumulators in chunk
// order, so results do not depend on the thread count; float sums fold strictly left to right because
// the rounding order is part of the result. For float min and max a NaN never enters (a NaN accumulator
// stays NaN), and of two equal values the accumulated one is kept. All three are pure functions.
#pragma once
#include <cstdint>

uint64_t krvk_reduce_identity(uint8_t op, uint8_t prim) noexcept;
// a: the value accumulated so far; b: the value being added in.
uint64_t krvk_reduce_combine(uint8_t op, uint8_t prim, uint64_t a, uint64_t b) noexcept;
// Folds lanes[0..n) into acc in lane order; n = 0 returns acc.
uint64_t krvk_reduce_lanes(uint8_t op, uint8_t prim, uint64_t acc, const uint64_t* lanes, uint32_t n) noexcept;
