// The regular-expression methods of std.string as a script calls them: `s.method(args)` on a string held
// in a cell, the job on one of the host's workers, the result back in the task after the VM tick
// completes it. Inputs at the limits match on the workers' own stacks.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "classes/std/string_methods.h"
#include "runtime/storage/json_object.h"
#include "script_fixture.h"

namespace {

std::string method_call_script(size_t arg_count);

class RegexOnWorkers : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    krv_std_string::script_register_internal();
  }
  // What the script passed to `mark`, containers as compact JSON text.
  void record_marks() {
    bind("mark", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      krvvar& value = *args[0];
      marks.push_back(value.type == KRVVAR_JSON ? value.object_ptr<krv_std_json>()->dump(true) : value.get_string());
      return krvvar_shared::make_none();
    });
  }
  // Ticks the VM until nothing is left queued, running or undelivered.
  void tick_until_idle() {
    for (int spins = 0; spins < 100000 && !vm.idle(); ++spins) {
      vm.tick();
      vm.wait_for_work(1);
    }
    ASSERT_TRUE(vm.idle());
  }
  // The string value the script reads as cell C0.
  krvvar& receiver() { return *built->cells[0]; }
  // Starts a task that calls `method` with `args` (method_call_script) on `text` and marks the result;
  // what krv_task::run answered.
  int start_call(const std::string& method, const std::vector<std::string>& args, const std::string& text) {
    std::string strings = "string \"" + method + "\"\n";
    for (const std::string& arg : args) strings += "string \"" + arg + "\"\n";
    assemble(strings + method_call_script(args.size()));
    record_marks();
    receiver().string_ref() = text;
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
    return krv_task::run(*task, nullptr);
  }

  std::vector<std::string> marks;
};

// Program strings 0 and 1 name the method and hold its first argument, 2 its second when it has one;
// the receiver is cell C0; the result goes to `mark`.
std::string method_call_script(size_t arg_count) {
  std::string text = "native N0 \"mark\" 1 1\ncell C0 none\nblock B0 4 caches 1\n  args_open 1\n  load_cell $C0\n"
                     "  member 0 0 null 0\n  call_prepare " + std::to_string(arg_count) + "\n";
  for (size_t i = 0; i < arg_count; ++i)
    text += "  load_string " + std::to_string(i + 1) + "\n  call_arg " + std::to_string(i) + "\n";
  return text + "  call\n  arg 0\n  call_native @N0\nend\n";
}

TEST_F(RegexOnWorkers, EachMethodsResultReachesTheScript) {
  const std::string a16k(16384, 'a'), a8k(8192, 'a');
  const struct {
    const char* method;
    std::string receiver;
    std::vector<std::string> args;
    std::string result;
  } cases[] = {
      {"regex_match", "abc123", {"[a-z]+[0-9]+"}, "1"},
      {"regex_match", "abc123", {"[a-z]+"}, "0"},
      {"regex_search", "aabbbc", {"b+c"}, "2"},
      {"regex_search", "aabbbc", {"x"}, "-1"},
      {"regex_findall", "a1 b22 c333", {"[0-9]+"}, R"(["1","22","333"])"},
      {"regex_findall", "ab", {"x*"}, R"(["","",""])"},
      {"regex_replace", "a1 b22", {"[0-9]+", "<$&>"}, "a<1> b<22>"},
      {"regex_split", "a, b,,c", {", *"}, R"(["a","b","","c"])"},
      {"regex_escape", "a.b*(c)", {}, R"(a\.b\*\(c\))"},
      // Exactly the input limit of each pattern shape.
      {"regex_search", std::string(262143, 'a') + "b", {"b"}, "262143"},
      {"regex_match", a16k, {"a*"}, "1"},
      {"regex_search", a16k, {"a*"}, "0"},
      {"regex_findall", a8k, {"(a|b)+"}, "[\"" + a8k + "\"]"},
      {"regex_replace", a8k, {"(a|b)+", "x"}, "x"},
      {"regex_split", a8k, {"(a|b)+"}, R"([""])"},
  };
  vm.start_workers(2);
  on_vm_thread([&] {  // the host's VM thread, with its 32 MiB stack
    for (const auto& c : cases) {
      ASSERT_EQ(start_call(c.method, c.args, c.receiver), 1);
      EXPECT_TRUE(marks.empty()) << c.method << ": handed off, not run on the VM thread";
      tick_until_idle();
      EXPECT_EQ(marks, std::vector<std::string>{c.result}) << c.method << " on " << c.receiver.size() << " bytes";
      EXPECT_EQ(task->active, 0) << c.method;
      EXPECT_TRUE(errors().empty()) << c.method << ": " << (errors().empty() ? "" : errors().front());
      marks.clear();
    }
  });
  vm.stop_workers();
}

// Patterns whose \c escape takes a '[' as its character: each used to slip past the guard it names (the
// matcher or the compiler then overflowed its stack, or the compiler an int). The call raises its error
// on the task, which ends there, and nothing is handed off.
TEST_F(RegexOnWorkers, PatternsBehindAControlEscapeKeepTheirLimits) {
  std::string nested = "\\\\c[";  // as the assembler's string token: a backslash, then c[
  std::string quoted = "\\c[";  // its first 64 bytes as the error quotes them
  for (int level = 0; level < 200000; ++level) nested += "(?:";
  for (int level = 0; level < 20; ++level) quoted += "(?:";
  const struct {
    std::string receiver;
    std::string pattern;
    std::string error;
  } cases[] = {
      {std::string(65536, 'a'), "\\\\c[|(a|b)*c", "input of 65536 characters exceeds the std::regex limit of 8192"},
      {"a", nested, "regex_match: invalid regex pattern '" + quoted + "(...' (error_complexity)"},
      {"a", "\\\\c[a{99999999999999999999}",
       "regex_match: invalid regex pattern '\\c[a{99999999999999999999}' (error_badbrace)"},
  };
  vm.start_workers(2);
  on_vm_thread([&] {  // the host's VM thread, with its 32 MiB stack
    for (const auto& c : cases) {
      log.clear();
      start_call("regex_match", {c.pattern}, c.receiver);
      tick_until_idle();
      EXPECT_TRUE(marks.empty()) << c.error;
      EXPECT_TRUE(reported(c.error)) << c.error;
      EXPECT_EQ(task->active, 0) << c.error;
    }
  });
  vm.stop_workers();
}

// Nested lazy repeats, which used to overflow a worker's stack on 8,192 bytes: past the limit their stack
// bound allows the call raises its error on the task and nothing is handed off; at the limit the match
// runs on the worker.
TEST_F(RegexOnWorkers, NestedRepeatsMatchOnTheWorkersUpToTheirLimit) {
  std::string nested_lazy = "a";
  for (int level = 0; level < 13; ++level) nested_lazy = "(?:" + nested_lazy + ")*?";
  const struct {
    size_t length;
    const char* mark;  // null: the call raises the limit error
  } cases[] = {{8192, nullptr}, {359, "1"}};
  vm.start_workers(2);
  on_vm_thread([&] {  // the host's VM thread, with its 32 MiB stack
    for (const auto& c : cases) {
      log.clear();
      start_call("regex_match", {nested_lazy}, std::string(c.length, 'a'));
      tick_until_idle();
      EXPECT_EQ(marks, c.mark ? std::vector<std::string>{c.mark} : std::vector<std::string>{}) << c.length;
      EXPECT_EQ(reported("input of 8192 characters exceeds the std::regex limit of 359 characters"), !c.mark);
      marks.clear();
    }
  });
  vm.stop_workers();
}

// A replacement's result passes the buffer bound only while the job builds it on the worker: the error
// is raised in the task as it resumes, as a runtime error a catch block could take, so the script
// without one ends there and marks nothing (before, the worker only logged it and the task went on
// with None); a result within the bound is marked as usual.
TEST_F(RegexOnWorkers, AnErrorOfTheJobIsRaisedInItsTask) {
  const std::string error = "regex_replace: the result would pass 1048576 bytes, the most a regex replacement may build";
  const struct {
    size_t length;
    size_t result_length;  // 0: raised, nothing marked
  } cases[] = {{65536, 0}, {1024, 1023 * 1024 / 2}};
  vm.state().settings.max_buffer_bytes = 1 << 20;
  vm.start_workers(2);
  for (const auto& c : cases) {
    log.clear();
    ASSERT_EQ(start_call("regex_replace", {"a", "$'"}, std::string(c.length, 'a')), 1);
    tick_until_idle();
    EXPECT_EQ(marks.size(), c.result_length == 0 ? 0u : 1u) << c.length;
    EXPECT_EQ(marks.empty() ? 0 : marks.front().size(), c.result_length) << c.length;
    EXPECT_EQ(reported("Runtime Error") && reported(error), c.result_length == 0) << c.length;
    EXPECT_EQ(task->active, 0);
    marks.clear();
  }
  vm.stop_workers();
  vm.state().settings.max_buffer_bytes = krv_default_max_buffer_bytes;
}

// Task 1 asks for the numbers in the string; before a worker takes the job, task 2 rewrites the same
// string in place. The job matches the text as it was when task 1 called.
TEST_F(RegexOnWorkers, AReceiverChangedWhileItsJobWaitsLeavesTheResult) {
  assemble("string \"regex_findall\"\nstring \"[0-9]+\"\nstring \"regex_replace_inplace\"\nstring \"#\"\n"
           "native N0 \"mark\" 1 1\ncell C0 none\n"
           "block B0 4 params 1 locals 1 caches 2\n  load_local 0\n  jump_false find\n"
           "  load_cell $C0\n  member 2 1 null 0\n  call_prepare 2\n  load_string 1\n  call_arg 0\n"
           "  load_string 3\n  call_arg 1\n  call\n"
           "  args_open 1\n  load_cell $C0\n  arg 0\n  call_native @N0\n  jump done\n"
           "find:\n  args_open 1\n  load_cell $C0\n  member 0 0 null 0\n  call_prepare 1\n  load_string 1\n"
           "  call_arg 0\n  call\n  arg 0\n  call_native @N0\ndone:\nend\n");
  record_marks();
  receiver().string_ref() = "a1 b22";
  krv_get_thread_local().current_task = nullptr;
  krvptr_strong<krv_task> finder = krv_task_create(built->root, nullptr);
  krvptr_strong<krv_task> changer = krv_task_create(built->root, nullptr);
  std::vector<krvvar_shared> find_args{krvvar_shared::make_int(0)}, change_args{krvvar_shared::make_int(1)};
  // The only worker is held by a job of our own, so the finder's job waits in the queue behind it
  // while the second task runs.
  std::atomic<bool> held{false}, released{false};
  vm.start_workers(1);
  ASSERT_TRUE(vm.state().worker_queue.try_push([&] {
    held = true;
    while (!released) std::this_thread::yield();
  }));
  while (!held) std::this_thread::yield();
  ASSERT_EQ(krv_task::run(*finder, &find_args), 1);
  ASSERT_EQ(krv_task::run(*changer, &change_args), 1);
  EXPECT_EQ(marks, std::vector<std::string>{"a# b#"});
  released = true;
  tick_until_idle();
  vm.stop_workers();
  EXPECT_EQ(marks, (std::vector<std::string>{"a# b#", R"(["1","22"])"}));
  EXPECT_EQ(receiver().get_string(), "a# b#");
  EXPECT_EQ(finder->active, 0);
}

}  // namespace
