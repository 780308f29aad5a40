// A watchdog for tests of wake-up paths: the code under test sleeps without a timeout until something
// wakes it, so a lost wake would hang the test. The watchdog runs `rescue` (a wake of its own) if it is
// not dismissed within `limit`, and remembers that it had to: the test then fails instead of hanging.
// The limit is generous, so a loaded machine never trips it.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class krv_lost_wake_watchdog {
 public:
  explicit krv_lost_wake_watchdog(std::function<void()> rescue, std::chrono::seconds limit = std::chrono::seconds(30))
      : thread_([this, rescue = std::move(rescue), limit] {
          std::unique_lock<std::mutex> guard(mutex_);
          if (dismissed_cv_.wait_for(guard, limit, [this] { return dismissed_; })) return;
          fired_ = true;
          guard.unlock();
          rescue();
        }) {}
  ~krv_lost_wake_watchdog() { dismiss(); }
  krv_lost_wake_watchdog(const krv_lost_wake_watchdog&) = delete;
  krv_lost_wake_watchdog& operator=(const krv_lost_wake_watchdog&) = delete;

  // Stops the watchdog; true when it had to rescue (the wake under test was lost).
  bool dismiss() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      dismissed_ = true;
    }
    dismissed_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable dismissed_cv_;
  bool dismissed_ = false;
  bool fired_ = false;
  std::thread thread_;
};
