// krv_function_def: a native function as scripts call it (namespace functions, class methods and class
// constructor functions).
//
// The callable receives the calling frame and the argument vector and returns the result value. The
// interpreter checks the argument count against [min_args, max_args] before calling (max 999: any
// number). Names and help texts are views into the module's static text. Values that stand for a
// definition hold it only weakly, so whoever owns the definition (a namespace, a class's member table)
// decides its lifetime; its reference block therefore never comes from a VM pool.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krv_vm_context;

using krv_native_callable = std::function<krvvar_shared(krv_vm_context&, std::vector<krvvar_shared>&)>;

// max_args value meaning "any number of arguments".
inline constexpr uint32_t krv_any_arg_count = 999;

class krv_function_def : public krvptr_base<krv_function_def> {
 public:
  bool may_use_vm_pool() const noexcept override { return false; }

  krv_native_callable callable;
  uint32_t min_args = 0;
  uint32_t max_args = 0;
  std::string_view name;
  std::string_view help;
  std::string_view class_name;  // full script class name of a constructor function, else empty
  // One line per parameter: "name: type - description".
  std::vector<std::string_view> param_help;
  uint32_t kind = 0;     // 1 for definitions made by add_function; read by the host
  uint8_t is_method = 0;  // 1: callable only with an object (a class method)
};
