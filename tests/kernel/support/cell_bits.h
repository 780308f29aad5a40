// Register-cell bit patterns for test tables: an f32 in the low 32 bits, an f64 or an i64 as its 64 bits.
#pragma once
#include <bit>
#include <cstdint>

inline uint64_t f32_bits(float v) { return std::bit_cast<uint32_t>(v); }
inline uint64_t f64_bits(double v) { return std::bit_cast<uint64_t>(v); }
inline uint64_t i64_bits(int64_t v) { return static_cast<uint64_t>(v); }
