// What every std.string method body shares: reading its arguments and making its result.
//
// Arguments are converted, never rejected: a text argument is the value's string form, an integer one
// its int_value (floats truncated and saturated), a flag its truth. The call path has checked the count
// against the method's range, so an optional argument may be missing; it then takes its default.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

using krv_string_args = std::vector<krvvar_shared>;

inline bool krv_string_has_arg(const krv_string_args& args, size_t index) { return index < args.size() && args[index]; }

inline std::string krv_string_text_arg(const krv_string_args& args, size_t index) {
  return krv_string_has_arg(args, index) ? args[index]->get_string() : std::string();
}
inline int64_t krv_string_int_arg(const krv_string_args& args, size_t index, int64_t fallback) {
  return krv_string_has_arg(args, index) ? args[index]->int_value() : fallback;
}
inline bool krv_string_flag_arg(const krv_string_args& args, size_t index, bool fallback) {
  return krv_string_has_arg(args, index) ? args[index]->get_bool() : fallback;
}

// A new string value that takes over `text` (no second copy of a large result).
inline krvvar_shared krv_string_result(std::string&& text) {
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_STRING);
  value->object_ptr<krv_std_string>()->text = std::move(text);
  return value;
}
inline krvvar_shared krv_string_result(std::string_view text) { return krvvar_shared::make_string(text); }
inline krvvar_shared krv_int_result(int64_t value) { return krvvar_shared::make_int(value); }
inline krvvar_shared krv_bool_result(bool value) { return krvvar_shared::make_int(value ? 1 : 0); }

// A json list under construction: each part becomes one unkeyed string cell. A list is filled on the
// thread that made it, so the thread's record is looked up once for all its parts.
class krv_string_list_result {
 public:
  // `expected_parts`: how many parts will come, when known (the entries are reserved for them).
  explicit krv_string_list_result(size_t expected_parts = 0)
      : record_(krv_get_thread_local()), value_(krvvar_shared::make_json()), list_(*value_->object_ptr<krv_std_json>()) {
    list_.entries.reserve(expected_parts);
  }
  void append(std::string_view part) { list_.entries.emplace_back(krvvar_shared::make_string(part, record_)); }
  krvvar_shared take() { return std::move(value_); }

 private:
  const krv_thread_local& record_;
  krvvar_shared value_;
  krv_std_json& list_;
};
