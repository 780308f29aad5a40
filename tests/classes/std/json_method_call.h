// Calling std.json methods through their definitions, as the interpreter calls them, on containers
// written in a short notation, and showing containers and results in the same notation.
//
// Notation: entries separated by commas, each an optional key and '=' (a lone '=' is the empty key)
// before a value: an integer, a float (with a dot), 'text', None, or a nested container in brackets.
// The empty key may stand once in a container.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/storage/json_object.h"
#include "value_test_vm.h"

inline krvvar_shared parse_notation(std::string_view& text);

inline krvvar_shared parse_notation_value(std::string_view& text) {
  if (text.starts_with("None")) return text.remove_prefix(4), krvvar_shared::make_none();
  if (text.starts_with("[")) {
    text.remove_prefix(1);
    krvvar_shared nested = parse_notation(text);
    text.remove_prefix(1);  // ']'
    return nested;
  }
  if (text.starts_with("'")) {
    const size_t end = text.find('\'', 1);
    krvvar_shared value = krvvar_shared::make_string(text.substr(1, end - 1));
    text.remove_prefix(end + 1);
    return value;
  }
  const size_t end = std::min(text.find_first_of(",]"), text.size());
  const std::string number(text.substr(0, end));
  text.remove_prefix(end);
  if (number.find('.') != std::string::npos) return krvvar_shared::make_float(std::stod(number));
  return krvvar_shared::make_int(std::stoll(number));
}

inline krvvar_shared parse_notation(std::string_view& text) {
  krvvar_shared result = krvvar_shared::make_json();
  krv_std_json& container = *result->object_ptr<krv_std_json>();
  while (!text.empty() && text[0] != ']') {
    size_t name = 0;
    while (name < text.size() && (std::isalpha(static_cast<unsigned char>(text[name])) || text[name] == '_')) ++name;
    const bool keyed = name < text.size() && text[name] == '=';
    const std::string key = keyed ? std::string(text.substr(0, name)) : std::string();
    if (keyed) text.remove_prefix(name + 1);
    krvvar_shared value = parse_notation_value(text);
    if (keyed && key.empty())
      container.get_or_insert("")->set(value);  // an entry under the empty key, as JSON text makes one
    else
      container.push_value(value, key);
    if (!text.empty() && text[0] == ',') text.remove_prefix(1);
  }
  return result;
}

inline krvvar_shared notation(std::string_view text) { return parse_notation(text); }

// A container's entries in order in the notation; a container met again inside itself shows as <cycle>.
inline std::string shown_entries(const krv_std_json& container, std::vector<const krv_std_json*> path = {});

// A value in the notation; the container `self` (a method's receiver) shows as self when returned as an
// object.
inline std::string shown_value(krvvar& value, const krv_std_json* self = nullptr,
                               const std::vector<const krv_std_json*>& path = {}) {
  switch (value.type) {
    case KRVVAR_NONE: return "None";
    case KRVVAR_INT: return std::to_string(value.int_value());
    case KRVVAR_FLOAT: return value.get_string();
    case KRVVAR_STRING: return "'" + value.get_string() + "'";
    case KRVVAR_OBJECT: return value.object_ptr() == self ? "self" : "object";
    case KRVVAR_JSON: {
      const krv_std_json* nested = value.object_ptr<krv_std_json>();
      if (std::find(path.begin(), path.end(), nested) != path.end()) return "<cycle>";
      return "[" + shown_entries(*nested, path) + "]";
    }
    default: return "type " + std::to_string(value.type);
  }
}

inline std::string shown_entries(const krv_std_json& container, std::vector<const krv_std_json*> path) {
  path.push_back(&container);
  std::string text;
  for (const krv_std_json_entry& entry : container.entries) {
    if (!text.empty()) text += ',';
    if (entry.has_key()) text += std::string(entry.key_view()) + "=";
    text += shown_value(*entry.value, nullptr, path);
  }
  return text;
}

class JsonMethods : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    krv_std_json::script_register_internal();
  }
  static const krv_function_def& method(std::string_view name) {
    const int64_t index = krv_std_json::statics().names.find(name);
    if (index < 0) throw std::runtime_error("no method " + std::string(name));
    return *krv_std_json::statics().members.at(static_cast<size_t>(index))->function_descriptor();
  }
  // Calls `name` on the container of `receiver` with `args`.
  krvvar_shared call(const krvvar_shared& receiver, std::string_view name, std::vector<krvvar_shared> args = {}) {
    krv_vm_context frame;
    frame.native_self = receiver->object_ptr<krv_std_json>();
    return method(name).callable(frame, args);
  }
  static krv_std_json& container(const krvvar_shared& value) { return *value->object_ptr<krv_std_json>(); }
};
