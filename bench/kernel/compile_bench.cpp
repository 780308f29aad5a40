// Compile time of kernel source, end to end (lex, parse, check and emit, back end), for a typical
// kernel and for a generated stress source of 5,000 statements in one kernel. The reference in the same
// binary is lexing and parsing the same text alone, so the ratio shows what the checker and back end add;
// the stress source also compiles without the back-end passes, to show what the optimiser and register
// allocation cost.
#include <benchmark/benchmark.h>

#include <string>

#include "kernel/compiler/compile_driver.h"
#include "kernel/compiler/register_allocation.h"
#include "reference_kernels.h"

namespace {

// 5,000 statements of mixed kinds in one kernel: arithmetic on locals, loads and stores, branches.
const std::string& stress_source() {
  static const std::string source = [] {
    std::string text = "kernel void stress(f32* out, const f32* in, i32 n) {\n  f32 a = in[gid]; i32 k = n;\n";
    for (int i = 0; i < 4998; ++i) {
      switch (i % 5) {
        case 0: text += "  a = a * 1.0001f + f32(k);\n"; break;
        case 1: text += "  k = (k * 7 + " + std::to_string(i) + ") % 1000;\n"; break;
        case 2: text += "  out[(gid + " + std::to_string(i % 64) + ") % 64] = a;\n"; break;
        case 3: text += "  if (a > 100.0f) { a = a - 50.0f; }\n"; break;
        default: text += "  a += in[gid] * 0.5f;\n"; break;
      }
    }
    return text + "}\n";
  }();
  return source;
}

void compile(benchmark::State& state, const std::string& source,
             const krvk_back_end_passes& passes = krvk_default_back_end_passes()) {
  for (auto _ : state) {
    kerror err;
    auto unit = krvk_compile_source(source, "bench.k", err, {}, passes);
    if (!unit) state.SkipWithError(err.message.c_str());
    benchmark::DoNotOptimize(unit);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
  // The largest interference matrix the register allocator has made so far in this process.
  state.counters["interference_bytes"] = static_cast<double>(krvk_opt_peak_interference_bytes());
}

void parse_only(benchmark::State& state, const std::string& source) {
  for (auto _ : state) {
    krvk_front_end front;
    krvk_parse_sources({{source, "bench.k"}}, front);
    benchmark::DoNotOptimize(front.syntax.functions.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

void BM_CompileTypicalKernel(benchmark::State& state) { compile(state, krv_bench_box3_source); }
void BM_ParseTypicalKernel(benchmark::State& state) { parse_only(state, krv_bench_box3_source); }
void BM_CompileStress5000Statements(benchmark::State& state) { compile(state, stress_source()); }
void BM_CompileStress5000StatementsWithoutPasses(benchmark::State& state) {
  compile(state, stress_source(), krvk_back_end_passes{});
}
void BM_ParseStress5000Statements(benchmark::State& state) { parse_only(state, stress_source()); }

BENCHMARK(BM_CompileTypicalKernel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseTypicalKernel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CompileStress5000Statements)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompileStress5000StatementsWithoutPasses)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseStress5000Statements)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
