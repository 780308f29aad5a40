// What scripts reach of "std.string": its class setup, the constructor function "string" in namespace "std",
// and the registrar that adds both while the library loads. Its place among the sources of classes/std
// fixes its place in the registry.
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"
#include "runtime/storage/string_object.h"

void krv_std_string::script_register() {
  statics().create_new = [] { return create(); };
}

krvvar_shared krv_std_string::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string joined;
  for (const krvvar_shared& arg : args) {
    if (arg) joined += arg->get_string();
  }
  return krvvar_shared::make_string(joined);
}

namespace {

void register_string_class(krv_namespace& ns) {
  krv_function_def* constructor =
      ns.add_class<krv_std_string>(&krv_std_string::constructor_function, 0, krv_any_arg_count,
                                   "Create a new string, optionally initialized with given values that are concatenated");
  if (constructor != nullptr) constructor->param_help.push_back("value: string - Initial string values to concatenate");
}

const krv_namespace_static_registrar string_registrar("std", register_string_class);

}  // namespace
