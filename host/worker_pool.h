// The host's worker threads: they take jobs from the VM's worker queue in slot order and run each once.
//
// Idle workers sleep on the queue's futex word `wake_count` without a timeout (the queue's protocol loses
// no wake), so an idle pool costs nothing. `stop` sets the queue's `stopping`, wakes every worker and joins them;
// while it waits it keeps calling `while_joining` (the VM thread drains the completion ring there, or
// a worker spinning on a full ring would never finish). Jobs still queued then are destroyed unrun by
// `discard_queued`, which gives their references back.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "host/host_thread.h"
#include "module/thread_record.h"

class krv_worker_pool {
 public:
  // Starts `count` workers (0 allowed) for `vm` and records the count in its queue.
  krv_worker_pool(krv_vm_state& vm, uint32_t count);
  ~krv_worker_pool();
  krv_worker_pool(const krv_worker_pool&) = delete;
  krv_worker_pool& operator=(const krv_worker_pool&) = delete;

  void stop(const std::function<void()>& while_joining = {});
  // Destroys every job still queued, unrun, on the calling thread. Returns how many.
  size_t discard_queued();
  uint32_t count() const noexcept { return static_cast<uint32_t>(threads_.size()); }

 private:
  void work();

  krv_vm_state& vm_;
  std::atomic<uint32_t> exited_{0};   // workers that have left their loop
  std::vector<std::unique_ptr<krv_host_thread>> threads_;
};
