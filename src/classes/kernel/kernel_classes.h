// The four script classes through which scripts reach compiled kernels:
//
//   "std.kernel_unit"   a compiled unit: its kernels, structs and constants by name (kernel_unit.cpp)
//   "std.kernel"        one entry kernel of a unit: launches and inspection (kernel_methods.cpp)
//   "std.kernel_job"    a launch started by launch_async, finished by wait() (kernel_methods.cpp)
//   "std.kernel_struct" one struct type of a unit over buffer bytes (kernel_struct.cpp)
//
// Every class factory builds its object in zero-filled storage with the default constructor, which leaves
// it empty (no unit, program or state; struct index -1). An object so made answers None, "" or an empty
// list from every method and never reaches a missing program: only kernel_compile and a unit's get()
// fill them. A compiled unit is immutable, so objects on any thread may share it.
#pragma once
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "kernel/compiler/program.h"
#include "runtime/objects/class_template.h"

struct krv_kernel_launch_state;

// The create_new of a kernel class: T default-constructed in zero-filled storage.
template <class T>
krvptr_strong<T> krv_kernel_create_zeroed() {
  void* storage = ::operator new(sizeof(T));
  std::memset(storage, 0, sizeof(T));
  return krvptr_strong<T>::from_raw(new (storage) T());
}

class krv_std_kernel_unit : public krvobject<krv_std_kernel_unit, CLASS_STRING<"std.kernel_unit">> {
 public:
  static void script_register();
  // Member access: a registered method by its name, any other name through get().
  void get_named(krvvar_shared& out, std::string_view name) override;
  // The kernel, struct or constant called `name`; None without a unit, an error when there is none.
  krvvar_shared get(const std::string& name);

  std::shared_ptr<krvk_compiled_unit> unit;  // null in an object made by the factory
};

class krv_std_kernel : public krvobject<krv_std_kernel, CLASS_STRING<"std.kernel">> {
 public:
  static void script_register();
  // "kernel NAME", or "kernel" without a program.
  void to_string(std::string& out) override;

  std::shared_ptr<krvk_compiled_unit> unit;  // keeps the program alive
  const krvk_program* program = nullptr;  // one entry kernel of `unit`
};

class krv_std_kernel_job : public krvobject<krv_std_kernel_job, CLASS_STRING<"std.kernel_job">> {
 public:
  static void script_register();
  // A job never waited for completes its launch here and gives its holds back; result and trap are lost.
  ~krv_std_kernel_job() override;

  std::shared_ptr<krv_kernel_launch_state> state;  // empty in an object made by the factory
  krvptr_strong<krv_std_kernel> kernel;  // the kernel that started the launch
};

class krv_std_kernel_struct : public krvobject<krv_std_kernel_struct, CLASS_STRING<"std.kernel_struct">> {
 public:
  static void script_register();
  // The struct record, or null in an object made by the factory.
  const krvk_struct* record() const;

  std::shared_ptr<const krvk_compiled_unit> unit;
  int32_t index = -1;  // the struct's position in the unit's struct list
};

// The text form of an argument (a null handle counts as None), as every kernel function reads texts.
inline std::string krv_kernel_text_arg(const krvvar_shared& arg) {
  return arg ? arg->get_string() : krvvar_shared::make_none()->get_string();
}

// Adds a method with its parameter help texts, in order.
template <class T>
void krv_kernel_add_method(std::string_view name, typename T::method_body body, uint32_t min_args,
                           uint32_t max_args, std::string_view help,
                           std::initializer_list<std::string_view> param_help = {}) {
  T::add_function(name, std::move(body), min_args, max_args, help);
  auto& state = T::statics();
  krv_function_def& added = *state.members.back()->function_descriptor();
  added.param_help.insert(added.param_help.end(), param_help);
}

// The unit behind a "std.kernel_unit" value; appends it to `imports` and answers true, else false.
bool krv_kernel_unit_of_var(std::vector<std::shared_ptr<krvk_compiled_unit>>& imports, krvvar* value);
