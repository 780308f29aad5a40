// The constructor functions "json" (namespace std) and "bool" (namespace json), as the registrars put
// them into their namespaces.
#include <gtest/gtest.h>

#include "classes/std/json_bool.h"
#include "module/global_instance.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/namespace.h"
#include "runtime/storage/json_object.h"
#include "value_test_vm.h"

namespace {

class JsonConstructors : public ValueTest {
 protected:
  // The function `name` of namespace `space`, populated by the module's registrars.
  const krv_function_def& function(const char* space, std::string_view name) {
    krv_namespace& ns = space == std::string_view("std") ? std_ns : json_ns;
    if (ns.functions.empty()) {
      ns.name = space;
      for (auto& populate : krv_global().namespace_initializers.at(space)) populate(ns);
    }
    for (const auto& definition : ns.functions)
      if (definition->name == name) return *definition;
    throw std::runtime_error("no function");
  }
  krvvar_shared call(const char* space, std::string_view name, std::vector<krvvar_shared> args) {
    return function(space, name).callable(frame, args);
  }

  krv_namespace std_ns;
  krv_namespace json_ns;
  krv_vm_context frame;
};

TEST_F(JsonConstructors, JsonInEachArgumentForm) {
  const krv_function_def& json = function("std", "json");
  EXPECT_EQ(json.class_name, "std.json");
  EXPECT_EQ(json.min_args, 0u);
  EXPECT_EQ(json.max_args, 2u);
  EXPECT_EQ(json.param_help.size(), 2u);

  krvvar_shared empty = call("std", "json", {});
  EXPECT_EQ(empty->type, KRVVAR_JSON);
  EXPECT_EQ(empty->size(), 0);

  krvvar_shared source = call("std", "json", {krvvar_shared::make_string(R"({"list": [1], "n": 2})")});
  krv_std_json& original = *source->object_ptr<krv_std_json>();
  krvvar_shared copy = call("std", "json", {source});
  krv_std_json& copied = *copy->object_ptr<krv_std_json>();
  ASSERT_NE(&copied, &original);
  krvvar_shared extra = krvvar_shared::make_int(3);
  copied.push_value(extra, "m");
  EXPECT_EQ(original.dump(true), R"({"list":[1],"n":2})");
  EXPECT_EQ(copied.get_or_insert("list")->object_ptr(), original.get_or_insert("list")->object_ptr());

  krvvar_shared failed = call("std", "json", {krvvar_shared::make_string("{"), krvvar_shared::make_int(1)});
  EXPECT_EQ(failed->type, KRVVAR_JSON);
  EXPECT_EQ(failed->size(), 0);
  EXPECT_EQ(errors(), std::vector<std::string>{});
  call("std", "json", {krvvar_shared::make_string("{")});
  EXPECT_EQ(errors().size(), 1u);
}

TEST_F(JsonConstructors, BoolWithAndWithoutArgument) {
  EXPECT_EQ(function("json", "bool").class_name, "json.bool");
  krvvar_shared yes = call("json", "bool", {krvvar_shared::make_int(5)});
  krvvar_shared no = call("json", "bool", {});
  ASSERT_EQ(yes->type, KRVVAR_OBJECT);
  EXPECT_EQ(yes->get_string(), "true");
  EXPECT_EQ(no->get_string(), "false");
  krvvar_shared list = krvvar_shared::make_json();
  list->object_ptr<krv_std_json>()->push_value(yes);
  list->object_ptr<krv_std_json>()->push_value(no);
  EXPECT_EQ(list->object_ptr<krv_std_json>()->dump(true), "[true,false]");
}

}  // namespace
