// Which registers of a kernel may hold a float whose value a C compiler can work out when it compiles
// the translation, although the interpreters compute it at run time: a float constant that is zero, 1,
// negative or infinite, a float converted from an integer (a loop counter of a loop the compiler
// unrolls, a constant), one loaded from a local array (the compiler sees the stores), and what
// arithmetic makes of such values and of visible constants (positive and finite, not 1) only.
//
// The translation passes such an operand through K_OPAQUE where a compiler would fold it into a result
// the processor does not give: x * f32(k) with k = 1 into x (a signalling NaN stays signalling), with
// k = -1 into -x (a NaN changes sign), x - f32(0) into x, f32(0) / f32(0) into a NaN of its own. An
// operand beside a visible constant keeps no step: two values both known to the compiler are computed
// exactly as the processor computes them, and a visible constant with an unknown value allows only
// rewrites that keep every bit. So a loop such as `f32(h >> 8) / 16777216.0f - 0.5f` stays free to be
// vectorised.
//
// The answer is per register over the whole kernel (a register written in several places is foldable
// if any write may be), computed once per translation in time linear in the code.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/compiler/program.h"

struct krvk_c_register_facts {
  std::vector<bool> foldable;  // may hold a float a C compiler can work out
  std::vector<bool> visible_constant;  // a float constant the translation leaves visible
};

// The facts of every register of the program.
krvk_c_register_facts krvk_c_register_facts_of(const krvk_program& program);

// Whether a constant reaches the code through K_OPAQUE once, before the loop over work items: a NaN.
bool krvk_c_hidden_constant(const krvk_const& constant);
