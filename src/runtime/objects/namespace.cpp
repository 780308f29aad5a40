#include "runtime/objects/namespace.h"

#include "module/thread_record.h"
#include "runtime/objects/function_def.h"

void krv_namespace::add_function(std::string_view function_name, krv_native_fn fn, uint32_t min_args,
                                 uint32_t max_args, std::string_view help) {
  auto definition = krvptr_strong<krv_function_def>::from_raw(new krv_function_def());
  definition->callable = std::move(fn);
  definition->min_args = min_args;
  definition->max_args = max_args;
  definition->name = function_name;
  definition->help = help;
  definition->kind = 1;

  // Namespace values outlive any one VM: their cells come from the heap, never from a VM's pools.
  krv_native_call_scope heap_only;
  krvvar_shared value = krvvar_shared::make_none();
  value->set_ext_function(nullptr, definition.get());
  values.insert_or_assign(function_name, std::move(value));
  functions.push_back(std::move(definition));
}
