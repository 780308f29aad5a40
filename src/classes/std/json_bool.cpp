// "json.bool": the object, its script setup, the constructor function "bool" in namespace "json", and
// the registrar that adds them while the library loads. Its place among the sources of classes/std fixes
// its place in the registry.
#include "classes/std/json_bool.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"

namespace {

enum class arithmetic : uint8_t { add, subtract, multiply, divide };

// Integer arithmetic that wraps in two's complement instead of overflowing; the divisor is not 0.
int64_t integer_result(arithmetic op, int64_t a, int64_t b) noexcept {
  const auto ua = static_cast<uint64_t>(a);
  const auto ub = static_cast<uint64_t>(b);
  switch (op) {
    case arithmetic::add: return static_cast<int64_t>(ua + ub);
    case arithmetic::subtract: return static_cast<int64_t>(ua - ub);
    case arithmetic::multiply: return static_cast<int64_t>(ua * ub);
    case arithmetic::divide:
      // The one quotient that does not fit wraps to the dividend.
      if (a == std::numeric_limits<int64_t>::min() && b == -1) return a;
      return a / b;
  }
  return 0;
}

double float_result(arithmetic op, double a, double b) noexcept {
  switch (op) {
    case arithmetic::add: return a + b;
    case arithmetic::subtract: return a - b;
    case arithmetic::multiply: return a * b;
    case arithmetic::divide: return a / b;
  }
  return 0.0;
}

// wrapped op other, or other op wrapped when `swapped`. Only integer and float others are handled, and an
// integer division by zero is not.
bool combine(krvvar& wrapped, krvvar_shared& out, const krvvar_shared& other, arithmetic op, bool swapped) {
  if (!other) return false;
  if (other->type == KRVVAR_FLOAT) {
    double a = wrapped.float_value();
    double b = other->payload.float_value;
    if (swapped) std::swap(a, b);
    out = krvvar_shared::make_float(float_result(op, a, b));
    return true;
  }
  if (other->type == KRVVAR_INT) {
    int64_t a = wrapped.int_value();
    int64_t b = other->payload.int_value;
    if (swapped) std::swap(a, b);
    if (op == arithmetic::divide && b == 0) return false;
    out = krvvar_shared::make_int(integer_result(op, a, b));
    return true;
  }
  return false;
}

// The truth as 1.0 or 0.0 against an integer or float other; false when the other is neither.
bool comparable(bool truth, const krvvar_shared& other, double& mine, double& theirs) {
  if (!other || (other->type != KRVVAR_INT && other->type != KRVVAR_FLOAT)) return false;
  mine = truth ? 1.0 : 0.0;
  theirs = other->float_value();
  return true;
}

}  // namespace

krv_std_json_bool::krv_std_json_bool(krvvar_shared source) { value->set(source); }

void krv_std_json_bool::to_string(std::string& out) { out = truth() ? "true" : "false"; }

void krv_std_json_bool::strong_self(krvptr_strong<krvobject_base>& out) {
  out = krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool(value));
}

bool krv_std_json_bool::op_add(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::add, false);
}
bool krv_std_json_bool::op_add_swapped(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::add, true);
}
bool krv_std_json_bool::op_subtract(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::subtract, false);
}
bool krv_std_json_bool::op_subtract_swapped(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::subtract, true);
}
bool krv_std_json_bool::op_multiply(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::multiply, false);
}
bool krv_std_json_bool::op_multiply_swapped(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::multiply, true);
}
bool krv_std_json_bool::op_divide(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::divide, false);
}
bool krv_std_json_bool::op_divide_swapped(krvvar_shared& out, krvvar_shared& other) {
  return combine(*value, out, other, arithmetic::divide, true);
}

bool krv_std_json_bool::equals(krvvar_shared& other) {
  if (!other) return false;
  if (other->type == KRVVAR_INT) return truth() == (other->payload.int_value != 0);
  if (other->type != KRVVAR_OBJECT) return false;
  krvobject_base* object = other->object_ptr();
  krv_std_json_bool* boolean = object ? krvptr_cast<krv_std_json_bool>(object) : nullptr;
  return boolean != nullptr && boolean->truth() == truth();
}

bool krv_std_json_bool::less_than(krvvar_shared& other, bool or_equal) {
  double mine = 0.0;
  double theirs = 0.0;
  if (!comparable(truth(), other, mine, theirs)) return false;
  return mine == theirs ? or_equal : mine < theirs;
}

bool krv_std_json_bool::greater_than(krvvar_shared& other, bool or_equal) {
  double mine = 0.0;
  double theirs = 0.0;
  if (!comparable(truth(), other, mine, theirs)) return false;
  return mine == theirs ? or_equal : mine > theirs;
}

void krv_std_json_bool::script_register() {
  add_member<&krv_std_json_bool::value>("value", "The wrapped value.");
}

krvvar_shared krv_std_json_bool::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  krvvar_shared source = args.empty() ? krvvar_shared::make_none() : args[0];
  return krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool(std::move(source))));
}

krvvar_shared krv_make_bool_value(bool flag) { return krvvar_shared::make_int(flag ? 1 : 0); }

namespace {

void register_bool_class(krv_namespace& ns) {
  krv_function_def* constructor = ns.add_class<krv_std_json_bool>(
      &krv_std_json_bool::constructor_function, 0, 1,
      "Create a JSON boolean. The wrapped value is written as true/false instead of 1/0 when the JSON is "
      "converted to a string.");
  if (constructor != nullptr) constructor->param_help.push_back("value: object - Value to wrap as a boolean.");
}

const krv_namespace_static_registrar bool_registrar("json", register_bool_class);

}  // namespace
