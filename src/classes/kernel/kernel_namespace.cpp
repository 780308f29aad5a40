// The kernel facility's entry into namespace "std": the four kernel classes and the seven kernel
// functions, registered by the first "std" registrar in link order.
//
// The functions read and change the process-wide kernel settings (atomic, no lock) and pass through to
// the compiler (kernel_compile), the JIT discovery (kernel_jit_compiler) and the ahead-of-time code
// (kernel_aot_source, kernel_aot_load). Every failure is a catchable runtime error and the result None.
#include <algorithm>
#include <stdexcept>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_classes.h"
#include "classes/kernel/kernel_unit.h"
#include "classes/kernel/kernel_workers.h"
#include "kernel/native/aot.h"
#include "kernel/native/jit_cache.h"
#include "kernel/runtime/settings.h"
#include "module/namespace_registry.h"
#include "module/vm_lock.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/namespace.h"
#include "runtime/storage/json_object.h"

namespace {

using args_t = std::vector<krvvar_shared>;

// How deep kernel_aot_source follows lists inside lists; a deeper (or self-containing) list does not
// collect, so a hostile value cannot exhaust the stack.
constexpr int max_list_depth = 64;

// Programs gathered for the generator, and the units that keep them alive meanwhile.
struct collected_kernels {
  std::vector<const krvk_program*> programs;
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;
};

bool collect_kernels(krvvar* value, collected_kernels& out, int depth) {
  if (value == nullptr || depth > max_list_depth) return false;
  krvobject_base* object = value->object_ptr();
  if (object == nullptr) return false;
  if (auto* kernel = krvptr_cast<krv_std_kernel>(object)) {
    if (kernel->program == nullptr) return false;
    out.programs.push_back(kernel->program);
    out.units.push_back(kernel->unit);
    return true;
  }
  if (auto* unit = krvptr_cast<krv_std_kernel_unit>(object)) {
    if (!unit->unit) return false;
    for (const auto& program : unit->unit->kernels) out.programs.push_back(program.get());
    out.units.push_back(unit->unit);
    return true;
  }
  auto* list = value->type == KRVVAR_JSON ? krvptr_cast<krv_std_json>(object) : nullptr;
  if (list == nullptr) return false;
  for (int64_t i = 0; i < list->size(); ++i) {
    krvvar_shared element = list->at(i);
    if (!collect_kernels(krv_kernel_follow_refs(element.get()), out, depth + 1)) return false;
  }
  return true;
}

// Sets a setting from one of its words when an argument is given; answers the current word.
template <size_t N>
krvvar_shared setting_word(args_t& args, std::atomic<uint32_t>& setting, const std::array<const char*, N>& words,
                           const char* refusal) {
  if (!args.empty()) {
    const std::string word = krv_kernel_text_arg(args[0]);
    auto found = std::find_if(words.begin(), words.end(), [&](const char* known) { return word == known; });
    if (found == words.end()) return krv_raise_error(refusal);
    setting.store(static_cast<uint32_t>(found - words.begin()));
  }
  return krvvar_shared::make_string(words[std::min<size_t>(setting.load(), N - 1)]);
}

krvvar_shared kernel_threads(krv_vm_context&, args_t& args) {
  if (!args.empty()) {
    const int64_t wanted = args[0] ? args[0]->int_value() : 0;
    krvk_kernel_threads.store(static_cast<uint32_t>(std::clamp<int64_t>(wanted, 0, 4096)));
  }
  return krvvar_shared::make_int(krv_kernel_thread_budget());
}

krvvar_shared kernel_jit(krv_vm_context&, args_t& args) {
  return setting_word(args, krvk_jit_mode, krvk_jit_mode_words, "kernel_jit expects 'auto', 'sync' or 'off'");
}

krvvar_shared kernel_mode(krv_vm_context&, args_t& args) {
  return setting_word(args, krvk_kernel_mode, krvk_kernel_mode_words,
                      "kernel_mode expects 'auto', 'scalar' or 'batch'");
}

// Never probes a compiler on the VM thread; a discovery still under way is waited for briefly, with the
// VM lock given up meanwhile.
krvvar_shared kernel_jit_compiler(krv_vm_context&, args_t&) {
  std::string compiler;
  {
    krv_vm_unlock unlocked;
    compiler = krvk_jit_compiler_in_use();
  }
  krvk_jit_pass_on_warnings();
  return krvvar_shared::make_string(compiler);
}

krvvar_shared kernel_aot_source(krv_vm_context&, args_t& args) {
  collected_kernels kernels;
  for (krvvar_shared& arg : args) {
    if (!collect_kernels(krv_kernel_follow_refs(arg.get()), kernels, 0)) {
      return krv_raise_error("kernel_aot_source expects kernels (std.kernel), units (std.kernel_unit) or lists of them");
    }
  }
  try {
    return krvvar_shared::make_string(krvk_aot_source(kernels.programs));
  } catch (const std::exception& failure) {
    return krv_raise_error_text(failure.what());
  }
}

krvvar_shared kernel_aot_load(krv_vm_context&, args_t& args) {
  std::string error;
  const int count = krvk_aot_load(krv_kernel_text_arg(args[0]), error);
  if (count < 0) return krv_raise_error("kernel_aot_load: ", error);
  return krvvar_shared::make_int(count);
}

void add(krv_namespace& ns, std::string_view name, krv_native_fn body, uint32_t min_args, uint32_t max_args,
         std::string_view help, std::initializer_list<std::string_view> param_help) {
  ns.add_function(name, std::move(body), min_args, max_args, help);
  auto& added = ns.functions.back()->param_help;
  added.insert(added.end(), param_help);
}

}  // namespace

void krv_kernel_register_std_functions(krv_namespace& ns) {
  krv_std_kernel_unit::script_register_internal();
  krv_std_kernel::script_register_internal();
  krv_std_kernel_struct::script_register_internal();
  krv_std_kernel_job::script_register_internal();

  add(ns, "kernel_compile", krv_kernel_compile, 1, 64,
      "Compiles kernel source (see the kernel docs) and returns a std.kernel_unit: its kernels, structs and "
      "constants by name. Imported units (std.kernel_unit, or lists of them) give the source their structs, "
      "constants and kernel inline helpers.",
      {"source: string - kernel declarations", "file: string - optional file name for error messages",
       "imports: std.kernel_unit... - optional units to import"});
  add(ns, "kernel_threads", kernel_threads, 0, 1,
      "Threads used by kernel launches (including the launching thread). Sets the limit when called with n (0 = "
      "all), returns the current number.",
      {"n: int - optional new limit"});
  add(ns, "kernel_jit", kernel_jit, 0, 1,
      "Native code for kernels with the installed C compiler: 'auto' (default: compiled in the background, the VM "
      "runs until it is ready), 'sync' (compiled at the first launch) or 'off' (VM only).",
      {"policy: string - optional"});
  add(ns, "kernel_aot_source", kernel_aot_source, 1, 64,
      "C source with the native code of kernels for targets without a C compiler: build it as a shared library "
      "(-DKRVK_AOT_SHARED, linked with -lm) and load it with std.kernel_aot_load(), or compile it into the "
      "interpreter as C++. "
      "Kernels use it when their bytecode is unchanged.",
      {"kernels: std.kernel, std.kernel_unit or lists of them"});
  add(ns, "kernel_aot_load", kernel_aot_load, 1, 1,
      "Loads a shared library built from std.kernel_aot_source(); returns the number of kernels it contains. "
      "Matching kernels run its native code from their next launch on (k.jit_status() is 'aot').",
      {"path: string - the .so / .dll / .dylib"});
  add(ns, "kernel_jit_compiler", kernel_jit_compiler, 0, 0,
      "The C compiler the kernel JIT uses ('' when none was found; set KRV_KERNEL_CC to choose one)", {});
  add(ns, "kernel_mode", kernel_mode, 0, 1,
      "Kernel interpreter: 'auto' (default), 'scalar' (one gid at a time) or 'batch' (64 gids per instruction). For "
      "tests and benchmarks, the results are the same.",
      {"mode: string - optional"});
}

namespace {

const krv_namespace_static_registrar kernel_registrar("std", krv_kernel_register_std_functions);

}  // namespace
