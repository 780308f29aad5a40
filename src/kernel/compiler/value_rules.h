// The two value rules that the constant folder, both interpreters and the generated C must apply
// identically, so that a kernel gives the same numbers on every engine.
//
// Integer wrapping reduces a 64-bit value to a narrow type in two's complement and returns it in the
// register form (signed types sign-extended, unsigned types and bool zero-extended).
//
// Float-to-integer conversion truncates toward zero and fails, instead of invoking undefined behaviour,
// when the value is NaN or its truncation lies outside the target's range.
#pragma once
#include <cstdint>

// bool: 1 for any non-zero value; i8/i16/i32 sign-extend the low bits; u8/u16/u32 keep them;
// every other code returns the value unchanged.
int64_t krvk_wrap_int(uint8_t prim, int64_t value) noexcept;

// Converts to an integer type (codes 2..9). On success writes trunc(value) as a 64-bit two's-complement
// pattern (negative values sign-extended, u64 values of 2^63 and more exact) and returns true; returns
// false for NaN, a non-integer target or an out-of-range value.
bool krvk_f2i(double value, uint8_t target, uint64_t& bits) noexcept;
