// std.json storage: indexed and keyed access, the lazy key index through pushes and erasures, copying,
// recursive clearing, and the per-thread visit guard.
#include <gtest/gtest.h>

#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "value_test_vm.h"

namespace {

using JsonObject = ValueTest;

krvptr_strong<krv_std_json> list_of_ints(std::initializer_list<int64_t> values) {
  krvptr_strong<krv_std_json> list = krv_std_json::create();
  for (int64_t value : values) {
    krvvar_shared item = krvvar_shared::make_int(value);
    list->push_value(item);
  }
  return list;
}

int64_t lookup(krv_std_json& container, std::string_view key) {
  return container.get_or_insert(key)->int_value();
}

TEST_F(JsonObject, IndexedAccess) {
  krvptr_strong<krv_std_json> list = list_of_ints({10, 20, 30});
  const struct {
    int64_t index;
    int64_t expected;  // -1: out of bounds
  } cases[] = {{-1, 30}, {0, 10}, {2, 30}, {-3, 10}, {-4, -1}, {3, -1}};
  for (const auto& c : cases) {
    krvvar_shared cell = list->at(c.index);
    if (c.expected < 0)
      EXPECT_EQ(cell->type, KRVVAR_NONE) << c.index;
    else
      EXPECT_EQ(cell->int_value(), c.expected) << c.index;
  }
  EXPECT_EQ(errors(), std::vector<std::string>(2, framed("Out of bounds access.")));
  krvptr_strong<krv_std_json> empty = krv_std_json::create();
  EXPECT_EQ(empty->at(0)->type, KRVVAR_NONE);
  EXPECT_EQ(errors().size(), 3u);
  EXPECT_FALSE(list->has_index(-1));
  EXPECT_TRUE(list->has_index(2));
  EXPECT_FALSE(list->has_index(3));
}

TEST_F(JsonObject, WritesThroughSlotsAssignTheCells) {
  krvptr_strong<krv_std_json> list = list_of_ints({1, 2});
  krvvar_shared value = krvvar_shared::make_string("two");
  list->set_index(-1, value);
  EXPECT_FALSE(value);
  EXPECT_EQ(list->at(1)->get_string(), "two");
  value = krvvar_shared::make_int(5);
  list->set_index(9, value);  // into a throw-away None
  EXPECT_EQ(list->size(), 2);
  value = krvvar_shared::make_int(3);
  list->set_named("k", value);
  EXPECT_EQ(lookup(*list, "k"), 3);
  EXPECT_EQ(list->size(), 3);
}

TEST_F(JsonObject, ReadingAMissingKeyAppendsIt) {
  krvptr_strong<krv_std_json> map = krv_std_json::create();
  krvvar_shared out;
  map->get_named(out, "missing");
  EXPECT_EQ(out->type, KRVVAR_NONE);
  EXPECT_EQ(map->size(), 1);
  EXPECT_TRUE(map->has_named("missing"));
}

TEST_F(JsonObject, DuplicateKeysThroughPushAndErase) {
  krvptr_strong<krv_std_json> map = krv_std_json::create();
  krvvar_shared first = krvvar_shared::make_int(1), second = krvvar_shared::make_int(2);
  map->push_value(first, "k");
  map->push_value(second, "k");
  EXPECT_FALSE(first);
  EXPECT_EQ(map->size(), 2);
  EXPECT_EQ(lookup(*map, "k"), 2);
  EXPECT_EQ(map->key_index->at("k").count, 2u);
  ASSERT_TRUE(map->erase_index(1));
  EXPECT_EQ(lookup(*map, "k"), 1);
  EXPECT_EQ(map->key_index->at("k").count, 1u);
  krvvar_shared third = krvvar_shared::make_int(3);
  map->push_value(third, "k");
  EXPECT_TRUE(map->erase_key("k"));
  EXPECT_EQ(map->size(), 0);
  EXPECT_FALSE(map->has_key("k"));
  EXPECT_FALSE(map->erase_index(0));
}

TEST_F(JsonObject, EraseByIndexMovesLaterEntriesDown) {
  krvptr_strong<krv_std_json> list = list_of_ints({1, 2, 3, 4});
  EXPECT_TRUE(list->erase_index(-3));
  EXPECT_FALSE(list->erase_index(3));
  EXPECT_FALSE(list->erase_index(-4));
  ASSERT_EQ(list->size(), 3);
  EXPECT_EQ(list->at(0)->int_value(), 1);
  EXPECT_EQ(list->at(1)->int_value(), 3);
  EXPECT_EQ(list->at(2)->int_value(), 4);
}

TEST_F(JsonObject, EraseKeyReportsOnlyWithAnIndex) {
  vm.log().mask |= KRV_LOG_INFO;
  krvptr_strong<krv_std_json> list = list_of_ints({1});
  EXPECT_FALSE(list->erase_key("k"));
  EXPECT_TRUE(logged(KRV_LOG_INFO).empty());
  list->push_empty_keyed("other");
  EXPECT_FALSE(list->erase_key("k"));
  // A key of any length is quoted with at most 64 of its bytes.
  EXPECT_FALSE(list->erase_key(std::string(65, 'q')));
  EXPECT_EQ(logged(KRV_LOG_INFO),
            (std::vector<std::string>{"Key k does not exist!", "Key " + std::string(64, 'q') + "... does not exist!"}));
}

TEST_F(JsonObject, EmptyKeys) {
  krvptr_strong<krv_std_json> map = krv_std_json::create();
  map->push_empty_keyed("");
  EXPECT_FALSE(map->entries[0].has_key());
  EXPECT_FALSE(map->key_index);
  map->get_or_insert("");
  ASSERT_TRUE(map->entries[1].has_key());
  EXPECT_EQ(map->entries[1].key_view(), "");
  EXPECT_TRUE(map->has_key(""));
  EXPECT_EQ(map->get_or_insert("").get(), map->entries[1].value.get());
}

TEST_F(JsonObject, AssignFromCopiesValuesAndKeepsTheFirstKeyedEntry) {
  krvptr_strong<krv_std_json> source = krv_std_json::create();
  krvvar_shared a = krvvar_shared::make_int(1), b = krvvar_shared::make_int(2), text = krvvar_shared::make_string("t");
  source->push_value(a, "dup");
  source->push_value(b, "dup");
  source->push_value(text);
  krvptr_strong<krv_std_json> copy = list_of_ints({9});
  copy->assign_from(*source);
  ASSERT_EQ(copy->size(), 3);
  EXPECT_EQ(lookup(*copy, "dup"), 1);
  EXPECT_EQ(copy->key_index->at("dup").count, 2u);
  EXPECT_NE(copy->at(2).get(), source->at(2).get());
  source->at(2)->string_ref() = "changed";
  EXPECT_EQ(copy->at(2)->get_string(), "t");
  copy->assign_from(*copy);
  EXPECT_EQ(copy->size(), 3);
}

// `c = c[0]`: the source lives only through an entry of the container being overwritten. Heap objects
// (no pool recycling) make a read of the released source visible.
TEST_F(JsonObject, AssignFromAContainerHeldOnlyByTheTarget) {
  for (const bool keyed : {false, true}) {
    krv_native_call_scope heap_only;
    krvptr_strong<krv_std_json> outer = krv_std_json::create();
    {
      krvvar_shared inner = krvvar_shared::make_json();
      krvvar_shared one = krvvar_shared::make_int(1), two = krvvar_shared::make_int(2);
      inner->json_ptr(false)->push_value(one, keyed ? "a" : "");
      inner->json_ptr(false)->push_value(two);
      outer->push_value(inner);
    }
    krv_std_json* inner = outer->at(0)->object_ptr<krv_std_json>();
    outer->assign_from(*inner);
    ASSERT_EQ(outer->size(), 2) << keyed;
    EXPECT_EQ(outer->at(0)->int_value(), 1);
    EXPECT_EQ(outer->at(1)->int_value(), 2);
    EXPECT_EQ(outer->has_key("a"), keyed);
    if (keyed) {
      EXPECT_EQ(lookup(*outer, "a"), 1);
    }
  }
}

TEST_F(JsonObject, ClearRecursiveEndsOnACycle) {
  krvvar_shared outer = krvvar_shared::make_json();
  krvvar_shared inner = krvvar_shared::make_json();
  krvvar_shared number = krvvar_shared::make_int(4);
  inner->json_ptr(false)->push_value(number);
  krvvar_shared pushed = inner;
  outer->json_ptr(false)->push_value(pushed);
  krvvar_shared self = outer;
  outer->json_ptr(false)->push_value(self);  // the container holds itself
  krvvar_shared number_cell = inner->json_ptr(false)->at(0);
  outer->json_ptr(false)->clear_recursive();
  EXPECT_EQ(outer->size(), 0);
  EXPECT_EQ(inner->size(), 0);
  EXPECT_NE(number_cell->flags & krvvar_release_contents, 0);
  EXPECT_TRUE(krv_json_visit_state_of_thread().stack.empty());
}

TEST_F(JsonObject, RemoveAllKeysRecursive) {
  krvvar_shared outer = krvvar_shared::make_json();
  krvvar_shared inner = krvvar_shared::make_json();
  inner->json_ptr(false)->push_empty_keyed("x");
  inner->json_ptr(false)->push_empty_keyed("y");
  outer->json_ptr(false)->push_empty_keyed("x");
  outer->json_ptr(false)->push_value(inner, "child");
  EXPECT_TRUE(outer->json_ptr(false)->remove_all_keys_recursive("x"));
  EXPECT_EQ(outer->size(), 1);
  EXPECT_EQ(outer->json_ptr(false)->at(0)->size(), 1);
  EXPECT_FALSE(outer->json_ptr(false)->at(0)->json_ptr(false)->has_key("x"));

  // 64 levels, each holding a key "x" and the level below twice: 2^64 paths, each container walked once.
  krvvar_shared level = krvvar_shared::make_json();
  std::vector<krvvar_shared> levels;
  for (int i = 0; i < 64; ++i) {
    krvvar_shared next = krvvar_shared::make_json(), first = level, second = level;
    next->json_ptr(false)->push_empty_keyed("x");
    next->json_ptr(false)->push_value(first);
    next->json_ptr(false)->push_value(second);
    levels.push_back(next);
    level = next;
  }
  EXPECT_TRUE(level->json_ptr(false)->remove_all_keys_recursive("x"));
  for (const krvvar_shared& each : levels) EXPECT_FALSE(each->json_ptr(false)->has_key("x"));
}

TEST_F(JsonObject, VisitGuardRefusesCyclesAndDepthPast1024) {
  std::vector<krvptr_strong<krv_std_json>> containers;
  for (int i = 0; i < 1025; ++i) containers.push_back(krv_std_json::create());
  {
    std::vector<std::unique_ptr<krv_json_visit_guard>> guards;
    for (int i = 0; i < 1024; ++i) {
      guards.push_back(std::make_unique<krv_json_visit_guard>());
      ASSERT_TRUE(guards.back()->push(containers[static_cast<size_t>(i)].get())) << i;
    }
    krv_json_visit_guard too_deep;
    EXPECT_FALSE(too_deep.push(containers[1024].get()));
    EXPECT_EQ(too_deep.refusal(), KRV_JSON_VISIT_TOO_DEEP);
    EXPECT_EQ(krv_json_visit_state_of_thread().failed, 1);
    while (guards.size() > 1) guards.pop_back();
    krv_json_visit_guard cycle;
    EXPECT_FALSE(cycle.push(containers[0].get()));
    EXPECT_EQ(cycle.refusal(), KRV_JSON_VISIT_CYCLE);
    krv_json_visit_guard fresh;
    EXPECT_TRUE(fresh.push(containers[1].get()));
  }
  EXPECT_TRUE(krv_json_visit_state_of_thread().stack.empty());
  EXPECT_EQ(krv_json_visit_state_of_thread().failed, 0);
}

TEST_F(JsonObject, ReleasedContainersRestEmptyInTheirPool) {
  krv_std_json* raw = nullptr;
  {
    krvptr_strong<krv_std_json> map = krv_std_json::create();
    ASSERT_NE(map->pool_slot, krv_pool_heap_slot);
    map->push_empty_keyed("k");
    raw = map.get();
  }
  krvptr_strong<krv_std_json> again = krv_std_json::create();
  ASSERT_EQ(again.get(), raw);
  EXPECT_TRUE(again->entries.empty());
  EXPECT_FALSE(again->key_index);
}

// A chain far deeper than the visit guard's limit: the binary form (what an IPC send writes) is refused
// whole, key removal and recursive clearing reach the bottom, and the release returns.
TEST_F(JsonObject, ChainsDeeperThanTheGuardAreWalkedToTheBottomAndReleased) {
  krvvar_shared chain = krvvar_shared::make_json(), one = krvvar_shared::make_int(1);
  chain->json_ptr(false)->push_empty_keyed("x");
  chain->json_ptr(false)->push_value(one, "y");
  krvvar_shared bottom_leaf = chain->json_ptr(false)->at(1);
  krvptr_strong<krv_std_json> bottom = krvptr_strong<krv_std_json>::from_raw(chain->json_ptr(false));
  for (int i = 0; i < 200000; ++i) {
    krvvar_shared next = krvvar_shared::make_json();
    next->json_ptr(false)->push_empty_keyed("x");
    next->json_ptr(false)->push_value(chain);
    chain = next;
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(chain->json_ptr(false)->to_binary(out));
  EXPECT_TRUE(out.empty());
  chain->json_ptr(false)->remove_all_keys_recursive("x");
  EXPECT_FALSE(bottom->has_key("x"));
  EXPECT_EQ(bottom->size(), 1);
  chain->json_ptr(false)->clear_recursive();
  EXPECT_EQ(bottom->size(), 0);
  EXPECT_NE(bottom_leaf->flags & krvvar_release_contents, 0);
  chain.release();
  EXPECT_TRUE(krv_json_visit_state_of_thread().stack.empty());
}

}  // namespace
