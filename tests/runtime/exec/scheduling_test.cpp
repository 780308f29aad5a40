// Starting, scheduling, suspending and waking tasks, and the host continuing due tasks.
#include <algorithm>

#include "platform/clock.h"

#include "runtime/exec/task/task_status.h"
#include "script_fixture.h"

namespace {

class counting_notify final : public krv_vm_notify {
 public:
  void wake() override { ++wakes; }
  int wakes = 0;
};

class Scheduling : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    host_notify = std::exchange(vm.state().notify, &notify);
  }
  void TearDown() override {
    vm.state().notify = host_notify;
    ScriptTest::TearDown();
  }
  krvptr_strong<krv_task> fresh_task() {
    krv_get_thread_local().current_task = nullptr;
    return krv_task_create(built->root, nullptr);
  }
  std::vector<krvptr_strong<krv_task>>& heap() { return vm.state().run_heap; }

  counting_notify notify;
  krv_vm_notify* host_notify = nullptr;
};

TEST_F(Scheduling, RunHeapWaitListAndWakes) {
  assemble("block B0 4 params 1 locals 1\n  load_local 0\n  push_none\n  load_int 1\n  add\nend\n");
  krvptr_strong<krv_task> late = fresh_task(), soon = fresh_task(), never = fresh_task();
  const uint64_t before = krv_platform::monotonic_ms();

  krv_task::schedule(*late, 50);
  krv_task::schedule(*soon, 10);
  EXPECT_EQ(notify.wakes, 0) << "a positive delay does not wake the scheduler";
  ASSERT_EQ(heap().size(), 2u);
  EXPECT_EQ(heap().front().get(), soon.get()) << "10 before 50";
  const uint64_t first_eta = soon->eta_ms;
  EXPECT_GE(first_eta, before + 10);
  krv_task::schedule(*soon, 0);
  EXPECT_EQ(soon->eta_ms, first_eta) << "a scheduled task keeps its due time";
  EXPECT_EQ(heap().size(), 2u);
  EXPECT_EQ(notify.wakes, 0);
  krv_task::schedule(*never, UINT64_MAX);
  EXPECT_EQ(never->eta_ms, UINT64_MAX);
  heap().clear();
  never->scheduled = soon->scheduled = late->scheduled = 0;

  krv_task::schedule(*late, 0);
  EXPECT_EQ(notify.wakes, 1) << "delay 0 wakes the scheduler";
  heap().clear();
  late->scheduled = 0;

  // A wake of a task that is not (or no longer) waiting does nothing.
  soon->suspended = 1;
  krv_task::wake(*soon);
  EXPECT_TRUE(heap().empty());
  EXPECT_EQ(soon->suspended, 1);
}

TEST_F(Scheduling, RunStartsRestartsAndRefuses) {
  assemble("block B0 4 params 1 locals 1\n  load_local 0\n  push_none\n  load_int 1\n  add\nend\n");
  task = fresh_task();
  for (int64_t arg : {5, 41}) {
    std::vector<krvvar_shared> args{krvvar_shared::make_int(arg)};
    EXPECT_EQ(krv_task::run(*task, &args), 1);
    EXPECT_EQ(task->active, 0);
    EXPECT_EQ(result().int_value(), arg + 1) << "a finished task starts again with new arguments";
  }
  const std::vector<std::string> lines = infos();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Task " + address_of(task.get()) + " started."), 2);

  task->active = 1;
  EXPECT_EQ(krv_task::run(*task, nullptr), 0);
  EXPECT_EQ(krv_task::run_scheduled(*task, 0, nullptr), 0);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Cannot run task!", "Cannot run task!"}));
  task->active = 0;

  EXPECT_EQ(krv_task::run_scheduled(*task, 0, nullptr), 1);
  EXPECT_EQ(heap().size(), 1u);
  EXPECT_EQ(notify.wakes, 1);
  EXPECT_EQ(vm.run_due_tasks(), 1u);
  EXPECT_TRUE(heap().empty());
  EXPECT_EQ(task->scheduled, 0);
  EXPECT_EQ(task->active, 0) << "the host ran it to its end";
}

// A finaliser that drops an instance of its own class starts the next finaliser on top of itself: the
// 129th nested run is refused with an error instead of overflowing the thread's stack.
TEST_F(Scheduling, NestedRunsStopAtTheirBound) {
  assemble(R"(native N0 "count" 0 0
class K0 "Node" default B1 deinit B2
block B0 4
  const class K0
  load_const 0
  call_prepare 0
  call
  load_none
end
block B1 1 child B0 class K0
  new_instance
end
block B2 1 child B0
  args_open 0
  call_native @N0
  load_global_const 0
  call_prepare 0
  call
  load_none
end
)");
  int finalisers = 0;
  bind("count", [&finalisers](krv_vm_context&, std::vector<krvvar_shared>&) {
    ++finalisers;
    return krvvar_shared::make_none();
  });
  task = fresh_task();
  EXPECT_EQ(krv_task::run(*task, nullptr), 1);
  EXPECT_EQ(task->active, 0);
  EXPECT_EQ(finalisers, 127) << "the root's run is the first of the 128 levels";
  EXPECT_TRUE(reported("maximum nesting of 128 task runs exceeded"));
}

// A native that suspends its task: the script stops after the call and, once woken and continued by
// the host, resumes at the next instruction with the native's result in A.
TEST_F(Scheduling, ASuspendedTaskResumesAtTheNextInstruction) {
  assemble("native N0 \"pause\" 0 0\nnative N1 \"mark\" 1 1\nblock B0 4\n  args_open 0\n  call_native @N0\n"
           "  args_open 1\n  arg 0\n  call_native @N1\nend\n");
  bind("pause", [](krv_vm_context& frame, std::vector<krvvar_shared>&) {
    krv_task::suspend(frame);
    return krvvar_shared::make_int(7);
  });
  std::vector<int64_t> marks;
  bind("mark", [&marks](krv_vm_context&, std::vector<krvvar_shared>& args) {
    marks.push_back(args[0]->int_value());
    return krvvar_shared::make_none();
  });
  task = fresh_task();
  EXPECT_EQ(krv_task::run(*task, nullptr), 1);
  EXPECT_EQ(task->suspended, 1);
  EXPECT_EQ(task->root_frame()->status, KRV_STATUS_SUSPENDED);
  ASSERT_EQ(vm.state().wait_list.size(), 1u);
  EXPECT_TRUE(heap().empty());
  EXPECT_TRUE(marks.empty());

  krv_task::wake(*task);
  EXPECT_EQ(task->suspended, 0);
  EXPECT_TRUE(vm.state().wait_list.empty());
  krv_task::wake(*task);  // no longer waiting: nothing
  EXPECT_EQ(heap().size(), 1u);
  EXPECT_EQ(vm.run_due_tasks(), 1u);
  EXPECT_EQ(marks, std::vector<int64_t>{7});
  EXPECT_EQ(task->active, 0);
}

}  // namespace
