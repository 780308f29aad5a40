// Methods of "std.kernel" and "std.kernel_job": the two roads of a launch and the kernel's inspection.
//
// launch(): bind (VM lock held), give the VM lock up, ask for native code, start helpers, run lanes on
// this thread and wait, take the lock back, finish. launch_async(): bind with string copies, ask for
// native code without the VM lock, start at least one helper (or run everything now when none starts)
// and hand the state to a job, whose wait() finishes it. From the binding until a job owns the state,
// every exit (a thrown request or helper start too) stops the launch, waits for its runners and gives
// the holds back, so no runner can touch bytes that the script has freed. Once a stop is requested,
// each of launch(), launch_async() and wait() lets its task leave the thread after the call.
//
// An asynchronous launch is one the script may leave behind: it ends with the run's stop
// (kernel/runtime/launch_stops.h), and a job dropped unwaited stops its launch rather than run the
// lanes left for nobody (its destructor runs on the script's thread, which would otherwise wait there for
// the whole launch, even at the end of a run that an error or a signal ended).
#include <algorithm>

#include "classes/kernel/kernel_launch_finish.h"
#include "classes/kernel/kernel_workers.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/launch_runners.h"
#include "kernel/runtime/launch_stops.h"
#include "kernel/runtime/listing.h"
#include "module/vm_lock.h"
#include "platform/stop_request.h"
#include "runtime/exec/task/task.h"
#include "runtime/storage/json_object.h"

namespace {

using args_t = std::vector<krvvar_shared>;

// Until dismissed, an exit stops the launch, waits for its runners and releases the holds. Declared
// outside the scope that gives the VM lock up, so it runs with the lock taken back.
class unfinished_launch_guard {
 public:
  explicit unfinished_launch_guard(krv_kernel_launch_state& state) : state_(&state) {}
  ~unfinished_launch_guard() {
    if (state_ == nullptr) return;
    state_->launch->stop();
    state_->launch->wait();
    state_->release();
  }
  unfinished_launch_guard(const unfinished_launch_guard&) = delete;
  unfinished_launch_guard& operator=(const unfinished_launch_guard&) = delete;
  void dismiss() noexcept { state_ = nullptr; }

 private:
  krv_kernel_launch_state* state_;
};

// A launch is a point where the task sees a stop request (platform/stop_request.h): the task leaves its
// thread after the call, so that the host's loop, which ends the run, comes in between. A task that
// only launches kernels in a loop would otherwise never leave it, and one Ctrl-C would never end it.
void yield_when_stopping(krv_vm_context& frame) {
  if (krv_platform::stop_requested()) krv_task::yield(frame);
}

krvvar_shared string_or_none(const krvk_program* program, std::string (*text)(const krvk_program&)) {
  return program == nullptr ? krvvar_shared::make_none() : krvvar_shared::make_string(text(*program));
}

namespace kernel_method {

krvvar_shared launch(krv_std_kernel* self, krv_vm_context& frame, args_t& args) {
  if (self->program == nullptr) return krvvar_shared::make_none();
  std::string error;
  std::shared_ptr<krv_kernel_launch_state> state = krv_kernel_launch_bind(*self, args, false, error);
  if (!state) return krv_raise_error_text(error);
  krvk_launch& run = *state->launch;
  const uint64_t spare_chunks = run.chunk_count == 0 ? 0 : run.chunk_count - 1;
  const int allowed = static_cast<int>(std::min<uint64_t>(krv_kernel_thread_budget() - 1, spare_chunks));
  const int helpers = krvk_helpers_worth_starting(*self->program, run.total, allowed);
  unfinished_launch_guard guard(*state);
  {
    krv_vm_unlock unlocked;
    krvk_jit_request(self->unit, self->program, krvk_jit_background());
    run.start_helpers(helpers, krv_kernel_enqueue());
    run.wait();
  }
  guard.dismiss();
  krvvar_shared result = krv_kernel_launch_finish(*self, *state);
  yield_when_stopping(frame);
  return result;
}

krvvar_shared launch_async(krv_std_kernel* self, krv_vm_context& frame, args_t& args) {
  if (self->program == nullptr) return krvvar_shared::make_none();
  std::string error;
  std::shared_ptr<krv_kernel_launch_state> state = krv_kernel_launch_bind(*self, args, true, error);
  if (!state) return krv_raise_error_text(error);
  krvk_launch& run = *state->launch;
  unfinished_launch_guard guard(*state);
  krvk_stop_with_run(state->launch);
  const krvk_enqueue_fn enqueue = krv_kernel_enqueue();
  {
    krv_vm_unlock unlocked;
    krvk_jit_request(self->unit, self->program, krvk_jit_background());
  }
  // The launching thread goes back to the script, so the helpers are all the runners: at least one.
  const int helpers = std::max(krvk_helpers_worth_starting(*self->program, run.total, krv_kernel_thread_budget() - 1), 1);
  const int started = run.chunk_count == 0 ? 0 : run.start_helpers(helpers, enqueue);
  if (started == 0) {
    krv_vm_unlock unlocked;
    run.wait();
  }
  krvptr_strong<krv_std_kernel_job> job = krv_std_kernel_job::statics().create_new();
  job->state = state;
  job->kernel = krvptr_strong<krv_std_kernel>::from_raw(self);
  guard.dismiss();
  yield_when_stopping(frame);
  return krvvar_shared::make_object(std::move(job));
}

krvvar_shared disasm(krv_std_kernel* self, krv_vm_context&, args_t&) {
  return string_or_none(self->program, krvk_disasm);
}

krvvar_shared jit_status(krv_std_kernel* self, krv_vm_context&, args_t&) {
  return krvvar_shared::make_string(krvk_jit_status_text(self->program));
}

krvvar_shared jit_source(krv_std_kernel* self, krv_vm_context&, args_t&) {
  try {
    return string_or_none(self->program, krvk_jit_source);
  } catch (const std::exception& failure) {
    return krv_raise_error_text(failure.what());
  }
}

krvvar_shared name(krv_std_kernel* self, krv_vm_context&, args_t&) {
  return string_or_none(self->program, [](const krvk_program& program) { return program.name; });
}

krvvar_shared params(krv_std_kernel* self, krv_vm_context&, args_t&) {
  krvvar_shared list = krvvar_shared::make_json();
  if (self->program == nullptr) return list;
  for (const krvk_param& param : self->program->parameters) {
    krvvar_shared entry = krvvar_shared::make_json();
    krvvar_shared name = krvvar_shared::make_string(param.name), type = krvvar_shared::make_string(param.type_text);
    entry->object_ptr<krv_std_json>()->push_value(name, "name");
    entry->object_ptr<krv_std_json>()->push_value(type, "type");
    list->object_ptr<krv_std_json>()->push_value(entry);
  }
  return list;
}

krvvar_shared returns(krv_std_kernel* self, krv_vm_context&, args_t&) {
  return string_or_none(self->program, [](const krvk_program& program) {
    return program.result_type.prim == KRVK_VOID ? std::string("void") : program.result_text;
  });
}

}  // namespace kernel_method

namespace job_method {

krvvar_shared wait(krv_std_kernel_job* self, krv_vm_context& frame, args_t&) {
  if (!self->state || !self->kernel) return krvvar_shared::make_none();
  if (!self->state->released) {
    krv_vm_unlock unlocked;
    self->state->launch->wait();
  }
  krvvar_shared result = krv_kernel_launch_finish(*self->kernel, *self->state);
  yield_when_stopping(frame);
  return result;
}

krvvar_shared done(krv_std_kernel_job* self, krv_vm_context&, args_t&) {
  if (!self->state) return krvvar_shared::make_int(0);
  const krvk_launch& run = *self->state->launch;
  const bool nothing_left = run.next_chunk.load() >= run.chunk_count || run.abort.load() != 0;
  return krvvar_shared::make_int(nothing_left && run.active_runners.load() == 0 ? 1 : 0);
}

}  // namespace job_method

}  // namespace

void krv_std_kernel::to_string(std::string& out) { out = program == nullptr ? "kernel" : "kernel " + program->name; }

void krv_std_kernel::script_register() {
  using T = krv_std_kernel;
  statics().create_new = krv_kernel_create_zeroed<T>;
  krv_kernel_add_method<T>("launch", kernel_method::launch, 1, krv_any_arg_count,
                           "Runs the kernel for every gid of the domain and waits for it. Returns the reduction "
                           "result (None for void kernels).",
                           {"domain: int | [width, height] - number of invocations (gid 0 .. domain - 1), 2D: "
                            "gid_x / gid_y",
                            "...: the kernel arguments"});
  krv_kernel_add_method<T>("launch_async", kernel_method::launch_async, 1, krv_any_arg_count,
                           "Starts the kernel on worker threads and returns a std.kernel_job at once. The buffers "
                           "stay locked until wait(). Dropping the job unwaited, or a stop of the run, stops the "
                           "launch.",
                           {"domain: int | [width, height]", "...: the kernel arguments"});
  krv_kernel_add_method<T>("disasm", kernel_method::disasm, 0, 0, "Bytecode of the kernel (for debugging and tests)");
  krv_kernel_add_method<T>("jit_status", kernel_method::jit_status, 0, 0,
                           "Native code of the kernel: 'off', 'none' (not requested yet), 'compiling', 'ready' or "
                           "'failed: <compiler output>'");
  krv_kernel_add_method<T>("jit_source", kernel_method::jit_source, 0, 0, "The C code the JIT compiles for this kernel");
  krv_kernel_add_method<T>("name", kernel_method::name, 0, 0, "Name of the kernel");
  krv_kernel_add_method<T>("params", kernel_method::params, 0, 0, "Parameters: list of [name=..., type=...]");
  krv_kernel_add_method<T>("returns", kernel_method::returns, 0, 0,
                           "Return type and reduction ('void', 'i64 reduce(+)', 'Stats reduce(sum: +, n: +)')");
}

krv_std_kernel_job::~krv_std_kernel_job() {
  if (state && !state->released) {
    state->launch->stop();
    state->launch->wait();  // runners leave at their next chunk or loop back edge
    state->release();
  }
}

void krv_std_kernel_job::script_register() {
  using T = krv_std_kernel_job;
  statics().create_new = krv_kernel_create_zeroed<T>;
  krv_kernel_add_method<T>("wait", job_method::wait, 0, 0,
                           "Waits for the launch (the calling thread helps) and returns its result like launch(). "
                           "Unlocks the buffers.");
  krv_kernel_add_method<T>("done", job_method::done, 0, 0,
                           "True when all lanes finished (call wait() to get the result and unlock the buffers)");
}
