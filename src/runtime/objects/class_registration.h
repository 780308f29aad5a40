// krv_namespace::add_class<T>: how a native script class enters a namespace.
//
// The class registers once (its members, create_new, factory and metadata in the global instance);
// every call writes the information line "class: <full name>" and, unless the namespace already holds
// a value under the class's short name (the part after the last '.'), adds the constructor function
// under that name with the bounds as given and marks it with the full class name.
#pragma once
#include <string_view>

#include "runtime/objects/class_template.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/log.h"
#include "runtime/objects/namespace.h"

// The part of a dotted class name after its last '.' (the whole name when it has none).
constexpr std::string_view krv_class_short_name(std::string_view full_name) {
  const size_t dot = full_name.rfind('.');
  return dot == std::string_view::npos ? full_name : full_name.substr(dot + 1);
}

template <class T>
krv_function_def* krv_namespace::add_class(krv_native_fn constructor, uint32_t min_args, uint32_t max_args,
                                           std::string_view help) {
  const std::string_view full_name = T::class_name();
  const std::string_view short_name = krv_class_short_name(full_name);
  T::script_register_internal();
  krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "class: ", full_name);
  if (values.contains(short_name)) return nullptr;
  add_function(short_name, std::move(constructor), min_args, max_args, help);
  krv_function_def& definition = *functions.back();
  definition.class_name = full_name;
  return &definition;
}
