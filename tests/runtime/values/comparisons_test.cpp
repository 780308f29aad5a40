// Equality and ordering across types, the zero test, increment and decrement, and the depth limit of
// deep container equality.
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

maker list_of(int entries) {
  return [entries] {
    krvvar_shared list = krvvar_shared::make_json();
    for (int i = 0; i < entries; ++i) list->json_ptr(false)->push_empty();
    return list;
  };
}

// A container holding a container ... `levels` containers in all, the innermost holding the integer `leaf`.
krvvar_shared nested(int levels, int64_t leaf = 1) {
  krvvar_shared value = krvvar_shared::make_int(leaf);
  for (int i = 0; i < levels; ++i) {
    krvvar_shared outer = krvvar_shared::make_json();
    outer->json_ptr(false)->push_value(value);
    value = outer;
  }
  return value;
}

using Comparisons = ValueTest;

TEST_F(Comparisons, EqualityAcrossTypes) {
  const struct {
    const char* name;
    maker a, b;
    bool equal;
  } cases[] = {
      {"None == 0", none(), integer(0), true},
      {"None == None", none(), none(), true},
      {"\"\" == None", text(""), none(), true},
      {"1 == 1.0", integer(1), number(1.0), true},
      {"NaN != NaN", number(std::nan("")), number(std::nan("")), false},
      {"\"1\" == 1", text("1"), integer(1), true},
      {"\"1.0\" != 1.0", text("1.0"), number(1.0), false},
      {"3 == three entries", integer(3), list_of(3), true},
      {"three entries == 3", list_of(3), integer(3), true},
      {"2 != three entries", integer(2), list_of(3), false},
      {"text != container", text(""), list_of(0), false},
      {"None != container", none(), list_of(0), false},
      {"equal empty containers", list_of(0), list_of(0), true},
  };
  for (const auto& c : cases) {
    krvvar_shared a = c.a(), b = c.b();
    EXPECT_EQ(a->compare_equal(*b), c.equal) << c.name;
  }
  EXPECT_TRUE(warnings().empty());
}

TEST_F(Comparisons, Ordering) {
  const struct {
    const char* name;
    maker a, b;
    bool smaller, smaller_or_equal, bigger;
  } cases[] = {
      {"2 < 2.5", integer(2), number(2.5), true, true, false},
      {"abc < abd", text("abc"), text("abd"), true, true, false},
      {"b > a", text("b"), text("a"), false, false, true},
      {"-1 < None", integer(-1), none(), true, true, false},
      {"NaN unordered", number(std::nan("")), number(1), false, false, false},
      {"3 <= 3", integer(3), integer(3), false, true, false},
      {"10 < \"9\" as text", integer(10), text("9"), true, true, false},
  };
  for (const auto& c : cases) {
    krvvar_shared a = c.a(), b = c.b();
    EXPECT_EQ(a->compare_smaller(*b, false), c.smaller) << c.name;
    EXPECT_EQ(a->compare_smaller(*b, true), c.smaller_or_equal) << c.name;
    EXPECT_EQ(a->compare_bigger(*b, false), c.bigger) << c.name;
  }
  EXPECT_TRUE(warnings().empty());
}

TEST_F(Comparisons, UnorderedTypesWarn) {
  krvvar_shared a = krvvar_shared::make_none(), b = krvvar_shared::make_none();
  EXPECT_FALSE(a->compare_smaller(*b, false));
  EXPECT_FALSE(a->compare_bigger(*b, true));
  krvvar_shared list = krvvar_shared::make_json();
  EXPECT_FALSE(list->compare_smaller(*a, false));
  krvvar_shared e1 = krvvar_shared::make_typed(KRVVAR_ERR), e2 = krvvar_shared::make_typed(KRVVAR_ERR);
  EXPECT_FALSE(e1->compare_equal(*e2));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Compare_smaller not implemented for type: 1",
                                                  "Compare_bigger not implemented for type: 1",
                                                  "Compare_smaller not implemented for type: 7",
                                                  "Compare_equal not implemented for type: 0"}));
}

TEST_F(Comparisons, DeepEqualityComparesKeysAndValuesInOrder) {
  krvvar_shared a = krvvar_shared::make_json(), b = krvvar_shared::make_json();
  krvvar_shared one = krvvar_shared::make_int(1), two = krvvar_shared::make_string("2");
  krvvar_shared one_again = krvvar_shared::make_int(1), two_again = krvvar_shared::make_string("2");
  a->json_ptr(false)->push_value(one, "k");
  a->json_ptr(false)->push_value(two);
  b->json_ptr(false)->push_value(one_again, "k");
  b->json_ptr(false)->push_value(two_again);
  EXPECT_TRUE(a->compare_equal(*b));
  b->json_ptr(false)->get_or_insert("");  // an empty key counts as no key, but the counts differ now
  EXPECT_FALSE(a->compare_equal(*b));
  krvvar_shared c = krvvar_shared::make_json();
  krvvar_shared one_more = krvvar_shared::make_int(1), two_more = krvvar_shared::make_string("2");
  c->json_ptr(false)->push_value(one_more, "other");
  c->json_ptr(false)->push_value(two_more);
  EXPECT_FALSE(a->compare_equal(*c));
}

// Far deeper than the stack would take one call per level.
TEST_F(Comparisons, DeepEqualityReachesTheBottomAtAnyDepth) {
  EXPECT_TRUE(nested(257)->compare_equal(*nested(257)));
  EXPECT_TRUE(nested(200000)->compare_equal(*nested(200000)));
  EXPECT_FALSE(nested(200000)->compare_equal(*nested(200000, 2)));
}

// `levels` containers, each holding the one below twice (containers are shared on assignment), the
// innermost holding `leaf`: 2^levels paths through `levels` + 1 containers.
krvvar_shared shared_twice(int levels, int64_t leaf) {
  krvvar_shared value = krvvar_shared::make_int(leaf);
  for (int i = 0; i < levels; ++i) {
    krvvar_shared outer = krvvar_shared::make_json();
    krvvar_shared first = value, second = value;
    outer->json_ptr(false)->push_value(first);
    outer->json_ptr(false)->push_value(second);
    value = outer;
  }
  return value;
}

// 2^64 paths: a walk per path never ends, one per pair of containers takes microseconds.
TEST_F(Comparisons, SharedPartsAreComparedOncePerPair) {
  const struct {
    int levels;
    int64_t other_leaf;
    bool equal;
  } cases[] = {{64, 7, true}, {64, 8, false}, {300, 7, true}, {300, 8, false}};
  for (const auto& c : cases) {
    krvvar_shared a = shared_twice(c.levels, 7), b = shared_twice(c.levels, c.other_leaf);
    EXPECT_EQ(a->compare_equal(*b), c.equal) << c.levels << " levels";
    // Nothing remembered from one comparison misleads the next.
    krvvar_shared d = shared_twice(c.levels, 9);
    EXPECT_FALSE(a->compare_equal(*d)) << c.levels << " levels";
  }
}

TEST_F(Comparisons, BuffersCompareByBytesUnlessALaunchWrites) {
  const uint8_t data[] = {1, 2, 3};
  krvvar_shared a = krvvar_shared::make_buffer(data, 3), b = krvvar_shared::make_buffer(data, 3);
  krvvar_shared shorter = krvvar_shared::make_buffer(data, 2);
  EXPECT_TRUE(a->compare_equal(*b));
  EXPECT_FALSE(a->compare_equal(*shorter));
  b->object_ptr<krv_std_buffer>()->write_holds = 1;
  EXPECT_FALSE(a->compare_equal(*b));
  EXPECT_EQ(errors(), (std::vector<std::string>{framed(krv_buffer_in_use_text)}));
  b->object_ptr<krv_std_buffer>()->write_holds = 0;
}

TEST_F(Comparisons, ZeroTest) {
  const struct {
    maker value;
    bool zero;
  } cases[] = {{none(), true},       {integer(0), true},   {integer(2), false}, {number(0.0), true},
               {number(std::nan("")), false}, {text(""), true}, {text("x"), false}, {list_of(0), true},
               {list_of(1), false}};
  for (const auto& c : cases) EXPECT_EQ(c.value()->compare_zero(), c.zero);
  krvvar_shared dangling = krvvar_shared::make_typed(KRVVAR_REF);
  EXPECT_TRUE(dangling->compare_zero());
  // A member reference tests the member it names.
  krvvar_shared s = krvvar_shared::make_string("ab");
  krvvar_shared at_one, at_five;
  s->get_index(1, at_one);
  s->get_index(5, at_five);
  EXPECT_FALSE(at_one->compare_zero());
  EXPECT_TRUE(at_five->compare_zero());
  EXPECT_TRUE(warnings().empty());
}

TEST_F(Comparisons, IncrementAndDecrement) {
  constexpr int64_t int_max = std::numeric_limits<int64_t>::max();
  constexpr int64_t int_min = std::numeric_limits<int64_t>::min();
  krvvar_shared up = krvvar_shared::make_none(), down = krvvar_shared::make_none();
  ASSERT_TRUE(up->increment_value());
  ASSERT_TRUE(down->decrement_value());
  EXPECT_EQ(up->type, KRVVAR_INT);
  EXPECT_EQ(up->payload.int_value, 1);
  EXPECT_EQ(down->payload.int_value, -1);
  krvvar_shared top = krvvar_shared::make_int(int_max), bottom = krvvar_shared::make_int(int_min);
  top->increment_value();
  bottom->decrement_value();
  EXPECT_EQ(top->payload.int_value, int_min);
  EXPECT_EQ(bottom->payload.int_value, int_max);
  krvvar_shared half = krvvar_shared::make_float(1.5);
  half->increment_value();
  EXPECT_EQ(half->payload.float_value, 2.5);
  krvvar_shared s = krvvar_shared::make_string("1");
  EXPECT_FALSE(s->increment_value());
  EXPECT_FALSE(s->decrement_value());
  EXPECT_EQ(warnings(), (std::vector<std::string>{"increment_value not implemented for type: 5",
                                                  "decrement_value not implemented for type: 5"}));
}

}  // namespace
