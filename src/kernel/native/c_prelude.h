// The fixed C text at the head of every piece of C that the kernel native code produces: the JIT
// source of one kernel, the text a kernel's hash is taken over, and the ahead-of-time file.
//
// It declares the run records shared with the interpreters (`kreg`, `kptr`, `ktrap`, field for field
// the layouts of kernel/runtime/run_records.h), hides the differences between cl-style and gcc-style
// compilers behind a few macros, and defines the helpers and trap macros that translated instructions
// call. It is plain C that also compiles as C++.
//
// Negation (`k_negf`, `k_negd`) flips the sign bit and nothing else, also of a NaN, as the interpreters'
// does. A compiler may fold a negation into the operation next to it: clang turns -(x / y) into
// (-x) / y and gcc turns -(-x / y) into x / y, which gives a NaN that the division makes the other sign.
// So a gcc-style compiler gets the value through an empty asm step on each side of the negation (no
// instruction: one xorps remains), and a cl-style one flips the bit of an integer copy.
//
// Invariant: the text never changes between runs. Every kernel hash and every JIT cache key covers it,
// so any edit to it, whitespace included, changes all keys (old cache files are simply not found) and
// makes every ahead-of-time table written before the edit unusable. A golden hash test pins it.
#pragma once

extern const char* const krvk_c_prelude;
