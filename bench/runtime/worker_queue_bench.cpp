// The worker queue against the textbook pool (std::mutex + std::condition_variable +
// std::deque<std::function<void()>>), with P producers and P workers, and return_thread's round trip
// against a direct call of the same function. Figures: docs/performance.md.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/assembler/script_text.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/vm_context.h"

namespace {

constexpr int jobs_per_producer = 20000;

// The reference: one lock around a deque, workers sleeping on a condition variable.
class mutex_pool {
 public:
  explicit mutex_pool(int workers) {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~mutex_pool() {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  void push(std::function<void()> job) {
    {
      std::lock_guard guard(mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock guard(mutex_);
        ready_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Runs `producers` threads that each push jobs_per_producer counting jobs, and waits until all ran.
template <class Push>
void produce_and_wait(int producers, std::atomic<int64_t>& done, Push push) {
  const int64_t target = done.load() + int64_t{producers} * jobs_per_producer;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p)
    threads.emplace_back([&] {
      for (int i = 0; i < jobs_per_producer; ++i) push([&done] { done.fetch_add(1, std::memory_order_relaxed); });
    });
  for (std::thread& thread : threads) thread.join();
  while (done.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

void BM_TaskQueue(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  krv_host_vm vm("bench");
  vm.start_workers(static_cast<uint32_t>(p));
  krv_task_queue& queue = vm.state().worker_queue;
  std::atomic<int64_t> done{0};
  for (auto _ : state)
    produce_and_wait(p, done, [&queue](std::function<void()> job) {
      // try_push destroys a refused job; the keeping push leaves it for the next attempt.
      while (queue.try_push_keep(job) == krv_task_queue::push_outcome::full) std::this_thread::yield();
    });
  vm.stop_workers();
  state.SetItemsProcessed(state.iterations() * p * jobs_per_producer);
}
BENCHMARK(BM_TaskQueue)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MutexDequePool(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  mutex_pool pool(p);
  std::atomic<int64_t> done{0};
  for (auto _ : state) produce_and_wait(p, done, [&pool](std::function<void()> job) { pool.push(std::move(job)); });
  state.SetItemsProcessed(state.iterations() * p * jobs_per_producer);
}
BENCHMARK(BM_MutexDequePool)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

krvvar_shared sum_to(int64_t n) {
  int64_t sum = 0;
  for (int64_t i = 1; i <= n; ++i) benchmark::DoNotOptimize(sum += i);
  return krvvar_shared::make_int(sum);
}

// One script call of a native "work" that sums 1..100: handed to a worker (range 1) or called directly
// (range 0), the task run to its end each time.
void BM_ReturnThreadRoundTrip(benchmark::State& state) {
  const bool hand_off = state.range(0) == 1;
  krv_host_vm vm("bench");
  vm.attach_current_thread();
  vm.start_workers(1);
  {
    krvptr_strong<krv_program> program = krv_assemble_text("native N0 \"work\" 0 0\nblock B0 4\n  args_open 0\n  call_native @N0\nend\n");
    program->natives[0]->callable = [hand_off](krv_vm_context& frame, std::vector<krvvar_shared>&) {
      return hand_off ? frame.return_thread([] { return sum_to(100); }) : sum_to(100);
    };
    krvptr_strong<krv_task> task;
    {
      krv_vm_lock guard(vm.state());
      task = krv_task_create(program->root, nullptr);
    }
    for (auto _ : state) {
      krv_task::run(*task, nullptr);
      while (task->active != 0) {
        vm.tick();
        if (task->active != 0) vm.wait_for_work(1);
      }
    }
    krv_vm_lock guard(vm.state());
    task.release();
    program.release();
  }
  vm.stop_workers();
  krv_host_vm::detach_current_thread();
}
BENCHMARK(BM_ReturnThreadRoundTrip)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
