// The host's worker threads: they take jobs from the VM's worker queue in slot order and run each once.
//
// Idle workers sleep on the queue's futex word `wake_count` without a timeout (the queue's protocol loses
// no wake), so an idle pool costs nothing. `stop` sets the queue's `stopping`, wakes every worker and joins them;
// while it waits it keeps calling `while_joining` (the VM thread drains the completion ring there, or
// a worker spinning on a full ring would never finish). Jobs still queued then are destroyed unrun by
// `discard_queued`, which gives their references back.
//
// Work that listens to `stopping` (a background kernel build kills its compiler) ends within
// milliseconds; work that cannot be interrupted (a regular-expression match that backtracks for
// minutes) does not. `stop` with a patience gives up waiting for it: the threads are left running, still
// owned by the pool and still using the VM, so the caller must end the process without destroying
// either (`_exit`); destroying the pool instead joins them, however long that takes. Only a worker inside
// a job counts as busy, from the job's start until it returns: one that is merely slow to wake and leave
// (hundreds of them on a loaded machine), or still destroying a job that has returned, is always waited
// for, since it will leave.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_thread.h"
#include "module/thread_record.h"

class krv_function_def;

class krv_worker_pool {
 public:
  // Starts `count` workers (0 allowed) for `vm` and records the count in its queue.
  krv_worker_pool(krv_vm_state& vm, uint32_t count);
  ~krv_worker_pool();
  krv_worker_pool(const krv_worker_pool&) = delete;
  krv_worker_pool& operator=(const krv_worker_pool&) = delete;

  static constexpr std::chrono::milliseconds forever = std::chrono::milliseconds::max();

  // True once every worker has left; false when some are still inside a job after `patience`.
  bool stop(const std::function<void()>& while_joining = {}, std::chrono::milliseconds patience = forever);
  // Destroys every job still queued, unrun, on the calling thread. Returns how many.
  size_t discard_queued();
  uint32_t count() const noexcept { return static_cast<uint32_t>(threads_.size()); }
  // What the workers inside a job run, one name each: the native whose work was handed off, or "a kernel
  // launch's helper" for a job that is no hand-off. For a message after `stop` gave up. The names are
  // read from the natives' definitions, so the caller keeps them (the program that bound a host native,
  // the module's namespaces) until it has the list.
  std::vector<std::string> busy_work() const;

 private:
  void work(size_t index);

  krv_vm_state& vm_;
  std::atomic<uint32_t> exited_{0};   // workers that have left their loop
  std::atomic<uint32_t> busy_{0};     // workers inside a job (running it or destroying it)
  // What one worker runs: whether it is inside a job, and the job's native (null: no hand-off).
  struct running_job {
    std::atomic<bool> inside{false};
    std::atomic<const krv_function_def*> native{nullptr};
  };
  std::unique_ptr<running_job[]> running_;  // one per worker
  std::vector<std::unique_ptr<krv_host_thread>> threads_;
};
