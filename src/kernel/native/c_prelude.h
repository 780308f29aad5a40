// The fixed C text at the head of every piece of C that the kernel native code produces: the JIT
// source of one kernel, the text a kernel's hash is taken over, and the ahead-of-time file.
//
// It declares the run records shared with the interpreters (`kreg`, `kptr`, `ktrap`, field for field
// the layouts of kernel/runtime/run_records.h), hides the differences between cl-style and gcc-style
// compilers behind a few macros, and defines the helpers and trap macros that translated instructions
// call. It is plain C that also compiles as C++.
//
// The native code must give the interpreters' bits, which the C compilers would change where they see a
// value or a library call. `K_OPAQUE(v)` is an empty asm step (no instruction) after which a gcc-style
// compiler knows nothing of v; the translation passes through it what a compiler would fold otherwise:
// - negation (`k_negf`, `k_negd`) flips the sign bit and nothing else, also of a NaN, as the
//   interpreters' does. A compiler may fold a negation into the operation next to it: clang turns
//   -(x / y) into (-x) / y and gcc turns -(x * y) + z into z - x * y, which gives a NaN that operation
//   makes the other sign. So the value passes through K_OPAQUE on each side of the negation (one xorps
//   remains), and a cl-style compiler flips the bit of an integer copy;
// - float constants other than positive finite ones, `fabs` results and both float conversions, and the
//   operands a compiler could work out (c_foldable.h).
// The C library's math functions are called through `k_sinf`, `k_pow`, ...: volatile pointers, so that a
// compiler neither computes a call of a constant (correctly rounded, where the library may be one ulp
// off) nor rewrites one (cos(atan(x)) into 1 / sqrt(1 + x * x), pow(x, 2.0) into x * x).
//
// Whatever flags the text is built with (the JIT's, or a user's ahead-of-time command with -march=native,
// -ffp-contract=fast, -freciprocal-math, ...), it keeps IEEE arithmetic of its own or refuses to compile:
// - gcc: `#pragma GCC optimize` turns unsafe math (-funsafe-math-optimizations, which rewrites
//   sqrt(x) * sqrt(x) into x and which no macro reveals), contraction (fused multiply-add),
//   reassociation and reciprocals off and signed zeros and trapping math on for every function after it
//   (gcc ignores STDC FP_CONTRACT);
// - clang: `float_control(precise, on)` does the same, STDC FP_CONTRACT OFF stops contraction, and
//   `K_HELD` on every function takes FMA away on x86, since -ffp-contract=fast fuses in the back end
//   whatever a pragma says;
// - refused with #error, by the macros that reveal them: -ffast-math and -ffinite-math-only,
//   arithmetic of float or double in a wider type (x87: float a * b + c rounded once in extended
//   precision) and cl's /fp:fast and /fp:contract. __FLT_EVAL_METHOD__ 0, 16 and 32 are accepted: 16
//   and 32 widen only _Float16 (gcc says 16 under -mavx512fp16, so also under -march=native on a
//   processor that has it), float and double keep their precision. Each refusal names the value it
//   found, never a flag it guesses.
// What neither holds is refused when the library loads: crtfastmath.o, which -ffast-math and
// -funsafe-math-optimizations link, sets flush-to-zero (platform/library.h), and clang keeps assuming
// no NaN under -fno-honor-nans and approximates sqrtf under -ffast-math -fhonor-nans, pragma or not,
// with no macro to say so: the library's IEEE self-check shows it (ieee_check.h).
// The limits of integer conversions are written as powers of two, exact also under
// -fsingle-precision-constant. A cl-style compiler gets no K_OPAQUE (it has no asm step); only gcc and
// clang are held to every bit.
//
// Invariant: the text never changes between runs. Every kernel hash and every JIT cache key covers it,
// so any edit to it, whitespace included, changes all keys (old cache files are simply not found) and
// makes every ahead-of-time table written before the edit unusable. A golden hash test pins it.
#pragma once

extern const char* const krvk_c_prelude;
