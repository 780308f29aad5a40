#include "script_runner.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_memory_access.h"
#include "host_thread.h"
#include "host_vm.h"
#include "module/vm_lock.h"
#include "module_loader.h"
#include "runtime/base/raise.h"
#include "runtime/exec/program_block.h"
#include "runtime/exec/task.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/json_object.h"
#include "script_text.h"

namespace {

constexpr uint32_t run_call_depth_limit = 10000;
constexpr uint64_t idle_wait_ms = 10;

// Error and warning lines of the VM's log, on stderr as they come.
class stderr_listener final : public krv_log_listener {
 public:
  void on_warning(const std::string& text) override { print(text); }
  void on_error(const std::string& text) override { print(text); }

 private:
  static void print(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }
};

bool read_file(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream contents;
  contents << file.rdbuf();
  text = contents.str();
  return !file.bad();
}

// The line of the text that declares native `name`, 0 when none is found.
uint32_t native_line(std::string_view text, std::string_view name) {
  const std::string quoted = "\"" + std::string(name) + "\"";
  uint32_t number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    ++number;
    const std::string_view line = text.substr(start, end - start);
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line.substr(first).starts_with("native") &&
        line.find(quoted) != std::string_view::npos)
      return number;
    start = end + 1;
  }
  return 0;
}

krvvar_shared print_values(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ' ';
    line += args[i]->get_string();
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  return krvvar_shared::make_none();
}

// Sums 1..n on a worker; the script resumes with the sum.
krvvar_shared worker_sum(krv_vm_context& frame, std::vector<krvvar_shared>& args) {
  const int64_t n = args.empty() ? 0 : args[0]->int_value();
  return frame.return_thread([n] {
    int64_t sum = 0;
    for (int64_t i = 1; i <= n; ++i) sum += i;
    return krvvar_shared::make_int(sum);
  });
}

// The script's arguments as a std.json list of strings, a fresh list on each call.
krvvar_shared script_args(const std::vector<std::string>& words) {
  krvvar_shared list = krvvar_shared::make_json();
  for (const std::string& word : words) {
    krvvar_shared text = krvvar_shared::make_string(word);
    list->object_ptr<krv_std_json>()->push_value(text);
  }
  return list;
}

// Milliseconds with the clock's own resolution, so that short spans can be timed.
krvvar_shared clock_ms(krv_vm_context&, std::vector<krvvar_shared>&) {
  const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
  return krvvar_shared::make_float(std::chrono::duration<double, std::milli>(since_origin).count());
}

// The value's type as messages name it: "int", "float", "string", "json", a class name for an object.
krvvar_shared type_name(krv_vm_context&, std::vector<krvvar_shared>& args) {
  if (args.empty()) return krv_raise_error("type_name expects a value");
  const krvvar_shared value = args[0].deref_copy();
  return krvvar_shared::make_string(krv_var_type_name(value.get()));
}

// Length, byte count or entry count of a string, buffer, container or object; 8 (the payload's bytes)
// for a number; 0 for anything else.
krvvar_shared size_of(krv_vm_context&, std::vector<krvvar_shared>& args) {
  if (args.empty()) return krv_raise_error("size_of expects a value");
  const krvvar_shared value = args[0].deref_copy();
  switch (value->type) {
    case KRVVAR_INT:
    case KRVVAR_FLOAT: return krvvar_shared::make_int(8);
    case KRVVAR_STRING:
    case KRVVAR_BUFFER:
    case KRVVAR_JSON:
    case KRVVAR_OBJECT: return krvvar_shared::make_int(value->size());
  }
  return krvvar_shared::make_int(0);
}

// A buffer value (the binary format carries it; a std.buffer object it does not) with the bytes of a
// string, or of a std.buffer that no kernel launch is writing.
krvvar_shared buffer_value(krv_vm_context&, std::vector<krvvar_shared>& args) {
  const krvvar_shared value = args.empty() ? krvvar_shared::make_none() : args[0].deref_copy();
  if (value->type == KRVVAR_STRING) {
    const std::string_view text = value->string_view_value();
    return krvvar_shared::make_buffer(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  const krv_std_buffer* buffer = krv_var_std_buffer(value.get());
  if (buffer == nullptr) return krv_raise_error("buffer_value expects a string or a std.buffer");
  if (buffer->write_holds != 0) return krv_raise_error(krv_buffer_in_use_text);
  return krvvar_shared::make_buffer(buffer->bytes.data(), buffer->bytes.size());
}

// Raises the argument texts, joined by spaces, as a runtime error: a script's way to give up.
krvvar_shared fail(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string message;
  for (size_t i = 0; i < args.size(); ++i) message += (i > 0 ? " " : "") + args[i]->get_string();
  return krv_raise_error_text(message);
}

// The namespace function "ns.fn" of the loaded module, null when there is none.
const krv_function_def* namespace_function(const krv_host_module& module, std::string_view qualified) {
  const size_t dot = qualified.find('.');
  if (dot == std::string_view::npos) return nullptr;
  const auto space = module.namespaces().find(qualified.substr(0, dot));
  if (space == module.namespaces().end()) return nullptr;
  const std::string_view name = qualified.substr(dot + 1);
  const auto& functions = space->second.functions;
  // A name added twice calls the later definition, as the namespace's value does.
  for (auto it = functions.rbegin(); it != functions.rend(); ++it)
    if ((*it)->name == name) return it->get();
  return nullptr;
}

// Binds every native of `program`; false after printing the first unknown name with its line.
bool bind_natives(krv_program& program, const krv_host_module& module, const krv_run_options& options,
                  std::string_view text) {
  for (const auto& native : program.natives) {
    if (native->name == "print") {
      native->callable = print_values;
    } else if (native->name == "worker_sum") {
      native->callable = worker_sum;
    } else if (native->name == "script_args") {
      native->callable = [&words = options.script_args](krv_vm_context&, std::vector<krvvar_shared>&) {
        return script_args(words);
      };
    } else if (native->name == "clock_ms") {
      native->callable = clock_ms;
    } else if (native->name == "type_name") {
      native->callable = type_name;
    } else if (native->name == "size_of") {
      native->callable = size_of;
    } else if (native->name == "buffer_value") {
      native->callable = buffer_value;
    } else if (native->name == "fail") {
      native->callable = fail;
    } else if (const krv_function_def* function = namespace_function(module, native->name)) {
      native->callable = function->callable;
    } else {
      std::fprintf(stderr, "%s: line %u: unknown native '%.*s'\n", options.path.c_str(),
                   native_line(text, native->name), static_cast<int>(native->name.size()), native->name.data());
      return false;
    }
  }
  return true;
}

// Everything that runs on the VM thread: loading, the root task and the ticks.
int run_on_vm_thread(const krv_run_options& options, const std::string& text) {
  krvptr_strong<krv_program> program;
  try {
    program = krv_assemble_text(text);
  } catch (const std::invalid_argument& refused) {
    std::fprintf(stderr, "%s: %s\n", options.path.c_str(), refused.what());
    return KRV_RUN_REFUSED;
  }
  // Only a task block starts a global scope: any other kind would find no scope to run in, and its
  // error, raised before any task exists, would leave nothing to fail the run.
  if (program->root->kind != KRV_BLOCK_TASK) {
    std::fprintf(stderr, "%s: the root block must be a task block (kind %d)\n", options.path.c_str(),
                 static_cast<int>(KRV_BLOCK_TASK));
    return KRV_RUN_REFUSED;
  }
  krv_host_vm vm(program->name.empty() ? "krvhost" : program->name);
  vm.attach_current_thread();
  stderr_listener listener;
  const auto connection = vm.log().connect(&listener);
  int exit_code = KRV_RUN_OK;
  {
    krv_host_module module(krv_linked_module());
    module.populate_namespaces(vm);
    if (!bind_natives(*program, module, options, text)) {
      exit_code = KRV_RUN_REFUSED;
    } else {
      vm.state().settings.max_call_depth = run_call_depth_limit;
      vm.start_workers(options.workers);
      bool failed = false;
      krvptr_strong<krv_task> root;
      {
        krv_vm_lock guard(vm.state());
        krv_get_thread_local().current_task = nullptr;
        root = krv_task_create(program->root, nullptr);
        root->on_error = [&failed](krvvar_shared&) { failed = true; };
        if (krv_task::run(*root, nullptr) != 1) failed = true;
      }
      // An object on the update list (a channel waiting for messages) keeps the run going; a root task
      // that failed ends it at once, or a channel it left open would keep it going for ever.
      while (!failed && !vm.idle()) {
        vm.tick();
        if (!vm.idle()) vm.wait_for_work(idle_wait_ms);
      }
      vm.stop_workers();
      {
        krv_vm_lock guard(vm.state());
        for (const krvptr_strong<krv_task>& waiting : vm.state().wait_list) {
          std::fprintf(stderr, "krvhost: task %s (%p) was left waiting\n", waiting->name.c_str(),
                       static_cast<const void*>(waiting.get()));
          failed = true;
        }
        vm.state().wait_list.clear();
        root.release();
        program.release();
      }
      if (failed) exit_code = KRV_RUN_FAILED;
    }
  }
  std::fflush(stdout);
  vm.log().close(connection);
  krv_host_vm::detach_current_thread();
  return exit_code;
}

}  // namespace

int krv_run_script_file(const krv_run_options& options) {
  std::string text;
  if (!read_file(options.path, text)) {
    std::fprintf(stderr, "krvhost: cannot read %s\n", options.path.c_str());
    return KRV_RUN_REFUSED;
  }
  int exit_code = KRV_RUN_FAILED;
  krv_host_thread vm_thread([&] { exit_code = run_on_vm_thread(options, text); });
  vm_thread.join();
  return exit_code;
}
