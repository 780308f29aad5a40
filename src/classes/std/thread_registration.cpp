// What scripts reach of "std.thread": its method table, the constructor function "thread" in namespace
// "std", and the registrar that adds both while the library loads. Its place among the sources of
// classes/std (after the string registration) fixes its place in the registry.
#include "classes/std/method_registration.h"
#include "classes/std/thread_group.h"
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"

namespace {

using methods = krv_class_methods<krv_std_thread>;

// The most arguments `run` passes on to the callback.
constexpr uint32_t max_run_args = 999;

void register_thread_class(krv_namespace& ns) {
  krv_function_def* constructor =
      ns.add_class<krv_std_thread>(&krv_std_thread::constructor_function, 0, 1, "threading");
  if (constructor == nullptr) return;
  constructor->param_help.push_back("Create a new thread object with optional callback function");
  constructor->param_help.push_back("callback: function - The function to be executed in the new thread");
}

const krv_namespace_static_registrar thread_registrar("std", register_thread_class);

}  // namespace

void krv_std_thread::script_register() {
  statics().create_new = [] { return krvptr_strong<krv_std_thread>::from_raw(new krv_std_thread()); };
  methods::add(
      "run", [](krv_std_thread* self, krv_vm_context&, std::vector<krvvar_shared>& args) { return self->run(args); },
      0, max_run_args, "Execute callback function asynchronously as a task",
      {"...: any - Variable arguments to pass to the callback function"});
  methods::add(
      "join", [](krv_std_thread* self, krv_vm_context& frame, std::vector<krvvar_shared>&) { return self->join(frame); },
      0, 0, "Join active tasks and wait for their completion");
  methods::add(
      "get_results",
      [](krv_std_thread* self, krv_vm_context&, std::vector<krvvar_shared>& args) { return self->get_results(args); },
      0, 1, "Get returned values", {"index: int"});
}
