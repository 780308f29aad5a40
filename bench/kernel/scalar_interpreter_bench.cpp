// The scalar interpreter against hand-written C for the same loop: saxpy (y = a * x + y) over 16K
// floats on one thread. The interpreter runs six instructions per element (two loads, multiply, add,
// store, END); the reference is a plain C loop compiled into this binary. After the runs the program
// prints ns per executed instruction and the interpreter/C time ratio, from the fastest repetition of
// each (run with --benchmark_repetitions=N --benchmark_enable_random_interleaving=true).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fastest_run_reporter.h"
#include "kernel/compiler/compile_driver.h"
#include "reference_kernels.h"

namespace {

constexpr size_t kElements = krv_bench_saxpy_elements;
constexpr size_t kInstructionsPerElement = krv_bench_saxpy_program::instructions_per_element;

krv_bench_saxpy_arrays arrays;

void BM_SaxpyC(benchmark::State& state) {
  arrays.reset();
  for (auto _ : state) {
    krv_bench_ref_saxpy(arrays.y, arrays.x, 0.5f, kElements);
    benchmark::DoNotOptimize(arrays.y);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kElements));
}

void BM_SaxpyInterpreter(benchmark::State& state) {
  krv_bench_saxpy_program saxpy;
  arrays.reset();
  krvk_test_run run(saxpy.k.program());
  run.bind_raw(saxpy.x, arrays.x_slot());
  run.bind_raw(saxpy.y, arrays.y_slot());
  run.set_reg(saxpy.a, 0.5f);
  run.domain(kElements);
  for (auto _ : state) {
    if (run.run(0, kElements) != 0) state.SkipWithError("saxpy trapped");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kElements));
}

// saxpy compiled from source, with the back end's default passes (which make the same six
// instructions, the store unchecked) or without them.
void saxpy_compiled(benchmark::State& state, const krvk_back_end_passes& passes) {
  kerror err;
  auto unit = krvk_compile_source(krv_bench_saxpy_source, "saxpy.k", err, {}, passes);
  if (!unit) {
    state.SkipWithError(err.message.c_str());
    return;
  }
  const krvk_program& program = *unit->kernels[0];
  arrays.reset();
  krvk_test_run run(program);
  run.bind_raw(program.parameters[0].pointer_slot, arrays.y_slot());
  run.bind_raw(program.parameters[1].pointer_slot, arrays.x_slot());
  run.set_reg(program.parameters[2].reg, 0.5f);
  run.domain(kElements);
  for (auto _ : state) {
    if (run.run(0, kElements) != 0) state.SkipWithError("saxpy trapped");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kElements));
}

void BM_SaxpyCompiled(benchmark::State& state) { saxpy_compiled(state, krvk_default_back_end_passes()); }
void BM_SaxpyCompiledWithoutPasses(benchmark::State& state) { saxpy_compiled(state, krvk_back_end_passes{}); }

BENCHMARK(BM_SaxpyC);
BENCHMARK(BM_SaxpyInterpreter);
BENCHMARK(BM_SaxpyCompiled);
BENCHMARK(BM_SaxpyCompiledWithoutPasses);

// Prints the usual console table, then the figures the performance record keeps.
class ratio_reporter : public krv_fastest_run_reporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double c = fastest("BM_SaxpyC");
    const double interp = fastest("BM_SaxpyInterpreter");
    if (c <= 0 || interp <= 0) return;
    std::printf("saxpy %zu elements: interpreter %.3f ns/instruction, %.3f ns/element; C %.3f ns/element; ratio %.1fx\n",
                kElements, interp / (kElements * kInstructionsPerElement), interp / kElements, c / kElements,
                interp / c);
    for (const char* name : {"BM_SaxpyCompiled", "BM_SaxpyCompiledWithoutPasses"}) {
      const double compiled = fastest(name);
      if (compiled > 0) std::printf("%s: %.3f ns/element; ratio to C %.1fx\n", name, compiled / kElements, compiled / c);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
