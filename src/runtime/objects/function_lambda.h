// krvvar_ptr_function_lambda: the values a function value captured (opcodes 15 and 16).
//
// Shared between the function value, its copies and the tasks made from it; a call copies the values
// into the callee's locals after its parameters, when the count matches the block's captured count.
#pragma once
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krvvar_ptr_function_lambda : public krvptr_base<krvvar_ptr_function_lambda>, public std::vector<krvvar_shared> {
 public:
  static krvptr_strong<krvvar_ptr_function_lambda> create() {
    return krvptr_strong<krvvar_ptr_function_lambda>::from_raw(new krvvar_ptr_function_lambda());
  }
};
