// One VM of our host: owns the krv_vm_state and its workers, attaches threads to it and runs the VM
// tick: drain the pools' return rings, drop the deferred releases, complete the workers' results and
// wake their tasks, continue the due tasks in due-time order, run the update pass, then sleep until the
// next due time or a wake.
//
// Giving memory back (idle_memory_release.h): once per quiet spell, on the first tick that finds no work
// when the VM has had neither work nor a wake for krv_idle_release_quiet. The VM starts due for one
// (a root block that ran before the first tick may have dropped anything), and every activity makes it
// due again. While one is due, the VM's sleeps end by the time the quiet spell is long enough, so a run
// that then only waits (on a channel, on a task due much later, on a long worker job) gives its memory
// back within that time; a VM kept busy (a stream of messages, hand-offs back to back) is not slowed by
// releases it would undo.
//
// Waking: whatever makes work in this process (a job's completion, a task made due, a channel that
// delivered messages, a stop) wakes the notify object, which ends the sleep at once. A peer process
// writing into a channel's ring cannot reach it: while objects are on the update list the VM thread
// also looks for itself, ticking without a pause for a short window after any activity (so a stream
// is drained as it arrives and a reply is seen while it is fresh) and then sleeping in waits that
// double from 50 us to 8 ms, so an idle channel costs about 125 short wakes a second. Without
// objects on the update list the VM thread sleeps until the next due task or a wake, however long,
// except while jobs wait in the worker queue: then it looks again every millisecond.
//
// With 0 workers the VM thread runs queued jobs itself, each time it drains the completion ring; so it
// does at the end of a run once the workers are stopped (serve_jobs_here), for the finalisers that
// releasing the run's globals starts.
//
// The state lives on the heap for its whole life and is destroyed only after every object registered
// on it is gone (the host destroys its namespaces and joins its workers first).
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "module/thread_record.h"
#include "module/vm_state.h"
#include "runtime/objects/log.h"

class krv_worker_pool;

// The host's scheduler as the module wakes it: a flag and a condition variable.
class krv_host_notify final : public krv_vm_notify {
 public:
  static constexpr uint64_t forever = UINT64_MAX;

  void wake() override;
  // Waits until woken or `timeout_us` passed (forever: until woken), looking for the wake for `spin_us`
  // before sleeping; clears the flag. True when woken.
  bool wait(uint64_t timeout_us, uint64_t spin_us = 0);
  // Clears the flag without waiting; true when it was set.
  bool take_wake();
  // True when the flag is set; leaves it set.
  bool woken() const;

 private:
  std::mutex mutex_;
  std::condition_variable woken_cv_;
  std::atomic<bool> woken_{false};  // written under mutex_; read without it by a spinning waiter
};

class krv_host_vm {
 public:
  explicit krv_host_vm(std::string name = "vm");
  ~krv_host_vm();
  krv_host_vm(const krv_host_vm&) = delete;
  krv_host_vm& operator=(const krv_host_vm&) = delete;

  krv_vm_state& state() noexcept { return *state_; }
  krv_log_base& log() noexcept { return *state_->log; }

  // Points the calling thread's record at this VM (or detaches it).
  void attach_current_thread();
  static void detach_current_thread();

  // The first step of a VM tick: under the VM lock, frees every entry waiting in a pool's return ring
  // into its page, pool by pool in the state's order, each ring in ticket order. Returns how many.
  size_t drain_return_rings();

  // The second step of a VM tick: under the VM lock, drops the VM's deferred releases (objects whose
  // forced teardown waited for a worker). Returns how many there were.
  size_t release_deferred();

  // Calls update_pre of every object on the update list once, under the VM lock. Objects added during
  // the pass wait for the next one; an object removed during the pass is not called. Objects are known
  // by address, so one created during the pass where a removed one lived counts as the removed one.
  void run_update_pass();

  // Starts `count` workers (0 allowed); stops any running ones first.
  void start_workers(uint32_t count);
  // Stops the workers, completing results while they finish, then gives back every job left queued.
  void stop_workers();
  // The same, but waits for busy workers at most `patience`: false when some are still busy then (see
  // worker_pool.h: the process must then end without destroying this VM).
  bool stop_workers_within(std::chrono::milliseconds patience);
  // After stop_workers_within gave up: what the workers still inside a job run (krv_worker_pool::busy_work).
  std::vector<std::string> busy_work() const;
  // After stop_workers_within (also when it gave up on a busy worker): the VM thread runs every job
  // queued from now on itself, as with no workers, until the workers are stopped again. Jobs still
  // queued are destroyed unrun first: their tasks are the run's leftovers, and one may be a long match.
  // Kernel launches start no helpers meanwhile.
  void serve_jobs_here();

  // Completes the workers' results and wakes their tasks, under the VM lock; with no workers it first
  // runs the queued jobs itself. Returns the records completed.
  size_t drain_completions();
  // Continues the tasks due now, in due-time order, under one VM lock: at most those that were due when
  // the pass began, so a task that stays runnable cannot starve the rest of the tick. With
  // `hold_at_stop`, none once a stop is requested (platform/stop_request.h). Returns how many.
  size_t run_due_tasks(bool hold_at_stop = false);
  // One VM tick (see above), without the sleep, ending with the idle release when one is due and the VM
  // has been quiet long enough. Returns the work it found: return-ring entries, deferred releases,
  // completions and tasks continued. A run's loop passes `hold_at_stop`: with no workers the VM thread
  // runs the queued jobs itself, inside the tick, so a stop that ends one (an idle_ms) arrives in the
  // middle of it, and the task woken by that job must not go on before the run's end, as it does not
  // when a worker ran the job. A run's finalisers tick after the stop, and run.
  size_t tick(bool hold_at_stop = false);
  // Sleeps until the next due task, a wake, or `max_ms` (forever: no bound); while objects are on the
  // update list, only as long as the polling described above allows, and while an idle release is due,
  // no longer than the quiet spell it waits for.
  void wait_for_work(uint64_t max_ms = krv_host_notify::forever);
  // True while tasks have work to come: a task on the run heap, a job queued, a completion undrained,
  // or a waiting task whose hand-off has not come back.
  bool tasks_left();
  // True when nothing is left to do: no task has work to come (tasks_left) and nothing on the update
  // list keeps the run alive (a connected channel).
  bool idle();

 private:
  std::unique_ptr<krv_vm_state> state_;
  krv_host_notify notify_;
  // How long the VM thread may sleep before it looks at the update list again (0: not at all).
  uint64_t next_poll_wait_us();
  // How long until the quiet spell is long enough for the idle release (0: it is).
  uint64_t quiet_left_us() const;
  void note_activity(std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now());

  std::unique_ptr<krv_worker_pool> workers_;
  bool serving_jobs_here_ = false;  // serve_jobs_here until the next stop_workers_within
  // Polling of the update list and the idle release: when the last activity (work found or a wake) was
  // seen and how long the next polling sleep may be.
  std::chrono::steady_clock::time_point last_activity_{};
  uint64_t poll_wait_us_ = 0;
  size_t last_tick_work_ = 0;  // what the last tick found; non-zero counts as activity
  bool release_due_ = true;    // activity since the last idle release (the run's start counts)
};
