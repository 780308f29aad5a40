// Translation of a kernel program to one C function that does exactly what the scalar interpreter does
// with it: same registers, same pointer slots, same traps with the same codes, instruction indices and
// values.
//
// The function has the signature of `krvk_native_fn`. Every register becomes a C local (r0, r1, ...),
// every pointer slot three locals (bN first byte, cN element count, sN stride), every jump target a
// label (L<index>). The work items of [gid_begin, gid_end) run one after another through the program's
// code; END jumps to `k_next`, a trap returns at once, and only after the last work item are the
// reduction accumulators written back to the caller's register file.
//
// Translation is a pure function of the program: the same program gives the same bytes in every run
// and process. Only integers are printed (constants of every type as bit patterns through `.u`), so
// neither the locale nor float formatting enters the text. That is what keeps kernel hashes and JIT
// cache keys stable.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "kernel/compiler/program.h"
#include "kernel/native/c_foldable.h"

// The state of one translation; it lives on the stack of the call that translates one kernel.
struct krvk_c_translator {
  explicit krvk_c_translator(const krvk_program& translated) : program(translated) {}

  const krvk_program& program;  // borrowed, read only
  std::string out;  // the text written so far
  std::set<uint64_t> jump_targets;  // instruction indices some jump names: they get labels
  krvk_c_register_facts registers;  // which registers the C compiler may know (c_foldable.h)
};

// The C element of a memory opcode, keyed by the part of its mnemonic after the underscore.
struct krvk_c_elem {
  const char* type;  // C type of the element, e.g. "int16_t"
  char member;  // kreg member the element lives in: i, u, f or d
  uint32_t size;  // bytes
};

// Translates the translator's program under the given head ("K_EXPORT int krvk_jit_entry" for the JIT
// and the hash, "static int krvk_aot_<hash>" for the ahead-of-time file). Throws std::runtime_error
// "krvk_jit: no C translation for <mnemonic>" when an instruction has no translation; no partial text
// is returned then.
std::string krvk_c_translate_kernel(krvk_c_translator& translator, std::string_view head);

// One instruction at index pc as one line of C (a single statement or one brace block).
std::string krvk_c_translate_insn(const krvk_c_translator& translator, const krvk_insn& insn, uint32_t pc);

// "\n/* kernel NAME (FILE:LINE) */\n". The name and the file are script text: "*/" is written "* /"
// and bytes below 0x20 and 0x7F as \xHH, so they can neither end the comment nor break its line.
std::string krvk_c_kernel_comment(const krvk_program& program);

// "K_TRAP(code, pcu, value, limit);", the only form in which translated code raises a trap.
std::string krvk_c_trap(uint32_t code, uint32_t pc, std::string_view value_text, std::string_view limit_text);

// "r" followed by the register number.
std::string krvk_c_reg_name(uint32_t reg);

// "0x%llxULL": lower-case hexadecimal without leading zeros.
std::string krvk_c_u64_literal(uint64_t value);

// The element of a memory mnemonic's suffix ("I8" .. "F64"), or null for any other text.
const krvk_c_elem* krvk_c_elem_type(std::string_view key);

// The whole C source of one kernel for the JIT: prelude, kernel comment, function `krvk_jit_entry`,
// and the IEEE self-check the loader asks (ieee_check.h).
std::string krvk_jit_source(const krvk_program& program);

// The text a kernel's hash is taken over: "krvk-jit-1\n", the prelude and the `krvk_jit_entry`
// function, without the comment, so kernels with the same code share one hash whatever their name,
// file or line.
std::string krvk_jit_hash_text(const krvk_program& program);
