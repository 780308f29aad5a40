// Assignment and binding by reference: what is copied, what is shared, writes through member references,
// the single release of an old REF target, refused buffer copies and forced teardown with 0x10.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

namespace {

std::string text_of(const krvvar_shared& value) { return value->get_string(); }

using Assignment = ValueTest;

TEST_F(Assignment, StringsAreCopiedContainersShared) {
  krvvar_shared source = krvvar_shared::make_string("abc");
  krvvar_shared copy = krvvar_shared::make_int(1);
  copy->set(source);
  source->string_ref() = "changed";
  EXPECT_EQ(text_of(copy), "abc");
  EXPECT_NE(copy->object_ptr(), source->object_ptr());

  krvvar_shared list = krvvar_shared::make_json();
  krvvar_shared alias = krvvar_shared::make_none();
  alias->set(list);
  list->json_ptr(false)->push_empty();
  EXPECT_EQ(alias->size(), 1);
  EXPECT_EQ(alias->object_ptr(), list->object_ptr());
}

TEST_F(Assignment, AStringDestinationHeldElsewhereGetsAFreshObject) {
  krvvar_shared destination = krvvar_shared::make_string("old");
  krvptr_strong<krvobject_base> other_holder = destination->object_strong();
  krvvar_shared source = krvvar_shared::make_string("new");
  destination->set(source);
  EXPECT_EQ(text_of(destination), "new");
  EXPECT_EQ(static_cast<krv_std_string*>(other_holder.get())->text, "old");
}

// Only a string destination may take the text in place: any other storage object, held by this value
// alone or not, is replaced by a fresh string.
TEST_F(Assignment, AStringReplacesADestinationOfAnotherStorageType) {
  const struct {
    const char* name;
    std::function<krvvar_shared()> make;
  } destinations[] = {
      {"container", [] {
         krvvar_shared list = krvvar_shared::make_json();
         list->json_ptr(false)->push_empty_keyed("key");
         return list;
       }},
      {"buffer", [] {
         const uint8_t bytes[] = {1, 2, 3};
         return krvvar_shared::make_buffer(bytes, 3);
       }},
      {"object", [] {
         krvvar_shared object = krvvar_shared::make_typed(KRVVAR_OBJECT);
         static_cast<krvvar_object_record*>(object->payload.record)->object = krv_std_string::create("held");
         return object;
       }},
  };
  for (const auto& d : destinations) {
    krvvar_shared destination = d.make();
    krvvar_shared source = krvvar_shared::make_string("new");
    destination->set(source);
    EXPECT_EQ(destination->type, KRVVAR_STRING) << d.name;
    EXPECT_EQ(text_of(destination), "new") << d.name;
  }
}

TEST_F(Assignment, BuffersAreCopiedUnlessALaunchWritesThem) {
  const uint8_t data[] = {7, 8};
  krvvar_shared source = krvvar_shared::make_buffer(data, 2);
  krvvar_shared copy = krvvar_shared::make_none();
  copy->set(source);
  source->object_ptr<krv_std_buffer>()->bytes[0] = 0;
  EXPECT_EQ(copy->object_ptr<krv_std_buffer>()->bytes, (std::vector<uint8_t>{7, 8}));

  // Refused: the destination keeps what it had.
  source->object_ptr<krv_std_buffer>()->write_holds = 1;
  krvvar_shared untouched = krvvar_shared::make_int(42);
  untouched->set(source);
  EXPECT_EQ(untouched->type, KRVVAR_INT);
  EXPECT_EQ(untouched->payload.int_value, 42);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed(krv_buffer_in_use_text)}));
  // Read holds alone do not stop a copy.
  source->object_ptr<krv_std_buffer>()->write_holds = 0;
  source->object_ptr<krv_std_buffer>()->read_holds = 1;
  untouched->set(source);
  EXPECT_EQ(untouched->type, KRVVAR_BUFFER);
  source->object_ptr<krv_std_buffer>()->read_holds = 0;
}

TEST_F(Assignment, ObjectValuesShareOrCopyAsTheClassDecides) {
  // An object value holding a string: strong_self hands out a clone, unless the source shares.
  krvptr_strong<krv_std_string> text = krv_std_string::create("text");
  krvvar_shared source = krvvar_shared::make_object(text);
  EXPECT_EQ(source->type, KRVVAR_OBJECT);
  EXPECT_EQ(source->object_ptr(), text.get());  // the object itself, not a clone
  EXPECT_EQ(krvvar_shared::make_object({})->type, KRVVAR_NONE);
  krvvar_shared copied = krvvar_shared::make_none(), shared = krvvar_shared::make_none();
  copied->set(source);
  source->flags |= krvvar_share_on_assign;
  shared->set(source);
  EXPECT_NE(copied->object_ptr(), source->object_ptr());
  EXPECT_EQ(copied->get_string(), "text");
  EXPECT_EQ(shared->object_ptr(), source->object_ptr());
}

TEST_F(Assignment, ReplacingARefReleasesTheOldTargetOnce) {
  krvvar_shared first = krvvar_shared::make_int(1), second = krvvar_shared::make_int(2);
  krvvar_shared destination = krvvar_shared::make_none(), source = krvvar_shared::make_none();
  destination->assign_ref(first.get());
  source->assign_ref(second.get());
  EXPECT_EQ(first->refcount, 2);
  destination->set(source);
  EXPECT_EQ(first->refcount, 1);
  EXPECT_EQ(second->refcount, 3);
  EXPECT_EQ(destination->payload.target, second.get());
  // Re-pointing at the same target keeps its count.
  destination->set(source);
  EXPECT_EQ(second->refcount, 3);
}

TEST_F(Assignment, MemberReferenceDestinationsWriteThroughTheirObject) {
  krvvar_shared text = krvvar_shared::make_string("abcb");
  krvvar_shared member;
  text->get_member("b", member);
  ASSERT_EQ(member->type, KRVVAR_OBJECT_MEMBER_LITERAL);
  krvvar_shared replacement = krvvar_shared::make_string("XX");
  member->set(replacement);
  EXPECT_EQ(text_of(text), "aXXcXX");
  EXPECT_EQ(member->type, KRVVAR_OBJECT_MEMBER_LITERAL);

  krvvar_shared at_one;
  text->get_index(1, at_one);
  krvvar_shared q = krvvar_shared::make_string("Q");
  at_one->set(q);
  EXPECT_EQ(text_of(text), "aQXcXX");
}

TEST_F(Assignment, AMemberOfAGoneObjectIsNotWritten) {
  krvvar_shared by_key = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_VAR);
  {
    krvptr_strong<krv_std_string> gone = krv_std_string::create("x");
    static_cast<krvvar_member_var_record*>(by_key->payload.record)->object = krvptr_weak<krvobject_base>(gone);
  }
  krvvar_shared value = krvvar_shared::make_int(1);
  by_key->set(value);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Cannot set object member, doesnt exist anymore!"}));
  krvvar_shared resolved;
  by_key->deref(resolved);
  EXPECT_EQ(resolved->type, KRVVAR_NONE);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("Tried to access index '' on an invalid object.")}));
}

TEST_F(Assignment, AMemberReferenceSourceIsResolvedIntoTheCallersHandle) {
  krvvar_shared text = krvvar_shared::make_string("xyz");
  krvvar_shared source;
  text->get_index(-1, source);
  krvvar_shared destination = krvvar_shared::make_none();
  destination->set(source);
  EXPECT_EQ(source->type, KRVVAR_STRING);
  EXPECT_EQ(text_of(destination), "z");
}

TEST_F(Assignment, AssignRef) {
  krvvar_shared target = krvvar_shared::make_int(5);
  krvvar_shared bound = krvvar_shared::make_none();
  bound->assign_ref(target.get());
  EXPECT_EQ(bound->type, KRVVAR_REF);
  EXPECT_EQ(bound->int_value(), 5);

  target->by_value = 1;
  krvvar_shared copied = krvvar_shared::make_none();
  copied->assign_ref(target.get());
  EXPECT_EQ(copied->type, KRVVAR_INT);

  // A member-reference destination is replaced, not written through.
  krvvar_shared text = krvvar_shared::make_string("abc");
  krvvar_shared member;
  text->get_index(0, member);
  member->assign_ref(target.get());
  EXPECT_EQ(member->type, KRVVAR_REF);
  EXPECT_EQ(text_of(text), "abc");

  bound->assign_ref(nullptr);
  EXPECT_EQ(bound->type, KRVVAR_NONE);
}

TEST_F(Assignment, ReleaseContentsTearsObjectsDown) {
  krvptr_strong<krv_std_string> object = krv_std_string::create("kept elsewhere");
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(value->payload.record)->object = object;
  value->flags |= krvvar_release_contents;
  value->set_type(KRVVAR_NONE);
  EXPECT_FALSE(object);  // torn down although this handle still counted it

  // A container value clears everything nested in it.
  krvvar_shared outer = krvvar_shared::make_json();
  krvvar_shared inner = krvvar_shared::make_json();
  inner->json_ptr(false)->push_empty();
  outer->json_ptr(false)->push_value(inner);
  krvvar_shared inner_alias = outer->json_ptr(false)->at(0);
  outer->flags |= krvvar_release_contents;
  outer->set_type(KRVVAR_NONE);
  EXPECT_EQ(inner_alias->size(), 0);
}

TEST_F(Assignment, ReleaseContentsWaitsForWorkers) {
  krvptr_strong<krv_std_string> object = krv_std_string::create("busy");
  object->worker_holds = 1;
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(value->payload.record)->object = object;
  value->flags |= krvvar_release_contents;
  value.release();
  ASSERT_TRUE(object);
  ASSERT_EQ(vm.state().deferred_releases.size(), 1u);
  EXPECT_EQ(vm.state().deferred_releases[0].get(), object.get());
  object->worker_holds = 0;
  EXPECT_EQ(vm.release_deferred(), 1u);
  EXPECT_TRUE(vm.state().deferred_releases.empty());
}

TEST_F(Assignment, UnsupportedTypesWarn) {
  krvvar_shared odd = krvvar_shared::make_none();
  odd->type = KRVVAR_PRIMITIVE_END;
  krvvar_shared destination = krvvar_shared::make_int(3);
  destination->set(odd);
  EXPECT_EQ(destination->payload.int_value, 3);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"set() not implemented for var type: 4"}));
  odd->type = KRVVAR_NONE;
}

}  // namespace
