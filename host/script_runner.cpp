#include "host/script_runner.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "classes/ipc/ipc_channel.h"
#include "classes/kernel/kernel_workers.h"
#include "host/assembler/script_text.h"
#include "host/host_natives.h"
#include "host/host_thread.h"
#include "host/host_vm.h"
#include "host/module_loader.h"
#include "host/native_binding.h"
#include "host/run_stop.h"
#include "host/script_file.h"
#include "host/standard_output.h"
#include "module/vm_lock.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/exec/task/task_abandon.h"
#include "runtime/objects/function_def.h"

namespace {

constexpr uint32_t run_call_depth_limit = 10000;
// How long the end of a run waits for its workers to leave. A worker still busy after this is in work
// that cannot be interrupted and whose result nobody will use (a backtracking regular-expression match or
// an idle_ms of a task the run leaves behind): the process ends without it, naming what it runs.
constexpr auto exit_patience = std::chrono::milliseconds(250);

// Error and warning lines of the VM's log, on stderr as they come.
class stderr_listener final : public krv_log_listener {
 public:
  void on_warning(const std::string& text) override { print(text); }
  void on_error(const std::string& text) override { print(text); }

 private:
  static void print(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }
};

// Binds every native of the program; false after printing the first that cannot be bound, with its line.
bool bind_natives(const krv_assembled_text& assembled, const krv_host_module& module, const krv_run_options& options) {
  const std::vector<krv_host_native> host_natives = krv_host_natives(options.script_args);
  const auto& natives = assembled.program->natives;
  for (size_t i = 0; i < natives.size(); ++i) {
    const std::string refusal = krv_bind_native(*natives[i], host_natives, module);
    if (!refusal.empty()) {
      std::fprintf(stderr, "%s: line %zu: %s\n", options.path.c_str(), assembled.native_lines[i], refusal.c_str());
      return false;
    }
  }
  return true;
}

// Channels still open when the run ends are disconnected, so that a ring this process created is unlinked
// and nothing is left in /dev/shm (once a reader has taken what it sent, or the wait for one ended), and
// their callbacks are dropped. A channel whose callback reaches it again
// through the script's globals is a reference cycle, which counting never frees: without this, a run
// that ended with an error left the ring, and the cycle's objects were never destroyed.
void close_open_channels(krv_vm_state& vm) {
  const std::vector<krvobject_update_pre*> listed = vm.update_list;
  for (krvobject_update_pre* object : listed) {
    auto* channel = dynamic_cast<krv_ipc*>(object);
    if (channel == nullptr) continue;
    channel->disconnect();
    krvvar_shared no_callback = krvvar_shared::make_none();
    channel->set_callback(no_callback);
  }
}

// Ends the process while workers still run: nothing is destroyed, since they still use the VM, its pools
// and the module's statics. What must not outlive the process goes first: the channels' shared memory is
// unlinked, every kernel build's compiler is killed and the output flushed.
[[noreturn]] void exit_leaving_busy_workers(krv_host_vm& vm, int exit_code) {
  {
    krv_vm_lock guard(vm.state());
    close_open_channels(vm.state());
  }
  krv_kernel_abandon_builds();
  std::string running;
  for (const std::string& name : vm.busy_work()) running += (running.empty() ? " (running " : ", ") + name;
  if (!running.empty()) running += ")";
  std::fprintf(stderr, "krvhost: a worker is still busy after the run ended%s; exiting without waiting for it\n",
               running.c_str());
  _exit(krv_run_exit_with_output_written(exit_code));
}

// Releasing the run's globals starts their finalisers, which may hand work off (served by the VM thread
// itself, the workers being stopped) or wait for a due time: the VM runs until none of them has work to
// come, or until a stop is asked for meanwhile. Then what they left is dropped as at the loop's end.
void finish_finalisers(krv_host_vm& vm, const krv_run_stop& stop) {
  const int stopped_by = stop.signal();
  while (stop.signal() == stopped_by && vm.tasks_left()) {
    vm.tick();
    if (stop.signal() == stopped_by && vm.tasks_left()) vm.wait_for_work();
  }
  krv_vm_lock guard(vm.state());
  close_open_channels(vm.state());
  krv_abandon_unfinished_tasks(vm.state());
}

// Everything that runs on the VM thread: loading, the root task and the ticks, until nothing is left to
// do, the root task fails or `stop` is asked for.
int run_on_vm_thread(const krv_run_options& options, const std::string& text, krv_run_stop& stop) {
  krv_assembled_text assembled;
  try {
    assembled = krv_assemble_text_with_lines(text);
  } catch (const std::invalid_argument& refused) {
    std::fprintf(stderr, "%s: %s\n", options.path.c_str(), refused.what());
    return KRV_RUN_REFUSED;
  }
  krvptr_strong<krv_program>& program = assembled.program;
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
    if (!bind_natives(assembled, module, options)) {
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
      // A connected channel keeps the run going; a root task that failed ends it at once, or a channel it
      // left open would keep it going for ever. A stop request wakes the VM thread from its wait.
      stop.attach(vm.state().notify);
      while (!failed && stop.signal() == 0 && !vm.idle()) {
        vm.tick(true);
        if (stop.signal() == 0 && !vm.idle()) vm.wait_for_work();
      }
      const int stopped_by = stop.signal();
      // Any task that an error no catch took ended fails the run: the root task ends it at once, the
      // others (std.thread tasks, callbacks, finalisers) only themselves. So does a channel that lost what
      // it carried (messages it sent that no reader took, a ring another process cut short).
      const auto exit_code_now = [&] {
        const int signal = stop.signal();  // a stop asked for while the finalisers ran counts too
        const krv_vm_state& state = vm.state();
        const bool errors = failed || state.unhandled_task_errors != 0 || state.ipc_losses != 0;
        return signal != 0 ? KRV_RUN_SIGNALLED + signal : errors ? KRV_RUN_FAILED : KRV_RUN_OK;
      };
      const bool worker_busy = !vm.stop_workers_within(exit_patience);
      vm.serve_jobs_here();
      {
        krv_vm_lock guard(vm.state());
        close_open_channels(vm.state());
        // Tasks that a stop interrupted were not left behind by the script, nor is one that waits for a
        // busy worker's result.
        if (stopped_by == 0) {
          for (const krvptr_strong<krv_task>& waiting : vm.state().wait_list) {
            if (waiting->results_awaited != 0) continue;
            std::fprintf(stderr, "krvhost: task %s (%p) was left waiting\n", waiting->name.c_str(),
                         static_cast<const void*>(waiting.get()));
            failed = true;
          }
        }
        krv_abandon_unfinished_tasks(vm.state());
        root.release();
      }
      finish_finalisers(vm, stop);
      stop.attach(nullptr);
      // A worker still busy runs a native that the program may own (a host native's definition, whose
      // name the exit's line reads): the process ends with the program as it ends with the VM, kept.
      // The worker is given the patience once more: the end of the run may have ended its job since (a
      // dropped kernel job stops its launch, whose helper then still has to leave the job).
      if (worker_busy && !vm.stop_workers_within(exit_patience))
        exit_leaving_busy_workers(vm, exit_code_now());
      {
        // Only now: a finaliser that ran late would find its class gone and be skipped without a word.
        krv_vm_lock guard(vm.state());
        program.release();
      }
      exit_code = exit_code_now();
    }
  }
  exit_code = krv_run_exit_with_output_written(exit_code);
  vm.log().close(connection);
  krv_host_vm::detach_current_thread();
  return exit_code;
}

}  // namespace

int krv_run_exit_with_output_written(int exit_code) {
  const bool written = krv_stdout_flush();
  return !written && exit_code == KRV_RUN_OK ? KRV_RUN_FAILED : exit_code;
}

int krv_run_script_file(const krv_run_options& options) {
  std::string text;
  std::string reason;
  if (!krv_read_script_file(options.path, text, reason)) {
    std::fprintf(stderr, "krvhost: cannot read %s: %s\n", options.path.c_str(), reason.c_str());
    return KRV_RUN_REFUSED;
  }
  int exit_code = KRV_RUN_FAILED;
  krv_run_stop stop;
  krv_host_thread vm_thread([&] {
    krv_run_stop::block_on_this_thread();
    exit_code = run_on_vm_thread(options, text, stop);
    stop.run_ended();
  });
  stop.watch();
  vm_thread.join();
  // Before the handlers go: a signal in between would end the process with a background build's compiler
  // still running and its files left in the cache.
  krv_kernel_abandon_builds();
  return exit_code;
}
