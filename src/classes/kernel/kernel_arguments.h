// Script values as kernel scalars: the conversion of one value to the raw bits of a kernel scalar type
// with that type's range and kind checks, and the type word that argument messages use for a value.
// Shared by buffer element writes, kernel struct writes and the binding of launch arguments.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/base/krvvar.h"

// The most REF links any kernel-facing conversion follows; a longer chain is taken as it stands there.
inline constexpr int krv_kernel_max_ref_links = 64;

// `value` with up to krv_kernel_max_ref_links REF links followed; null when a link leads to nothing.
krvvar* krv_kernel_follow_refs(krvvar* value) noexcept;

// The type word of a value in argument messages: "None", "int", "float", "string", "std.buffer", "json",
// "function", an object's class name ("object" when it is gone: the value becomes None), else "value".
std::string krv_var_type_name(krvvar* value);

// Converts an int, float or boolean to the bits of kernel scalar type `prim` (a krvk_prim). Integers are
// range-checked and sign- or zero-extended; f32 takes the double rounded to single precision in the low
// 32 bits. An int is accepted for a float type only when `ints_for_floats`. On failure `out` is 0, the
// reason is in `error` and the answer is false.
bool krv_kernel_arg_scalar(krvvar* value, uint8_t prim, bool ints_for_floats, uint64_t& out, std::string& error);
