// A small pool of worker threads with an unbounded job queue, standing in for the host's worker queue
// in launch tests and benchmarks. `enqueue()` gives the hand-off function a launch takes; it accepts
// every job. The destructor runs the jobs still queued, then joins the threads.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class krvk_job_pool {
 public:
  explicit krvk_job_pool(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { serve(); });
  }
  ~krvk_job_pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  krvk_job_pool(const krvk_job_pool&) = delete;
  krvk_job_pool& operator=(const krvk_job_pool&) = delete;

  bool push(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
  }

  std::function<bool(std::function<void()>)> enqueue() {
    return [this](std::function<void()> job) { return push(std::move(job)); };
  }

  unsigned size() const { return static_cast<unsigned>(workers_.size()); }

 private:
  void serve() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();  // destroyed here, on the worker, as a host worker destroys its jobs
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
};
