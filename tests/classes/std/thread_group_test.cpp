// "std.thread" with an assembled script callback on the test VM's scheduler: the script makes a group,
// runs, joins and reads results through natives bound to the group's methods, and marks what it sees.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "classes/std/json_bool.h"
#include "classes/std/thread_group.h"
#include "runtime/objects/namespace.h"
#include "runtime/storage/json_object.h"
#include "script_fixture.h"

namespace {

// Natives 0 thread, 1 run, 2 join, 3 mark, 4 results, 5 pause, 6 work, 7 seen. B0 makes the group from
// B1 (or from a text) and then runs `steps`; B1 pauses on its argument, then works on it.
std::string group_script(const std::string& steps) {
  return "native N0 \"thread\" 1 1\nnative N1 \"run\" 1 1\nnative N2 \"join\" 0 0\nnative N3 \"mark\" 1 1\n"
         "native N4 \"results\" 0 1\nnative N5 \"pause\" 1 1\nnative N6 \"work\" 1 1\nnative N7 \"seen\" 0 0\n"
         "block B0 4\n  load_function 0\n  args_open 1\n  arg 0\n  call_native @N0\n" + steps +
         "end\nblock B1 1 child B0 params 1 locals 1\n  args_open 1\n  load_local 0\n  deref\n  arg 0\n"
         "  call_native @N5\n  args_open 1\n  load_local 0\n  deref\n  arg 0\n  call_native @N6\nend\n";
}

// "rN": run(N), marked; "j": join, then the finishing order so far, marked; "g": get_results(), "gN":
// get_results(N), marked.
std::string assembled_steps(const std::string& steps) {
  std::string code;
  const std::string mark_a = "  args_open 1\n  arg 0\n  call_native @N3\n";
  for (size_t at = 0; at < steps.size();) {
    const size_t end = std::min(steps.find(' ', at), steps.size());
    const std::string step = steps.substr(at, end - at);
    at = end + 1;
    const std::string number = step.substr(1);
    const std::string one_arg = "  args_open 1\n  load_int " + number + "\n  arg 0\n";
    if (step[0] == 'r') code += one_arg + "  call_native @N1\n" + mark_a;
    if (step[0] == 'j') code += "  args_open 0\n  call_native @N2\n  args_open 0\n  call_native @N7\n";
    if (step[0] == 'g') code += (number.empty() ? "  args_open 0\n" : one_arg) + "  call_native @N4\n" + mark_a;
  }
  return code;
}

class ThreadGroup : public ScriptTest {
 protected:
  void TearDown() override {
    waiting.clear();
    group_value = {};
    kept = {};
    ScriptTest::TearDown();
  }

  krv_std_thread& group() { return *group_value->object_ptr<krv_std_thread>(); }

  // A value as the script saw it: None, a list of its values, "kept" for the object `work(5)` returned
  // (a copy of it is "copy"), else its text.
  std::string shown(krvvar& value) {
    if (value.type == KRVVAR_NONE) return "none";
    if (value.type == KRVVAR_OBJECT) return value.object_ptr<krvobject_base>() == kept->object_ptr() ? "kept" : "copy";
    if (krv_std_json* list = value.type == KRVVAR_JSON ? value.object_ptr<krv_std_json>() : nullptr) {
      std::string out;
      for (krv_std_json_entry& entry : list->entries) out += (out.empty() ? "" : ",") + shown(*entry.value);
      return "[" + out + "]";
    }
    return std::string(value.string_view_value());
  }

  // Runs `steps` on a group whose tasks pause once on the arguments in `slow`; the marks, space separated.
  std::string run_group(const std::string& steps, const std::set<int64_t>& slow, bool text_callback = false) {
    marks.clear();
    finished.clear();
    kept = krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool()));
    assemble(group_script(assembled_steps(steps)));
    bind("thread", [this, text_callback](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
      if (text_callback) args[0] = krvvar_shared::make_string("f");
      group_value = krv_std_thread::constructor_function(frame, args);
      return group_value;
    });
    bind("run", [this](krv_vm_context&, std::vector<krvvar_shared>& args) { return group().run(args); });
    bind("join", [this](krv_vm_context& frame, std::vector<krvvar_shared>&) { return group().join(frame); });
    bind("results", [this](krv_vm_context&, std::vector<krvvar_shared>& args) { return group().get_results(args); });
    bind("mark", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      marks += (marks.empty() ? "" : " ") + shown(*args[0]);
      return krvvar_shared::make_none();
    });
    bind("seen", [this](krv_vm_context&, std::vector<krvvar_shared>&) {
      marks += (marks.empty() ? "[" : " [") + finished + "]";
      return krvvar_shared::make_none();
    });
    std::set<int64_t> to_pause = slow;
    bind("pause", [this, to_pause](krv_vm_context& frame, std::vector<krvvar_shared>& args) mutable {
      if (to_pause.erase(args[0]->int_value()) == 0) return krvvar_shared::make_none();
      krv_task::suspend(frame);
      waiting.push_back(krvptr_strong<krv_task>::from_raw(frame.task));
      return krvvar_shared::make_none();
    });
    // 4 joins from inside the group; 5 returns `kept`; the rest return ten times their argument.
    bind("work", [this](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
      const int64_t n = args[0]->int_value();
      finished += std::to_string(n);
      if (n == 4) return group().join(frame);
      if (n == 5) return kept;
      return krvvar_shared::make_int(n * 10);
    });
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
    EXPECT_EQ(krv_task::run(*task, nullptr), 1);
    for (int round = 0; round < 100 && (task->active || !waiting.empty() || !vm.state().run_heap.empty()); ++round) {
      for (krvptr_strong<krv_task>& paused : std::exchange(waiting, {})) krv_task::wake(*paused);
      vm.run_due_tasks();
    }
    EXPECT_EQ(task->active, 0) << "the script resumed and finished";
    return marks;
  }

  krvvar_shared group_value;
  krvvar_shared kept;  // the object work(5) returns
  std::string marks;
  std::string finished;  // the arguments of the callbacks that got to work, in that order
  std::vector<krvptr_strong<krv_task>> waiting;
};

TEST_F(ThreadGroup, RunJoinAndResults) {
  const struct {
    const char* steps;
    std::set<int64_t> slow;
    bool text_callback;
    const char* marks;
    const char* error;
  } cases[] = {
      // Joined after the last finishes; results in run order whatever the finishing order.
      {"r1 r2 r3 j g", {1}, false, "1 1 1 [231] [10,20,30]", nullptr},
      // Tasks run in the same millisecond begin in run order (a heap of equal due times did not keep it).
      {"r1 r2 r3 r6 r7 r8 j g", {}, false, "1 1 1 1 1 1 [123678] [10,20,30,60,70,80]", nullptr},
      // Not finished yet, or past the results: None.
      {"r1 r2 g1 g5 j g1 g5 g", {2}, false, "1 1 none none [12] 20 none [10,20]", nullptr},
      {"j g", {}, false, "[] []", nullptr},
      {"r1 j r2 j g", {2}, false, "1 [1] 1 [12] [10,20]", nullptr},
      // A second joiner fails; its task ends in that error and reports None.
      {"r1 r4 j g", {1}, false, "1 1 [41] [10,none]", "Cannot join twice!"},
      // The list leaves the results stored: read again, and filled by a task that finishes later.
      {"r1 r2 j g g0 g1", {}, false, "1 1 [12] [10,20] 10 20", nullptr},
      {"r1 g j g0", {1}, false, "1 [none] [1] 10", nullptr},
      // An object result is the object itself; the list holds copies.
      {"r5 j g0 g", {}, false, "1 [5] kept [copy]", nullptr},
      // No function: run starts nothing, keeps the slot, and join does not wait.
      {"r1 j g", {}, true, "0 [] [none]", "callback is not a function!"},
  };
  for (const auto& c : cases) {
    const size_t errors_before = errors().size();
    EXPECT_EQ(run_group(c.steps, c.slow, c.text_callback), c.marks) << c.steps;
    EXPECT_EQ(group().is_empty(), c.text_callback) << c.steps;
    const std::vector<std::string> after = errors();
    EXPECT_EQ(std::count_if(after.begin() + static_cast<std::ptrdiff_t>(errors_before), after.end(),
                            [&](const std::string& line) { return c.error && line.find(c.error) != std::string::npos; }),
              c.error ? 1 : 0)
        << c.steps;
  }
}

// Destroyed with a joiner and tasks that never report (listed directly, with no completion callback).
TEST_F(ThreadGroup, DestructionWakesTheJoinerAndStopsTheTasks) {
  assemble(group_script(""));
  krv_get_thread_local().current_task = nullptr;
  krvptr_strong<krv_task> joiner = krv_task_create(built->root, nullptr);
  krv_task::suspend(*joiner->root_frame());
  std::vector<krvptr_strong<krv_task>> listed{krv_task_create(built->root, nullptr),
                                              krv_task_create(built->root, nullptr)};
  listed[0]->value_stack.push_back(krvvar_shared::make_int(7));
  auto group = krvptr_strong<krv_std_thread>::from_raw(new krv_std_thread());
  group->joining_task = joiner;
  for (size_t i = 0; i < listed.size(); ++i) group->active_tasks.add(listed[i], i);
  group.reset_empty();
  EXPECT_NE(std::find(infos().begin(), infos().end(), "TODO: implement active_tasks->terminate() !"), infos().end());
  EXPECT_EQ(joiner->suspended, 0);
  EXPECT_EQ(joiner->scheduled, 1);
  for (const auto& stopped : listed) EXPECT_EQ(stopped->stop_requested, 1);
  EXPECT_EQ(listed[0]->value_stack.back()->type, KRVVAR_NONE);
  EXPECT_TRUE(listed[1]->value_stack.empty());
  vm.state().run_heap.clear();
}

// The constructor function and the methods as a script's help lists them: name, bounds, help, parameters.
TEST_F(ThreadGroup, ScriptTable) {
  krv_namespace ns;
  ns.name = "std";
  for (auto& populate : krv_global().namespace_initializers.at("std")) populate(ns);
  const auto described = [](const krv_function_def& f) {
    std::string text = std::string(f.name) + " " + std::to_string(f.min_args) + ".." + std::to_string(f.max_args) +
                       " " + std::string(f.help);
    for (std::string_view param : f.param_help) text += " | " + std::string(param);
    return text;
  };
  std::vector<std::string> table{described(*ns.functions.back())};
  for (const auto& member : krv_std_thread::statics().members) table.push_back(described(*member->function_descriptor()));
  EXPECT_EQ(ns.functions.back()->class_name, "std.thread");
  EXPECT_EQ(table, (std::vector<std::string>{
                       "thread 0..1 threading | Create a new thread object with optional callback function | "
                       "callback: function - The function to be executed in the new thread",
                       "run 0..999 Execute callback function asynchronously as a task | "
                       "...: any - Variable arguments to pass to the callback function",
                       "join 0..0 Join active tasks and wait for their completion",
                       "get_results 0..1 Get returned values | index: int"}));
}

}  // namespace
