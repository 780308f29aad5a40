#include "runtime/exec/task/task_continue.h"

#include <algorithm>
#include <utility>

#include "module/thread_record.h"
#include "module/vm_state.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/interpreter.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/exec/task/step_budget.h"
#include "runtime/exec/task/task.h"
#include "runtime/exec/task/task_status.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

namespace {

template <class... Pieces>
void log_line(krv_log_level level, const Pieces&... pieces) {
  krv_log_line(*krv_log_base::instance(), level, pieces...);
}

bool has_kind(const krv_vm_context* frame, uint32_t kind) {
  return frame->block != nullptr && frame->block->kind == kind;
}

// The running task is the thread's current task, and names the thread, for as long as it runs.
class current_task_scope {
 public:
  explicit current_task_scope(krv_task& task)
      : record_(krv_get_thread_local()),
        previous_(std::exchange(record_.current_task, &task)),
        previous_name_(std::exchange(record_.running_name, task.name)) {}
  ~current_task_scope() {
    record_.current_task = previous_;
    record_.running_name = std::move(previous_name_);
  }
  current_task_scope(const current_task_scope&) = delete;
  current_task_scope& operator=(const current_task_scope&) = delete;

 private:
  krv_thread_local& record_;
  krv_task* previous_;
  std::string previous_name_;
};

class continuation {
 public:
  explicit continuation(krv_task& task)
      : task_(task), base_(!task.frames.empty() && has_kind(task.frames.front(), KRV_BLOCK_TASK) ? 1 : 0) {}

  // The loop of statuses; returns the status it left with.
  uint32_t run(uint32_t max_depth) {
    uint32_t status = task_.raised_by_work.empty() ? 0 : raise_work_error();
    for (;;) {
      if (status > KRV_STATUS_CALL && (status != KRV_STATUS_FINISHED || frames().size() <= base_)) return status;
      status = execute_top();
      if (status == KRV_STATUS_CALL && max_depth != 0 && frames().size() > max_depth) {
        pop_frame();
        krv_raise_error("maximum call depth of ", max_depth, " exceeded (endless recursion?)");
        status = KRV_STATUS_ERROR;
      } else if (status == KRV_STATUS_CALL && !krv_step_taken()) {
        pop_frame();
        krv_raise_error("step budget spent");
        status = KRV_STATUS_ERROR;
      }
      switch (status) {
        case KRV_STATUS_RETURN: status = after_return(); break;
        case KRV_STATUS_BREAK: status = after_break(); break;
        case KRV_STATUS_CONTINUE: status = after_continue(); break;
        case KRV_STATUS_FINISHED: status = after_end(); break;
        case KRV_STATUS_ERROR: status = unwind(); break;
        default: break;
      }
      if (task_.stop_requested != 0) return status;
    }
  }

  // Ends the task: on_finish with its result, the result alone on the value stack, only the base frame
  // left, reset so that the next start runs the code from the top.
  void finish() {
    krvptr_strong<krv_task> keep = krvptr_strong<krv_task>::from_raw(&task_);
    task_.active = 0;
    task_.stop_requested = 0;
    log_line(KRV_LOG_INFO, "Task ", task_.name, " ", static_cast<const void*>(&task_), " finished.");
    // Taken out before the call: a callback may start the task again and set new ones.
    auto on_finish = std::move(task_.on_finish);
    task_.on_finish = nullptr;
    task_.on_error = nullptr;
    if (on_finish) {
      krvvar_shared result;
      if (!ended_by_error_ && !task_.value_stack.empty()) result = krv_vm::stack_top_copy(task_);
      if (!result) result = krvvar_shared::make_none();
      on_finish(result);
    }
    std::vector<krvvar_shared>& stack = task_.value_stack;
    if (stack.size() > 1) {
      krvvar_shared top = std::move(stack.back());
      stack.clear();
      stack.push_back(std::move(top));
    }
    while (frames().size() > base_) pop_frame();
    for (krv_vm_context*& frame : task_.parked_frames) krv_vm_context::release(frame);
    task_.parked_frames.clear();
    task_.sinks.clear();
    task_.call_arg_height = 0;
    if (base_ == 1 && !frames().empty()) reset_root(*frames().front());
  }

 private:
  std::vector<krv_vm_context*>& frames() { return task_.frames; }
  krv_vm_context* top() { return task_.frames.back(); }
  bool above_base() { return frames().size() > base_; }

  void pop_frame() {
    krv_vm_context* frame = frames().back();
    frames().pop_back();
    krv_vm_context::release(frame);
  }

  uint32_t execute_top() {
    krv_vm_context* frame = top();
    if (frame->block == nullptr) {
      frame->in_progress = 0;
      return KRV_STATUS_FINISHED;
    }
    return vm_execute_block(*frame->block, *frame);
  }

  uint32_t after_return() {
    while (above_base() && !has_kind(top(), KRV_BLOCK_FUNCTION)) pop_frame();
    if (!frames().empty() && top()->block != nullptr && top()->block->resume_at_end != 0) {
      const uint32_t size = top()->block->code_size();
      top()->saved_offset = size >= 8 ? size - 8 : 0;
      return 0;
    }
    if (above_base() && has_kind(top(), KRV_BLOCK_FUNCTION)) {
      pop_frame();
      return frames().empty() ? KRV_STATUS_FINISHED : KRV_STATUS_RETURN;
    }
    return KRV_STATUS_FINISHED;
  }

  uint32_t after_break() {
    while (above_base() && !has_kind(top(), KRV_BLOCK_LOOP) && !has_kind(top(), KRV_BLOCK_FUNCTION)) pop_frame();
    if (above_base() && has_kind(top(), KRV_BLOCK_LOOP)) pop_frame();
    return frames().empty() ? KRV_STATUS_FINISHED : KRV_STATUS_BREAK;
  }

  uint32_t after_continue() {
    while (above_base() && !has_kind(top(), KRV_BLOCK_LOOP) && !has_kind(top(), KRV_BLOCK_FUNCTION)) pop_frame();
    if (frames().empty()) return KRV_STATUS_FINISHED;
    // Only a loop restarts; a continue outside any loop goes on after itself.
    if (has_kind(top(), KRV_BLOCK_LOOP)) top()->saved_offset = top()->block->continue_offset;
    return KRV_STATUS_CONTINUE;
  }

  uint32_t after_end() {
    bool popped = false;
    while (above_base() && top()->in_progress == 0) {
      pop_frame();
      popped = true;
    }
    if (frames().empty() || (!above_base() && top()->in_progress == 0)) return KRV_STATUS_FINISHED;
    return popped ? 0u : uint32_t{KRV_STATUS_FINISHED};
  }

  // The error the task's handed-off work raised (return_thread.h), raised where the task stands, as the
  // method would have raised it had it run here.
  uint32_t raise_work_error() {
    krv_raise_error_text(std::exchange(task_.raised_by_work, {}));
    return unwind();
  }

  uint32_t unwind() {
    log_line(KRV_LOG_INFO, "TODO: Implement proper called blocks cleanup and termination (try catch or block / function based ?).");
    while (above_base()) {
      krv_vm_context* frame = top();
      clear_pushed_values(*frame);
      const krv_program_block* block = frame->block;
      if (block != nullptr && (block->has_catch != 0 || (block->is_noexcept != 0 && block->kind == KRV_BLOCK_FUNCTION)))
        return enter_handler(*frame);
      pop_frame();
    }
    if (krv_vm_state* vm = krv_get_thread_local().vm) ++vm->unhandled_task_errors;
    if (task_.on_error) {
      auto on_error = task_.on_error;
      krvvar_shared none = krvvar_shared::make_none();
      on_error(none);
    }
    ended_by_error_ = true;
    return after_end();
  }

  void clear_pushed_values(krv_vm_context& frame) {
    if (frame.values_pushed == 0) return;
    log_line(KRV_LOG_INFO, "Clearing stack vars ", frame.values_pushed);
    std::vector<krvvar_shared>& stack = task_.value_stack;
    // The accumulator stays: every frame below runs with one.
    for (; frame.values_pushed > 0 && stack.size() > 1; --frame.values_pushed) stack.pop_back();
    frame.values_pushed = 0;
  }

  uint32_t enter_handler(krv_vm_context& handler) {
    if (task_.sinks.size() > handler.sink_height) task_.sinks.erase(task_.sinks.begin() + handler.sink_height, task_.sinks.end());
    while (task_.parked_frames.size() > handler.parked_height) {
      krv_vm_context* parked = task_.parked_frames.back();
      task_.parked_frames.pop_back();
      krv_vm_context::release(parked);
    }
    task_.call_arg_height = std::min(task_.call_arg_height, handler.call_arg_height);
    const bool catches = handler.block->has_catch != 0;
    pop_frame();
    if (catches) {
      task_.error_pending = 1;
    } else {
      log_line(KRV_LOG_WARNING, "Error inside a noexcept function, it returns None.");
      if (!task_.value_stack.empty()) task_.value_stack.back() = krvvar_shared::make_none();
    }
    return frames().empty() ? uint32_t{KRV_STATUS_FINISHED} : 0u;
  }

  // A kept root frame starts over: a restart must not resume where an error, a stop or a return left
  // it.
  static void reset_root(krv_vm_context& root) {
    root.ip = nullptr;
    root.native_self = nullptr;
    root.saved_offset = 0;
    root.values_pushed = 0;
    root.args_passed = 0;
    root.status = 0;
    root.default_arg_pending = 0;
    root.in_progress = 0;
    root.operator_result_mode = 0;
  }

  krv_task& task_;
  const size_t base_;  // frames that unwinding never pops
  bool ended_by_error_ = false;
};

}  // namespace

bool task_continue(krv_task& task) {
  if (task.active == 0 || (task.has_context != 0 && !task.context) || task.frames.empty()) {
    log_line(KRV_LOG_ERROR, "task_continue called while the task was not active!");
    return false;
  }
  const krv_vm_state* vm = krv_get_thread_local().vm;
  const uint32_t max_depth = vm != nullptr ? vm->settings.max_call_depth : 0;
  continuation loop(task);
  uint32_t status = KRV_STATUS_FINISHED;
  if (task.stop_requested == 0 && krv_step_taken()) {
    current_task_scope current(task);
    status = loop.run(max_depth);
  }
  if (status < KRV_STATUS_FINISHED) return task.suspended == 0;
  loop.finish();
  return false;
}
