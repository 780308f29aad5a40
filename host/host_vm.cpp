#include "host/host_vm.h"

#include <algorithm>
#include <chrono>

#include "host/idle_memory_release.h"
#include "host/spin_wait.h"
#include "host/worker_pool.h"
#include "platform/clock.h"
#include "platform/stop_request.h"
#include "runtime/exec/task/return_thread.h"
#include "runtime/exec/task/task.h"
#include "runtime/exec/task/task_continue.h"

#include "module/vm_lock.h"
#include "runtime/base/value_records.h"
#include "runtime/memory/ref_block_pool.h"
#include "runtime/objects/update_hook.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

constexpr auto poll_spin_window = std::chrono::microseconds(200);
constexpr uint64_t poll_first_wait_us = 50;
constexpr uint64_t poll_last_wait_us = 8000;
// How long the VM thread looks for a wake before it sleeps: about a worker's wake and one short job.
constexpr uint64_t wake_spin_us = 50;
// How often the VM thread looks at the worker queue while jobs wait in it.
constexpr uint64_t queued_job_look_us = 1000;

}  // namespace

krv_host_vm::krv_host_vm(std::string name) : state_(std::make_unique<krv_vm_state>()) {
  state_->name = std::move(name);
  state_->log = krvptr_strong<krv_log_base>::from_raw(new krv_log_base());
  state_->notify = &notify_;
  poll_wait_us_ = poll_first_wait_us;
}

krv_host_vm::~krv_host_vm() {
  krv_thread_local& record = krv_get_thread_local();
  krv_vm_state* const attached = record.vm;
  // Entries still in transit hold handles (records) that must be released while the pools stand.
  record.vm = state_.get();
  stop_workers();
  {
    // Tasks still scheduled or waiting go before the pools they return frames to.
    krv_vm_lock guard(*state_);
    std::vector<krvptr_strong<krv_task>> run_heap = std::move(state_->run_heap);
    std::vector<krvptr_strong<krv_task>> wait_list = std::move(state_->wait_list);
    state_->run_heap.clear();
    state_->wait_list.clear();
  }
  state_->notify = nullptr;
  release_deferred();
  drain_return_rings();
  record.vm = attached == state_.get() ? nullptr : attached;
}

void krv_host_vm::attach_current_thread() { krv_get_thread_local().vm = state_.get(); }

void krv_host_vm::detach_current_thread() { krv_get_thread_local().vm = nullptr; }

size_t krv_host_vm::drain_return_rings() {
  krv_vm_lock guard(*state_);
  size_t drained = 0;
  state_->for_each_pool([&](auto& pool) { drained += pool.drain_return_ring(); });
  return drained;
}

size_t krv_host_vm::release_deferred() {
  krv_vm_lock guard(*state_);
  // Taken out first: a release may tear down an object that defers another one.
  std::vector<krvptr_strong<krvobject_base>> releases;
  releases.swap(state_->deferred_releases);
  return releases.size();
}

void krv_host_vm::run_update_pass() {
  krv_vm_lock guard(*state_);
  auto& list = state_->update_list;
  // Objects registered during the pass wait for the next one; once a hook has changed the list, each
  // remaining object is called only if it is still registered.
  const std::vector<krvobject_update_pre*> pass = list;
  state_->update_list_changed = 0;
  for (krvobject_update_pre* object : pass) {
    if (state_->update_list_changed != 0 && std::find(list.begin(), list.end(), object) == list.end()) continue;
    object->update_pre();
  }
}

void krv_host_notify::wake() {
  std::lock_guard<std::mutex> guard(mutex_);
  woken_ = true;
  woken_cv_.notify_all();
}

bool krv_host_notify::wait(uint64_t timeout_us, uint64_t spin_us) {
  const auto woken = [this] { return woken_.load(std::memory_order_acquire); };
  if (!krv_spin_until(woken, std::chrono::microseconds(std::min(timeout_us, spin_us)))) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (timeout_us == forever)
      woken_cv_.wait(guard, woken);
    else
      woken_cv_.wait_for(guard, std::chrono::microseconds(timeout_us), woken);
  }
  return take_wake();
}

bool krv_host_notify::take_wake() { return woken_.exchange(false, std::memory_order_acq_rel); }

bool krv_host_notify::woken() const { return woken_.load(std::memory_order_acquire); }

void krv_host_vm::start_workers(uint32_t count) {
  stop_workers();
  state_->worker_queue.stopping.store(0, std::memory_order_release);
  workers_ = std::make_unique<krv_worker_pool>(*state_, count);
}

std::vector<std::string> krv_host_vm::busy_work() const {
  return workers_ ? workers_->busy_work() : std::vector<std::string>{};
}

void krv_host_vm::stop_workers() { stop_workers_within(krv_worker_pool::forever); }

bool krv_host_vm::stop_workers_within(std::chrono::milliseconds patience) {
  serving_jobs_here_ = false;  // jobs queued meanwhile are destroyed unrun below, never run while joining
  if (workers_) {
    if (!workers_->stop([this] { drain_completions(); }, patience)) return false;
  } else {
    state_->worker_queue.stopping.store(1, std::memory_order_release);
  }
  {
    krv_vm_lock guard(*state_);
    krv_task_queue::job job;
    while (state_->worker_queue.try_pop(job)) job = nullptr;
  }
  workers_.reset();
  drain_completions();
  return true;
}

void krv_host_vm::serve_jobs_here() {
  krv_vm_lock guard(*state_);
  krv_task_queue& queue = state_->worker_queue;
  krv_task_queue::job job;
  while (queue.try_pop(job)) job = nullptr;
  serving_jobs_here_ = true;
  queue.worker_count = 0;
  queue.stopping.store(0, std::memory_order_release);
}

size_t krv_host_vm::drain_completions() {
  krv_vm_lock guard(*state_);
  if (serving_jobs_here_ || !workers_ || workers_->count() == 0) {
    krv_task_queue::job job;
    while (state_->worker_queue.try_pop(job)) {
      job();
      job = nullptr;
    }
  }
  return krv_drain_completions(*state_);
}

size_t krv_host_vm::run_due_tasks(bool hold_at_stop) {
  krv_vm_lock guard(*state_);
  auto& heap = state_->run_heap;
  const uint64_t now = krv_platform::monotonic_ms();
  const auto due_at_start =
      std::count_if(heap.begin(), heap.end(), [now](const krvptr_strong<krv_task>& task) { return task->eta_ms <= now; });
  const auto later = [](const krvptr_strong<krv_task>& a, const krvptr_strong<krv_task>& b) {
    return krv_task::runs_before(*b, *a);
  };
  size_t continued = 0;
  const auto held = [hold_at_stop] { return hold_at_stop && krv_platform::stop_requested(); };
  for (; continued < static_cast<size_t>(due_at_start) && !heap.empty() && heap.front()->eta_ms <= now && !held();
       ++continued) {
    std::pop_heap(heap.begin(), heap.end(), later);
    krvptr_strong<krv_task> task = std::move(heap.back());
    heap.pop_back();
    task->scheduled = 0;
    // A task suspended since it was scheduled waits for its wake.
    if (task->active != 0 && task->suspended == 0 && task_continue(*task) && task->active != 0)
      krv_task::schedule(*task, 0);
    // Workers spin on a full completion ring: a pass that hands off many jobs must keep draining it.
    drain_completions();
  }
  return continued;
}

size_t krv_host_vm::tick(bool hold_at_stop) {
  krv_vm_lock guard(*state_);
  size_t work = drain_return_rings();
  work += release_deferred();
  work += drain_completions();
  work += run_due_tasks(hold_at_stop);
  run_update_pass();
  const auto now = std::chrono::steady_clock::now();
  // A wake not yet taken (a channel that delivered in this pass) is activity too; it stays set for the wait.
  if (work != 0 || notify_.woken()) {
    note_activity(now);
  } else if (release_due_ && now - last_activity_ >= krv_idle_release_quiet) {
    krv_release_idle_memory(*state_);
    release_due_ = false;
  }
  last_tick_work_ = work;
  return work;
}

void krv_host_vm::wait_for_work(uint64_t max_ms) {
  uint64_t wait_us = max_ms == krv_host_notify::forever ? max_ms : max_ms * 1000;
  bool polling = false;
  {
    krv_vm_lock guard(*state_);
    if (!state_->run_heap.empty()) {
      const uint64_t due = state_->run_heap.front()->eta_ms;
      const uint64_t now = krv_platform::monotonic_ms();
      wait_us = due <= now ? 0 : std::min(wait_us, (due - now) * 1000);
    }
    polling = !state_->update_list.empty();
    // A job still queued wakes nobody when a worker takes it (a background build's job never reports
    // back), so the VM thread looks again shortly: otherwise a run that waits only for the queue to empty
    // could sleep for good.
    if (state_->worker_queue.pending.load(std::memory_order_acquire) != 0) wait_us = std::min(wait_us, queued_job_look_us);
  }
  if (wait_us == 0) return;
  if (polling) wait_us = std::min(wait_us, next_poll_wait_us());
  if (release_due_) wait_us = std::min(wait_us, quiet_left_us());
  // Right after work the wake is likely near (a job just handed off): look for it before sleeping.
  const uint64_t spin_us = last_tick_work_ != 0 ? wake_spin_us : 0;
  if (wait_us > 0 && notify_.wait(wait_us, spin_us)) note_activity();
}

// Activity (a wake, or work found by the last tick) opens the window of ticks without a pause; after it
// the waits double up to their bound.
uint64_t krv_host_vm::next_poll_wait_us() {
  const auto now = std::chrono::steady_clock::now();
  if (last_tick_work_ != 0 || notify_.take_wake()) note_activity(now);
  if (now - last_activity_ < poll_spin_window) return 0;
  const uint64_t wait_us = poll_wait_us_;
  poll_wait_us_ = std::min(poll_wait_us_ * 2, poll_last_wait_us);
  return wait_us;
}

uint64_t krv_host_vm::quiet_left_us() const {
  const auto left = last_activity_ + krv_idle_release_quiet - std::chrono::steady_clock::now();
  return static_cast<uint64_t>(std::max<int64_t>(0, std::chrono::ceil<std::chrono::microseconds>(left).count()));
}

void krv_host_vm::note_activity(std::chrono::steady_clock::time_point when) {
  last_activity_ = when;
  release_due_ = true;
  poll_wait_us_ = poll_first_wait_us;
}

bool krv_host_vm::tasks_left() {
  krv_vm_lock guard(*state_);
  if (!state_->run_heap.empty()) return true;
  const krv_task_queue& queue = state_->worker_queue;
  if (queue.pending.load(std::memory_order_acquire) != 0) return true;
  const krv_completion_ring& ring = state_->completions;
  if (ring.tail.load(std::memory_order_acquire) != ring.head) return true;
  // A task waiting for a worker's result: the count changes only under the VM lock we hold, so no
  // worker can make it read 0 before its record has been drained.
  for (const krvptr_strong<krv_task>& task : state_->wait_list)
    if (task->results_awaited != 0) return true;
  return false;
}

bool krv_host_vm::idle() {
  krv_vm_lock guard(*state_);
  for (const krvobject_update_pre* object : state_->update_list)
    if (object->keeps_run_alive()) return false;
  return !tasks_left();
}
