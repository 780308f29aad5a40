// Calling std.string methods through their definitions, as the interpreter calls them, and showing
// their results as short texts that a table can compare.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

using arg = std::variant<int64_t, const char*, std::vector<std::pair<const char*, const char*>>>;

inline krvvar_shared make_arg(const arg& a) {
  if (auto* number = std::get_if<int64_t>(&a)) return krvvar_shared::make_int(*number);
  if (auto* text = std::get_if<const char*>(&a)) return krvvar_shared::make_string(*text);
  krvvar_shared map = krvvar_shared::make_json();  // keyed entries; a null key makes a list item
  for (const auto& [key, value] : std::get<2>(a)) {
    krvvar_shared item = krvvar_shared::make_string(value);
    krv_std_json& entries = *map->object_ptr<krv_std_json>();
    if (key && !*key) {  // an entry whose key is the empty text (as JSON text can make one)
      entries.entries.emplace_back(std::move(item), krv_json_key::make(""));
    } else {
      entries.push_value(item, key ? key : "");
    }
  }
  return map;
}

// A result as text: ints in decimal, strings quoted, lists in brackets, the receiver as "self".
inline std::string shown(const krvvar_shared& value, const krv_std_string* receiver) {
  switch (value->type) {
    case KRVVAR_NONE: return "None";
    case KRVVAR_INT: return std::to_string(value->int_value());
    case KRVVAR_STRING: return "'" + value->get_string() + "'";
    case KRVVAR_OBJECT: return value->object_ptr() == receiver ? "self" : "other object";
    case KRVVAR_JSON: {
      std::string list = "[";
      for (const auto& entry : value->object_ptr<krv_std_json>()->entries) list += shown(entry.value, receiver) + ",";
      return list + "]";
    }
    default: return "type " + std::to_string(value->type);
  }
}

class StringMethods : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    krv_std_string::script_register_internal();
  }
  static krv_function_def& method(std::string_view name) {
    const int64_t index = krv_std_string::statics().names.find(name);
    EXPECT_GE(index, 0) << name;
    return *krv_std_string::statics().members.at(static_cast<size_t>(index))->function_descriptor();
  }
  // Calls `name` on a string holding `text`; returns the shown result and the receiver's text after it.
  std::pair<std::string, std::string> call(std::string_view name, std::string text, std::vector<arg> args = {}) {
    krvptr_strong<krv_std_string> receiver = krv_std_string::create(text);
    std::vector<krvvar_shared> values;
    for (const arg& a : args) values.push_back(make_arg(a));
    krv_vm_context frame;
    frame.native_self = receiver.get();
    const std::string result = shown(method(name).callable(frame, values), receiver.get());
    return {result, receiver->text};
  }
};
