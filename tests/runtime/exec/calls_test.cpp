// Calls: arity of script functions with defaults, native argument counts through both call paths,
// refusals, classes, reference parameters, captures, default-value blocks and native exceptions.
#include <stdexcept>

#include "runtime/storage/string_object.h"
#include "script_calls.h"
#include "script_fixture.h"

namespace {

using Calls = ScriptTest;

// f(a, b, c) returns c + b + a, with defaults from `first_default` on: 100 for b, 200 for c. A missing
// parameter without a default reads as None, which adds as 0. The default blocks count their runs
// through the native "count".
std::string defaulted_function(uint32_t first_default) {
  std::string text = "native N0 \"count\" 0 0\nblock B1 1 child B0 params 3 locals 3 first_default " +
                     std::to_string(first_default) + "\n";
  for (uint32_t p = first_default; p < 3; ++p) text += "  default_arg " + std::to_string(p) + "\n";
  text += "  load_local 2\n  push_none\n  load_local 1\n  add\n  push_none\n  load_local 0\n  add\n  return\nend\n";
  for (uint32_t p = first_default; p < 3; ++p)
    text += "block D" + std::to_string(p) + " 0 child B1\n  args_open 0\n  call_native @N0\n  load_int " +
            std::to_string(100 * p) + "\nend\n";
  return text;
}

// The root block calling child 0 with the arguments 10, 20, 30, ... (count of them).
std::string caller(uint32_t count) {
  std::string text = "block B0 4\n  load_function 0\n  call_prepare " + std::to_string(count) + "\n";
  for (uint32_t i = 0; i < count; ++i)
    text += "  load_int " + std::to_string(10 * (i + 1)) + "\n  call_arg " + std::to_string(i) + "\n";
  return text + "  call\nend\n";
}

TEST_F(Calls, ScriptArityAndDefaults) {
  struct arity_case {
    uint32_t first_default;
    uint32_t args;
    const char* result;       // the call's result, or the error text
    int default_runs;
  };
  const arity_case cases[] = {
      {1, 0, "300", 2},
      {1, 1, "310", 2},
      {1, 2, "230", 1},
      {1, 3, "60", 0},
      {1, 4, "invalid argument count: num_params=4, fn_num_params=3, fn_default_args=1", 0},
      {2, 1, "invalid argument count: num_params=1, fn_num_params=3, fn_default_args=2", 0},
      {2, 0, "200", 1},
      {2, 2, "230", 1},
      {2, 3, "60", 0},
  };
  for (const arity_case& c : cases) {
    int runs = 0;
    assemble(caller(c.args) + defaulted_function(c.first_default));
    bind("count", [&runs](krv_vm_context&, std::vector<krvvar_shared>&) {
      ++runs;
      return krvvar_shared::make_none();
    });
    run_started(start());
    const std::string expected = c.result;
    if (expected.find("invalid") == 0)
      EXPECT_TRUE(reported(expected)) << expected;
    else
      EXPECT_EQ(result().get_string(), expected) << c.args << " args";
    EXPECT_EQ(runs, c.default_runs) << c.args << " args";
    EXPECT_EQ(task->frames.size(), 1u);
    log.clear();
  }
}

TEST_F(Calls, RefusalsNativeCountsAndClasses) {
  struct refusal_case {
    const char* code;     // root block code
    const char* message;  // the error raised; the native body must not have run
  };
  const refusal_case cases[] = {
      {"load_native @N0\n  call_prepare 0\n  call", "invalid parameter count 0 min: 1 max: 2"},
      {"load_native @N0\n  call_prepare 3\n  call", "invalid parameter count 3 min: 1 max: 2"},
      {"args_open 0\n  call_native @N0", "invalid parameter count 0 min: 1 max: 2"},
      {"args_open 3\n  call_native @N0", "invalid parameter count 3 min: 1 max: 2"},
      {"args_open 1\n  call_native @N1", "invalid object pointer!"},
      {"load_native @N1\n  call_prepare 1\n  load_int 1\n  call_arg 0\n  call", "invalid object pointer!"},
      {"load_int 5\n  call_prepare 0", "not a function!"},
      {"load_const 0\n  call_prepare 0",
       "Cannot create an instance of 'Shape': abstract method 'area' is not implemented (implement it in a "
       "derived class)."},
  };
  for (const refusal_case& c : cases) {
    int runs = 0;
    assemble("native N0 \"pick\" 1 2\nnative N1 \"method\" 1 1\nclass K0 \"Shape\" abstract \"area\"\n"
             "block B0 4\n  const class K0\n  " + std::string(c.code) + "\nend\n");
    built->natives[1]->is_method = 1;
    for (const char* name : {"pick", "method"})
      bind(name, [&runs](krv_vm_context&, std::vector<krvvar_shared>&) {
        ++runs;
        return krvvar_shared::make_int(1);
      });
    run_started(start());
    EXPECT_TRUE(reported(c.message)) << c.code;
    EXPECT_EQ(runs, 0) << c.code;
    EXPECT_EQ(task->call_arg_height, 0u) << c.code;
    log.clear();
  }
  // Within its bounds the native runs with its arguments, on both paths.
  assemble("native N0 \"pick\" 1 2\nblock B0 4\n  load_native @N0\n  call_prepare 2\n  load_int 4\n  call_arg 0\n"
           "  load_int 5\n  call_arg 1\n  call\n  push_none\n  args_open 1\n  load_int 6\n  arg 0\n  call_native @N0\n"
           "  add\nend\n");
  bind("pick", [](krv_vm_context&, std::vector<krvvar_shared>& args) {
    return krvvar_shared::make_int(args.back()->int_value() * 10);
  });
  run_started(start());
  EXPECT_EQ(result().payload.int_value, 110);

  // A class without abstract methods runs its default block (which builds the instance).
  run("class K0 \"Point\" default B1\nblock B0 4\n  const class K0\n  load_const 0\n  call_prepare 0\n  call\nend\n"
      "block B1 1 child B0\n  load_int 7\nend\n");
  EXPECT_EQ(result().payload.int_value, 7);
}

TEST_F(Calls, ReferencesAndCaptures) {
  // A reference parameter writes through to the caller's variable.
  run("block B0 4 locals 1\n  load_local 0\n  push_none\n  load_int 1\n  assign\n"
      "  load_function 0\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n  load_local 0\nend\n"
      "block B1 1 child B0 params 1 locals 1\n  flag 0 4\n  load_local 0\n  deref\n  push_none\n  load_int 5\n"
      "  assign\nend\n");
  EXPECT_EQ(result().payload.int_value, 5);

  // f captures x (by value, then by reference); x changes to 2 before the call.
  for (const char* capture : {"capture 0", "capture_ref"}) {
    run("block B0 4 locals 2\n  load_local 0\n  push_none\n  load_int 1\n  assign\n"
        "  load_local 1\n  push_none\n  load_function 0\n  push_none\n  load_local 0\n  " + std::string(capture) +
        "\n  pop\n  assign\n"
        "  load_local 0\n  push_none\n  load_int 2\n  assign\n"
        "  load_local 1\n  call_prepare 0\n  call\nend\n"
        "block B1 1 child B0 locals 1 captured 1\n  load_local 0\n  deref\nend\n");
    EXPECT_EQ(result().payload.int_value, std::string(capture) == "capture 0" ? 1 : 2) << capture;
  }
}

TEST_F(Calls, NativeExceptionsAreCaught) {
  struct exception_case {
    std::function<krvvar_shared()> body;  // empty: no callable at all
    const char* message;
  };
  const exception_case cases[] = {
      {[]() -> krvvar_shared { throw std::runtime_error("boom"); }, "thrower: boom"},
      {[]() -> krvvar_shared { throw 5; }, "thrower: unknown native exception"},
      {{}, "thrower: bad_function_call"},
  };
  for (const exception_case& c : cases) {
    assemble("native N0 \"thrower\" 0 0\nblock B0 4\n  run_child 0\n  catch 1\nend\n"
             "block B1 0 child B0 has_catch\n  args_open 0\n  call_native @N0\n  load_int 1\nend\n"
             "block B2 0 child B0 params 1 locals 1\n  load_local 0\nend\n");
    if (c.body) bind("thrower", [&c](krv_vm_context&, std::vector<krvvar_shared>&) { return c.body(); });
    run_started(start());
    EXPECT_EQ(result().get_string(), c.message);
    EXPECT_EQ(infos().back(), "Task script " + address_of(task.get()) + " finished.");
    EXPECT_TRUE(errors().empty());
    log.clear();
  }
}

TEST_F(Calls, AMethodSeesItsObjectOnlyDuringTheCall) {
  assemble("native N0 \"length\" 0 0\ncell C0 none\nblock B0 4\n  load_cell $C0\n  call_prepare 0\n  call\nend\n");
  krvptr_strong<krv_std_string> text = krv_std_string::create("abc");
  krv_function_def& method = *built->natives[0];
  method.is_method = 1;
  built->cells[0]->set_ext_function(text.get(), &method);
  const krvobject_base* seen = nullptr;
  bind("length", [&seen](krv_vm_context& frame, std::vector<krvvar_shared>&) {
    seen = frame.native_self;
    return krvvar_shared::make_int(static_cast<krv_std_string*>(frame.native_self)->text.size());
  });
  run_started(start());
  EXPECT_EQ(seen, text.get());
  EXPECT_EQ(result().payload.int_value, 3);
  EXPECT_EQ(task->root_frame()->native_self, nullptr);
}

TEST_F(Calls, TheOneShotOwnerBecomesTheCalleesBoundSelf) {
  assemble("native N0 \"probe\" 0 0\ncell C0 none\nblock B0 4\n  load_cell $C0\n  call_prepare 0\n  call\nend\n"
           "block B1 1 child B0\n  args_open 0\n  call_native @N0\nend\n");
  krvptr_strong<krv_std_string> owner = krv_std_string::create("self");
  krvvar& function = *built->cells[0];
  function.set_function(built->root->children[0].get(), nullptr);
  auto& record = *static_cast<krvvar_function_record*>(function.payload.record);
  record.owner = krvptr_strong<krvobject_base>(owner).take_block()->object;
  const void* bound = nullptr;
  bind("probe", [&bound](krv_vm_context& frame, std::vector<krvvar_shared>&) {
    bound = frame.bound_self.block()->object;
    return krvvar_shared::make_none();
  });
  run_started(start());
  EXPECT_EQ(bound, static_cast<const krvptr_base_internal*>(owner.get()));
  EXPECT_EQ(record.owner, nullptr);
  // The frame gave its reference back when it went: only ours is left.
  EXPECT_EQ(owner.block()->strong, 1u);
}

// The test helper hands registered functions to vm_call_native with no count check of its own: the call
// itself refuses a count outside the definition's range, and the body (which indexes its arguments up
// to its minimum unchecked) never runs.
TEST_F(Calls, RegisteredFunctionsAreCalledThroughTheirDefinitions) {
  krv_script_calls calls(vm);
  EXPECT_EQ(calls.call("std", "string", {krvvar_shared::make_int(1), krvvar_shared::make_string("b")})->get_string(),
            "1b");
  EXPECT_EQ(calls.call("std", "string", {})->get_string(), "");
  std::vector<krvvar_shared> many(1000, krvvar_shared::make_int(1));
  const struct {
    const char* name;
    std::vector<krvvar_shared> args;
    const char* error;
  } refused[] = {
      {"string", many, "invalid parameter count 1000 min: 0 max: 999"},
      {"kernel_compile", {}, "invalid parameter count 0 min: 1 max: 64"},
      {"kernel_aot_load", {}, "invalid parameter count 0 min: 1 max: 1"},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(calls.call("std", c.name, c.args)->type, KRVVAR_NONE) << c.name;
    EXPECT_TRUE(reported(c.error)) << c.name;
  }
}

}  // namespace
