// krv_fast_path_site: the checked form of one numeric fast-path header (opcode 72), made once when its
// block's code is installed, so that a run does no per-step decoding.
//
// A header is a stack program of up to 16 steps: pushes of slots and constants, and operators on the
// top entries. Everything that decides whether it can ever apply (its length, step count, step kinds,
// constant indices and stack depths) is fixed by its bytes, so it is checked once and a site takes one
// of three forms:
// - refused: the header never applies; every run goes straight to the generic code;
// - steps: a well-formed header that reads other slots than the frame's locals, has a double constant
//   or a target other than a local; each run evaluates the steps (vm_fast_paths.cpp);
// - integer: locals and integer constants only, its target A or a local. Each operator becomes one
//   operation with the pushes that feed it folded in as operands (a local, a constant, or the result
//   of an earlier operation in the temporary of its stack depth): `s + i * 3 % 7` is t1 = i * 3,
//   t1 = t1 % 7, t0 = s + t1. Each operation runs through a handler compiled for its operator and
//   operand kinds. It applies when every local read holds an integer and no divisor is 0 or -1;
//   otherwise the steps decide, exactly as without the site.
//
// An integer site also knows where the code goes after it, the way the interpreter would go without a
// dispatch of its own: past a `jump` right after it, and for a result in A past a `jump_false` either
// way. When an integer site starts there, the interpreter runs it next without a dispatch, so a loop
// made of such sites runs from site to site.
//
// Invariants of an integer site: 1 <= op_count; operation i reads only temporaries that earlier
// operations wrote and the last one writes temporary 0, the result; locals read or written are below
// `local_need`, so one comparison with the frame's local limit covers them all; next[k] is a code offset
// within the code (its end included).
//
// A block finds the site of a header in one step: headers do not overlap, so each span of
// krv_fast_path_span code bytes holds the start of at most one (program_block.h).
#pragma once
#include <cstdint>

#include "runtime/base/krvvar_shared.h"
#include "runtime/exec/interp/script_opcodes.h"

// The header's size: code offset / krv_fast_path_span tells headers apart.
inline constexpr uint32_t krv_fast_path_span = krv_script_op_info_of(KRV_OP_NUMERIC_FAST_PATH).size;

// The step kinds of a header (u8 at the start of each step).
enum krv_fast_step : uint8_t {
  KRV_STEP_LOCAL = 0,
  KRV_STEP_FRAME_LOCAL = 1,
  KRV_STEP_GLOBAL = 2,
  KRV_STEP_CONSTANT = 3,
  KRV_STEP_ADD = 4,
  KRV_STEP_SUB = 5,
  KRV_STEP_MUL = 6,
  KRV_STEP_DIV = 7,
  KRV_STEP_MOD = 8,
  KRV_STEP_AND = 9,
  KRV_STEP_OR = 10,
  KRV_STEP_XOR = 11,
  KRV_STEP_EQ = 12,
  KRV_STEP_NE = 13,
  KRV_STEP_LT = 14,
  KRV_STEP_LE = 15,
  KRV_STEP_GT = 16,
  KRV_STEP_GE = 17,
  KRV_STEP_NEGATE = 18,
  KRV_STEP_CAPTURED = 19,
  KRV_STEP_MEMBER = 20,
};

enum krv_fast_site_form : uint8_t {
  KRV_FAST_SITE_REFUSED = 0,
  KRV_FAST_SITE_STEPS = 1,
  KRV_FAST_SITE_INTEGER = 2,
};

struct krv_fast_int_op;
// Runs one operation on `temporaries` for a frame with `locals`; false when it does not apply.
using krv_fast_int_handler = bool (*)(const krv_fast_int_op& op, uint64_t* temporaries, const krvvar_shared* locals);

// Operand kinds of an operation.
enum krv_fast_operand : uint8_t {
  KRV_OPERAND_TEMPORARY = 0,  // the temporary numbered `index`
  KRV_OPERAND_LOCAL = 1,      // local `index`, which must hold an integer
  KRV_OPERAND_CONSTANT = 2,   // `constant`
};

// temporaries[dest] = left (operator) right; negation and a lone push read `left` only.
struct krv_fast_int_op {
  krv_fast_int_handler run;  // compiled for the operator and the two operand kinds
  int64_t left_constant;
  int64_t right_constant;
  uint32_t left;             // temporary or local index
  uint32_t right;
  uint32_t dest;             // a temporary
  uint32_t reserved;
};
static_assert(sizeof(krv_fast_int_op) == 40);

struct krv_fast_path_site {
  static constexpr uint32_t max_steps = krv_numeric_fast_path::max_steps;

  uint32_t offset = 0;           // code offset of the header
  uint32_t length = 0;           // of the whole form; checked to lie within the code
  uint8_t form = KRV_FAST_SITE_REFUSED;
  uint8_t to_local = 0;          // integer form: 1 when the result goes to local `target_index`, 0 to A
  uint8_t op_count = 0;
  uint32_t target_index = 0;
  uint64_t local_need = 0;       // 1 + the highest local read or written (up to 2^32)
  // Integer form: where the code continues after the form, [0] when the result is 0 and [1] otherwise
  // (the same for a target local), and 1 + the index of the integer site that starts there, or 0.
  uint32_t next[2] = {};
  uint32_t next_site[2] = {};
  krv_fast_int_op ops[max_steps];
};

// The site of the header at code offset `offset` of `code` (code_size bytes), which the caller found
// by walking the code: its form and, for the integer form, its register program.
krv_fast_path_site krv_decode_fast_path_site(const uint8_t* code, uint32_t code_size, uint32_t offset);

// Where the code goes after `site`'s form, [0] after a result of 0 and [1] after any other: past a
// `jump_false` after a result for A, then past a `jump`, when their targets lie within the code.
void krv_fast_path_site_continuations(const uint8_t* code, uint32_t code_size, krv_fast_path_site& site);

// Runs an integer site for a frame whose locals are `locals` (at least site.local_need of them): true
// when it applies, with the result written into the target local's cell in place (the cell, not the
// handle: every holder sees it) or left in `value` for A. False, with nothing written, when a local is
// unset or not an integer, a divisor is 0 or -1, or the target's cell holds anything but None or a
// number.
[[gnu::always_inline]] inline bool krv_run_integer_site(const krv_fast_path_site& site, const krvvar_shared* locals,
                                                        int64_t& value) {
  uint64_t temporaries[krv_fast_path_site::max_steps];
  for (const krv_fast_int_op *op = site.ops, *end = site.ops + site.op_count; op != end; ++op)
    if (!op->run(*op, temporaries, locals)) return false;
  value = static_cast<int64_t>(temporaries[0]);
  if (site.to_local == 0) return true;
  krvvar* target = locals[site.target_index].get();
  if (target == nullptr || (target->type != KRVVAR_NONE && target->type != KRVVAR_INT && target->type != KRVVAR_FLOAT))
    return false;
  // In place, whoever else holds the cell: the variable itself changes.
  target->by_value = 0;
  target->type = KRVVAR_INT;
  target->payload.int_value = value;
  return true;
}
