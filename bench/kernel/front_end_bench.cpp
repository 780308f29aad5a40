// Throughput of the kernel front end on a generated 5,000-line source made of kernels of every shape.
// The memcpy of the same bytes is the reference in the same binary: the ratio of the two bytes_per_second
// figures is what docs/performance.md records beside the absolute MB/s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"
#include "sample_kernels.h"

namespace {

const std::string& generated_source() {
  static const std::string source = [] {
    std::string text;
    size_t lines = 0;
    for (size_t i = 0; lines < 5000; ++i) {
      const char* sample = krvk_sample_kernels()[i % krvk_sample_kernels().size()].source;
      text += sample;
      lines += std::count(sample, sample + std::strlen(sample), '\n');
    }
    return text;
  }();
  return source;
}

// The front end's own result: everything a compilation lexes and parses, kept until the checker is done.
struct front_end_result {
  krvk_source_map map;
  std::vector<krvk_token> tokens;
  krvk_syntax_unit unit;
};

void lex_and_parse(const std::string& source, front_end_result& out) {
  krvk_lexer lexer{&out.map, &out.tokens};
  krvk_lex(lexer, source, "bench.k");
  krvk_parser parser(out.map, out.tokens, 0);
  parser.parse_unit();
  out.unit = std::move(parser.unit);
}

// Lexing and parsing alone; releasing the tree and tokens is measured below.
void BM_LexAndParse(benchmark::State& state) {
  const std::string& source = generated_source();
  for (auto _ : state) {
    auto result = std::make_unique<front_end_result>();
    lex_and_parse(source, *result);
    benchmark::DoNotOptimize(result->unit.functions.data());
    state.PauseTiming();
    result.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(BM_LexAndParse)->Unit(benchmark::kMillisecond);

// What one compilation's front end costs in all: lexing, parsing and releasing everything again.
void BM_LexParseAndRelease(benchmark::State& state) {
  const std::string& source = generated_source();
  for (auto _ : state) {
    auto result = std::make_unique<front_end_result>();
    lex_and_parse(source, *result);
    benchmark::DoNotOptimize(result->unit.functions.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(BM_LexParseAndRelease)->Unit(benchmark::kMillisecond);

void BM_LexOnly(benchmark::State& state) {
  const std::string& source = generated_source();
  for (auto _ : state) {
    krvk_source_map map;
    std::vector<krvk_token> tokens;
    krvk_lexer lexer{&map, &tokens};
    krvk_lex(lexer, source, "bench.k");
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(BM_LexOnly)->Unit(benchmark::kMillisecond);

void BM_MemcpyReference(benchmark::State& state) {
  const std::string& source = generated_source();
  std::vector<char> copy(source.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), source.data(), source.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(BM_MemcpyReference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
