// The worker queue and the hand-off under real threads: producers and the host's workers, and many
// tasks handing off in one pass.
#include <atomic>
#include <memory>
#include <thread>

#include "lost_wake_watchdog.h"
#include "module/vm_lock.h"
#include "runtime/objects/function_def.h"
#include "runtime/storage/string_object.h"
#include "script_fixture.h"

namespace {

TEST(WorkerThreads, FourProducersFourWorkersRunEveryJobOnce) {
  constexpr int producers = 4, jobs_each = 20000;
  krv_host_vm vm("queue");
  vm.start_workers(4);
  auto runs = std::make_unique<std::atomic<int>[]>(producers * jobs_each);
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < jobs_each; ++i) {
        std::atomic<int>& count = runs[p * jobs_each + i];
        while (!vm.state().worker_queue.try_push([&count] { count.fetch_add(1, std::memory_order_relaxed); }))
          std::this_thread::yield();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  vm.stop_workers();
  int wrong = 0;
  for (int i = 0; i < producers * jobs_each; ++i) wrong += runs[i].load() != 1;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(vm.state().worker_queue.pending.load(), 0u);
}

using ManyHandOffs = ScriptTest;

// More tasks than the completion ring holds hand off in one pass: the pass keeps draining the ring, so
// the workers never stall on it and every task finishes with its own result.
TEST_F(ManyHandOffs, ThreeThousandTasksInOnePassToTwoWorkers) {
  assemble("native N0 \"work\" 1 1\nblock B0 4 params 1 locals 1\n  args_open 1\n  load_local 0\n  arg 0\n"
           "  call_native @N0\nend\n");
  bind("work", [](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
    const int64_t n = args[0]->int_value();
    return frame.return_thread([n] { return krvvar_shared::make_int(n * 2); });
  });
  vm.start_workers(2);
  constexpr int count = 3000;
  std::vector<krvptr_strong<krv_task>> tasks;
  for (int i = 0; i < count; ++i) {
    krv_get_thread_local().current_task = nullptr;
    tasks.push_back(krv_task_create(built->root, nullptr));
    std::vector<krvvar_shared> args{krvvar_shared::make_int(i)};
    ASSERT_EQ(krv_task::run_scheduled(*tasks.back(), 0, &args), 1);
  }
  EXPECT_EQ(vm.run_due_tasks(), static_cast<size_t>(count));
  for (int spins = 0; spins < 100000 && !vm.idle(); ++spins) {
    vm.tick();
    vm.wait_for_work(1);
  }
  ASSERT_TRUE(vm.idle());
  int wrong = 0;
  for (int i = 0; i < count; ++i)
    wrong += tasks[i]->active != 0 || tasks[i]->value_stack.back()->int_value() != 2 * i;
  EXPECT_EQ(wrong, 0);
  vm.stop_workers();
}

// A regular-expression method of std.string, called as the interpreter calls a bound method: the match
// runs on a host worker, and the script resumes with its result after the completion ring's drain.
TEST_F(ManyHandOffs, ARegexMethodsResultReachesTheScriptThroughAWorker) {
  krv_std_string::script_register_internal();
  const int64_t index = krv_std_string::statics().names.find("regex_search");
  ASSERT_GE(index, 0);
  krv_function_def& search = *krv_std_string::statics().members.at(static_cast<size_t>(index))->function_descriptor();
  assemble("string \"b+c\"\nnative N0 \"search\" 1 1\nnative N1 \"mark\" 1 1\nblock B0 4\n  args_open 1\n  args_open 1\n"
           "  load_string 0\n  arg 0\n  call_native @N0\n  arg 0\n  call_native @N1\nend\n");
  krvptr_strong<krv_std_string> text = krv_std_string::create("aabbbc");
  bind("search", [&](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
    frame.native_self = text.get();
    krvvar_shared result = search.callable(frame, args);
    frame.native_self = nullptr;
    return result;
  });
  std::vector<int64_t> marks;
  std::vector<uint32_t> holds_seen;
  bind("mark", [&](krv_vm_context&, std::vector<krvvar_shared>& args) {
    marks.push_back(args[0]->int_value());
    holds_seen.push_back(text->worker_holds);
    return krvvar_shared::make_none();
  });
  vm.start_workers(1);
  krv_get_thread_local().current_task = nullptr;
  task = krv_task_create(built->root, nullptr);
  ASSERT_EQ(krv_task::run(*task, nullptr), 1);
  EXPECT_TRUE(marks.empty()) << "handed off, not run here";
  for (int spins = 0; spins < 100000 && !vm.idle(); ++spins) {
    vm.tick();
    vm.wait_for_work(1);
  }
  vm.stop_workers();
  EXPECT_EQ(marks, std::vector<int64_t>{2});
  EXPECT_EQ(holds_seen, std::vector<uint32_t>{0});
  EXPECT_EQ(task->active, 0);
}

// Each way work reaches a sleeping VM thread from another thread. The VM thread waits without a bound
// (no channel is open, so nothing polls): only the wake under test can end the wait, and a lost one
// makes the watchdog rescue it and the test fail.
TEST_F(ManyHandOffs, EveryWayOfMakingWorkWakesTheSleepingVmThread) {
  assemble("native N0 \"work\" 0 0\nblock B0 4\n  args_open 0\n  call_native @N0\nend\n");
  struct wake_case {
    const char* name;
    krv_native_callable body;                          // what the task's native does
    std::function<void(krv_host_vm&, krv_task&)> later;  // run on another thread while the VM sleeps
  };
  const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  const std::vector<wake_case> cases = {
      {"a worker's completion",
       [&](krv_vm_context& frame, std::vector<krvvar_shared>&) {
         return frame.return_thread([&] {
           pause();
           return krvvar_shared::make_int(7);
         });
       },
       {}},
      {"a task woken on another thread",
       [](krv_vm_context& frame, std::vector<krvvar_shared>&) {
         krv_task::suspend(frame);
         return krvvar_shared::make_int(7);
       },
       [&](krv_host_vm& host, krv_task& suspended) {
         pause();
         host.attach_current_thread();
         krv_vm_lock guard(host.state());
         krv_task::wake(suspended);
       }},
  };
  vm.start_workers(1);
  for (const wake_case& c : cases) {
    bind("work", c.body);
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
    ASSERT_EQ(krv_task::run(*task, nullptr), 1) << c.name;
    ASSERT_NE(task->active, 0) << c.name << ": suspended, not finished";
    krv_task* const suspended = task.get();  // taken while this thread still holds the lock
    // The VM thread holds the lock only while it ticks, as the host's loop does.
    lock.reset();
    std::thread other;
    if (c.later) other = std::thread([&c, this, suspended] { c.later(vm, *suspended); });
    krv_lost_wake_watchdog watchdog([&] { vm.state().notify->wake(); });
    // Under the VM lock, as everything about a task: the other thread's wake takes a handle to it.
    const auto still_active = [&] {
      krv_vm_lock guard(vm.state());
      return task->active != 0;
    };
    while (still_active()) {
      vm.tick();
      if (still_active()) vm.wait_for_work();
    }
    EXPECT_FALSE(watchdog.dismiss()) << c.name << ": the wake was lost";
    if (other.joinable()) other.join();
    lock.emplace();
    EXPECT_EQ(task->active, 0) << c.name;
  }
  vm.stop_workers();
}

// Idle workers sleep without a timeout: a job pushed while they sleep must wake one, and stopping must
// wake them all.
TEST(WorkerThreads, SleepingWorkersWakeForAJobAndForTheStop) {
  krv_host_vm vm("sleepers");
  vm.start_workers(2);
  krv_task_queue& queue = vm.state().worker_queue;
  krv_lost_wake_watchdog watchdog([&] { queue.wake_all(); });
  for (int round = 0; round < 3; ++round) {
    while (queue.sleepers.load() < 2) std::this_thread::yield();
    std::atomic<bool> ran{false};
    ASSERT_TRUE(queue.try_push([&ran] { ran.store(true); }));
    while (!ran.load()) std::this_thread::yield();
  }
  while (queue.sleepers.load() < 2) std::this_thread::yield();
  vm.stop_workers();
  EXPECT_FALSE(watchdog.dismiss()) << "a sleeping worker missed its wake";
}

}  // namespace
