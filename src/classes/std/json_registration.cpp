// What scripts reach of "std.json" outside its methods: its class setup, the constructor function "json"
// in namespace "std", and the registrar that adds both while the library loads. Its place among the
// sources of classes/std fixes its place in the registry. The script methods register in script_register.
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"
#include "runtime/storage/json_object.h"

void krv_std_json::script_register() {
  statics().create_new = [] { return create(); };
}

krvvar_shared krv_std_json::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  krvvar_shared result = krvvar_shared::make_json();
  krv_std_json* container = result->object_ptr<krv_std_json>();
  if (args.empty() || !args[0] || container == nullptr) return result;
  krvvar& source = *args[0];
  if (source.type == KRVVAR_JSON) {
    // Entries of its own; nested containers stay shared, as assignment shares them.
    if (const krv_std_json* other = source.object_ptr<krv_std_json>()) container->assign_from(*other);
    return result;
  }
  const bool suppress_errors = args.size() > 1 && args[1] && args[1]->is_nonzero();
  container->from_string(source.get_string(), suppress_errors);
  return result;
}

namespace {

void register_json_class(krv_namespace& ns) {
  krv_function_def* constructor = ns.add_class<krv_std_json>(&krv_std_json::constructor_function, 0, 2,
                                                             "Create a new JSON object, optionally initialized from a JSON string");
  if (constructor == nullptr) return;
  constructor->param_help.push_back("json: string - Optional JSON string to parse into the new object");
  constructor->param_help.push_back("suppress_errors: bool - Suppress any error messages.");
}

const krv_namespace_static_registrar json_registrar("std", register_json_class);

}  // namespace
