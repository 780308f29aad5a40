// Conversions of a value to integer, float, truth and text, and its size.
//
// Float to integer saturates (NaN gives 0); text to integer skips leading whitespace, takes an optional
// sign and decimal digits, ignores what follows and saturates. REFs convert as their resolved target.
// An unsupported type warns "<operation>() not implemented for type: <code>" and gives the neutral
// result.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

constexpr int64_t int_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int_min = std::numeric_limits<int64_t>::min();

int64_t saturate(double value) noexcept {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return int_max;
  if (value <= -9223372036854775808.0) return int_min;
  return static_cast<int64_t>(value);
}

int64_t parse_integer(std::string_view text) noexcept {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // Accumulated as a negative magnitude, which reaches the smallest integer exactly.
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const int digit = text[at] - '0';
    if (value < (int_min + digit) / 10) return negative ? int_min : int_max;
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == int_min ? int_max : -value;
}

std::string_view text_of_string(krvvar& value) {
  const krv_std_string* string = value.object_ptr<krv_std_string>();
  return string ? std::string_view(string->text) : std::string_view();
}

std::string float_text(double value) {
  char text[512];
  const int length = std::snprintf(text, sizeof text, "%f", value);
  if (length >= 0 && static_cast<size_t>(length) < sizeof text) return std::string(text, static_cast<size_t>(length));
  // Only values around 1e300 and above need more room.
  std::string large(static_cast<size_t>(length), '\0');
  std::snprintf(large.data(), large.size() + 1, "%f", value);
  return large;
}

void warn_not_implemented(const char* operation, uint8_t type) {
  krv_raise_warning(operation, " not implemented for type: ", int{type});
}

krvvar_shared resolved(krvvar& value) {
  krvvar_shared out;
  value.deref(out);
  return out;
}

}  // namespace

int64_t krvvar::int_value_slow() {
  switch (type) {
    case KRVVAR_NONE: return 0;
    case KRVVAR_INT: return payload.int_value;
    case KRVVAR_FLOAT: return saturate(payload.float_value);
    case KRVVAR_STRING: return parse_integer(text_of_string(*this));
    case KRVVAR_REF: return resolved(*this)->int_value();
  }
  warn_not_implemented("int_value()", type);
  return 0;
}

double krvvar::float_value() {
  switch (type) {
    case KRVVAR_NONE: return 0.0;
    case KRVVAR_INT: return static_cast<double>(payload.int_value);
    case KRVVAR_FLOAT: return payload.float_value;
    case KRVVAR_STRING: {
      // strtod needs a terminated text.
      const std::string text(text_of_string(*this));
      return std::strtod(text.c_str(), nullptr);
    }
    case KRVVAR_REF: return resolved(*this)->float_value();
  }
  warn_not_implemented("float_value()", type);
  return 0.0;
}

bool krvvar::get_bool() {
  switch (type) {
    case KRVVAR_NONE: return false;
    case KRVVAR_INT: return payload.int_value != 0;
    case KRVVAR_FLOAT: return payload.float_value != 0.0;
    case KRVVAR_STRING: return !text_of_string(*this).empty();
    case KRVVAR_JSON: {
      const krv_std_json* container = object_ptr<krv_std_json>();
      return container != nullptr && !container->entries.empty();
    }
    case KRVVAR_FUNCTION: return !static_cast<krvvar_function_record*>(payload.record)->function.expired();
    case KRVVAR_REF: return payload.target != nullptr;
  }
  warn_not_implemented("get_bool()", type);
  return false;
}

void krvvar::string_value(std::string& out) {
  switch (type) {
    case KRVVAR_ERR: out = "ERROR"; return;
    case KRVVAR_NONE: out.clear(); return;
    case KRVVAR_INT: out = std::to_string(payload.int_value); return;
    case KRVVAR_FLOAT: out = float_text(payload.float_value); return;
    case KRVVAR_STRING: out = text_of_string(*this); return;
    case KRVVAR_BUFFER:
    case KRVVAR_JSON:
    case KRVVAR_OBJECT:
      // A container's text is its JSON form, which its to_string gives.
      if (krvobject_base* object = object_ptr()) {
        object->to_string(out);
      } else {
        out.clear();
      }
      return;
    case KRVVAR_CLASS: {
      // The class's name; empty when the instance or its class is gone.
      const krv_class* instance = krv_instance_of(*this);
      const krv_class_def* klass = instance != nullptr ? instance->class_def() : nullptr;
      out = klass != nullptr ? klass->name : std::string();
      return;
    }
    case KRVVAR_OBJECT_MEMBER_LITERAL:
    case KRVVAR_OBJECT_MEMBER_INDEX:
    case KRVVAR_OBJECT_MEMBER_VAR:
    case KRVVAR_REF:
      // A gone object is reported by deref, whose None then reads as the empty text.
      resolved(*this)->string_value(out);
      return;
  }
  warn_not_implemented("string_value()", type);
  out.clear();
}

std::string krvvar::get_string() {
  std::string text;
  string_value(text);
  return text;
}

std::string_view krvvar::string_view_value() {
  if (type == KRVVAR_STRING) return text_of_string(*this);
  static thread_local std::string buffer;
  string_value(buffer);
  return buffer;
}

int64_t krvvar::size() {
  switch (type) {
    case KRVVAR_STRING: return static_cast<int64_t>(text_of_string(*this).size());
    case KRVVAR_BUFFER: {
      const krv_std_buffer* buffer = object_ptr<krv_std_buffer>();
      return buffer ? static_cast<int64_t>(buffer->bytes.size()) : 0;
    }
    case KRVVAR_JSON: {
      const krv_std_json* container = object_ptr<krv_std_json>();
      return container ? container->size() : 0;
    }
    case KRVVAR_OBJECT: {
      krvobject_base* object = object_ptr();
      return object ? object->element_count() : 0;
    }
  }
  warn_not_implemented("size()", type);
  return 0;
}
