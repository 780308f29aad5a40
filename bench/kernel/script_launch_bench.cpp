// What the script side adds to a kernel launch, and what the compile cache saves.
//
// * A 16-item saxpy launched through std.kernel's launch method (binding, holds, VM lock given up and
//   taken back, finish) against driving the same krvk_launch directly (prepare, registers and pointer
//   slots filled by hand, wait). JIT off, one thread per launch: the difference is the script side alone.
// * kernel_compile of a small source when the unit cache holds it, against compiling it cold.
// The ratios are printed after the runs from the fastest repetition of each benchmark, in CPU time: every
// benchmark runs on the calling thread alone, and CPU time keeps the ratio steady on a shared machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "bench_vm.h"
#include "classes/kernel/kernel_classes.h"
#include "classes/kernel/kernel_unit.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/settings.h"
#include "reference_kernels.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"

namespace {

constexpr size_t kItems = 16;

struct script_side {
  script_side() {
    krvk_jit_mode.store(KRVK_JIT_OFF);
    krvk_kernel_threads.store(1);
    krv_std_kernel_unit::script_register_internal();
    krv_std_kernel::script_register_internal();
    krv_std_kernel_struct::script_register_internal();
    krv_std_kernel_job::script_register_internal();
  }
  krvvar_shared compile() {
    std::vector<krvvar_shared> args{krvvar_shared::make_string(krv_bench_saxpy_source)};
    return krv_kernel_compile(frame, args);
  }
  krv_bench_vm vm;
  krv_vm_context frame;
};

krvvar_shared float_buffer(float value) {
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes.resize(kItems * sizeof(float));
  for (size_t i = 0; i < kItems; ++i) std::memcpy(buffer->bytes.data() + i * sizeof(float), &value, sizeof value);
  return krvvar_shared::make_object(std::move(buffer));
}

void BM_LaunchMethod(benchmark::State& state) {
  script_side side;
  krvvar_shared unit = side.compile();
  krvvar_shared kernel = unit->object_ptr<krv_std_kernel_unit>()->get("saxpy");
  krv_function_def& launch = *krv_std_kernel::statics().members[0]->function_descriptor();
  side.frame.native_self = kernel->object_ptr();
  krvvar_shared y = float_buffer(1), x = float_buffer(2);
  std::vector<krvvar_shared> args{krvvar_shared::make_int(kItems), y, x, krvvar_shared::make_float(0.5)};
  for (auto _ : state) {
    std::vector<krvvar_shared> call_args = args;
    benchmark::DoNotOptimize(launch.callable(side.frame, call_args));
  }
}
BENCHMARK(BM_LaunchMethod);

void BM_LaunchDirect(benchmark::State& state) {
  script_side side;
  krvvar_shared unit = side.compile();
  auto& compiled = unit->object_ptr<krv_std_kernel_unit>()->unit;
  const krvk_program* program = compiled->kernels[0].get();
  std::vector<float> y(kItems, 1), x(kItems, 2);
  for (auto _ : state) {
    auto launch = std::make_shared<krvk_launch>();
    launch->prepare(compiled, program, kItems, 1);
    launch->pointer_slots[0] = {reinterpret_cast<uint8_t*>(y.data()), kItems, 4, kItems * 4};
    launch->pointer_slots[1] = {reinterpret_cast<uint8_t*>(x.data()), kItems, 4, kItems * 4};
    const float a = 0.5f;
    uint64_t bits = 0;
    std::memcpy(&bits, &a, sizeof a);
    launch->registers[program->parameters[2].reg] = bits;
    launch->wait();
    benchmark::DoNotOptimize(launch->collect_results());
  }
}
BENCHMARK(BM_LaunchDirect);

void BM_CompileHit(benchmark::State& state) {
  script_side side;
  krvvar_shared keep = side.compile();
  for (auto _ : state) benchmark::DoNotOptimize(side.compile());
}
BENCHMARK(BM_CompileHit);

void BM_CompileCold(benchmark::State& state) {
  for (auto _ : state) {
    kerror error;
    benchmark::DoNotOptimize(krvk_compile_source(krv_bench_saxpy_source, "<kernel>", error, {}));
  }
}
BENCHMARK(BM_CompileCold);

// Keeps the fastest time per benchmark for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name().substr(0, run.benchmark_name().find('/'));
      const double time = run.GetAdjustedCPUTime();
      auto found = best.find(name);
      if (found == best.end() || time < found->second) best[name] = time;
    }
  }
  std::map<std::string, double> best;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& best = reporter.best;
  if (best.count("BM_LaunchMethod") && best.count("BM_LaunchDirect")) {
    std::printf("launch method / direct launch: %.2fx\n", best["BM_LaunchMethod"] / best["BM_LaunchDirect"]);
  }
  if (best.count("BM_CompileCold") && best.count("BM_CompileHit")) {
    std::printf("cold compile / cache hit: %.1fx\n", best["BM_CompileCold"] / best["BM_CompileHit"]);
  }
  benchmark::Shutdown();
  return 0;
}
