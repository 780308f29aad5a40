// The 64-lane interpreter and the launch engine.
//
// * saxpy (y = a * x + y) over 16K floats on one runner: the plain C loop, the scalar interpreter, the
//   64-lane interpreter on the whole range as one batch chunk, and a whole launch forced onto the batch
//   engine without helpers (chunks, per-runner setup, reductions included).
// * Launch scaling: a compute-bound kernel (a loop of 256 float operations per work item) over 1M work
//   items on the 64-lane engine, with 1, 2, 4 ... n runners (the launching thread plus helper jobs on
//   this benchmark's own thread pool); efficiency is T1 / (n x Tn).
// * The cost of launching one work item (prepare, wait, collect).
// * A saxpy launch of 1,024 items with every thread allowed, its runner count taken from the work (the
//   launch method's policy), against fanning out to every runner and against one thread.
// After the runs the program prints the ratios from the fastest repetition of each benchmark (run with
// --benchmark_repetitions=N --benchmark_enable_random_interleaving=true).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/launch_runners.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/job_pool.h"
#include "reference_kernels.h"

namespace {

constexpr size_t kElements = krv_bench_saxpy_elements;
constexpr uint64_t kScalingItems = 1 << 20;
const unsigned kCores = std::max(1u, std::thread::hardware_concurrency());

krv_bench_saxpy_arrays arrays;

void BM_SaxpyC(benchmark::State& state) {
  arrays.reset();
  for (auto _ : state) {
    krv_bench_ref_saxpy(arrays.y, arrays.x, 0.5f, kElements);
    benchmark::DoNotOptimize(arrays.y);
    benchmark::ClobberMemory();
  }
}

void BM_SaxpyScalar(benchmark::State& state) {
  arrays.reset();
  krv_bench_saxpy_program saxpy;
  const std::vector<kptr> slots = saxpy.slots(arrays);
  std::vector<uint64_t> regs = saxpy.registers();
  ktrap trap{};
  for (auto _ : state) {
    if (krvk_interpret(&saxpy.k.program(), regs.data(), slots.data(), 0, kElements, nullptr, &trap, 0) != 0) {
      state.SkipWithError("saxpy trapped");
    }
    benchmark::ClobberMemory();
  }
}

void BM_SaxpyWide(benchmark::State& state) {
  arrays.reset();
  krv_bench_saxpy_program saxpy;
  const std::vector<kptr> slots = saxpy.slots(arrays);
  const std::vector<uint64_t> base = saxpy.registers();
  std::vector<uint64_t> working = base;
  ktrap trap{};
  krvk_batch_runner runner;
  runner.program = &saxpy.k.program();
  runner.ptrs = slots.data();
  runner.scalar_regs = working.data();
  runner.base_regs = base.data();
  runner.trap = &trap;
  if (!runner.allocate()) state.SkipWithError("no wide file");
  for (auto _ : state) {
    if (runner.run_chunk(0, kElements, nullptr) != 0) state.SkipWithError("saxpy trapped");
    benchmark::ClobberMemory();
  }
}

std::shared_ptr<krvk_launch> new_launch(const std::shared_ptr<krvk_compiled_unit>& unit, const krvk_program& program,
                                        uint64_t items) {
  auto launch = std::make_shared<krvk_launch>();
  launch->prepare(unit, &program, items, 1);
  return launch;
}

void BM_SaxpyWideLaunch(benchmark::State& state) {
  arrays.reset();
  const uint32_t mode = krvk_kernel_mode.exchange(KRVK_MODE_BATCH);
  krv_bench_saxpy_program saxpy;
  auto unit = std::make_shared<krvk_compiled_unit>();
  unit->kernels.push_back(saxpy.k.share());
  const std::vector<kptr> slots = saxpy.slots(arrays);
  const std::vector<uint64_t> regs = saxpy.registers();
  for (auto _ : state) {
    auto launch = new_launch(unit, saxpy.k.program(), kElements);
    launch->pointer_slots = slots;
    launch->registers[saxpy.a] = regs[saxpy.a];
    launch->wait();
    if (launch->trap_recorded.load() != 0) state.SkipWithError("saxpy trapped");
    benchmark::ClobberMemory();
  }
  krvk_kernel_mode.exchange(mode);
}

// 64 iterations of four float operations on a value loaded per work item, reduced with max.
const char* const kComputeSource =
    "kernel f32 work(const f32* x) reduce(max) {\n"
    "  f32 v = x[gid];\n"
    "  for (i32 i = 0; i < 64; i++) { v = v * 0.999f + 0.5f; v = v - v * 0.001f; }\n"
    "  return v;\n"
    "}\n";

std::shared_ptr<krvk_compiled_unit> compute_unit() {
  kerror err;
  static std::shared_ptr<krvk_compiled_unit> unit = krvk_compile_source(kComputeSource, "bench.k", err, {});
  return unit;
}

// User and system time of the whole process so far.
double process_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void BM_LaunchScaling(benchmark::State& state) {
  const unsigned threads = static_cast<unsigned>(state.range(0));
  const uint32_t mode = krvk_kernel_mode.exchange(KRVK_MODE_BATCH);
  std::shared_ptr<krvk_compiled_unit> unit = compute_unit();
  if (unit == nullptr) {
    state.SkipWithError("compute kernel does not compile");
    return;
  }
  std::vector<float> x(kScalingItems);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 1000);
  krvk_job_pool pool(threads - 1);
  const krvk_program& program = *unit->kernels[0];
  const double cpu_before = process_cpu_ms();
  for (auto _ : state) {
    auto launch = new_launch(unit, program, kScalingItems);
    launch->pointer_slots[0] = kptr{reinterpret_cast<uint8_t*>(x.data()), x.size(), 4, x.size() * 4};
    launch->start_helpers(static_cast<int>(threads - 1), pool.enqueue());
    launch->wait();
    benchmark::DoNotOptimize(launch->collect_results());
  }
  // Processor time of all runners together: it stays flat when runners add no work of their own, so a
  // low efficiency then means the machine did not give the runners processors.
  state.counters["process_cpu_ms"] = (process_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
  krvk_kernel_mode.exchange(mode);
}

void BM_OneItemLaunch(benchmark::State& state) {
  std::shared_ptr<krvk_compiled_unit> unit = compute_unit();
  if (unit == nullptr) {
    state.SkipWithError("compute kernel does not compile");
    return;
  }
  std::vector<float> x(1, 1.0f);
  const krvk_program& program = *unit->kernels[0];
  for (auto _ : state) {
    auto launch = new_launch(unit, program, 1);
    launch->pointer_slots[0] = kptr{reinterpret_cast<uint8_t*>(x.data()), 1, 4, 4};
    launch->wait();
    benchmark::DoNotOptimize(launch->collect_results());
  }
}

constexpr uint64_t kSmallLaunchItems = 1024;
enum small_launch_runners : int64_t { one_thread, every_runner, from_the_work };

void BM_SmallSaxpyLaunch(benchmark::State& state) {
  arrays.reset();
  krv_bench_saxpy_program saxpy;
  auto unit = std::make_shared<krvk_compiled_unit>();
  unit->kernels.push_back(saxpy.k.share());
  const krvk_program& program = saxpy.k.program();
  const std::vector<kptr> slots = saxpy.slots(arrays);
  const std::vector<uint64_t> regs = saxpy.registers();
  const int allowed = state.range(0) == one_thread ? 0 : static_cast<int>(kCores - 1);
  const int helpers =
      state.range(0) == from_the_work ? krvk_helpers_worth_starting(program, kSmallLaunchItems, allowed) : allowed;
  krvk_job_pool pool(static_cast<unsigned>(allowed));
  for (auto _ : state) {
    auto launch = new_launch(unit, program, kSmallLaunchItems);
    launch->pointer_slots = slots;
    launch->registers[saxpy.a] = regs[saxpy.a];
    launch->start_helpers(helpers, pool.enqueue());
    launch->wait();
    benchmark::ClobberMemory();
  }
  state.counters["helpers"] = helpers;
}

BENCHMARK(BM_SaxpyC);
BENCHMARK(BM_SaxpyScalar);
BENCHMARK(BM_SaxpyWide);
BENCHMARK(BM_SaxpyWideLaunch);
BENCHMARK(BM_LaunchScaling)->UseRealTime()->Apply([](benchmark::internal::Benchmark* b) {
  for (unsigned n = 1; n < kCores; n *= 2) b->Arg(n);
  b->Arg(kCores);
});
BENCHMARK(BM_OneItemLaunch);
BENCHMARK(BM_SmallSaxpyLaunch)->UseRealTime()->Arg(one_thread)->Arg(every_runner)->Arg(from_the_work);

// Prints the console table, then the ratios the performance record keeps.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      auto [it, fresh] = ns_.try_emplace(r.run_name.str(), r.GetAdjustedRealTime());
      if (!fresh) it->second = std::min(it->second, r.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double c = ns_["BM_SaxpyC"];
    if (c > 0) {
      std::printf("saxpy %zu elements, per element: C %.3f ns; 64-lane %.3f ns (%.1fx C), as a launch %.3f ns "
                  "(%.1fx C); scalar %.3f ns (%.1fx C)\n",
                  kElements, c / kElements, ns_["BM_SaxpyWide"] / kElements, ns_["BM_SaxpyWide"] / c,
                  ns_["BM_SaxpyWideLaunch"] / kElements, ns_["BM_SaxpyWideLaunch"] / c,
                  ns_["BM_SaxpyScalar"] / kElements, ns_["BM_SaxpyScalar"] / c);
    }
    const double t1 = ns_["BM_LaunchScaling/1/real_time"];
    for (unsigned n = 1; t1 > 0 && n <= kCores; n = n < kCores && n * 2 > kCores ? kCores : n * 2) {
      const double tn = ns_["BM_LaunchScaling/" + std::to_string(n) + "/real_time"];
      if (tn > 0) std::printf("launch scaling, %u runners: %.2f ms, efficiency T1/(n x Tn) %.0f%%\n", n, tn / 1e6, 100.0 * t1 / (n * tn));
      if (n == kCores) break;
    }
    std::printf("one-item launch: %.0f ns\n", ns_["BM_OneItemLaunch"]);
    const double one = ns_["BM_SmallSaxpyLaunch/0/real_time"];
    std::printf("%llu-item saxpy launch: one thread %.1f us; every runner %.1f us (%.2fx); runners from the work "
                "%.1f us (%.2fx)\n",
                static_cast<unsigned long long>(kSmallLaunchItems), one / 1e3, ns_["BM_SmallSaxpyLaunch/1/real_time"] / 1e3,
                ns_["BM_SmallSaxpyLaunch/1/real_time"] / one, ns_["BM_SmallSaxpyLaunch/2/real_time"] / 1e3,
                ns_["BM_SmallSaxpyLaunch/2/real_time"] / one);
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
