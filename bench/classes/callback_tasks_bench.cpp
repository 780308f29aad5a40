// Script callbacks run as tasks by the std classes, against the bare task machinery doing the same work:
// - a std.json `map` walk of 10,000 entries with a trivial callback against making the same callback
//   tasks with krvvar::call_function and running them with krv_task::run in a loop, with the same
//   (key, value) arguments (target: at most 1.5x);
// - a "std.thread" group running 10,000 trivial tasks and joining them against the same tasks made with
//   krv_task_create and started with krv_task::run_scheduled, both driven to completion by the host's
//   scheduler (target: at most 2x).
// Each iteration starts a script whose one native call does the work; the host's scheduler then runs
// what was scheduled until the script has finished and nothing is left due.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "bench_vm.h"
#include "classes/std/json_iteration.h"
#include "classes/std/json_methods.h"
#include "classes/std/thread_group.h"
#include "host/assembler/script_text.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/function_def.h"

namespace {

constexpr int task_count = 10000;

// B0 calls the native "work" once; B1 is the trivial callback (two parameters, returns 1).
const char* const callback_program =
    "native N0 \"work\" 0 0\nblock B0 4\n  args_open 0\n  call_native @N0\nend\n"
    "block B1 1 child B0 params 2 locals 2\n  load_int 1\nend\n";

// A script whose native "work" runs `work` with the script's frame and the callback as a function value.
struct callback_script {
  explicit callback_script(std::function<void(krv_vm_context&, krvvar_shared&)> work) {
    program = krv_assemble_text(callback_program);
    root = krv_task_create(program->root, nullptr);
    callback = krvvar_shared::make_none();
    callback->set_function(program->root->children[0].get(), root.get());
    program->natives[0]->callable = [this, work = std::move(work)](krv_vm_context& frame, std::vector<krvvar_shared>&) {
      work(frame, callback);
      return krvvar_shared::make_none();
    };
  }
  // Starts the script and runs the scheduler until the script has finished and nothing is due.
  void run(krv_host_vm& vm) {
    krv_task::run(*root, nullptr);
    while (root->active != 0 || !vm.state().run_heap.empty()) vm.run_due_tasks();
  }

  krvptr_strong<krv_program> program;
  krvptr_strong<krv_task> root;
  krvvar_shared callback;
};

krvvar_shared numbers_container() {
  krvvar_shared source = krvvar_shared::make_json();
  for (int i = 0; i < task_count; ++i) {
    krvvar_shared cell = krvvar_shared::make_int(i);
    source->object_ptr<krv_std_json>()->push_value(cell);
  }
  return source;
}

void BM_MapWalk(benchmark::State& state) {
  krv_bench_vm vm;
  krvvar_shared source = numbers_container();
  size_t mapped = 0;
  callback_script script([&](krv_vm_context& frame, krvvar_shared& callback) {
    std::vector<krvvar_shared> args{callback};
    krvvar_shared result = krv_json_methods::map(source->object_ptr<krv_std_json>(), frame, args);
    mapped = result->object_ptr<krv_std_json>()->entries.size();
  });
  for (auto _ : state) {
    script.run(vm.vm);
    if (mapped != task_count) state.SkipWithError("map gave a wrong count");
  }
  state.SetItemsProcessed(state.iterations() * task_count);
}

void BM_CallFunctionAndRun(benchmark::State& state) {
  krv_bench_vm vm;
  krvvar_shared source = numbers_container();
  int started = 0;
  callback_script script([&](krv_vm_context&, krvvar_shared& callback) {
    std::vector<krvvar_shared> args;
    krv_std_json* entries = source->object_ptr<krv_std_json>();
    for (uint32_t i = 0; i < task_count; ++i) {
      krvptr_strong<krv_task> task = callback->call_function();
      args.clear();
      krv_json_key_value_args(entries, i, args);
      started += krv_task::run(*task, &args);
    }
  });
  for (auto _ : state) {
    started = 0;
    script.run(vm.vm);
    if (started != task_count) state.SkipWithError("a task did not start");
  }
  state.SetItemsProcessed(state.iterations() * task_count);
}

void BM_ThreadGroupRunAndJoin(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  krv_bench_vm vm;
  krvptr_strong<krv_std_thread> group;
  callback_script script([&](krv_vm_context& frame, krvvar_shared& callback) {
    group = krvptr_strong<krv_std_thread>::from_raw(new krv_std_thread());
    group->callback->set(callback);
    std::vector<krvvar_shared> no_args;
    for (size_t i = 0; i < count; ++i) group->run(no_args);
    group->join(frame);
  });
  for (auto _ : state) {
    script.run(vm.vm);
    if (group->results.size() != count || !group->active_tasks.empty() || group->results.back()->int_value() != 1)
      state.SkipWithError("the group did not complete");
    group.reset_empty();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TaskCreateAndRunScheduled(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  krv_bench_vm vm;
  int started = 0;
  callback_script script([&](krv_vm_context& frame, krvvar_shared& callback) {
    const krvptr_strong<krv_program_block> block =
        static_cast<krvvar_function_record*>(callback->payload.record)->function.lock();
    for (int i = 0; i < count; ++i) {
      krvptr_strong<krv_task> task = krv_task_create(block, frame.task);
      started += krv_task::run_scheduled(*task, 0, nullptr);
    }
  });
  for (auto _ : state) {
    started = 0;
    script.run(vm.vm);
    if (started != count) state.SkipWithError("a task did not start");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_MapWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CallFunctionAndRun)->Unit(benchmark::kMillisecond);
// 10,000 tasks as asked, and 1,000, where the group's own cost is less hidden by the release of many
// tasks of one parent.
BENCHMARK(BM_ThreadGroupRunAndJoin)->Arg(task_count)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TaskCreateAndRunScheduled)->Arg(task_count)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
