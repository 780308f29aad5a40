// Registering the script methods of a native class with their parameter helps.
//
// A class registers its methods in table order, which is also the order of its member list;
// krv_class_methods<T>::add appends one method and then its parameter helps in order, so a script's help
// lists them as written. A class whose methods fall into a few shapes lists them as rows
// (krv_method_row) and registers the whole table with add_rows. Shared by every class of classes/std.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/objects/class_template.h"

// Call kinds of a method definition, read by the host: add_function gives the synchronous kind; a
// method that hands its work to a worker thread carries the worker kind.
inline constexpr uint32_t krv_sync_call_kind = 1;
inline constexpr uint32_t krv_worker_call_kind = 2;

// The most parameter helps a table row carries.
inline constexpr size_t krv_method_row_param_helps = 3;

// One method of a class's table: what krv_class_methods<Class>::add takes, and the call kind. Parameter
// helps end at the first empty one.
template <class Class>
struct krv_method_row {
  using body_function = krvvar_shared (*)(Class*, krv_vm_context&, std::vector<krvvar_shared>&);

  std::string_view name;
  body_function body;
  uint32_t min_args;
  uint32_t max_args;
  std::string_view help;
  std::array<std::string_view, krv_method_row_param_helps> param_help{};
  uint32_t kind = krv_sync_call_kind;
};

template <class Class>
struct krv_class_methods {
  // Adds a method (the call path checks the argument count against min_args..max_args) and its helps.
  static void add(std::string_view name, typename Class::method_body body, uint32_t min_args, uint32_t max_args,
                  std::string_view help, std::initializer_list<std::string_view> param_help = {}) {
    add_with_helps(name, std::move(body), min_args, max_args, help, {param_help.begin(), param_help.size()});
  }
  // Adds every row in order.
  static void add_rows(std::span<const krv_method_row<Class>> rows) {
    for (const krv_method_row<Class>& row : rows) {
      size_t helps = 0;
      while (helps < row.param_help.size() && !row.param_help[helps].empty()) ++helps;
      add_with_helps(row.name, row.body, row.min_args, row.max_args, row.help, {row.param_help.data(), helps});
      last().kind = row.kind;
    }
  }
  // The definition registered last.
  static krv_function_def& last() { return *Class::statics().members.back()->function_descriptor(); }

 private:
  static void add_with_helps(std::string_view name, typename Class::method_body body, uint32_t min_args,
                             uint32_t max_args, std::string_view help, std::span<const std::string_view> param_help) {
    Class::add_function(name, std::move(body), min_args, max_args, help);
    krv_function_def& added = last();
    added.param_help.insert(added.param_help.end(), param_help.begin(), param_help.end());
  }
};
