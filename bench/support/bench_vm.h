// A VM attached to the benchmark's thread, its lock held for the object's life: the state a script's
// call of the measured code runs in (pooled values, the VM's log and queues); and the run of a script
// task to its end.
#pragma once
#include <optional>

#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/exec/task/task.h"
#include "runtime/exec/task/task_continue.h"

struct krv_bench_vm {
  krv_bench_vm() {
    vm.attach_current_thread();
    guard.emplace();
  }
  ~krv_bench_vm() {
    guard.reset();
    krv_host_vm::detach_current_thread();
  }
  krv_bench_vm(const krv_bench_vm&) = delete;
  krv_bench_vm& operator=(const krv_bench_vm&) = delete;

  krv_host_vm vm{"bench"};
  std::optional<krv_vm_lock> guard;
};

// Runs `task` (a root block, parameters bound anew) to its end; returns its result, A.
inline krvvar_shared krv_bench_run(krv_task& task) {
  task.bind_params(nullptr);
  while (task_continue(task)) {
  }
  return task.value_stack.back();
}
