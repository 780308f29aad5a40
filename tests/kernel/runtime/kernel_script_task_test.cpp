// Kernel errors end to end in an assembled script task: a compile error and a launch trap raised by the
// kernel functions are caught by the script's catch block, which receives the message.
#include "classes/kernel/kernel_classes.h"
#include "kernel/runtime/settings.h"
#include "runtime/objects/namespace.h"
#include "runtime/storage/buffer_object.h"
#include "script_fixture.h"

namespace {

using KernelScriptTask = ScriptTest;

// try { N0(<string 0>) } catch (e) { e }
constexpr const char* caught_call =
    "native N0 \"f\" 0 999\nstring \"%s\"\n"
    "block B0 4\n  run_child 0\n  catch 1\nend\n"
    "block B1 0 child B0 has_catch\n  load_native @N0\n  call_prepare 1\n  load_string 0\n  call_arg 0\n  call\nend\n"
    "block B2 0 child B0 params 1 locals 1\n  load_local 0\nend\n";

std::string script_calling(const std::string& argument) {
  std::string text = caught_call;
  return text.replace(text.find("%s"), 2, argument);
}

TEST_F(KernelScriptTask, ErrorsAreCaughtByTheScript) {
  krv_namespace ns;
  ns.name = "std";
  for (auto& populate : krv_global().namespace_initializers.at("std")) populate(ns);
  krvk_jit_mode.store(KRVK_JIT_OFF);
  krv_function_def& compile = *ns.functions[0];
  ASSERT_EQ(compile.name, "kernel_compile");

  assemble(script_calling("kernel void bad("));
  bind("f", compile.callable);
  run_started(start());
  EXPECT_EQ(result().get_string().substr(0, 38), "kernel compile error at <kernel>:1:17:");

  // The argument is the kernel's source; the native compiles it and launches its kernel 'k' over 3 items
  // with a 2-element buffer, which traps at gid 2.
  assemble(script_calling("kernel i32 k(const i32* x) reduce(+) { return x[gid]; }"));
  bind("f", [&compile](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
    krvvar_shared unit = compile.callable(frame, args);
    krvvar_shared kernel = unit->object_ptr<krv_std_kernel_unit>()->get("k");
    krvptr_strong<krv_std_buffer> memory = krv_std_buffer::create();
    memory->bytes.assign(8, 1);
    std::vector<krvvar_shared> launch_args{krvvar_shared::make_int(3),
                                           krvvar_shared::make_object(std::move(memory))};
    krv_function_def& launch = *krv_std_kernel::statics().members[0]->function_descriptor();
    krvobject_base* previous = std::exchange(frame.native_self, kernel->object_ptr());
    krvvar_shared result = launch.callable(frame, launch_args);
    frame.native_self = previous;
    return result;
  });
  run_started(start());
  EXPECT_EQ(result().get_string().substr(0, 41), "kernel 'k' failed at <kernel>:1 (gid 2): ");
}

}  // namespace
