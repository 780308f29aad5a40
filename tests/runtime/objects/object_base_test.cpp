// The default operations of script objects with their exact texts, the class template's member access
// by name and index, the checked downcast, and the serialiser defaults.
#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/base/value_records.h"
#include "runtime/objects/class_template.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

namespace {

// A class with two members and no own operations.
class plain_probe : public krvobject<plain_probe, CLASS_STRING<"test.plain">> {
 public:
  static void script_register() {
    add_function("go", [](plain_probe*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(1); },
                 0, 0, "Goes.");
    add_member<&plain_probe::value>("value", "A value.");
  }
  krvvar_static value;
};

// An object outside the class template: every operation is the base's.
class bare_object : public krvobject_base {};

krvptr_strong<plain_probe> make_probe() {
  plain_probe::script_register_internal();
  return krvptr_strong<plain_probe>::from_raw(new plain_probe());
}

using ObjectBase = ValueTest;

TEST_F(ObjectBase, DefaultOperationsAnswerWithTheirTexts) {
  krvptr_strong<krvobject_base> object = krvptr_strong<krvobject_base>::from_raw(new bare_object());
  krvvar_shared out;
  object->get_index(out, 3);
  EXPECT_EQ(out->type, KRVVAR_NONE);
  object->get_named(out, "size");
  krvvar_shared value = krvvar_shared::make_int(1);
  object->set_index(0, value);
  EXPECT_FALSE(value);
  value = krvvar_shared::make_int(1);
  object->set_named("x", value);
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          framed("type 'object' does not have indexmember '3'"),
                          framed("type 'object' does not have (any) member 'size'"),
                          framed("type 'object' does not implement 'set member'"),
                          framed("type 'object' does not implement 'set member'"),
                      }));
  std::string text;
  object->to_string(text);
  EXPECT_EQ(text, "object");
  std::string_view name;
  object->class_name_view(name);
  EXPECT_EQ(name, "object");
  EXPECT_FALSE(object->is_empty());
  EXPECT_EQ(object->element_count(), 0u);
  EXPECT_EQ(object->class_query_first(), -1);
  EXPECT_EQ(object->class_query_second(), -1);
  EXPECT_EQ(object->query_interface(1), nullptr);
  EXPECT_EQ(object->member_index("x"), -1);
  krvvar_shared other = krvvar_shared::make_int(2);
  EXPECT_FALSE(object->op_add(out, other));
  EXPECT_FALSE(object->equals(other));
  EXPECT_FALSE(object->less_than(other, true));
  krvptr_strong<krvobject_base> self;
  object->strong_self(self);
  EXPECT_EQ(self.get(), object.get());
}

TEST_F(ObjectBase, MissingMemberByNameListsEveryMember) {
  vm.log().mask |= KRV_LOG_INFO;
  krvptr_strong<plain_probe> probe = make_probe();
  krvvar_shared out;
  probe->get_named(out, "nope");
  EXPECT_EQ(out->type, KRVVAR_NONE);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("type 'test.plain' does not have member 'nope'")}));
  std::vector<std::string> listed = logged(KRV_LOG_INFO);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{" - go", " - value"}));
}

TEST_F(ObjectBase, KeysDispatchByType) {
  krvptr_strong<plain_probe> probe = make_probe();
  krvvar_shared out;
  krvvar_shared key = krvvar_shared::make_float(1.5);
  probe->get_member(out, key);
  EXPECT_FALSE(key);
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "type 'test.plain' does not implement 'get_member' for var type 3, defaulting to string access."}));
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("type 'test.plain' does not have member '1.500000'")}));

  key = krvvar_shared::make_int(4);
  probe->get_member(out, key);
  EXPECT_EQ(errors().back(), framed("type 'test.plain' does not have indexmember '4'"));

  key = krvvar_shared::make_string("go");
  probe->get_member(out, key);
  EXPECT_EQ(out->type, KRVVAR_EXT_FUNCTION);

  key = krvvar_shared::make_none();
  krvvar_shared value = krvvar_shared::make_int(1);
  probe->set_member(key, value);
  EXPECT_FALSE(key);
  EXPECT_FALSE(value);
  EXPECT_EQ(warnings().back(),
            "type 'test.plain' does not implement 'set_member' for var type 1, defaulting to string access.");
}

TEST_F(ObjectBase, HasMemberIsTrueForAMethod) {
  krvptr_strong<plain_probe> probe = make_probe();
  krvvar_shared key = krvvar_shared::make_string("go");
  EXPECT_TRUE(probe->has_member(key));
  EXPECT_TRUE(key);  // the caller's key is left alone
  EXPECT_TRUE(probe->has_named("value"));
}

TEST_F(ObjectBase, MemberTableIndexesAreChecked) {
  krvptr_strong<plain_probe> probe = make_probe();
  const int64_t index = probe->member_index("value");
  ASSERT_GE(index, 0);
  krvvar_shared out;
  probe->member_value_at(out, static_cast<uint64_t>(index));
  EXPECT_EQ(out->type, KRVVAR_OBJECT_MEMBER_INDEX);
  const uint64_t past_end = plain_probe::statics().members.size();
  try {
    probe->member_value_at(out, past_end);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid vector subscript");
  }
  krvvar_shared value = krvvar_shared::make_int(1);
  EXPECT_THROW(probe->set_member_at(past_end, value), std::out_of_range);
  EXPECT_THROW(probe->get_member_at(out, past_end), std::out_of_range);
}

TEST_F(ObjectBase, MemberVariablesReadAndWriteTheirCell) {
  krvptr_strong<plain_probe> probe = make_probe();
  // The member by name is a reference to its definition, which reads and writes the embedded cell.
  krvvar_shared member;
  probe->get_named(member, "value");
  ASSERT_EQ(member->type, KRVVAR_OBJECT_MEMBER_INDEX);
  EXPECT_EQ(static_cast<krvvar_member_index_record*>(member->payload.record)->definition_index, 1);
  krvvar_shared seven = krvvar_shared::make_int(7);
  member->set(seven);
  EXPECT_EQ(probe->value->payload.int_value, 7);
  krvvar_shared read;
  member->deref(read);
  EXPECT_EQ(read->int_value(), 7);
  // The getter hands out a copy, not the object's own cell.
  EXPECT_NE(read.get(), probe->value.get());
}

TEST_F(ObjectBase, CheckedDowncastMatchesOnlyTheExactClass) {
  krvptr_strong<krvobject_base> text = krv_std_string::create("x");
  EXPECT_NE(krvptr_cast<krv_std_string>(text.get()), nullptr);
  EXPECT_EQ(krvptr_cast<krv_std_json>(text.get()), nullptr);
  EXPECT_EQ(krvptr_cast<krvobject_base>(text.get()), nullptr);
  EXPECT_EQ(text->object_type_hash(), krvptr_type_hash<krv_std_string>());
}

TEST_F(ObjectBase, SerialiserDefaultsLogErrors) {
  krvptr_strong<plain_probe> probe = make_probe();
  std::vector<uint8_t> bytes{1, 2};
  EXPECT_FALSE(probe->to_binary(bytes));
  EXPECT_FALSE(probe->from_binary(bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(errors(), (std::vector<std::string>{"to_binary(): not implemented.", "from_binary(): not implemented."}));
}

}  // namespace
