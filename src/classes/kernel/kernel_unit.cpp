// "std.kernel_unit" and the script function kernel_compile: kernel source in, a unit out that hands its
// kernels, structs and constants out by name. Member access falls back to get(), so `unit.saxpy` works
// unless a kernel is named like a method (then `unit.get('structs')`). An object made by the class
// factory holds no unit: get() answers None, the lists are empty and disasm() is "".
#include "classes/kernel/kernel_unit.h"

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_binding.h"
#include "classes/kernel/kernel_classes.h"
#include "kernel/runtime/kernel_unit_cache.h"
#include "kernel/runtime/listing.h"
#include "runtime/storage/json_object.h"

namespace {

using args_t = std::vector<krvvar_shared>;

template <class Items, class NameOf>
krvvar_shared name_list(const krv_std_kernel_unit& self, const Items krvk_compiled_unit::*items, NameOf name_of) {
  krvvar_shared list = krvvar_shared::make_json();
  if (!self.unit) return list;
  for (const auto& item : (*self.unit).*items) {
    krvvar_shared name = krvvar_shared::make_string(name_of(item));
    list->object_ptr<krv_std_json>()->push_value(name);
  }
  return list;
}

// Adds the units of one import argument: a unit, or a json list of units (one level deep).
bool collect_imports(std::vector<std::shared_ptr<krvk_compiled_unit>>& imports, krvvar* value) {
  value = krv_kernel_follow_refs(value);
  if (value == nullptr) return false;
  if (value->type != KRVVAR_JSON) return krv_kernel_unit_of_var(imports, value);
  auto* list = value->object_ptr<krv_std_json>();
  for (int64_t i = 0; list != nullptr && i < list->size(); ++i) {
    krvvar_shared element = list->at(i);
    if (!krv_kernel_unit_of_var(imports, krv_kernel_follow_refs(element.get()))) return false;
  }
  return true;
}

namespace method {

krvvar_shared get(krv_std_kernel_unit* self, krv_vm_context&, args_t& args) { return self->get(krv_kernel_text_arg(args[0])); }

krvvar_shared kernels(krv_std_kernel_unit* self, krv_vm_context&, args_t&) {
  return name_list(*self, &krvk_compiled_unit::kernels, [](const auto& kernel) { return kernel->name; });
}

krvvar_shared structs(krv_std_kernel_unit* self, krv_vm_context&, args_t&) {
  return name_list(*self, &krvk_compiled_unit::structs, [](const krvk_struct& record) { return record.name; });
}

krvvar_shared constants(krv_std_kernel_unit* self, krv_vm_context&, args_t&) {
  return name_list(*self, &krvk_compiled_unit::constants,
                   [](const krvk_kernel_constant& constant) { return constant.name; });
}

krvvar_shared disasm(krv_std_kernel_unit* self, krv_vm_context&, args_t&) {
  std::string text;
  if (self->unit) {
    for (const auto& kernel : self->unit->kernels) text += krvk_disasm(*kernel) + "\n";
  }
  return krvvar_shared::make_string(text);
}

}  // namespace method

}  // namespace

bool krv_kernel_unit_of_var(std::vector<std::shared_ptr<krvk_compiled_unit>>& imports, krvvar* value) {
  if (value == nullptr || value->type != KRVVAR_OBJECT) return false;
  krvobject_base* object = value->object_ptr();
  auto* unit = object != nullptr ? krvptr_cast<krv_std_kernel_unit>(object) : nullptr;
  if (unit == nullptr || !unit->unit) return false;
  imports.push_back(unit->unit);
  return true;
}

krvvar_shared krv_kernel_compile(krv_vm_context&, std::vector<krvvar_shared>& args) {
  const std::string source = krv_kernel_text_arg(args[0]);
  std::string file = "<kernel>";
  size_t first_import = 1;
  if (args.size() >= 2 && args[1] && args[1]->type == KRVVAR_STRING) {
    file = krv_kernel_text_arg(args[1]);
    first_import = 2;
  }
  std::vector<std::shared_ptr<krvk_compiled_unit>> imports;
  for (size_t i = first_import; i < args.size(); ++i) {
    if (!collect_imports(imports, args[i].get())) {
      return krv_raise_error(
          "kernel_compile: imports must be std.kernel_unit objects (the result of std.kernel_compile or "
          "__krv_kernel_unit)");
    }
  }
  kerror error;
  std::shared_ptr<krvk_compiled_unit> unit = krv_kernel_compile_unit(source, file, error, imports);
  if (!unit) {
    return krv_raise_error("kernel compile error at ", error.file, ":", error.line, ":", error.column, ": ",
                           error.message, "\n    ", error.source_line);
  }
  krvptr_strong<krv_std_kernel_unit> object = krv_std_kernel_unit::statics().create_new();
  object->unit = std::move(unit);
  return krvvar_shared::make_object(std::move(object));
}

krvvar_shared krv_std_kernel_unit::get(const std::string& name) {
  if (!unit) return krvvar_shared::make_none();
  for (const auto& kernel : unit->kernels) {
    if (kernel->name != name) continue;
    krvptr_strong<krv_std_kernel> object = krv_std_kernel::statics().create_new();
    object->unit = unit;
    object->program = kernel.get();
    return krvvar_shared::make_object(std::move(object));
  }
  for (size_t i = 0; i < unit->structs.size(); ++i) {
    if (unit->structs[i].name != name) continue;
    krvptr_strong<krv_std_kernel_struct> object = krv_std_kernel_struct::statics().create_new();
    object->unit = unit;
    object->index = static_cast<int32_t>(i);
    return krvvar_shared::make_object(std::move(object));
  }
  for (const krvk_kernel_constant& constant : unit->constants) {
    if (constant.name == name) return krv_kernel_value_to_var(constant.prim, constant.bits);
  }
  return krv_raise_error("the kernel source has no kernel, struct or constant '", name, "'");
}

void krv_std_kernel_unit::get_named(krvvar_shared& out, std::string_view name) {
  const int64_t index = member_index(name);
  if (index >= 0) return member_value_at(out, static_cast<uint64_t>(index));
  out = get(std::string(name));
}

void krv_std_kernel_unit::script_register() {
  using T = krv_std_kernel_unit;
  statics().create_new = krv_kernel_create_zeroed<T>;
  krv_kernel_add_method<T>("get", method::get, 1, 1,
                           "Kernel, struct (std.kernel_struct) or constant by name (same as unit.name)",
                           {"name: string"});
  krv_kernel_add_method<T>("kernels", method::kernels, 0, 0, "Names of the entry kernels");
  krv_kernel_add_method<T>("structs", method::structs, 0, 0, "Names of the kernel structs");
  krv_kernel_add_method<T>("constants", method::constants, 0, 0, "Names of the kernel constants");
  krv_kernel_add_method<T>("disasm", method::disasm, 0, 0, "Bytecode of all kernels");
}
