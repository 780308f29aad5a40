// std.json walks with assembled script callbacks on the test VM's scheduler: the calling script is
// suspended by the method, the callbacks run one entry at a time, and the caller resumes with the
// filled result (recorded by the native "mark").
#include <algorithm>
#include <string>
#include <vector>

#include "classes/std/json_methods.h"
#include "large_stack_thread.h"
#include "script_fixture.h"

namespace {

using krv_method = krvvar_shared (*)(krv_std_json*, krv_vm_context&, std::vector<krvvar_shared>&);

// Natives 0 walk, 1 mark, 2 double, 3 add, 4 odd, 5 is_two, 6 wait; block B0 calls walk(B1) and marks
// what it returns; the callback's body follows.
std::string walk_script(const std::string& callback) {
  return "native N0 \"walk\" 1 1\nnative N1 \"mark\" 1 1\nnative N2 \"double\" 1 1\nnative N3 \"add\" 2 2\n"
         "native N4 \"odd\" 1 1\nnative N5 \"is_two\" 1 1\nnative N6 \"wait\" 0 0\nnative N7 \"clear\" 0 0\n"
         "block B0 4\n  load_function 0\n  args_open 1\n  arg 0\n  call_native @N0\n  args_open 1\n  arg 0\n"
         "  call_native @N1\nend\n" + callback;
}
const std::string double_value = "block B1 1 child B0 params 2 locals 2\n  args_open 1\n  load_local 1\n  deref\n"
                                 "  arg 0\n  call_native @N2\nend\n";
const std::string waiting_double = "block B1 1 child B0 params 2 locals 2\n  args_open 0\n  call_native @N6\n"
                                   "  args_open 1\n  load_local 1\n  deref\n  arg 0\n  call_native @N2\nend\n";
const std::string odd_value = "block B1 1 child B0 params 2 locals 2\n  args_open 1\n  load_local 1\n  deref\n"
                              "  arg 0\n  call_native @N4\nend\n";
const std::string is_two = "block B1 1 child B0 params 2 locals 2\n  args_open 1\n  load_local 1\n  deref\n"
                           "  arg 0\n  call_native @N5\nend\n";
const std::string sum = "block B1 1 child B0 params 3 locals 3\n  args_open 2\n  load_local 0\n  deref\n  arg 0\n"
                        "  load_local 2\n  deref\n  arg 1\n  call_native @N3\nend\n";
const std::string clear_source = "block B1 1 child B0 params 2 locals 2\n  args_open 0\n  call_native @N7\nend\n";
const std::string one_param = "block B1 1 child B0 params 1 locals 1\n  load_local 0\nend\n";

// "k=v" per entry, "v" unkeyed, comma separated; a non-container as its text.
std::string shown(krvvar& value) {
  krv_std_json* container = value.object_ptr<krv_std_json>();
  if (container == nullptr) return std::string(value.string_view_value());
  std::string out;
  for (krv_std_json_entry& entry : container->entries) {
    if (!out.empty()) out += ',';
    if (entry.has_key()) out += std::string(entry.key_view()) + "=";
    out += std::string(entry.value->string_view_value());
  }
  return out;
}

class JsonWalks : public ScriptTest {
 protected:
  // The cells go back to the test VM's pools before the VM goes.
  void TearDown() override {
    waiting.clear();
    source = {};
    dead_callback = {};
    ScriptTest::TearDown();
  }
  // Runs `callback` over `entries` through `method` (with `extra` after the callback) and returns what
  // the caller saw after it resumed; `visits` counts the callback's native calls.
  std::string walk(krv_method method, const std::vector<std::pair<std::string, int64_t>>& entries,
                   const std::string& callback, std::vector<krvvar_shared> extra = {}) {
    source = krvvar_shared::make_json();
    for (const auto& [key, value] : entries) {
      krvvar_shared cell = krvvar_shared::make_int(value);
      source->object_ptr<krv_std_json>()->push_value(cell, key);
    }
    assemble(walk_script(callback));
    bind("walk", [this, method, extra](krv_vm_context& frame, std::vector<krvvar_shared>& args) mutable {
      if (dead_callback) args[0] = dead_callback;
      for (krvvar_shared& value : extra) args.push_back(value);
      return method(source->object_ptr<krv_std_json>(), frame, args);
    });
    bind("mark", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      marks.push_back(shown(*args[0]));
      return krvvar_shared::make_none();
    });
    bind("double", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      ++visits;
      return krvvar_shared::make_int(args[0]->int_value() * 2);
    });
    bind("add", [](krv_vm_context&, std::vector<krvvar_shared>& args) {
      return krvvar_shared::make_int(args[0]->int_value() + args[1]->int_value());
    });
    bind("odd", [](krv_vm_context&, std::vector<krvvar_shared>& args) {
      return krvvar_shared::make_int(args[0]->int_value() % 2);
    });
    bind("is_two", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      ++visits;
      return krvvar_shared::make_int(args[0]->int_value() == 2);
    });
    bind("wait", [this](krv_vm_context& frame, std::vector<krvvar_shared>&) {
      krv_task::suspend(frame);
      waiting.push_back(krvptr_strong<krv_task>::from_raw(frame.task));
      return krvvar_shared::make_none();
    });
    bind("clear", [this](krv_vm_context&, std::vector<krvvar_shared>&) {
      source->object_ptr<krv_std_json>()->clear_entries();
      return krvvar_shared::make_int(1);
    });
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
    EXPECT_EQ(krv_task::run(*task, nullptr), 1);
    for (int round = 0; round < 100 && (task->active || !waiting.empty()); ++round) {
      for (krvptr_strong<krv_task>& paused : std::exchange(waiting, {})) krv_task::wake(*paused);
      vm.run_due_tasks();
    }
    EXPECT_EQ(task->active, 0) << "the caller resumed and finished";
    return marks.empty() ? "(no result)" : marks.back();
  }

  krvvar_shared source;
  krvvar_shared dead_callback;  // when set, replaces the script's callback
  std::vector<std::string> marks;
  std::vector<krvptr_strong<krv_task>> waiting;
  int visits = 0;
};

namespace m = krv_json_methods;

TEST_F(JsonWalks, ResultsSeenByTheResumedCaller) {
  const struct {
    krv_method method;
    std::vector<std::pair<std::string, int64_t>> entries;
    const std::string& callback;
    std::vector<krvvar_shared> extra;
    const char* result;
    int visits;
  } cases[] = {
      {m::map, {}, double_value, {}, "", 0},
      {m::filter, {}, odd_value, {}, "", 0},
      {m::reduce, {}, sum, {}, "0", 0},
      {m::any, {}, is_two, {}, "0", 0},
      {m::all, {}, odd_value, {}, "1", 0},
      {m::map, {{"a", 1}, {"", 2}, {"c", 3}}, double_value, {}, "a=2,4,c=6", 3},
      {m::map, {{"a", 1}, {"", 2}, {"c", 3}}, waiting_double, {}, "a=2,4,c=6", 3},
      {m::filter, {{"a", 1}, {"", 2}, {"", 3}, {"d", 4}}, odd_value, {}, "a=1,3", 0},
      {m::reduce, {{"", 1}, {"", 2}, {"", 3}}, sum, {krvvar_shared::make_int(10)}, "16", 0},
      {m::reduce, {{"", 1}, {"", 2}, {"", 3}}, sum, {}, "6", 0},
      {m::any, {{"", 1}, {"", 2}, {"", 3}}, is_two, {}, "1", 2},
      {m::any, {{"", 1}, {"", 3}}, is_two, {}, "0", 2},
      {m::all, {{"", 1}, {"", 3}}, odd_value, {}, "1", 0},
      {m::all, {{"", 1}, {"", 2}, {"", 3}}, odd_value, {}, "0", 0},
      {m::map, {{"a", 1}, {"b", 2}}, clear_source, {}, "", 0},
      {m::filter, {{"a", 1}, {"b", 2}}, clear_source, {}, "", 0},
  };
  for (const auto& c : cases) {
    marks.clear();
    visits = 0;
    EXPECT_EQ(walk(c.method, c.entries, c.callback, c.extra), c.result) << c.result;
    EXPECT_EQ(visits, c.visits) << c.result;
  }
}

TEST_F(JsonWalks, ACallbackThatCannotTakeTheArgumentsEndsTheWalk) {
  for (krv_method method : {m::map, m::filter, m::any, m::all, m::reduce}) {
    const size_t before = errors().size();
    walk(method, {{"a", 1}, {"b", 2}}, method == m::reduce ? double_value : one_param);
    const std::vector<std::string> after = errors();
    EXPECT_EQ(std::count_if(after.begin() + static_cast<std::ptrdiff_t>(before), after.end(),
                            [](const std::string& line) {
                              return line.find("JSON callback could not be called, check its parameter count.") !=
                                     std::string::npos;
                            }),
              1);
  }
}

// A function value whose program block is gone gives no task: the walk ends with the error and the
// caller resumes.
TEST_F(JsonWalks, ACallbackWhoseBlockIsGone) {
  krvptr_strong<krv_program_block> block = make_block(KRV_BLOCK_FUNCTION, 2);
  dead_callback = krvvar_shared::make_none();
  dead_callback->set_function(block.get(), nullptr);
  block.release();
  for (krv_method method : {m::map, m::filter, m::reduce, m::any, m::all, m::foreach}) {
    const size_t before = errors().size();
    walk(method, {{"a", 1}}, double_value);
    const std::vector<std::string> after = errors();
    EXPECT_EQ(std::count_if(after.begin() + static_cast<std::ptrdiff_t>(before), after.end(),
                            [](const std::string& line) {
                              return line.find("JSON callback could not be called") != std::string::npos;
                            }),
              1);
  }
}

TEST_F(JsonWalks, ForeachGivesTheValueOrTheKeyAndValue) {
  // Two parameters: key and value (the value is doubled); none: not started.
  visits = 0;
  walk(m::foreach, {{"a", 1}, {"", 2}}, double_value);
  EXPECT_EQ(visits, 2);
  EXPECT_EQ(marks.back(), "a=1,2") << "foreach returns the container";
  visits = 0;
  walk(m::foreach, {{"a", 1}, {"", 2}, {"c", 3}},
       "block B1 1 child B0 params 1 locals 1\n  args_open 1\n  load_local 0\n  deref\n  arg 0\n"
       "  call_native @N2\nend\n");
  EXPECT_EQ(visits, 3);
  EXPECT_FALSE(reported("JSON callback could not be called, check its parameter count."));
  walk(m::foreach, {{"a", 1}}, "block B1 1 child B0 locals 0\n  load_int 1\nend\n");
  EXPECT_TRUE(reported("JSON callback could not be called, check its parameter count."));
}

TEST_F(JsonWalks, ALongWalkDoesNotRecursePerEntry) {
  std::vector<std::pair<std::string, int64_t>> entries(10000, {"", 1});
  EXPECT_EQ(walk(m::reduce, entries, sum), "10000");
}

// The same on a thread with a small stack: a walk that nested one level per entry would overflow it.
TEST_F(JsonWalks, ALongWalkFitsASmallStack) {
  constexpr size_t small_stack_bytes = size_t{256} << 10;
  std::vector<std::pair<std::string, int64_t>> entries(10000, {"", 1});
  std::string expected = "2";
  for (size_t i = 1; i < entries.size(); ++i) expected += ",2";
  std::string seen;
  lock.reset();
  krv_host_vm::detach_current_thread();
  krv_run_on_large_stack(
      [&] {
        vm.attach_current_thread();
        {
          krv_vm_lock guard;
          seen = walk(m::map, entries, double_value);
          source = {};
          task.release();
        }
        krv_host_vm::detach_current_thread();
      },
      small_stack_bytes);
  vm.attach_current_thread();
  lock.emplace();
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(visits, 10000);
}

}  // namespace
