// json.bool: its operator slots as left and right operand (the 64-bit limits wrap), its comparisons,
// text, truth, copy on strong_self and its property.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "classes/std/json_bool.h"
#include "value_test_vm.h"

namespace {

using JsonBool = ValueTest;

constexpr int64_t int_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int_min = std::numeric_limits<int64_t>::min();

krvvar_shared integer(int64_t value) { return krvvar_shared::make_int(value); }
krvvar_shared number(double value) { return krvvar_shared::make_float(value); }

// The operation `op` of a json.bool wrapping `wrapped` with `other`; `out` gets an operator's result.
bool apply(std::string_view op, krv_std_json_bool& object, krvvar_shared other, krvvar_shared& out) {
  if (op == "+") return object.op_add(out, other);
  if (op == "r+") return object.op_add_swapped(out, other);
  if (op == "-") return object.op_subtract(out, other);
  if (op == "r-") return object.op_subtract_swapped(out, other);
  if (op == "*") return object.op_multiply(out, other);
  if (op == "r*") return object.op_multiply_swapped(out, other);
  if (op == "/") return object.op_divide(out, other);
  if (op == "r/") return object.op_divide_swapped(out, other);
  if (op == "==") return object.equals(other);
  if (op == "<") return object.less_than(other, false);
  if (op == "<=") return object.less_than(other, true);
  if (op == ">") return object.greater_than(other, false);
  if (op == ">=") return object.greater_than(other, true);
  ADD_FAILURE() << op;
  return false;
}

TEST_F(JsonBool, OperatorSlots) {
  const krvvar_shared wrapped_one = krvvar_shared::make_object(
      krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool(integer(1))));
  const struct {
    int64_t wrapped;
    const char* op;  // "r" marks the object as the right operand
    krvvar_shared other;
    bool answer;               // handled, or the comparison's result
    const char* result;        // the operator's result as text; null for comparisons and unhandled
  } cases[] = {
      {5, "+", integer(1), true, "6"},
      {5, "+", number(0.5), true, "5.500000"},
      {1, "r-", integer(3), true, "2"},
      {1, "r/", integer(3), true, "3"},
      {-2, "r/", integer(7), true, "-3"},
      {0, "r/", integer(3), false, nullptr},
      {1, "/", integer(0), false, nullptr},
      {4, "/", number(8.0), true, "0.500000"},
      {3, "*", integer(-2), true, "-6"},
      {3, "r*", number(2.0), true, "6.000000"},
      {2, "+", krvvar_shared::make_string("x"), false, nullptr},
      {int_max, "+", integer(1), true, "-9223372036854775808"},
      {int_min, "-", integer(1), true, "9223372036854775807"},
      {int_min, "*", integer(-1), true, "-9223372036854775808"},
      {int_min, "/", integer(-1), true, "-9223372036854775808"},
      {-1, "r/", integer(int_min), true, "-9223372036854775808"},
      {5, "==", wrapped_one, true, nullptr},
      {5, "==", integer(0), false, nullptr},
      {0, "==", integer(0), true, nullptr},
      {1, "==", number(1.0), false, nullptr},
      {1, "==", krvvar_shared::make_string("true"), false, nullptr},
      {0, "<", number(0.5), true, nullptr},
      {1, "<", integer(1), false, nullptr},
      {1, "<=", integer(1), true, nullptr},
      {7, ">", integer(0), true, nullptr},
      {0, ">=", number(0.0), true, nullptr},
      {0, ">", number(-0.5), true, nullptr},
      {1, "<", krvvar_shared::make_string("9"), false, nullptr},
  };
  for (const auto& c : cases) {
    krv_std_json_bool object(integer(c.wrapped));
    krvvar_shared out;
    EXPECT_EQ(apply(c.op, object, c.other, out), c.answer) << c.wrapped << c.op;
    if (c.result != nullptr) {
      EXPECT_EQ(out ? out->get_string() : "(none)", c.result) << c.wrapped << c.op;
    }
  }
}

TEST_F(JsonBool, TextTruthCopyAndProperty) {
  krv_std_json_bool five(integer(5));
  krv_std_json_bool zero(integer(0));
  krv_std_json_bool none;
  std::string text;
  five.to_string(text);
  EXPECT_EQ(text, "true");
  zero.to_string(text);
  EXPECT_EQ(text, "false");
  EXPECT_TRUE(five.json_boolean());
  EXPECT_FALSE(five.is_empty());
  EXPECT_TRUE(zero.is_empty());
  EXPECT_TRUE(none.is_empty());

  // Handing the object out hands out a copy with a value of its own.
  krvptr_strong<krvobject_base> copy;
  five.strong_self(copy);
  ASSERT_NE(copy.get(), &five);
  auto* copied = krvptr_cast<krv_std_json_bool>(copy.get());
  ASSERT_NE(copied, nullptr);
  copied->value->set_type_simple(KRVVAR_INT);
  EXPECT_EQ(five.value->int_value(), 5);

  krv_std_json_bool::script_register_internal();
  const int64_t property = five.member_index("value");
  ASSERT_GE(property, 0);
  krvvar_shared read;
  five.get_member_at(read, static_cast<uint64_t>(property));
  EXPECT_EQ(read->int_value(), 5);
  krvvar_shared written = krvvar_shared::make_string("");
  five.set_member_at(static_cast<uint64_t>(property), written);
  EXPECT_FALSE(five.truth());
  EXPECT_EQ(krv_make_bool_value(true)->int_value(), 1);
  EXPECT_EQ(krv_make_bool_value(false)->type, KRVVAR_INT);
}

}  // namespace
