// Member and index access: containers answer with entries, strings and objects with member references,
// and every other value turns into a container first. Also the resolution of REFs and member references.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

namespace {

using MemberAccess = ValueTest;

TEST_F(MemberAccess, PlainValuesBecomeContainers) {
  const krvvar_shared starts[] = {krvvar_shared::make_int(5), krvvar_shared::make_none(),
                                  krvvar_shared::make_float(1.0), krvvar_shared::make_typed(KRVVAR_ERR)};
  for (const krvvar_shared& value : starts) {
    krvvar_shared entry;
    value->get_member("x", entry);
    ASSERT_EQ(value->type, KRVVAR_JSON);
    krv_std_json& container = *value->object_ptr<krv_std_json>();
    ASSERT_EQ(container.entries.size(), 1u);
    EXPECT_EQ(container.entries[0].key_view(), "x");
    EXPECT_EQ(container.entries[0].value.get(), entry.get());
    EXPECT_EQ(entry->type, KRVVAR_NONE);
  }
}

TEST_F(MemberAccess, IndexingAPlainValueMakesAnEmptyContainer) {
  krvvar_shared value = krvvar_shared::make_int(1);
  krvvar_shared element;
  value->get_index(0, element);
  EXPECT_EQ(value->type, KRVVAR_JSON);
  EXPECT_EQ(element->type, KRVVAR_NONE);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("Out of bounds access.")}));
}

TEST_F(MemberAccess, ContainersAnswerWithTheirEntries) {
  krvvar_shared list = krvvar_shared::make_json();
  krvvar_shared first, again, element;
  list->get_member("k", first);
  first->payload.int_value = 0;
  list->get_member("k", again);
  EXPECT_EQ(first.get(), again.get());
  list->get_index(-1, element);
  EXPECT_EQ(element.get(), first.get());
  EXPECT_EQ(list->size(), 1);
  EXPECT_TRUE(list->has_member("k"));
  EXPECT_FALSE(list->has_member("missing"));
}

TEST_F(MemberAccess, StringsAnswerWithMemberReferences) {
  krvvar_shared text = krvvar_shared::make_string("hey");
  krvvar_shared by_index, by_name;
  text->get_index(1, by_index);
  text->get_member("e", by_name);
  ASSERT_EQ(by_index->type, KRVVAR_OBJECT_MEMBER_INDEX);
  ASSERT_EQ(by_name->type, KRVVAR_OBJECT_MEMBER_LITERAL);
  auto& index_record = *static_cast<krvvar_member_index_record*>(by_index->payload.record);
  EXPECT_EQ(index_record.index, 1u);
  EXPECT_EQ(index_record.definition_index, 0);
  EXPECT_EQ(index_record.object.get(), text->object_ptr());
  EXPECT_EQ(by_index->get_string(), "e");
  EXPECT_EQ(text->type, KRVVAR_STRING);
  // A string has no members by name: the read is an error naming the class.
  EXPECT_EQ(by_name->get_string(), "");
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("type 'std.string' does not have member 'e'")}));
  EXPECT_FALSE(krvvar_shared::make_int(1)->has_member("e"));
}

TEST_F(MemberAccess, CircularRefChainsResolveToNone) {
  krvvar_shared a = krvvar_shared::make_none(), b = krvvar_shared::make_none();
  a->assign_ref(b.get());
  b->assign_ref(a.get());
  krvvar_shared resolved;
  a->deref(resolved);
  EXPECT_EQ(resolved->type, KRVVAR_NONE);
  EXPECT_NE(resolved.get(), a.get());
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Circular reference detected in deref()."}));
  // Break the cycle so both cells can go.
  a->set_type(KRVVAR_NONE);
}

// A member that leads back to the member reference reading it: an object value over a container whose
// entry is bound by reference to `object.k`. Resolving stops with the cycle warning instead of recursing
// until the stack runs out; every reader resolves through deref.
TEST_F(MemberAccess, AMemberReferenceThatLeadsBackToItselfResolvesToNone) {
  krvvar_shared container = krvvar_shared::make_json();
  krvvar_shared object = krvvar_shared::make_typed(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(object->payload.record)->object = container->object_strong();
  krvvar_shared member, entry;
  object->get_member("k", member);
  ASSERT_EQ(member->type, KRVVAR_OBJECT_MEMBER_LITERAL);
  container->get_member("k", entry);
  entry->assign_ref(member.get());

  const std::function<void(krvvar&)> readers[] = {
      [](krvvar& m) {
        krvvar_shared resolved;
        m.deref(resolved);
        EXPECT_EQ(resolved->type, KRVVAR_NONE);
      },
      [](krvvar& m) { EXPECT_EQ(m.get_string(), ""); },
  };
  for (const auto& read : readers) {
    log.clear();
    read(*member);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"Circular reference detected in deref()."}));
  }
  // Break the cycle so every cell can go.
  entry->set_type(KRVVAR_NONE);
}

TEST_F(MemberAccess, JsonPtrClearsOnRequest) {
  krvvar_shared list = krvvar_shared::make_json();
  krv_std_json* container = list->json_ptr(false);
  container->push_empty_keyed("k");
  EXPECT_EQ(list->json_ptr(false), container);
  EXPECT_EQ(list->json_ptr(true), container);
  EXPECT_TRUE(container->entries.empty());
  EXPECT_FALSE(container->has_key("k"));
}

}  // namespace
