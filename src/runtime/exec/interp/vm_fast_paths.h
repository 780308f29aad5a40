// The fast forms of the interpreter: the numeric fast path (opcode 72) and the cached method call
// (opcode 73).
//
// Both opcodes are headers followed by generic code that does the same work. A fast form that does not
// apply returns false having changed nothing, and the interpreter runs the generic code; one that does
// apply lets the interpreter skip the whole form. The headers are never trusted: every count, index and
// table entry they name is checked, and anything out of bounds means "does not apply".
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/base/krvvar_shared.h"

class krv_vm_context;

// One number of the fast path's evaluation: the field that is_float names holds it. No member
// initialisers: the evaluation stack is written before it is read, and clearing it on every run would
// cost more than the evaluation.
struct krv_fast_number {
  bool is_float;
  int64_t int_value;
  double float_value;
};

// Evaluates the steps of the numeric fast path whose header starts at `header` (the interpreter runs
// a header's checked site first, fast_path_site.h, and comes here when that does not settle it);
// `local_limit` is frame.local_limit(), which the interpreter keeps at hand. With a result target the
// number is written into the target's cell in place and A becomes that cell; without one it is left
// in `result` for the caller to write into A.
bool vm_numeric_fast_path(krv_vm_context& frame, size_t local_limit, const uint8_t* header, krv_fast_number& result);

namespace krv_vm {

// Prepares the call of a cached method call whose header starts at `header`: the frame is parked and
// its argument sink pushed, for the argument and call opcodes after the form.
bool cached_method_call(krv_vm_context& frame, const uint8_t* header);

}  // namespace krv_vm
