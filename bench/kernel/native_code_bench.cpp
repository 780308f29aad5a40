// Native kernels against hand-written C, on one thread. The kernels are compiled from kernel source,
// translated to C and built by the system gcc in the same call, with the same flags, as plain C loops
// doing the same work; native functions are called directly over the whole range. The scalar
// interpreter runs the same programs for comparison.
//
//   saxpy over 16K floats (in cache) and over 16M floats (memory-bound);
//   a compute kernel: 16K items, each a loop of 64 steps of float arithmetic;
//   an f32 sum (a reduction) over 16K floats.
//
// After the runs the program prints each kernel's time per item and its ratio to the C loop, from the
// fastest repetition (run with --benchmark_repetitions=N --benchmark_enable_random_interleaving=true).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fastest_run_reporter.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/support/c_batch.h"
#include "reference_kernels.h"

namespace {

constexpr uint64_t kSmall = 16 * 1024;
constexpr uint64_t kLarge = 16 * 1024 * 1024;

// The compiled unit, the built library and the arrays, made once for all benchmarks.
struct native_setup {
  std::shared_ptr<krvk_compiled_unit> unit;
  krvk_c_batch batch;
  std::map<std::string, krvk_native_fn> kernels;
  std::map<std::string, const krvk_program*> programs;
  std::vector<float> x, y;

  native_setup() : x(kLarge + 512, 1.0f), y(kLarge + 512, 2.0f) {
    kerror err;
    const std::string source =
        std::string(krv_bench_saxpy_source) + krv_bench_compute_source + krv_bench_sum_source;
    unit = krvk_compile_source(source, "bench.k", err, {});
    if (unit == nullptr) fail("kernel compile error: " + err.message);
    std::map<std::string, std::string> symbols;
    for (const auto& program : unit->kernels) {
      symbols[program->name] = batch.add_kernel(*program);
      programs[program->name] = program.get();
    }
    batch.add_text(krv_bench_reference_c);
    std::string error;
    if (!batch.build(error)) fail(error);
    for (const auto& [name, symbol] : symbols) kernels[name] = batch.kernel(symbol);
  }

  [[noreturn]] static void fail(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }

  // A register file for one kernel over n items, with its pointer slots bound to x and y. x and y are
  // placed 2 KiB apart modulo 4 KiB, so loads do not wait on unrelated stores (4K aliasing).
  struct run_state {
    std::vector<uint64_t> regs;
    std::vector<kptr> ptrs;
  };
  run_state state_for(const krvk_program& program, uint64_t n) {
    run_state s{std::vector<uint64_t>(program.register_count, 0), std::vector<kptr>(program.pointer_count)};
    for (const krvk_const& constant : program.constants) s.regs[constant.reg] = constant.bits;
    s.regs[program.gsize_reg] = n;
    s.regs[program.gsize_x_reg] = n;
    s.regs[program.gsize_y_reg] = 1;
    float* arrays[] = {y.data(), x.data() + 512};
    size_t next_array = program.parameters.size() == 1 ? 1 : 0;  // sum reads x only
    for (const krvk_param& param : program.parameters) {
      if (param.type.is_pointer) {
        s.ptrs[param.pointer_slot] = kptr{reinterpret_cast<uint8_t*>(arrays[next_array++]), n, 4, n * 4};
      } else {
        const float a = 0.5f;
        std::memcpy(&s.regs[param.reg], &a, sizeof a);
      }
    }
    return s;
  }
};

native_setup& setup() {
  static native_setup instance;
  return instance;
}

void run_native(benchmark::State& state, const char* kernel, uint64_t n) {
  native_setup& s = setup();
  const krvk_program& program = *s.programs.at(kernel);
  native_setup::run_state run = s.state_for(program, n);
  const krvk_native_fn fn = s.kernels.at(kernel);
  const unsigned char no_abort = 0;
  ktrap trap{};
  for (auto _ : state) {
    if (fn(reinterpret_cast<kreg*>(run.regs.data()), run.ptrs.data(), 0, n, &no_abort, &trap) != 0) {
      state.SkipWithError("trapped");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void run_interpreter(benchmark::State& state, const char* kernel, uint64_t n) {
  native_setup& s = setup();
  const krvk_program& program = *s.programs.at(kernel);
  native_setup::run_state run = s.state_for(program, n);
  const unsigned char no_abort = 0;
  ktrap trap{};
  for (auto _ : state) {
    if (krvk_interpret(&program, run.regs.data(), run.ptrs.data(), 0, n, &no_abort, &trap, 0) != 0) {
      state.SkipWithError("trapped");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void run_reference(benchmark::State& state, const char* kernel, uint64_t n) {
  native_setup& s = setup();
  float* y = s.y.data();
  const float* x = s.x.data() + 512;
  void* fn = s.batch.symbol(std::string("krv_bench_ref_") + kernel);
  for (auto _ : state) {
    if (std::strcmp(kernel, "saxpy") == 0) reinterpret_cast<krv_bench_ref_saxpy_fn>(fn)(y, x, 0.5f, n);
    if (std::strcmp(kernel, "compute") == 0) reinterpret_cast<krv_bench_ref_compute_fn>(fn)(y, x, n);
    if (std::strcmp(kernel, "sum") == 0) benchmark::DoNotOptimize(reinterpret_cast<krv_bench_ref_sum_fn>(fn)(x, n));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_SaxpyC(benchmark::State& state) { run_reference(state, "saxpy", kSmall); }
void BM_SaxpyNative(benchmark::State& state) { run_native(state, "saxpy", kSmall); }
void BM_SaxpyInterpreter(benchmark::State& state) { run_interpreter(state, "saxpy", kSmall); }
void BM_ComputeC(benchmark::State& state) { run_reference(state, "compute", kSmall); }
void BM_ComputeNative(benchmark::State& state) { run_native(state, "compute", kSmall); }
void BM_ComputeInterpreter(benchmark::State& state) { run_interpreter(state, "compute", kSmall); }
void BM_SumC(benchmark::State& state) { run_reference(state, "sum", kSmall); }
void BM_SumNative(benchmark::State& state) { run_native(state, "sum", kSmall); }
void BM_SumInterpreter(benchmark::State& state) { run_interpreter(state, "sum", kSmall); }
void BM_Saxpy16MC(benchmark::State& state) { run_reference(state, "saxpy", kLarge); }
void BM_Saxpy16MNative(benchmark::State& state) { run_native(state, "saxpy", kLarge); }

BENCHMARK(BM_SaxpyC);
BENCHMARK(BM_SaxpyNative);
BENCHMARK(BM_SaxpyInterpreter);
BENCHMARK(BM_ComputeC);
BENCHMARK(BM_ComputeNative);
BENCHMARK(BM_ComputeInterpreter);
BENCHMARK(BM_SumC);
BENCHMARK(BM_SumNative);
BENCHMARK(BM_SumInterpreter);
BENCHMARK(BM_Saxpy16MC);
BENCHMARK(BM_Saxpy16MNative);

// Prints the usual console table, then each engine's ns per item and its ratio to the C loop.
class ratio_reporter : public krv_fastest_run_reporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    report("Saxpy", kSmall);
    report("Compute", kSmall);
    report("Sum", kSmall);
    report("Saxpy16M", kLarge);
  }

 private:
  void report(const std::string& name, uint64_t n) {
    const double c = fastest("BM_" + name + "C");
    if (c <= 0) return;
    std::printf("%-9s C %.3f ns/item", name.c_str(), c / n);
    for (const char* engine : {"Native", "Interpreter"}) {
      const double t = fastest("BM_" + name + engine);
      if (t > 0) std::printf("; %s %.3f ns/item, %.2fx", engine, t / n, t / c);
    }
    std::printf("\n");
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
