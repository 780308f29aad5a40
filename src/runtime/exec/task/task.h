// krv_task: a script routine, a green thread of the host's VM.
//
// A task owns a stack of call frames (element 0 is the root frame), the frames parked for calls whose
// arguments are still being evaluated, the argument sinks and records of calls in preparation, the
// interpreter's value stack (whose last element is the accumulator), an error value and two callbacks.
// Every script callback of the native classes runs as a task made for the function's program block.
//
// A task either runs a task (global root) block and is its own scope, or runs a function inside the
// global scope of a context task; `context` then points at that root task, which lists it in
// `scope_tasks`. The task that was current on the creating thread is the `parent`, which lists it in
// `children`. Each task remembers the index of its entry in both lists (`context_slot`, `parent_slot`),
// so that leaving them costs O(1): the last entry moves into the leaving one's place and its task learns
// the new index. The lists are therefore unordered sets of the live tasks: every entry names a task
// still in memory (a task removes its own entries in its destructor, and its reference block points at
// it again from the start of `destroy` on), and a list's size is the number of such tasks.
//
// Lifetime: when the last strong handle goes, `destroy` runs the resumable release: the root variables
// of a root task are cleared in two passes, and a finaliser reached by that clearing may take a new
// strong handle to the task, which keeps it alive; the next release resumes the clearing where it
// stopped. Only then are the stacks released and the task deleted. The destructor waits while a worker
// runs work for the task (a worker's job holds a strong handle until its last access, so this is a
// safeguard: it does not happen in a hand-off that goes as return_thread.h describes).
//
// Tasks, their frames and stacks are touched only by the VM-lock holder, except `on_pool_thread`.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/exec/task/arg_sink.h"
#include "runtime/memory/handles.h"

class krv_program_block;
class krv_global_scope;
class krv_vm_context;
class krvvar_ptr_function_lambda;

class krv_task : public krvptr_base<krv_task> {
 public:
  // Builds a task for `block` inside the global scope of `context` (see task.cpp). On a failure the
  // runtime error is raised and the task stays empty (no block, no frames).
  krv_task(const krvptr_strong<krv_program_block>& code, krv_task* context_task);
  ~krv_task() override;
  krv_task(const krv_task&) = delete;
  krv_task& operator=(const krv_task&) = delete;

  // Binds `args` (or none) to the root frame and makes the task active. False, with a runtime error,
  // when the argument count does not fit the block's parameters.
  bool bind_params(const std::vector<krvvar_shared>* args);

  // Scheduling (scheduling.cpp). `run` starts the task at once on this thread, making its root frame
  // when it has none: 1 when it started (whatever it then did), 0 when it could not (already active, no
  // root frame, arguments that do not fit, or 128 runs already nest on this thread: a runtime error).
  // `run_scheduled` binds the arguments and hands the task to the host's scheduler (the word is
  // unused): 1 when handed over. Both take the VM lock themselves.
  static int run(krv_task& task, const std::vector<krvvar_shared>* args);
  static int run_scheduled(krv_task& task, uint64_t unused, const std::vector<krvvar_shared>* args);
  // Puts the task on the run heap, due in `delay_ms` (UINT64_MAX is stored as the due time itself); a
  // task already scheduled keeps its due time. Only a delay of 0 wakes the host's scheduler.
  static void schedule(krv_task& task, uint64_t delay_ms);
  // Suspends the task running `frame`: status 32 (the interpreter leaves), onto the VM wait list.
  static void suspend(krv_vm_context& frame);
  // Takes a suspended task off the wait list and schedules it with no delay; otherwise nothing.
  static void wake(krv_task& task);
  // Lets the task running `frame` leave its thread after the current instruction, due again at once:
  // status 32 without the wait list, so that whoever continues it (the host's loop) comes in between.
  // Nothing when the frame already has a status (an error raised) or belongs to no task.
  static void yield(krv_vm_context& frame);
  // The last four expect the caller to hold the VM lock.

  // The run heap's order: the earlier due time first, and of equal ones the earlier scheduled.
  static bool runs_before(const krv_task& a, const krv_task& b) noexcept {
    return a.eta_ms != b.eta_ms ? a.eta_ms < b.eta_ms : a.run_order < b.run_order;
  }

  // The store function of native-call argument sinks: element `index` of the sink's argument record.
  static void set_param(krv_task& task, krv_arg_sink& sink, uint32_t index, krvvar_shared& value);

  // The last strong handle went: the resumable release.
  void destroy() override;
  // The task will never resume (task_abandon.h): drops every reference it holds, clearing a root task's
  // globals in the order of its release. The task stays, empty, for those that still hold it.
  void abandon();
  // The reference block stays linked while the task decides in `destroy` whether it lives on.
  void detach() noexcept override {}

  // The root frame, or null when the task has none.
  krv_vm_context* root_frame() const noexcept { return frames.empty() ? nullptr : frames.front(); }
  // The top frame, or null.
  krv_vm_context* top_frame() const noexcept { return frames.empty() ? nullptr : frames.back(); }

  krvptr_strong<krv_global_scope> global_scope;  // the block's global scope
  krvptr_strong<krv_program_block> block;
  uint8_t has_context = 0;                        // 1 unless the block is a task (global root) block
  krvptr_strong<krv_task> context;                // the root task whose globals this routine sees
  std::vector<krvptr_weak<krv_task>> scope_tasks; // tasks created with this task as their context
  uint32_t context_slot = 0;                      // index of this task's entry in context->scope_tasks
  krvptr_strong<krv_task> parent;                 // the task current on the creating thread
  std::vector<krvptr_weak<krv_task>> children;    // tasks created while this task was current
  uint32_t parent_slot = 0;                       // index of this task's entry in parent->children
  uint64_t start_ms = 0;                          // creation time, steady-clock milliseconds
  std::string name = "TASK";
  std::function<void(krvvar_shared&)> on_finish;  // completion callback; empty unless set
  std::function<void(krvvar_shared&)> on_error;   // an error left the task unhandled; empty unless set
  uint8_t scheduled = 0;                          // on the VM run heap
  uint8_t suspended = 0;                          // on the VM wait list
  uint64_t eta_ms = 0;                            // due time on the run heap
  // The VM's count of schedulings when the task went onto the run heap: of tasks due at the same time
  // the one scheduled first runs first, as `run` order promises.
  uint64_t run_order = 0;
  // Workers running work for this task: each hand-off raises it, and its worker lowers it as its last
  // access to the task, before it hands the task's reference back (return_thread.h). A count, so that
  // one hand-off's end can never clear the mark of a later one.
  std::atomic<uint32_t> on_pool_thread{0};
  // Hand-offs whose result the VM thread has not taken back yet (VM-lock holder only): raised with
  // on_pool_thread, lowered when the completion is drained. While it is above 0 the task waits on work
  // that will wake it, and the host's run goes on.
  uint32_t results_awaited = 0;
  krvptr_strong<krvvar_ptr_function_lambda> captured_values;  // values captured by the function value
  krvptr_strong<krvptr_base_internal> captured_context;       // the root frame's captured context
  uint8_t active = 0;                             // started and not finished
  uint8_t stop_requested = 0;                     // the owner asks the task to finish at the next step
  uint8_t root_cleared = 0;                       // release cleared the root frame's variables
  uint32_t clear_phase = 0;                       // pass of the root clearing: 0, 1, 2 = done
  int32_t clear_index = -1;                       // next slot of that clearing; -1 = not begun
  std::vector<krv_vm_context*> frames;            // the call-frame stack, each entry one reference
  std::vector<krv_vm_context*> parked_frames;     // frames of calls whose arguments are being evaluated
  std::vector<krv_arg_sink> sinks;                // argument sinks of calls in preparation
  std::vector<krvvar_shared> value_stack;         // the interpreter's operand stack
  std::vector<krvptr_strong<krv_call_args>> call_args;  // argument records of native calls, reused
  uint32_t call_arg_height = 0;                   // argument records in use
  krvvar_shared error_value;                      // text of the last runtime error; None at creation
  uint8_t error_pending = 0;                      // a catch block waits for the error
  // A catchable error that the task's handed-off work raised on a worker, raised in the task when it
  // resumes (return_thread.h); written by that worker before it hands the task back, empty otherwise.
  std::string raised_by_work;
  // Simple cells that nothing else holds, kept by the interpreter from earlier results for its next
  // ones, so that arithmetic in a loop does not go through the cell pool on every operation. A few, not
  // one: an expression such as s + i * 3 % 7 holds two temporaries at once. Entries below spare_count
  // are set, the others null.
  static constexpr uint32_t max_spare_cells = 4;
  krvvar_shared spare_cells[max_spare_cells];
  uint32_t spare_count = 0;

 private:
  // Builds the task once `block` is known to be set; false after a raised failure.
  bool adopt_block(const krvptr_strong<krv_program_block>& code, krv_task* context_task);
  // Finds and checks the context of a routine of a non-task block; null after a raised failure.
  krv_task* resolve_context(krv_task* context_task);
  void take_parent_and_name();
  // Releases every frame, sink, value and argument record.
  void release_stacks();
  // The same but for the root frame, which keeps the globals (or a routine's own locals).
  void release_stacks_above_root();
  // The root clearing; false when `stop_when_revived` and a finaliser took a new strong handle, so the
  // task must stay (the next release resumes the clearing).
  bool clear_root_vars(bool stop_when_revived);
  // Takes the temporary strong handle of `destroy`: the block is linked and alive again.
  krvptr_strong<krv_task> revive() noexcept;
  // Ends the task for good; `self` is the temporary handle, the only strong one left.
  void finish_release(krvptr_strong<krv_task>& self) noexcept;
  // Unlinks the task from its parent's children and its context's scope tasks.
  void leave_parent_and_context();
};

// A task for `block` in the global scope of `context` (null: taken from the calling thread); an empty
// handle when nothing could be built.
krvptr_strong<krv_task> krv_task_create(const krvptr_strong<krv_program_block>& block, krv_task* context);
