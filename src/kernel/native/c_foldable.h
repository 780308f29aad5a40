// What of a kernel's floats a C compiler could work out when it compiles the translation, although the
// interpreters compute them at run time, and so fold into a result the processor does not give: x * 1
// into x (a signalling NaN stays signalling), x * -1 and x / -1 into -x (a NaN changes sign), x - 0 into
// x, 0 / 0 into a NaN of its own.
//
// Foldable registers: a float constant that is zero, 1, negative or infinite, a float converted from an
// integer (a loop counter of a loop the compiler unrolls, a constant), one loaded from a local array (the
// compiler sees the stores), and what arithmetic makes of such values and of visible constants. A
// foldable float stored to a buffer may come back from a load of that buffer (the compiler forwards the
// store to the reload: `o[gid] = -1.0f; o[gid] = a[gid] / o[gid];`), so the float loads of every slot a
// foldable float is stored to are foldable too (of every slot, after a raw store). The translation passes
// a foldable operand through K_OPAQUE where a compiler would fold it: as an operand of + - * /, ==, !=, a
// square root, a rounding or a conversion, unless the other operand is a visible constant (two values
// both known to the compiler are computed exactly as the processor computes them, so
// `f32(h >> 8) / 16777216.0f - 0.5f` stays free to be vectorised).
//
// Visible constants (positive, finite, not 1): with them a compiler only makes exact rewrites that keep
// every bit (x / 4.0f into x * 0.25f) or computes what the processor computes. Hidden constants pass
// through K_OPAQUE once, before the loop over work items: NaNs (no compiler is trusted with the bits of a
// NaN it computes) and every constant a float equality test compares with (in the branch where the test
// holds, the compiler would know the other operand: `if (a == 2.0f) b / (a - 3.0f)` into -b).
//
// A float + - * / that only some paths run, where the paths that skip it keep one of its operands in its
// result register (`v = b; if (a > 0) v *= g;`), gives its result through K_OPAQUE: clang would run it
// on every path, with 1 (or 0) as the other operand where the kernel copies, which quiets a signalling
// NaN. A path is told by the forward jumps that skip the operation, a loop's exit test aside.
//
// The answer is per register over the whole kernel (a register written in several places is foldable
// if any write may be), computed once per translation in time n log n in the code.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/compiler/program.h"

struct krvk_c_register_facts {
  std::vector<bool> foldable;  // per register: may hold a float a C compiler can work out
  std::vector<bool> visible_constant;  // per register: a float constant the translation leaves visible
  std::vector<bool> hidden_constant;  // per register: a float constant passed through K_OPAQUE before the loop
  std::vector<bool> hidden_result;  // per instruction: a float + - * / whose result passes through K_OPAQUE
};

// The facts of every register of the program.
krvk_c_register_facts krvk_c_register_facts_of(const krvk_program& program);
