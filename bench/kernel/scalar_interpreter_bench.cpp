// The scalar interpreter against hand-written C for the same loop: saxpy (y = a * x + y) over 16K
// floats on one thread. The interpreter runs six instructions per element (two loads, multiply, add,
// store, END); the reference is a plain C loop compiled into this binary. After the runs the program
// prints ns per executed instruction and the interpreter/C time ratio, from the fastest repetition of
// each (run with --benchmark_repetitions=N --benchmark_enable_random_interleaving=true).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <iterator>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/support/program_builder.h"

namespace {

constexpr size_t kElements = 16 * 1024;
constexpr size_t kInstructionsPerElement = 6;

// Both benchmarks use the same two arrays, placed so that x[i] and y[i] are 2 KiB apart modulo 4 KiB:
// arrays at a distance that is a multiple of 4 KiB make loads wait on unrelated stores (4K aliasing),
// which would slow the reference by chance of allocation.
struct saxpy_arrays {
  alignas(4096) float x[kElements];
  float gap[512];
  float y[kElements];
};
saxpy_arrays arrays;

void reset_arrays() {
  std::fill(std::begin(arrays.x), std::end(arrays.x), 1.0f);
  std::fill(std::begin(arrays.y), std::end(arrays.y), 2.0f);
}

// The reference as hand-written C: a function of its own taking the arrays by pointer. noipa keeps
// the compiler from specialising it for this call site (known arrays and length), so it is compiled as
// any caller would get it: at -O2 a scalar loop, since x and y might overlap.
__attribute__((noipa)) void saxpy_reference(float a, const float* x, float* y, size_t n) {
  for (size_t i = 0; i < n; ++i) y[i] = a * x[i] + y[i];
}

void BM_SaxpyC(benchmark::State& state) {
  reset_arrays();
  for (auto _ : state) {
    saxpy_reference(0.5f, arrays.x, arrays.y, kElements);
    benchmark::DoNotOptimize(arrays.y);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kElements));
}

void BM_SaxpyInterpreter(benchmark::State& state) {
  krvk_test_program k("saxpy");
  const uint16_t a = k.scalar_param("a", KRVK_F32);
  const uint16_t x = k.pointer_param("x", KRVK_F32, true);
  const uint16_t y = k.pointer_param("y", KRVK_F32);
  const uint16_t xi = k.reg();
  const uint16_t yi = k.reg();
  k.emit(KOP_LD_F32, xi, x, 0, 0);
  k.emit(KOP_MUL_F32, xi, a, xi);
  k.emit(KOP_LD_F32, yi, y, 0, 0);
  k.emit(KOP_ADD_F32, xi, xi, yi);
  k.emit(KOP_ST_F32, xi, y, 0, 0);
  k.emit(KOP_END);
  reset_arrays();
  krvk_test_run run(k.program());
  run.bind_raw(x, kptr{reinterpret_cast<uint8_t*>(arrays.x), kElements, sizeof(float), sizeof arrays.x});
  run.bind_raw(y, kptr{reinterpret_cast<uint8_t*>(arrays.y), kElements, sizeof(float), sizeof arrays.y});
  run.set_reg(a, 0.5f);
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
  auto unit = krvk_compile_source("kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }",
                                  "saxpy.k", err, {}, passes);
  if (!unit) {
    state.SkipWithError(err.message.c_str());
    return;
  }
  const krvk_program& program = *unit->kernels[0];
  reset_arrays();
  krvk_test_run run(program);
  run.bind_raw(program.parameters[0].pointer_slot,
               kptr{reinterpret_cast<uint8_t*>(arrays.y), kElements, sizeof(float), sizeof arrays.y});
  run.bind_raw(program.parameters[1].pointer_slot,
               kptr{reinterpret_cast<uint8_t*>(arrays.x), kElements, sizeof(float), sizeof arrays.x});
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
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // The least time of the repetitions: the machine is shared, and interference only ever adds time.
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      auto [it, fresh] = ns_per_iteration_.try_emplace(r.run_name.function_name, r.GetAdjustedRealTime());
      if (!fresh) it->second = std::min(it->second, r.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double c = ns_per_iteration_["BM_SaxpyC"];
    const double interp = ns_per_iteration_["BM_SaxpyInterpreter"];
    if (c <= 0 || interp <= 0) return;
    std::printf("saxpy %zu elements: interpreter %.3f ns/instruction, %.3f ns/element; C %.3f ns/element; ratio %.1fx\n",
                kElements, interp / (kElements * kInstructionsPerElement), interp / kElements, c / kElements,
                interp / c);
    for (const char* name : {"BM_SaxpyCompiled", "BM_SaxpyCompiledWithoutPasses"}) {
      const double compiled = ns_per_iteration_[name];
      if (compiled > 0) std::printf("%s: %.3f ns/element; ratio to C %.1fx\n", name, compiled / kElements, compiled / c);
    }
  }

 private:
  std::map<std::string, double> ns_per_iteration_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
