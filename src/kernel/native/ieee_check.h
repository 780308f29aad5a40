// A kernel library's answers to a few IEEE cases, and the loader's judgement of them.
//
// The prelude holds most flags a build of kernel C may add, by pragmas or by #error (c_prelude.h), but
// not every flag shows in a macro or yields to a pragma (clang's -fno-honor-nans, say), and a compiler
// may add one no one has met yet. So every library built from kernel C (the JIT's, and an ahead-of-time
// file built as a shared library) carries `krvk_ieee_answers`, a function that works a few cases out of
// volatile inputs in the same translation unit, under the same flags and pragmas as the kernels: a NaN
// test the compiler drops, sqrt(x) * sqrt(x) turned into x, a reciprocal, a fused multiply-add, a lost
// signed zero, a reassociated sum or a flushed subnormal shows in an answer. The loader compares the
// answers with IEEE arithmetic's, which are the interpreters', and refuses a library whose answers
// differ, naming the first case that differed.
//
// A library is judged after the platform loader mapped it and ran its constructors, so a refused one
// stays mapped: a constructor may have started a thread that runs its code.
//
// Invariant: the C text and the table of due answers (ieee_check.cpp) list the same cases in the same
// order; the library says how many it answered, and a count other than the table's is a refusal.
#pragma once
#include <cstdint>
#include <string>

// The C text of `uint32_t krvk_ieee_answers(uint64_t* answers, uint32_t room)`: it writes at most `room`
// answers and returns how many cases it has. It follows the prelude (K_EXPORT, memcpy, sqrt).
extern const char* const krvk_ieee_check_text;

// The exported name of the check.
inline constexpr const char* krvk_ieee_check_symbol = "krvk_ieee_answers";

using krvk_ieee_answers_fn = uint32_t (*)(uint64_t* answers, uint32_t room);

// "" when `answers` gives IEEE arithmetic's answer to every case; else the refusal, naming the first
// case that differed, its answer and the answer due.
std::string krvk_ieee_refusal(krvk_ieee_answers_fn answers);

// Calls a loaded library's check, if it has one, and drops its answers: run in the child process that
// opens a fresh library first, so that damaged code in the check crashes the child, not the loader's process.
void krvk_ieee_ask(void* library);

// krvk_ieee_refusal of a loaded library's check; a library without one is refused too. A refused
// library is left mapped, unused.
std::string krvk_ieee_library_refusal(void* library);
