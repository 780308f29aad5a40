// Conversions of values to integer, float, truth and text, and their sizes: saturation, parsing and the
// exact warning texts of unsupported types.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_makers.h"
#include "value_test_vm.h"

namespace {

using maker = value_maker;

constexpr int64_t int_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int_min = std::numeric_limits<int64_t>::min();

maker error_value() {
  return [] { return krvvar_shared::make_typed(KRVVAR_ERR); };
}
maker bytes(std::string value) {
  return [value] {
    return krvvar_shared::make_buffer(reinterpret_cast<const uint8_t*>(value.data()), value.size());
  };
}
maker ref_to(maker target) {
  return [target] {
    krvvar_shared held = target();
    krvvar_shared ref = krvvar_shared::make_none();
    ref->assign_ref(held.get());
    return ref;
  };
}

using Conversions = ValueTest;

TEST_F(Conversions, IntValue) {
  const struct {
    const char* name;
    maker value;
    int64_t expected;
  } cases[] = {
      {"leading blanks, sign, trailing text", text("  -12abc"), -12},
      {"twenty nines saturate", text("99999999999999999999"), int_max},
      {"twenty nines negative saturate", text("-99999999999999999999"), int_min},
      {"smallest integer exactly", text("-9223372036854775808"), int_min},
      {"largest plus one", text("9223372036854775808"), int_max},
      {"plus sign and whitespace classes", text("\t\n\v\f\r +42"), 42},
      {"no digits", text("abc"), 0},
      {"sign without digits", text("-"), 0},
      {"float 1e300", number(1e300), int_max},
      {"float -1e300", number(-1e300), int_min},
      {"float NaN", number(std::nan("")), 0},
      {"float truncates", number(-2.9), -2},
      {"none", none(), 0},
      {"integer", integer(-5), -5},
      {"REF to a text", ref_to(text("17")), 17},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value()->int_value(), c.expected) << c.name;
  EXPECT_TRUE(warnings().empty());
}

TEST_F(Conversions, FloatValueAndTruth) {
  EXPECT_EQ(text("1.5x")()->float_value(), 1.5);
  EXPECT_EQ(text("abc")()->float_value(), 0.0);
  EXPECT_EQ(integer(-3)()->float_value(), -3.0);
  EXPECT_EQ(none()()->float_value(), 0.0);

  const struct {
    maker value;
    bool expected;
  } truths[] = {{none(), false}, {integer(0), false}, {integer(-1), true}, {number(0.0), false},
                {number(0.5), true}, {text(""), false}, {text("0"), true}, {ref_to(integer(0)), true}};
  for (const auto& c : truths) EXPECT_EQ(c.value()->get_bool(), c.expected);
  krvvar_shared list = krvvar_shared::make_json();
  EXPECT_FALSE(list->get_bool());
  list->json_ptr(false)->push_empty();
  EXPECT_TRUE(list->get_bool());
  EXPECT_TRUE(warnings().empty());
}

TEST_F(Conversions, StringValue) {
  const struct {
    maker value;
    const char* expected;
  } cases[] = {
      {error_value(), "ERROR"},        {none(), ""},        {integer(-7), "-7"},
      {integer(int_min), "-9223372036854775808"}, {number(1.5), "1.500000"}, {number(-0.25), "-0.250000"},
      {text("abc"), "abc"},             {bytes(std::string("ab\0cd", 5)), "ab"}, {ref_to(number(2)), "2.000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value()->get_string(), c.expected);
  // Very large floats print in full.
  EXPECT_EQ(number(1e300)()->get_string().size(), 301u + 7u);
}

TEST_F(Conversions, StringViewOfAStringIsItsOwnText) {
  krvvar_shared value = krvvar_shared::make_string("own");
  EXPECT_EQ(value->string_view_value().data(), value->object_ptr<krv_std_string>()->text.data());
  krvvar_shared number_value = krvvar_shared::make_int(12);
  EXPECT_EQ(number_value->string_view_value(), "12");
}

TEST_F(Conversions, SizeByType) {
  krvvar_shared list = krvvar_shared::make_json();
  list->json_ptr(false)->push_empty();
  list->json_ptr(false)->push_empty();
  EXPECT_EQ(text("four")()->size(), 4);
  EXPECT_EQ(bytes(std::string("\0\0\0", 3))()->size(), 3);
  EXPECT_EQ(list->size(), 2);
  EXPECT_EQ(integer(3)()->size(), 0);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"size() not implemented for type: 2"}));
}

TEST_F(Conversions, UnsupportedTypesWarnWithTheirCode) {
  krvvar_shared function = krvvar_shared::make_typed(KRVVAR_EXT_FUNCTION);
  EXPECT_EQ(function->int_value(), 0);
  EXPECT_EQ(function->float_value(), 0.0);
  EXPECT_FALSE(function->get_bool());
  EXPECT_EQ(function->get_string(), "");
  EXPECT_EQ(error_value()()->int_value(), 0);
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "int_value() not implemented for type: 13",
                            "float_value() not implemented for type: 13",
                            "get_bool() not implemented for type: 13",
                            "string_value() not implemented for type: 13",
                            "int_value() not implemented for type: 0",
                        }));
}

}  // namespace
