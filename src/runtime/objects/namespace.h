// A script namespace as the host holds it ("std", "json", "ipc"), seen from the module.
//
// The host owns one per namespace name and passes it to every populating function registered under that
// name. The module adds native functions to it: each is a definition, owned by the namespace, and a value
// under the function's name that scripts call. The values observe their definitions only weakly, so the
// table of values is declared after the definitions and goes first. Names are views into the module's
// static text, so the module must stay loaded while the namespace lives.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "module/global_instance.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krv_function_def;
class krv_vm_context;

using krv_native_fn = std::function<krvvar_shared(krv_vm_context&, std::vector<krvvar_shared>&)>;

struct krv_namespace {
  std::string_view name;
  // Function definitions in the order they were added; a name added twice keeps both definitions.
  std::vector<krvptr_strong<krv_function_def>> functions;
  // Name -> the value scripts see (a native-function value for each added function).
  krv_name_map<krvvar_shared> values;

  // Adds a native function callable from scripts as `name` (max_args 999: any number of arguments).
  // A value already under the name is replaced; the definition is kept all the same.
  void add_function(std::string_view name, krv_native_fn fn, uint32_t min_args, uint32_t max_args,
                    std::string_view help);

  // Registers class T and, unless the class's short name is taken here, its constructor function under
  // that name (runtime/objects/class_registration.h). Returns the constructor's definition, null when
  // the name was taken.
  template <class T>
  krv_function_def* add_class(krv_native_fn constructor, uint32_t min_args, uint32_t max_args,
                              std::string_view help);
};
