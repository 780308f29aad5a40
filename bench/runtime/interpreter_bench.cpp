// The script interpreter against references in the same binary:
// - a one-parameter script call and return (44, 45, 46, then the callee's return) against a native call
//   doing the same work (38, 39, 42), 1,000 straight-line calls per task run: ns per call and heap
//   allocations per call (expected: none in steady state);
// - `while i < n: i = i + 1` for 10^7 iterations in generic opcodes against the same loop in Lua 5.4 and
//   Python 3 embedded here (when CMake found them), every result checked: ns per iteration.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "bench_references.h"
#include "bench_vm.h"
#include "host/assembler/script_text.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/vm_context.h"

namespace {

// Heap allocations made by the calling thread; counted by the replaced operator new below.
thread_local uint64_t heap_allocations = 0;

constexpr int calls_per_run = 1000;
constexpr int64_t loop_iterations = 10'000'000;

// 1,000 calls of f(x) = x + 1 written out one after the other, as script calls or as native calls.
std::string call_program(bool script) {
  std::string text = "native N0 \"inc\" 1 1\nblock B0 4 locals 2\n"
                     "  load_local 0\n  push_none\n  load_function 0\n  assign\n";
  for (int i = 0; i < calls_per_run; ++i) {
    if (script)
      text += "  load_local 0\n  call_prepare 1\n  load_local 1\n  call_arg 0\n  call\n";
    else
      text += "  args_open 1\n  load_local 1\n  arg 0\n  call_native @N0\n";
  }
  return text + "end\nblock B1 1 child B0 params 1 locals 1\n  load_local 0\n  push_none\n  load_int 1\n  add\n"
                "  return\nend\n";
}

void bench_calls(benchmark::State& state, bool script) {
  krv_bench_vm vm;
  krvptr_strong<krv_program> program = krv_assemble_text(call_program(script));
  program->natives[0]->callable = [](krv_vm_context&, std::vector<krvvar_shared>& args) {
    return krvvar_shared::make_int(args[0]->int_value() + 1);
  };
  krvptr_strong<krv_task> task = krv_task_create(program->root, nullptr);
  krv_bench_run(*task);  // warm: pools, frames and vectors reach their steady size
  const uint64_t allocations_before = heap_allocations;
  for (auto _ : state) {
    krvvar_shared result = krv_bench_run(*task);
    if (result->int_value() != 1) state.SkipWithError("wrong result");
  }
  const double calls = static_cast<double>(state.iterations()) * calls_per_run;
  state.counters["ns_per_call"] = benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["heap_allocs_per_call"] = static_cast<double>(heap_allocations - allocations_before) / calls;
}

void BM_ScriptCall(benchmark::State& state) { bench_calls(state, true); }
void BM_NativeCall(benchmark::State& state) { bench_calls(state, false); }
BENCHMARK(BM_ScriptCall);
BENCHMARK(BM_NativeCall);

// while i < n: i = i + 1, with i in local 0 and n in local 1; the result is i.
constexpr const char* while_program =
    "block B0 4 locals 2\n"
    "  load_local 1\n  push_none\n  load_const 0\n  assign\n"
    "top:\n"
    "  load_local 0\n  push_none\n  load_local 1\n  lt 0\n  jump_false done\n"
    "  load_local 0\n  push_none\n  load_local 0\n  push_none\n  load_int 1\n  add\n  assign\n"
    "  jump top\n"
    "done:\n"
    "  load_local 0\n"
    "end\n";

void set_iteration_counter(benchmark::State& state) {
  state.counters["ns_per_iteration"] = benchmark::Counter(static_cast<double>(state.iterations()) * loop_iterations,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_WhileLoopScript(benchmark::State& state) {
  krv_bench_vm vm;
  std::string text = while_program;
  text.insert(text.find("  load_local 1"), "  const int " + std::to_string(loop_iterations) + "\n");
  krvptr_strong<krv_program> program = krv_assemble_text(text);
  krvptr_strong<krv_task> task = krv_task_create(program->root, nullptr);
  for (auto _ : state) {
    task->root_frame()->locals[0]->set_type_simple(KRVVAR_NONE);  // i starts as None, which counts as 0
    if (krv_bench_run(*task)->int_value() != loop_iterations) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state);
}
BENCHMARK(BM_WhileLoopScript)->Unit(benchmark::kMillisecond);

#ifdef KRV_BENCH_LUA
void BM_WhileLoopLua(benchmark::State& state) {
  krv_bench_lua lua;
  const std::string source = "local n = " + std::to_string(loop_iterations) +
                             "\nlocal i = 0\nwhile i < n do i = i + 1 end\nreturn i";
  for (auto _ : state) {
    if (lua.run(source) != loop_iterations) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state);
}
BENCHMARK(BM_WhileLoopLua)->Unit(benchmark::kMillisecond);
#endif

#ifdef KRV_BENCH_PYTHON
void BM_WhileLoopPython(benchmark::State& state) {
  krv_bench_python python("def count(n):\n    i = 0\n    while i < n:\n        i = i + 1\n    return i\n", "count");
  for (auto _ : state) {
    if (python.call(loop_iterations) != loop_iterations) state.SkipWithError("wrong result");
  }
  set_iteration_counter(state);
}
BENCHMARK(BM_WhileLoopPython)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

// Counting replacements of the global allocation functions. GCC cannot see that operator new and
// operator delete are replaced together and warns about malloc/free pairing across them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++heap_allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

BENCHMARK_MAIN();
