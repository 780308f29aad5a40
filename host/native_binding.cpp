#include "host/native_binding.h"

#include <algorithm>
#include <string_view>

namespace {

// The namespace function "ns.fn" of the loaded module, null when there is none.
const krv_function_def* namespace_function(const krv_host_module& module, std::string_view qualified) {
  const size_t dot = qualified.find('.');
  if (dot == std::string_view::npos) return nullptr;
  const auto space = module.namespaces().find(qualified.substr(0, dot));
  if (space == module.namespaces().end()) return nullptr;
  const std::string_view name = qualified.substr(dot + 1);
  const auto& functions = space->second.functions;
  // A name added twice calls the later definition, as the namespace's value does.
  for (auto it = functions.rbegin(); it != functions.rend(); ++it)
    if ((*it)->name == name) return it->get();
  return nullptr;
}

std::string counts_text(uint32_t min_args, uint32_t max_args) {
  return std::to_string(min_args) + " to " + std::to_string(max_args);
}

}  // namespace

std::string krv_bind_native(krv_function_def& native, const std::vector<krv_host_native>& host_natives,
                            const krv_host_module& module) {
  const auto host_native = std::ranges::find(host_natives, native.name, &krv_host_native::name);
  if (host_native != host_natives.end()) {
    native.callable = host_native->function;
    return "";
  }
  const krv_function_def* function = namespace_function(module, native.name);
  if (function == nullptr) return "unknown native '" + std::string(native.name) + "'";
  if (native.min_args < function->min_args || native.max_args > function->max_args) {
    return "native '" + std::string(native.name) + "' declares " + counts_text(native.min_args, native.max_args) +
           " arguments, outside the " + counts_text(function->min_args, function->max_args) + " it takes";
  }
  native.callable = function->callable;
  return "";
}
