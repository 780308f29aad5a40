// Registering the script methods of a native class with their parameter helps.
//
// A class registers its methods in table order, which is also the order of its member list;
// krv_class_methods<T>::add appends one method and then its parameter helps in order, so a script's help
// lists them as written. Shared by every class of classes/std.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "runtime/objects/class_template.h"

template <class Class>
struct krv_class_methods {
  // Adds a method (the call path checks the argument count against min_args..max_args) and its helps.
  static void add(std::string_view name, typename Class::method_body body, uint32_t min_args, uint32_t max_args,
                  std::string_view help, std::initializer_list<std::string_view> param_help = {}) {
    Class::add_function(name, std::move(body), min_args, max_args, help);
    krv_function_def& added = last();
    added.param_help.insert(added.param_help.end(), param_help);
  }
  // The definition registered last.
  static krv_function_def& last() { return *Class::statics().members.back()->function_descriptor(); }
};
