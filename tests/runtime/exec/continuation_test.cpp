// The task continuation: the call-depth limit, deep recursion on a small stack, return, break and
// continue through nested blocks, noexcept functions, unhandled errors, stop requests, finishing and
// restarting, and an end-to-end program in the text form.
#include <pthread.h>

#include "module/vm_lock.h"
#include "runtime/exec/task/step_budget.h"
#include "runtime/exec/task/task_status.h"
#include "script_fixture.h"

namespace {

using Continuation = ScriptTest;

// Root global 0 holds f; f(n) returns n by calling itself n times.
constexpr const char* countdown =
    "block B0 4 locals 2\n"
    "  load_local 0\n  push_none\n  load_function 0\n  assign\n"
    "  load_local 0\n  call_prepare 1\n  load_local 1\n  call_arg 0\n  call\nend\n"
    "block B1 1 child B0 params 1 locals 1\n"
    "  load_local 0\n  jump_true deeper\n  load_int 0\n  return\n"
    "deeper:\n"
    "  load_global 0\n  call_prepare 1\n  load_local 0\n  push_none\n  load_int 1\n  sub\n  call_arg 0\n  call\n"
    "  push_none\n  load_int 1\n  add\n  return\nend\n";

TEST_F(Continuation, TheDepthLimitIsCaughtAtTheCaller) {
  vm.state().settings.max_call_depth = 100;
  // f() calls itself without end, inside a try block whose catch keeps the message.
  run("block B0 4 locals 1\n  load_local 0\n  push_none\n  load_function 0\n  assign\n  run_child 1\n  catch 2\nend\n"
      "block B1 1 child B0\n  load_global 0\n  call_prepare 0\n  call\nend\n"
      "block B2 0 child B0 has_catch\n  load_global 0\n  call_prepare 0\n  call\nend\n"
      "block B3 0 child B0 params 1 locals 1\n  load_local 0\nend\n");
  EXPECT_EQ(result().get_string(), "maximum call depth of 100 exceeded (endless recursion?)");
  EXPECT_EQ(task->frames.size(), 1u);
  EXPECT_TRUE(errors().empty());
  vm.state().settings.max_call_depth = 0;
}

TEST_F(Continuation, DeepRecursionNeedsNoMachineStack) {
  // 100,000 nested script calls without a limit, on a thread with a 256 KiB stack.
  lock.reset();
  struct job {
    krv_host_vm* vm;
    int64_t result = -1;
    size_t frames = 0;
  } work{&vm};
  auto body = [](void* raw) -> void* {
    auto& w = *static_cast<job*>(raw);
    w.vm->attach_current_thread();
    {
      krv_vm_lock guard;
      krvptr_strong<krv_program> program = krv_assemble_text(countdown);
      krvptr_strong<krv_task> deep = krv_task_create(program->root, nullptr);
      deep->bind_params(nullptr);
      krvvar_shared depth = krvvar_shared::make_int(100000);
      deep->root_frame()->locals[1]->set(depth);
      while (task_continue(*deep)) {
      }
      w.result = deep->value_stack.back()->int_value();
      w.frames = deep->frames.size();
    }
    krv_host_vm::detach_current_thread();
    return nullptr;
  };
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, body, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  lock.emplace();
  EXPECT_EQ(work.result, 100000);
  EXPECT_EQ(work.frames, 1u);
}

TEST_F(Continuation, ReturnBreakAndContinueCrossNestedBlocks) {
  // A return two plain blocks deep leaves the function; the caller adds 1.
  run("block B0 4\n  load_function 0\n  call_prepare 0\n  call\n  push_none\n  load_int 1\n  add\nend\n"
      "block B1 1 child B0\n  run_child 0\n  load_int 99\nend\n"
      "block B2 0 child B1\n  run_child 0\n  load_int 98\nend\n"
      "block B3 0 child B2\n  load_int 7\n  return\nend\n");
  EXPECT_EQ(result().payload.int_value, 8);
  // A break in a plain block inside a loop leaves both; the loop counted x to 3.
  run("block B0 4 locals 1\n  run_child 0\n  load_local 0\nend\n"
      "block B1 2 child B0\ntop:\n  load_global 0\n  inc 0\n  run_child 0\n  jump top\nend\n"
      "block B2 0 child B1\n  load_global 0\n  push_none\n  load_int 3\n  lt 0\n  jump_true stay\n  break\nstay:\nend\n");
  EXPECT_EQ(result().payload.int_value, 3);
  // A continue in a plain block restarts the loop: what follows it never runs.
  run("block B0 4 locals 2\n  run_child 0\n  load_local 0\n  push_none\n  load_local 1\n  add\nend\n"
      "block B1 2 child B0 continue 0\n  load_global 0\n  inc 0\n  push_none\n  load_int 5\n  lt 0\n"
      "  jump_false out\n  run_child 0\n  load_global 1\n  inc 0\nout:\nend\n"
      "block B2 0 child B1\n  continue\nend\n");
  EXPECT_EQ(result().payload.int_value, 5);
  EXPECT_EQ(task->frames.size(), 1u);
}

TEST_F(Continuation, ErrorsEndFunctionsOrTasks) {
  // A noexcept function that fails returns None and its caller goes on.
  run("block B0 4 locals 1\n  load_local 0\n  push_none\n  load_function 0\n  call_prepare 0\n  call\n  assign\n"
      "  load_int 4\nend\n"
      "block B1 1 child B0 noexcept\n  load_int 1\n  load_local 3\n  load_int 2\nend\n", false);
  EXPECT_EQ(task->root_frame()->locals[0]->type, KRVVAR_NONE);
  EXPECT_EQ(result().payload.int_value, 4);
  EXPECT_EQ(warnings(), std::vector<std::string>{"Error inside a noexcept function, it returns None."});

  // Unhandled: on_error and then on_finish receive None although A holds 5; the root frame starts over.
  assemble("block B0 4\n  args_open 1\n  push_none\n  load_int 5\n  load_local 3\n  load_int 6\nend\n", false);
  krv_task& failing = start();
  int error_calls = 0;
  std::string finished_with;
  failing.on_error = [&](krvvar_shared& none) { error_calls += none->type == KRVVAR_NONE; };
  failing.on_finish = [&](krvvar_shared& value) { finished_with = krvvar_type_name(value->type); };
  EXPECT_FALSE(task_continue(failing));
  EXPECT_EQ(error_calls, 1);
  EXPECT_EQ(finished_with, "none");
  EXPECT_EQ(failing.active, 0);
  ASSERT_EQ(failing.value_stack.size(), 1u);
  EXPECT_EQ(result().payload.int_value, 5);
  const krv_vm_context& root = *failing.root_frame();
  EXPECT_EQ(root.saved_offset, 0u);
  EXPECT_EQ(root.in_progress, 0);
  EXPECT_EQ(root.values_pushed, 0u);
  EXPECT_EQ(failing.call_arg_height, 0u);
  EXPECT_FALSE(failing.on_finish);
  // A restart runs from the top again, so the same error comes back once more.
  log.clear();
  ASSERT_TRUE(failing.bind_params(nullptr));
  run_started(failing);
  EXPECT_TRUE(reported("invalid variable."));
  EXPECT_EQ(failing.call_arg_height, 0u);
}

TEST_F(Continuation, StopRequestsAndResults) {
  // Stopped before it runs: finished at once with the top value, no code run.
  assemble("native N0 \"never\" 0 0\nblock B0 4\n  args_open 0\n  call_native @N0\nend\n");
  bool ran = false;
  bind("never", [&ran](krv_vm_context&, std::vector<krvvar_shared>&) {
    ran = true;
    return krvvar_shared::make_none();
  });
  krv_task& stopped = start();
  stopped.value_stack.back() = krvvar_shared::make_int(3);
  int64_t finished_with = 0;
  stopped.on_finish = [&](krvvar_shared& value) { finished_with = value->int_value(); };
  stopped.stop_requested = 1;
  EXPECT_FALSE(task_continue(stopped));
  EXPECT_FALSE(ran);
  EXPECT_EQ(finished_with, 3);
  EXPECT_EQ(stopped.stop_requested, 0);
  EXPECT_EQ(stopped.active, 0);
  // Values left on the stack go: the result stays alone. Not active any more: refused.
  run("block B0 4\n  load_int 1\n  push_none\n  load_int 2\nend\n");
  ASSERT_EQ(task->value_stack.size(), 1u);
  EXPECT_EQ(result().payload.int_value, 2);
  EXPECT_FALSE(task_continue(*task));
  EXPECT_EQ(errors().back(), "task_continue called while the task was not active!");
}

// Pool entries in use, over every pool of the VM.
uint64_t live_entries(krv_vm_state& state) {
  uint64_t live = 0;
  state.for_each_pool([&live](auto& pool) { live += pool.live; });
  return live;
}

constexpr const char* demo_program =
      "program \"demo\"\n"
      "string \"no such\"\n"
      "native N0 \"print\" 1 1\n"
      "block B0 4 locals 3\n"
      // fib = function; print(fib(20))
      "  load_local 0\n  push_none\n  load_function 0\n  assign\n"
      "  args_open 1\n  load_local 0\n  call_prepare 1\n  load_int 20\n  call_arg 0\n  call\n  arg 0\n"
      "  call_native @N0\n"
      // step = 5; add = closure over step (by value); print(add(10))
      "  load_local 1\n  push_none\n  load_int 5\n  assign\n"
      "  load_local 2\n  push_none\n  load_function 1\n  push_none\n  load_local 1\n  capture 0\n  pop\n  assign\n"
      "  args_open 1\n  load_local 2\n  call_prepare 1\n  load_int 10\n  call_arg 0\n  call\n  arg 0\n"
      "  call_native @N0\n"
      // print(greet()) with its defaulted parameter
      "  args_open 1\n  load_function 2\n  call_prepare 0\n  call\n  arg 0\n  call_native @N0\n"
      // try: 1 - "no such" fails; catch(e): print(e)
      "  run_child 3\n  catch 4\nend\n"
      "block B1 1 child B0 params 1 locals 1\n"
      "  load_local 0\n  push_none\n  load_int 2\n  lt 0\n  jump_false recurse\n  load_local 0\n  return\n"
      "recurse:\n"
      "  load_global 0\n  call_prepare 1\n  load_local 0\n  push_none\n  load_int 1\n  sub\n  call_arg 0\n  call\n"
      "  push_none\n"
      "  load_global 0\n  call_prepare 1\n  load_local 0\n  push_none\n  load_int 2\n  sub\n  call_arg 0\n  call\n"
      "  add\n  return\nend\n"
      "block B2 1 child B0 params 1 locals 2 captured 1\n  load_local 0\n  push_none\n  load_local 1\n  add\nend\n"
      "block B3 1 child B0 params 1 locals 1 first_default 0\n  default_arg 0\n  load_local 0\nend\n"
      "block B4 0 child B0 has_catch\n  load_int 1\n  push_none\n  load_string 0\n  sub\nend\n"
      "block B5 0 child B0 params 1 locals 1\n  args_open 1\n  load_local 0\n  arg 0\n  call_native @N0\nend\n"
      "block B6 0 child B3\n  load_int 42\nend\n";

TEST_F(Continuation, ATextProgramRunsEndToEnd) {
  // The first run leaves resting frames in the frame pool, which keep their local cells for the next
  // user; from then on a run takes nothing from the pools that it does not give back.
  uint64_t live_before = 0;
  for (int run = 0; run < 2; ++run) {
    if (run == 1) live_before = live_entries(vm.state());
    std::vector<std::string> printed;
    assemble(demo_program);
    bind("print", [&printed](krv_vm_context&, std::vector<krvvar_shared>& args) {
      printed.push_back(args[0]->get_string());
      return krvvar_shared::make_none();
    });
    run_started(start());
    EXPECT_EQ(printed, (std::vector<std::string>{"6765", "15", "42", "Sub invalid type: 5"}));
    EXPECT_TRUE(errors().empty());
    task.release();
    built.release();
  }
  EXPECT_EQ(live_entries(vm.state()), live_before);
}

}  // namespace

// The step budget a harness sets: programs that fan out end once it is spent, within it a program runs
// to its result having taken one step per call and one per task run.
TEST_F(Continuation, TheStepBudgetBoundsProgramsThatFanOut) {
  struct row {
    const char* name;
    const char* text;
    uint64_t left_after;  // of a budget of 1,000
  };
  const row rows[] = {
      {"noexcept f calls itself twice",
       "block B0 4 locals 1\n  load_local 0\n  push_none\n  load_function 0\n  assign\n"
       "  load_global 0\n  call_prepare 0\n  call\nend\n"
       "block B1 1 child B0 noexcept\n  load_global 0\n  call_prepare 0\n  call\n"
       "  load_global 0\n  call_prepare 0\n  call\nend\n",
       0},
      {"a finaliser makes two instances of its class",
       "class K0 \"Node\" default B1 deinit B2\n"
       "block B0 4 locals 1\n  const class K0\n  load_const 0\n  call_prepare 0\n  call\n  load_none\nend\n"
       "block B1 1 child B0 class K0\n  new_instance\nend\n"
       "block B2 1 child B0\n  load_global_const 0\n  call_prepare 0\n  call\n"
       "  load_global_const 0\n  call_prepare 0\n  call\n  load_none\nend\n",
       0},
      {"f(50) counts down", countdown, 1000 - 51 - 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    assemble(r.text);
    krv_task& started = start();
    const bool counts_down = r.text == countdown;
    krvvar_shared fifty = krvvar_shared::make_int(50);
    if (counts_down) started.root_frame()->locals[1]->set(fifty);
    krv_step_budget_left = 1000;
    run_started(started);
    const uint64_t left = std::exchange(krv_step_budget_left, UINT64_MAX);
    EXPECT_EQ(left, r.left_after);
    EXPECT_EQ(started.active, 0);
    if (counts_down) {
      EXPECT_EQ(result().int_value(), 50);
    }
  }
}
