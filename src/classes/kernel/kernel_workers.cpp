#include "classes/kernel/kernel_workers.h"

#include <algorithm>

#include "kernel/native/jit_cache.h"
#include "kernel/runtime/launch_stops.h"
#include "kernel/runtime/settings.h"
#include "module/thread_record.h"
#include "module/vm_state.h"

krvk_enqueue_fn krv_kernel_enqueue() {
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (vm == nullptr || vm->worker_queue.worker_count == 0) return {};  // nobody would ever run the job
  return [vm](std::function<void()> job) { return vm->worker_queue.try_push(std::move(job)); };
}

uint32_t krv_kernel_worker_count() {
  const krv_vm_state* vm = krv_get_thread_local().vm;
  return vm == nullptr ? 0 : vm->worker_queue.worker_count;
}

void krv_kernel_abandon_builds() { krvk_jit_abandon_every_build(krv_kernel_abandon_patience); }

void krv_kernel_stop_async_launches() { krvk_stop_listed_launches(); }

int krv_kernel_thread_budget() {
  const int64_t all = static_cast<int64_t>(krv_kernel_worker_count()) + 1;
  const int64_t limit = krvk_kernel_threads.load();
  const int64_t budget = limit >= 1 ? std::min(all, limit) : all;
  return static_cast<int>(std::clamp<int64_t>(budget, 1, INT32_MAX));
}
