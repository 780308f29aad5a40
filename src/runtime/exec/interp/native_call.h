// Calling native functions and methods the way scripts call them.
//
// Every native call checks its argument count against the definition's [min_args, max_args] before the
// body runs, and runs the body inside an exception guard: an escaping exception becomes a catchable
// runtime error naming the function, and the call's result is None. The interpreter (opcodes 42 and
// 46) and the test helpers go through these two functions. Bodies index their arguments up to the
// minimum they registered without testing them, so vm_call_native checks the count again itself: no
// caller can hand a body fewer arguments than its definition's minimum.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/base/krvvar_shared.h"

class krv_function_def;
class krv_vm_context;

// True when `count` arguments fit `definition`; otherwise raises "invalid parameter count " + count +
// " min: " + min + " max: " + max and returns false.
bool vm_native_count_fits(const krv_function_def& definition, uint32_t count);

// Calls `definition`'s callable with the calling frame and `args` and stores its result in `result`
// (None for a failed call or an empty result); a count outside the definition's range raises as
// vm_native_count_fits does and runs nothing. Empty argument handles are passed as None. A
// std::exception escaping the body raises name + ": " + what(); any other exception name + ": unknown
// native exception"; an empty callable fails as std::bad_function_call does.
krvvar_shared& vm_call_native(krvvar_shared& result, krv_function_def& definition, krv_vm_context& frame,
                              std::vector<krvvar_shared>& args);

// The definition whose body vm_call_native runs on the calling thread (the innermost one), null outside
// native calls: a hand-off to the workers names its job by it (return_thread.h).
const krv_function_def* vm_native_in_call() noexcept;
