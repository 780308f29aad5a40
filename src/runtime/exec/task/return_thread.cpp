#include "runtime/exec/task/return_thread.h"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "module/thread_record.h"
#include "module/vm_lock.h"
#include "runtime/exec/interp/native_call.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/objects/object_base.h"
#include "runtime/objects/vm_context.h"

namespace {

thread_local std::string* hand_off_error_sink = nullptr;

// Calls `fn`: its value, or None and an error line when it throws (an empty function throws
// std::bad_function_call). `delivered` tells the two apart.
krvvar_shared run_here(const std::function<krvvar_shared()>& fn, bool* delivered = nullptr) {
  try {
    krvvar_shared value = fn();
    if (delivered != nullptr) *delivered = true;
    return value ? value : krvvar_shared::make_none();
  } catch (const std::exception& failure) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "return_thread callback threw an exception: ",
                 failure.what());
  } catch (...) {
    krv_log_base::instance()->error("return_thread callback threw an unknown exception");
  }
  return krvvar_shared::make_none();
}

// One hand-off: what the job needs and the references it carries to the completion ring. Shared by
// the copies std::function may make of the job; the last copy to go gives the references back when no
// worker ran it.
class return_hand_off {
 public:
  return_hand_off(krv_vm_state& vm, std::function<krvvar_shared()> fn, const krv_completion_record& record)
      : vm_(vm), fn_(std::move(fn)), record_(record), native_(vm_native_in_call()) {}
  ~return_hand_off() {
    if (!ran_) complete();
  }
  return_hand_off(const return_hand_off&) = delete;
  return_hand_off& operator=(const return_hand_off&) = delete;

  // Runs on a worker, once.
  void run() {
    if (std::exchange(ran_, true)) return;
    krv_thread_local& thread = krv_get_thread_local();
    thread.vm = &vm_;
    thread.running_name = vm_.name;
    deliver();
    complete();
  }

  const krv_function_def* native() const noexcept { return native_; }

 private:
  void deliver() {
    bool delivered = false;
    std::string raised;
    std::string* const outer_sink = std::exchange(hand_off_error_sink, &raised);
    krvvar_shared value = run_here(fn_, &delivered);
    hand_off_error_sink = outer_sink;
    // Before the record goes out, as the worker's other last accesses to the task (complete()).
    if (!raised.empty()) record_.task->raised_by_work = std::move(raised);
    if (!delivered) return;
    record_.result->set(value);
    record_.result->flags |= krv_result_delivered;
  }

  // Hands the references over: straight to the VM when this thread holds its lock, else through the
  // completion ring. The worker lets go of the task first, while the record's reference still keeps it
  // alive: once the record is out, the VM thread may resume the task, which may hand off again or be
  // released, so nothing here touches the task after that.
  void complete() {
    record_.task->on_pool_thread.fetch_sub(1, std::memory_order_release);
    if (krv_get_thread_local().owns_vm_lock() && krv_get_thread_local().vm == &vm_) {
      krv_complete_return(record_);
    } else {
      vm_.completions.push(record_);
    }
    if (vm_.notify != nullptr) vm_.notify->wake();
  }

  krv_vm_state& vm_;
  std::function<krvvar_shared()> fn_;
  krv_completion_record record_;
  const krv_function_def* native_;  // the native whose work this is, null when none was in call
  bool ran_ = false;
};

// The queued callable: small enough for std::function's own storage, copyable as std::function needs.
struct return_job {
  std::shared_ptr<return_hand_off> hand_off;
  void operator()() const { hand_off->run(); }
};

void release_object(krvobject_base* object) {
  if (object == nullptr) return;
  --object->worker_holds;
  krvptr_strong<krvobject_base>::adopt(krvptr_storage::get_ref_block(*object)).release();
}

}  // namespace

void krv_complete_return(const krv_completion_record& record) {
  krvvar_shared placeholder = krvvar_shared::adopt(record.result);
  krvptr_strong<krv_task> task = krvptr_strong<krv_task>::adopt(krvptr_storage::get_ref_block(*record.task));
  --task->results_awaited;
  release_object(record.native_self);
  krv_task::wake(*task);
}

std::string* krv_hand_off_error_sink() noexcept { return hand_off_error_sink; }

const krv_function_def* krv_hand_off_native(const std::function<void()>& job) {
  const return_job* hand_off = job.target<return_job>();
  return hand_off == nullptr ? nullptr : hand_off->hand_off->native();
}

size_t krv_drain_completions(krv_vm_state& vm) {
  krv_vm_lock guard(vm);
  size_t drained = 0;
  krv_completion_record record;
  while (vm.completions.try_pop(record)) {
    krv_complete_return(record);
    ++drained;
  }
  return drained;
}

krvvar_shared krv_vm_context::return_thread(std::function<krvvar_shared()> fn, bool, bool) {
  krv_thread_local& thread = krv_get_thread_local();
  // Without a task under the VM lock nothing could resume: the work runs here, with the same outcome.
  if (task == nullptr || !thread.owns_vm_lock()) return run_here(fn);
  krv_vm_state& vm = *thread.vm;
  krv_task::suspend(*this);
  krvvar_shared result = krvvar_shared::make_none();
  ++result->refcount;  // the job's count, carried to the completion record
  krv_completion_record record{task, result.get(), native_self, 1};
  krvptr_strong<krv_task>::from_raw(task).take_block();
  if (native_self != nullptr) {
    krvptr_strong<krvobject_base>::from_raw(native_self).take_block();
    ++native_self->worker_holds;
  }
  ++task->results_awaited;
  task->on_pool_thread.fetch_add(1, std::memory_order_relaxed);  // published by the queue's push
  krv_task_queue::job job = return_job{std::make_shared<return_hand_off>(vm, std::move(fn), record)};
  while (vm.worker_queue.try_push_keep(job) == krv_task_queue::push_outcome::full) {
    krv_log_base::instance()->warning("Thread pool overload, waiting for free worker threads...");
    krv_vm_unlock unlocked;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result;
}
