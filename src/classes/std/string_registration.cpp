// Registers "std.string" and its constructor function "string" in namespace "std" while the library
// loads. Its place among the sources of classes/std fixes its place in the registry.
#include "classes/std/string_object.h"
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"

namespace {

void register_string_class(krv_namespace& ns) {
  krv_function_def* constructor =
      ns.add_class<krv_std_string>(&krv_std_string::constructor_function, 0, krv_any_arg_count,
                                   "Create a new string, optionally initialized with given values that are concatenated");
  if (constructor != nullptr) constructor->param_help.push_back("value: string - Initial string values to concatenate");
}

const krv_namespace_static_registrar string_registrar("std", register_string_class);

}  // namespace
