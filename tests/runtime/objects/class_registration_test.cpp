// Class registration: method bounds, replacement by name, metadata, the create_new report, factories,
// calls through a definition, constructor functions in a namespace and namespace function values.
#include <gtest/gtest.h>

#include <algorithm>

#include "module/thread_record.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/class_registration.h"
#include "runtime/objects/vm_context.h"
#include "value_test_vm.h"

namespace {

krvvar_shared first_body(krvobject_base*) { return krvvar_shared::make_int(1); }

class counter : public krvobject<counter, CLASS_STRING<"test.counter">> {
 public:
  static void script_register() {
    add_function(
        "add", [](counter* self, krv_vm_context&, std::vector<krvvar_shared>& args) {
          self->total += args.at(0)->int_value();
          return krvvar_shared::make_int(self->total);
        },
        1, 1, "Adds its argument.");
    add_function("narrow", [](counter* self, krv_vm_context&, std::vector<krvvar_shared>&) { return first_body(self); }, 2, 1,
                 "Max below min.");
    add_function("any", [](counter*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(1); }, 0,
                 krv_any_arg_count, "Any count.");
    add_function("twin", [](counter*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(1); }, 0,
                 0, "First twin.");
    add_function("twin", [](counter*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(2); }, 0,
                 0, "Second twin.");
    add_function("shadowed", [](counter*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_none(); },
                 0, 0, "Becomes a member.");
    add_member<&counter::label>("shadowed", "Replaces the method.");
    add_member<&counter::label>("label", "A label.");
    statics().create_new = [] { return krvptr_strong<counter>::from_raw(new counter()); };
  }
  int64_t total = 0;
  krvvar_static label;
};

// Classes without create_new: registered with the create_new report on and off.
class reported : public krvobject<reported, CLASS_STRING<"test.reported">> {
 public:
  static void script_register() {}
};
class unreported : public krvobject<unreported, CLASS_STRING<"test.unreported">> {
 public:
  static void script_register() {}
};

krvvar_shared construct_counter(krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(0); }

krv_function_def& definition_named(std::string_view name) {
  counter::script_register_internal();
  auto& statics = counter::statics();
  return *statics.members.at(static_cast<size_t>(statics.names.find(name)))->function_descriptor();
}

using ClassRegistration = ValueTest;

TEST_F(ClassRegistration, MethodBoundsAndFlags) {
  const struct {
    const char* name;
    uint32_t min, max;
  } cases[] = {{"add", 1, 1}, {"narrow", 2, 2}, {"any", 0, krv_any_arg_count}};
  for (const auto& c : cases) {
    const krv_function_def& function = definition_named(c.name);
    EXPECT_EQ(function.min_args, c.min) << c.name;
    EXPECT_EQ(function.max_args, c.max) << c.name;
    EXPECT_EQ(function.name, c.name);
    EXPECT_EQ(function.kind, 1u);
    EXPECT_EQ(function.is_method, 1);
    EXPECT_TRUE(function.class_name.empty());
  }
}

TEST_F(ClassRegistration, ANameRegisteredAgainFindsTheNewestDefinition) {
  counter::script_register_internal();
  auto& statics = counter::statics();
  // add, narrow, any, twin, twin, shadowed (a member now), label.
  ASSERT_EQ(statics.members.size(), 7u);
  EXPECT_EQ(statics.names.find("twin"), 4);
  EXPECT_EQ(definition_named("twin").help, "Second twin.");
  EXPECT_EQ(statics.members[3]->function_descriptor()->help, "First twin.");
  EXPECT_EQ(statics.names.find("shadowed"), 5);
  EXPECT_EQ(statics.members[5]->function_descriptor(), nullptr);
}

TEST_F(ClassRegistration, MetadataFollowsTheNameMap) {
  counter::script_register_internal();
  const auto& metadata = *krv_global().class_metadata->at("test.counter");
  std::vector<std::string_view> methods;
  for (const auto& [name, function] : metadata.methods) {
    methods.push_back(name);
    EXPECT_EQ(function, &definition_named(name));
  }
  std::sort(methods.begin(), methods.end());
  EXPECT_EQ(methods, (std::vector<std::string_view>{"add", "any", "narrow", "twin"}));
  std::vector<std::string_view> variables = metadata.variables;
  std::sort(variables.begin(), variables.end());
  EXPECT_EQ(variables, (std::vector<std::string_view>{"label", "shadowed"}));
  EXPECT_FALSE(metadata.reserved);
}

TEST_F(ClassRegistration, MissingCreateNewIsReportedOnlyWithBit16) {
  vm.log().mask = krv_log_default_mask | KRV_LOG_CLASS_REPORT;
  reported::script_register_internal();
  counter::script_register_internal();
  vm.log().mask = krv_log_default_mask;
  unreported::script_register_internal();
  EXPECT_EQ(logged(KRV_LOG_CLASS_REPORT),
            (std::vector<std::string>{"internal type 'test.reported' does not implement a 'create_new' function.\n"}));
  // The default create_new serves all the same.
  krvptr_strong<krvobject_base> made = (*krv_global().class_factories).at("test.unreported")();
  ASSERT_TRUE(made);
  EXPECT_STREQ(made->type_name(), "test.unreported");
}

TEST_F(ClassRegistration, FactoriesMakeWorkingObjects) {
  counter::script_register_internal();
  krvptr_strong<krvobject_base> made = (*krv_global().class_factories).at("test.counter")();
  counter* object = krvptr_cast<counter>(made.get());
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->member_index("add"), 0);
}

TEST_F(ClassRegistration, AMethodRunsThroughItsDefinitionWithAHandBuiltFrame) {
  counter::script_register_internal();
  krvptr_strong<counter> object = krvptr_strong<counter>::from_raw(new counter());
  krvvar_shared bound;
  object->get_named(bound, "add");
  ASSERT_EQ(bound->type, KRVVAR_EXT_FUNCTION);
  auto& record = *static_cast<krvvar_ext_function_record*>(bound->payload.record);
  EXPECT_EQ(record.object.get(), object.get());
  krv_function_def* function = record.definition.get();
  ASSERT_EQ(function, &definition_named("add"));

  krv_vm_context frame;
  frame.native_self = record.object.get();
  std::vector<krvvar_shared> args{krvvar_shared::make_int(5)};
  EXPECT_EQ(function->callable(frame, args)->int_value(), 5);
  EXPECT_EQ(function->callable(frame, args)->int_value(), 10);
  EXPECT_EQ(object->total, 10);
}

TEST_F(ClassRegistration, ABoundMethodKeepsItsObjectAlive) {
  counter::script_register_internal();
  krvvar_shared bound;
  {
    krvptr_strong<counter> object = krvptr_strong<counter>::from_raw(new counter());
    object->total = 3;
    object->get_named(bound, "add");
  }
  auto& record = *static_cast<krvvar_ext_function_record*>(bound->payload.record);
  ASSERT_TRUE(record.object);
  EXPECT_EQ(static_cast<counter*>(record.object.get())->total, 3);
}

TEST_F(ClassRegistration, ConstructorFunctionsEnterTheNamespaceOnce) {
  vm.log().mask |= KRV_LOG_INFO;
  krv_namespace ns;
  krv_function_def* first = ns.add_class<counter>(&construct_counter, 0, 7, "Make a counter.");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->name, "counter");
  EXPECT_EQ(first->class_name, "test.counter");
  EXPECT_EQ(first->min_args, 0u);
  EXPECT_EQ(first->max_args, 7u);
  EXPECT_EQ(first->is_method, 0);
  EXPECT_EQ(ns.add_class<counter>(&construct_counter, 0, 1, "Again."), nullptr);
  EXPECT_EQ(ns.functions.size(), 1u);
  EXPECT_EQ(logged(KRV_LOG_INFO), (std::vector<std::string>{"class: test.counter", "class: test.counter"}));

  // Bounds are stored as given for namespace functions, even a max below the min.
  ns.add_function("odd", &construct_counter, 3, 1, "");
  EXPECT_EQ(ns.functions.back()->min_args, 3u);
  EXPECT_EQ(ns.functions.back()->max_args, 1u);
  EXPECT_EQ(krv_class_short_name("plain"), "plain");
}

TEST_F(ClassRegistration, NamespaceFunctionValuesAreHeapCellsWithoutObject) {
  krv_thread_local& record = krv_get_thread_local();
  ASSERT_TRUE(record.owns_vm_lock());
  const uint32_t depth = record.native_call_depth;
  krv_namespace ns;
  ns.add_function("f", &construct_counter, 0, 0, "First.");
  ns.add_function("f", &construct_counter, 1, 1, "Second.");
  EXPECT_EQ(record.native_call_depth, depth);
  ASSERT_EQ(ns.functions.size(), 2u);
  ASSERT_EQ(ns.values.size(), 1u);
  krvvar& value = *ns.values.at("f");
  EXPECT_EQ(value.type, KRVVAR_EXT_FUNCTION);
  EXPECT_EQ(value.pool_slot, krv_pool_heap_slot);
  EXPECT_EQ(value.refcount, 1);
  auto& bound = *static_cast<krvvar_ext_function_record*>(value.payload.record);
  EXPECT_EQ(bound.pool_slot, krv_pool_heap_slot);
  EXPECT_FALSE(bound.object);
  EXPECT_EQ(bound.definition.get(), ns.functions[1].get());
  EXPECT_EQ(bound.definition.get()->help, "Second.");
  EXPECT_EQ(ns.functions[0]->kind, 1u);
  EXPECT_FALSE(value.compare_zero());
}

TEST_F(ClassRegistration, StringIsRegisteredInStd) {
  krv_namespace ns;
  ns.name = "std";
  for (auto& populate : krv_global().namespace_initializers.at("std")) populate(ns);
  // Functions in registrar order: the kernel functions first, then the constructors of buffer, json,
  // string and thread.
  std::vector<std::string_view> names;
  for (const auto& function : ns.functions) names.push_back(function->name);
  ASSERT_EQ(names, (std::vector<std::string_view>{"kernel_compile", "kernel_threads", "kernel_jit",
                                                  "kernel_aot_source", "kernel_aot_load", "kernel_jit_compiler",
                                                  "kernel_mode", "buffer", "json", "string", "thread"}));
  const krv_function_def& constructor = *ns.functions[9];
  EXPECT_EQ(constructor.class_name, "std.string");
  EXPECT_EQ(constructor.min_args, 0u);
  EXPECT_EQ(constructor.max_args, krv_any_arg_count);
  EXPECT_EQ(constructor.help, "Create a new string, optionally initialized with given values that are concatenated");
  EXPECT_EQ(constructor.param_help, (std::vector<std::string_view>{"value: string - Initial string values to concatenate"}));
  krv_vm_context frame;
  std::vector<krvvar_shared> args{krvvar_shared::make_string("a"), krvvar_shared::make_int(1),
                                  krvvar_shared::make_string("b")};
  EXPECT_EQ(constructor.callable(frame, args)->get_string(), "a1b");
  args.clear();
  krvvar_shared empty = constructor.callable(frame, args);
  EXPECT_EQ(empty->type, KRVVAR_STRING);
  EXPECT_EQ(empty->get_string(), "");
  EXPECT_TRUE(krv_global().class_factories->contains("std.string"));
}

}  // namespace
