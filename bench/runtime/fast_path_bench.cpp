// The fast forms against the generic code they stand for, and against references in the same binary:
// - `while i < n: s = s + i * 3 % 7; i = i + 1` for n = 10^7 in generic opcodes and with each
//   expression in a numeric fast path (72), against the same function in Lua 5.4 and Python 3 embedded
//   here (when CMake found them), every sum checked: ns per iteration;
// - a method call through the cached method call (73) against the same call through member access and
//   call preparation (61 + 44), 1,000 straight-line calls per task run: ns per call.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_references.h"
#include "bench_vm.h"
#include "host/assembler/script_text.h"
#include "runtime/exec/interp/program_block.h"

namespace {

constexpr int64_t loop_iterations = 10'000'000;
constexpr int calls_per_run = 1000;

int64_t expected_sum() {
  int64_t sum = 0;
  for (int64_t i = 0; i < loop_iterations; ++i) sum += i * 3 % 7;
  return sum;
}

// i in local 0, n in local 1, s in local 2.
constexpr const char* condition = "  load_local 0\n  push_none\n  load_local 1\n  lt 0\n";
constexpr const char* sum_update =
    "  load_local 2\n  push_none\n  load_local 2\n  push_none\n  load_local 0\n  push_none\n  load_int 3\n  mul\n"
    "  push_none\n  load_int 7\n  mod\n  add\n  assign\n";
constexpr const char* counter_update = "  load_local 0\n  push_none\n  load_local 0\n  push_none\n  load_int 1\n  add\n  assign\n";

std::string sum_program(bool fast) {
  std::string text = "block B0 4 locals 3\n  const int " + std::to_string(loop_iterations) +
                     "\n  load_local 1\n  push_none\n  load_const 0\n  assign\n"
                     "  load_local 0\n  push_none\n  load_int 0\n  assign\n"
                     "  load_local 2\n  push_none\n  load_int 0\n  assign\ntop:\n";
  if (!fast) return text + condition + "  jump_false done\n" + sum_update + counter_update + "  jump top\ndone:\n  load_local 2\nend\n";
  return text + "  numeric_fast_path c_end 0 0 0 step 0 0 0 step 0 0 1 step 14 0 0\n" + condition + "c_end:\n" +
         "  jump_false done\n"
         "  numeric_fast_path s_end 1 0 2 step 0 0 2 step 0 0 0 step 3 0 0 step 6 0 0 step 3 0 1 step 8 0 0 "
         "step 4 0 0 int 3 int 7\n" + sum_update + "s_end:\n"
         "  numeric_fast_path i_end 1 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1\n" + counter_update + "i_end:\n"
         "  jump top\ndone:\n  load_local 2\nend\n";
}

void set_iteration_counter(benchmark::State& state, int64_t per_run) {
  state.counters["ns_per_iteration"] = benchmark::Counter(static_cast<double>(state.iterations()) * per_run,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SumLoopScript(benchmark::State& state, bool fast) {
  krv_bench_vm vm;
  krvptr_strong<krv_program> program = krv_assemble_text(sum_program(fast));
  krvptr_strong<krv_task> task = krv_task_create(program->root, nullptr);
  const int64_t expected = expected_sum();
  for (auto _ : state) {
    if (krv_bench_run(*task)->int_value() != expected) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state, loop_iterations);
}
BENCHMARK_CAPTURE(BM_SumLoopScript, generic, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SumLoopScript, fast_path, true)->Unit(benchmark::kMillisecond);

#ifdef KRV_BENCH_LUA
void BM_SumLoopLua(benchmark::State& state) {
  krv_bench_lua lua;
  const std::string source = "local n = " + std::to_string(loop_iterations) +
                             "\nlocal i = 0\nlocal s = 0\nwhile i < n do s = s + i * 3 % 7; i = i + 1 end\nreturn s";
  const int64_t expected = expected_sum();
  for (auto _ : state) {
    if (lua.run(source) != expected) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state, loop_iterations);
}
BENCHMARK(BM_SumLoopLua)->Unit(benchmark::kMillisecond);
#endif

#ifdef KRV_BENCH_PYTHON
void BM_SumLoopPython(benchmark::State& state) {
  krv_bench_python python(
      "def total(n):\n    i = 0\n    s = 0\n    while i < n:\n        s = s + i * 3 % 7\n        i = i + 1\n    return s\n",
      "total");
  const int64_t expected = expected_sum();
  for (auto _ : state) {
    if (python.call(loop_iterations) != expected) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state, loop_iterations);
}
BENCHMARK(BM_SumLoopPython)->Unit(benchmark::kMillisecond);
#endif

// An instance of Box in local 0 and `calls_per_run` calls of its method one(), summed.
std::string method_program(bool cached) {
  std::string text =
      "string \"one\"\nclass K0 \"Box\" default B1\nmember K0 \"one\" 0 method\nmethod K0 0 B2\n"
      "block B0 4 locals 2 caches " + std::string(cached ? "2" : "1") + "\n  const class K0\n"
      "  load_local 0\n  push_none\n  load_const 0\n  call_prepare 0\n  call\n  assign\n"
      "  load_local 1\n  push_none\n  load_int 0\n  assign\n";
  for (int i = 0; i < calls_per_run; ++i) {
    const std::string label = "after" + std::to_string(i);
    text += "  load_local 1\n  push_none\n  load_local 1\n  push_none\n  load_local 0\n";
    if (cached) text += "  cached_method_call " + label + " 0 1 0 0 0 1 null\n";
    text += "  member 0 0 null 0\n  call_prepare 0\n";
    if (cached) text += label + ":\n";
    text += "  call\n  add\n  assign\n";
  }
  return text + "  load_local 1\nend\nblock B1 1 child B0 class K0\n  new_instance\nend\n"
                "block B2 1 child B0\n  load_int 1\nend\n";
}

void BM_MethodCall(benchmark::State& state, bool cached) {
  krv_bench_vm vm;
  krvptr_strong<krv_program> program = krv_assemble_text(method_program(cached));
  krvptr_strong<krv_task> task = krv_task_create(program->root, nullptr);
  for (auto _ : state) {
    if (krv_bench_run(*task)->int_value() != calls_per_run) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state, calls_per_run);
}
BENCHMARK_CAPTURE(BM_MethodCall, member_and_call_prepare, false);
BENCHMARK_CAPTURE(BM_MethodCall, cached_method_call, true);

}  // namespace

BENCHMARK_MAIN();
