// Type relations that the checker's conversions and operators share.
#pragma once
#include <cstdint>

// S widens to T: T = S; both integer types and T's range contains S's; or S = f32 and T = f64.
bool krvk_int_range_contains(uint8_t source, uint8_t target);

// Arithmetic promotion: i8, u8, i16 and u16 operands compute as i32; other types are unchanged.
uint8_t krvk_promote(uint8_t prim);

// Register form of a float constant: an f32 in the low 32 bits, an f64 as its 64 bits.
uint64_t krvk_float_constant_bits(uint8_t prim, double value);
