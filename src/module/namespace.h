// A script namespace as the host holds it ("std", "json", "ipc"), seen from the module.
//
// The host owns one per namespace name and passes it to every populating function registered under that
// name. The module adds native functions to it; the namespace then owns those definitions and values.
// Names are views into the module's static text, so the module must stay loaded while the namespace
// lives.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class krv_function_def;
class krvvar_shared;
class krv_vm_context;

using krv_native_fn = std::function<krvvar_shared(krv_vm_context&, std::vector<krvvar_shared>&)>;

struct krv_namespace {
  std::string_view name;
  // Function definitions in the order they were added; a name added twice keeps both definitions.
  std::vector<krv_function_def*> functions;

  // Adds a native function callable from scripts as `name` (max_args 999: any number of arguments).
  void add_function(std::string_view name, krv_native_fn fn, uint32_t min_args, uint32_t max_args,
                    std::string_view help);
};
