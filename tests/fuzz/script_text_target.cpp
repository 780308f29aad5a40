// Fuzz target script_text: the input as script text. It is refused on one of its own lines, or it
// assembles into a program that verifies and whose disassembly assembles back to the same code and the
// same listing (script_text_round_trip.h). A verified program whose code cannot loop then runs as a task
// with a call-depth limit of 64 (script_task_run.h): it must end without a crash.
//
// Before the run its natives are bound as `krvhost run` binds them (host/native_binding.h), so calls
// reach the module's bodies, with two exceptions: the host's own natives stay unbound (print would
// print), and so do the ipc functions (a channel is shared memory of the whole machine, and one with a
// callback keeps a run going while anything holds it; the ipc_slots target reads the ring). A native
// that cannot be bound stays unbound, and its calls raise. The kernel JIT finds no C compiler, so no
// input runs one, and the process-wide kernel settings an input changes are put back after it.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "host/module_loader.h"
#include "host/native_binding.h"
#include "kernel/runtime/settings.h"
#include "script_task_run.h"
#include "script_text_round_trip.h"

namespace {

// The module's namespaces, populated once on the fuzz VM. Never destroyed, as the VM is not.
const krv_host_module& fuzz_module() {
  static const krv_host_module* module = [] {
    setenv("KRV_KERNEL_CC", "", 1);  // set but empty: the JIT has no compiler
    auto* loaded = new krv_host_module(krv_linked_module());
    loaded->populate_namespaces(krv_fuzz_vm::instance().host());
    return loaded;
  }();
  return *module;
}

void bind_module_natives(krv_program& program) {
  for (const krvptr_strong<krv_function_def>& native : program.natives)
    if (!native->name.starts_with("ipc.")) krv_bind_native(*native, {}, fuzz_module());
}

// The kernel settings as they were when it was made, put back when it goes.
class kernel_settings_kept {
 public:
  ~kernel_settings_kept() {
    krvk_kernel_mode = mode_;
    krvk_kernel_threads = threads_;
    krvk_jit_mode = jit_;
  }

 private:
  uint32_t mode_ = krvk_kernel_mode, threads_ = krvk_kernel_threads, jit_ = krvk_jit_mode;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krv_fuzz_vm& vm = krv_fuzz_vm::instance();
  vm.clear_log();
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool accepted = false;
  krvptr_strong<krv_program> program;
  const std::string fault = krv_script_text_fault(text, accepted, &program);
  if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str());
  KRV_FUZZ_CHECK(fault.empty());
  if (program && krv_program_runs_to_an_end(*program)) {
    const kernel_settings_kept settings;
    bind_module_natives(*program);
    krv_run_root_as_task(vm.host(), *program);
  }
  return 0;
}
