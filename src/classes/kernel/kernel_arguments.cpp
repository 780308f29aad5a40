#include "classes/kernel/kernel_arguments.h"

#include <bit>
#include <cmath>
#include <limits>

#include "kernel/compiler/types.h"
#include "runtime/objects/object_base.h"

krvvar* krv_kernel_follow_refs(krvvar* value) noexcept {
  for (int link = 0; value != nullptr && value->type == KRVVAR_REF && link < krv_kernel_max_ref_links; ++link)
    value = value->payload.target;
  return value;
}

std::string krv_var_type_name(krvvar* value) {
  if (value == nullptr) return "None";
  switch (value->type) {
    case KRVVAR_NONE: return "None";
    case KRVVAR_INT: return "int";
    case KRVVAR_FLOAT: return "float";
    case KRVVAR_STRING: return "string";
    case KRVVAR_BUFFER: return "std.buffer";
    case KRVVAR_JSON: return "json";
    case KRVVAR_FUNCTION: return "function";
    case KRVVAR_OBJECT: {
      krvobject_base* object = value->object_ptr();
      return object != nullptr ? object->type_name() : "object";
    }
    default: return "value";
  }
}

namespace {

struct integer_range {
  int64_t low;
  uint64_t high;
};

// The values an integer type holds; u64 is the only one whose top exceeds INT64_MAX.
integer_range range_of(uint8_t prim) {
  switch (prim) {
    case KRVK_I8: return {INT8_MIN, INT8_MAX};
    case KRVK_U8: return {0, UINT8_MAX};
    case KRVK_I16: return {INT16_MIN, INT16_MAX};
    case KRVK_U16: return {0, UINT16_MAX};
    case KRVK_I32: return {INT32_MIN, INT32_MAX};
    case KRVK_U32: return {0, UINT32_MAX};
    case KRVK_I64: return {INT64_MIN, INT64_MAX};
    default: return {0, UINT64_MAX};
  }
}

bool integer_bits(krvvar& value, uint8_t prim, uint64_t& out, std::string& error) {
  const std::string type = krvk_prim_name(prim);
  if (value.type != KRVVAR_INT) {
    error = "expects " + type + " but got " + krv_var_type_name(&value);
    if (value.type == KRVVAR_FLOAT) error += " (~~x makes an int of a float x, dropping its fraction)";
    return false;
  }
  const int64_t number = value.payload.int_value;
  const integer_range range = range_of(prim);
  if (number < range.low || (number > 0 && static_cast<uint64_t>(number) > range.high)) {
    error = "expects " + type + " but " + std::to_string(number) + " does not fit";
    return false;
  }
  out = static_cast<uint64_t>(number);  // the two's complement form is the sign extension
  return true;
}

// A double rounded to single precision as the hardware rounds (to nearest): past float's range that is
// the largest float up to half a unit beyond it, then an infinity of the value's sign. The plain
// conversion is undefined out there. NaN stays NaN.
float to_single(double number) {
  constexpr float largest = std::numeric_limits<float>::max();
  if (!(std::fabs(number) > largest)) return static_cast<float>(number);
  const double overflow_edge = static_cast<double>(largest) + std::ldexp(1.0, 103);  // half a unit at the top
  return std::copysign(std::fabs(number) < overflow_edge ? largest : std::numeric_limits<float>::infinity(),
                       static_cast<float>(std::signbit(number) ? -1 : 1));
}

bool float_bits(krvvar& value, uint8_t prim, bool ints_for_floats, uint64_t& out, std::string& error) {
  double number = 0;
  if (value.type == KRVVAR_FLOAT) {
    number = value.payload.float_value;
  } else if (value.type == KRVVAR_INT && ints_for_floats) {
    number = static_cast<double>(value.payload.int_value);
  } else {
    error = std::string("expects ") + krvk_prim_name(prim) + " but got " + krv_var_type_name(&value);
    if (value.type == KRVVAR_INT) error += " (write 2.0 instead of 2, or x * 1.0)";
    return false;
  }
  out = prim == KRVK_F32 ? std::bit_cast<uint32_t>(to_single(number)) : std::bit_cast<uint64_t>(number);
  return true;
}

bool bool_bits(krvvar* value, uint64_t& out, std::string& error) {
  constexpr const char* expected = "expects bool (true / false) but got ";
  if (value == nullptr || value->type != KRVVAR_INT) {
    error = expected + krv_var_type_name(value);
    return false;
  }
  if (value->payload.int_value != 0 && value->payload.int_value != 1) {
    error = expected + std::string("the int ") + std::to_string(value->payload.int_value);
    return false;
  }
  out = static_cast<uint64_t>(value->payload.int_value);
  return true;
}

}  // namespace

bool krv_kernel_arg_scalar(krvvar* value, uint8_t prim, bool ints_for_floats, uint64_t& out, std::string& error) {
  out = 0;
  if (prim == KRVK_BOOL) return bool_bits(value, out, error);
  const bool integer = krvk_prim_is_integer(prim), floating = prim == KRVK_F32 || prim == KRVK_F64;
  if (!integer && !floating) {
    error = "unsupported type";
    return false;
  }
  if (value == nullptr) {
    error = std::string("expects ") + krvk_prim_name(prim) + " but got None";
    return false;
  }
  const bool converted = integer ? integer_bits(*value, prim, out, error)
                                 : float_bits(*value, prim, ints_for_floats, out, error);
  if (!converted) out = 0;
  return converted;
}
