#include "host/worker_pool.h"

#include <chrono>
#include <thread>

#include "host/spin_wait.h"
#include "runtime/exec/task/return_thread.h"
#include "runtime/objects/function_def.h"

namespace {

// How long a worker that found the queue empty looks again before it sleeps.
constexpr auto spin_window = std::chrono::microseconds(50);

}  // namespace

krv_worker_pool::krv_worker_pool(krv_vm_state& vm, uint32_t count)
    : vm_(vm), running_(std::make_unique<running_job[]>(count)) {
  vm_.worker_queue.worker_count = count;
  threads_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) threads_.push_back(std::make_unique<krv_host_thread>([this, i] { work(i); }));
}

krv_worker_pool::~krv_worker_pool() { stop(); }

void krv_worker_pool::work(size_t index) {
  krv_task_queue& queue = vm_.worker_queue;
  running_job& running = running_[index];
  krv_get_thread_local().vm = &vm_;
  krv_task_queue::job job;
  for (;;) {
    if (queue.try_pop(job)) {
      busy_.fetch_add(1, std::memory_order_acq_rel);
      running.native.store(krv_hand_off_native(job), std::memory_order_relaxed);
      running.inside.store(true, std::memory_order_release);
      job();
      // Out of the job once it has returned: what destroying it costs (a capture's destructor) is a
      // slow leave, which the end of a run waits for, never a busy worker that it gives up on.
      running.inside.store(false, std::memory_order_relaxed);
      busy_.fetch_sub(1, std::memory_order_acq_rel);
      job = nullptr;
      continue;
    }
    if (krv_spin_until([&] { return queue.pending.load(std::memory_order_relaxed) != 0 ||
                                    queue.stopping.load(std::memory_order_relaxed) != 0; },
                       spin_window))
      if (queue.stopping.load(std::memory_order_acquire) == 0) continue;
    // Read before the test of `pending`: a push or a stop after this read changes the word, so the wait
    // below returns at once instead of missing it.
    const uint32_t seen = queue.wake_count.load(std::memory_order_seq_cst);
    if (queue.stopping.load(std::memory_order_acquire) != 0) break;
    queue.sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (queue.pending.load(std::memory_order_seq_cst) == 0 && queue.stopping.load(std::memory_order_seq_cst) == 0)
      queue.wake_count.wait(seen, std::memory_order_seq_cst);
    queue.sleepers.fetch_sub(1, std::memory_order_seq_cst);
  }
  krv_get_thread_local().vm = nullptr;
  exited_.fetch_add(1, std::memory_order_release);
}

bool krv_worker_pool::stop(const std::function<void()>& while_joining, std::chrono::milliseconds patience) {
  if (threads_.empty()) return true;
  vm_.worker_queue.stopping.store(1, std::memory_order_seq_cst);
  vm_.worker_queue.wake_all();
  const auto begun = std::chrono::steady_clock::now();
  while (exited_.load(std::memory_order_acquire) < threads_.size()) {
    if (while_joining) while_joining();
    if (patience != forever && std::chrono::steady_clock::now() - begun >= patience &&
        busy_.load(std::memory_order_acquire) != 0)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads_.clear();
  vm_.worker_queue.worker_count = 0;
  return true;
}

std::vector<std::string> krv_worker_pool::busy_work() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < threads_.size(); ++i) {
    if (!running_[i].inside.load(std::memory_order_acquire)) continue;
    const krv_function_def* native = running_[i].native.load(std::memory_order_relaxed);
    names.push_back(native != nullptr ? std::string(native->name) : "a kernel launch's helper");
  }
  return names;
}

size_t krv_worker_pool::discard_queued() {
  size_t discarded = 0;
  krv_task_queue::job job;
  while (vm_.worker_queue.try_pop(job)) {
    job = nullptr;
    ++discarded;
  }
  return discarded;
}
