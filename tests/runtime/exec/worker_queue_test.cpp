// The worker queue's limits and counters, and return_thread's hand-off through the completion ring,
// with no workers: the host's drain runs the queued jobs itself.
#include <algorithm>
#include <memory>
#include <thread>

#include "module/vm_lock.h"
#include "runtime/exec/task/return_thread.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/string_object.h"
#include "script_fixture.h"

namespace {

// A job that records its number when run; `alive` counts the copies not yet destroyed.
krv_task_queue::job numbered(std::vector<int>& ran, int number, const std::shared_ptr<int>& alive) {
  return [&ran, number, alive] { ran.push_back(number); };
}

TEST(TaskQueue, LimitsOrderAndWrapping) {
  auto queue = std::make_unique<krv_task_queue>();
  std::vector<int> ran;
  const auto alive = std::make_shared<int>();
  for (int i = 0; i < 1024; ++i) ASSERT_TRUE(queue->try_push(numbered(ran, i, alive)));
  EXPECT_FALSE(queue->try_push(numbered(ran, 1024, alive))) << "the 1,025th job is refused";
  EXPECT_EQ(alive.use_count(), 1 + 1024) << "and destroyed unrun";
  EXPECT_EQ(queue->pending.load(), 1024u);
  EXPECT_TRUE(queue->try_push(nullptr)) << "an empty job counts as done";
  EXPECT_EQ(queue->pending.load(), 1024u);

  krv_task_queue::job job;
  for (int i = 0; i < 1024; ++i) {
    ASSERT_TRUE(queue->try_pop(job));
    job();
  }
  EXPECT_FALSE(queue->try_pop(job));
  job = nullptr;
  EXPECT_EQ(ran.front(), 0);
  EXPECT_EQ(ran.back(), 1023);
  EXPECT_EQ(alive.use_count(), 1);

  // Counters wrap past 2^32: the signed difference keeps the limit and the order.
  queue->tail = queue->head = 0xFFFFFFF0u;
  ran.clear();
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(queue->try_push(numbered(ran, i, alive)));
  EXPECT_EQ(queue->tail.load(), 0x10u);
  while (queue->try_pop(job)) job();
  job = nullptr;
  EXPECT_EQ(ran.size(), 32u);
  EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end()));

  queue->stopping = 1;
  EXPECT_TRUE(queue->try_push(numbered(ran, 99, alive))) << "a stopping queue drops the job and says so";
  EXPECT_EQ(queue->pending.load(), 0u);
  EXPECT_EQ(alive.use_count(), 1);
}

TEST(TaskQueue, SignalsAsManySleepersAsThereIsWork) {
  const struct {
    uint64_t sleepers, pending, signals;
  } cases[] = {{3, 1, 1}, {1, 5, 1}, {0, 4, 0}, {4, 4, 4}};
  for (const auto& c : cases) {
    krv_task_queue queue;
    queue.sleepers = c.sleepers;
    EXPECT_EQ(queue.signal_sleepers(c.pending), c.signals) << c.sleepers << " asleep, " << c.pending << " queued";
  }
}

class ReturnThread : public ScriptTest {
 protected:
  // The root block calls "work" (which hands `job` off), then "mark" with what it got.
  void assemble_handing_off(std::function<krvvar_shared()> job) {
    assemble("native N0 \"work\" 0 0\nnative N1 \"mark\" 1 1\nblock B0 4\n  args_open 0\n  call_native @N0\n"
             "  args_open 1\n  arg 0\n  call_native @N1\nend\n");
    bind("work", [this, job](krv_vm_context& frame, std::vector<krvvar_shared>&) {
      frame.native_self = receiver.get();
      krvvar_shared placeholder = frame.return_thread(job);
      frame.native_self = nullptr;
      this->placeholder = placeholder;
      return placeholder;
    });
    bind("mark", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      marks.push_back(args[0]);
      return krvvar_shared::make_none();
    });
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
  }
  // Completes what the queue holds (running it here: there are no workers) and continues the task.
  void finish() {
    vm.drain_completions();
    vm.run_due_tasks();
  }

  krvptr_strong<krvobject_base> receiver = krv_std_string::create("text");
  krvvar_shared placeholder;
  std::vector<krvvar_shared> marks;
};

TEST_F(ReturnThread, ResultsReachTheResumedTask) {
  const struct {
    std::function<krvvar_shared()> job;
    int64_t value;      // -1: None
    const char* error;  // the error line, or ""
  } cases[] = {
      {[] { return krvvar_shared::make_int(42); }, 42, ""},
      {[]() -> krvvar_shared { throw std::runtime_error("boom"); }, -1,
       "return_thread callback threw an exception: boom"},
      {[]() -> krvvar_shared { throw 5; }, -1, "return_thread callback threw an unknown exception"},
      {std::function<krvvar_shared()>(), -1, "return_thread callback threw an exception: bad_function_call"},
  };
  for (const auto& c : cases) {
    log.clear();
    marks.clear();
    assemble_handing_off(c.job);
    const int32_t task_refs = krvptr_storage::get_ref_block(*task)->strong;
    ASSERT_EQ(krv_task::run(*task, nullptr), 1);
    EXPECT_EQ(task->suspended, 1);
    EXPECT_EQ(task->on_pool_thread.load(), 1);
    EXPECT_EQ(task->results_awaited, 1u);
    EXPECT_EQ(receiver->worker_holds, 1u) << "held while out";
    EXPECT_EQ(vm.state().worker_queue.pending.load(), 1u);
    EXPECT_EQ(placeholder->refcount, 3) << "the accumulator, our copy and the job";

    finish();
    EXPECT_EQ(receiver->worker_holds, 0u) << "given back by the drain";
    EXPECT_EQ(task->on_pool_thread.load(), 0);
    EXPECT_EQ(task->results_awaited, 0u) << "lowered by the drain";
    EXPECT_EQ(task->active, 0) << "resumed and finished";
    ASSERT_EQ(marks.size(), 1u);
    if (c.value < 0) {
      EXPECT_EQ(marks[0]->type, KRVVAR_NONE);
      EXPECT_EQ(placeholder->flags & krv_result_delivered, 0);
    } else {
      EXPECT_EQ(marks[0]->int_value(), c.value);
      EXPECT_EQ(placeholder->flags & krv_result_delivered, krv_result_delivered);
    }
    EXPECT_EQ(errors(), c.error[0] == 0 ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    EXPECT_EQ(krvptr_storage::get_ref_block(*task)->strong, task_refs) << "no reference left behind";
    marks.clear();
    placeholder.release();
    task.release();
  }
}

// A stopping queue drops the job: it still gives its references back and wakes the task with None.
TEST_F(ReturnThread, AJobDroppedByAStoppingQueueStillResumesItsTask) {
  assemble_handing_off([] { return krvvar_shared::make_int(1); });
  vm.state().worker_queue.stopping = 1;
  ASSERT_EQ(krv_task::run(*task, nullptr), 1);
  EXPECT_EQ(task->suspended, 0) << "woken at once";
  EXPECT_EQ(task->on_pool_thread.load(), 0);
  EXPECT_EQ(receiver->worker_holds, 0u);
  EXPECT_EQ(vm.state().run_heap.size(), 1u);
  vm.run_due_tasks();
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0]->type, KRVVAR_NONE);
  EXPECT_EQ(task->active, 0);
}

// A full queue: the caller warns and retries every millisecond with the VM lock given up, until a slot
// frees.
TEST_F(ReturnThread, AFullQueueWarnsAndWaitsWithTheLockReleased) {
  krv_task_queue& queue = vm.state().worker_queue;
  for (int i = 0; i < 1024; ++i) ASSERT_TRUE(queue.try_push([] {}));
  assemble_handing_off([] { return krvvar_shared::make_int(3); });
  bool locked_meanwhile = false;
  std::thread consumer([&] {
    // Frees a slot once the caller has retried twice; taking the VM lock shows it was given up.
    while (warnings().size() < 3) std::this_thread::sleep_for(std::chrono::microseconds(200));
    {
      krv_vm_lock guard(vm.state());
      locked_meanwhile = krv_get_thread_local().vm_lock_depth == 1;
    }
    krv_task_queue::job job;
    queue.try_pop(job);
  });
  ASSERT_EQ(krv_task::run(*task, nullptr), 1);
  consumer.join();
  EXPECT_TRUE(locked_meanwhile);
  const std::vector<std::string> overloads = warnings();
  EXPECT_GE(overloads.size(), 3u);
  for (const std::string& text : overloads) EXPECT_EQ(text, "Thread pool overload, waiting for free worker threads...");
  EXPECT_EQ(krv_get_thread_local().vm_lock_depth, 1u) << "the guard's depth is untouched";
  finish();
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0]->int_value(), 3);
}

// A task released while a worker still works for it waits until the worker lets go.
TEST_F(ReturnThread, ATaskDestroyedWhileAWorkerHoldsItWaits) {
  assemble_handing_off([] { return krvvar_shared::make_none(); });
  krv_task* held = task.get();
  const std::string waiting = "Task " + address_of(held) + " waiting for thread...";
  held->on_pool_thread = 1;
  std::thread worker([&] {
    auto said_waiting = [&] {
      const std::vector<std::string> lines = infos();
      return std::find(lines.begin(), lines.end(), waiting) != lines.end();
    };
    while (!said_waiting()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    held->on_pool_thread.exchange(0);
  });
  task.release();
  worker.join();
  const std::vector<std::string> lines = infos();
  const auto wait_line = std::find(lines.begin(), lines.end(), waiting);
  ASSERT_NE(wait_line, lines.end());
  EXPECT_NE(std::find_if(wait_line, lines.end(), [](const std::string& line) { return line.find(" exited (") != std::string::npos; }),
            lines.end());
}

}  // namespace
