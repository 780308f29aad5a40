// std.string methods on 1 MiB texts, each beside hand-written std::string code doing the same in the same run:
//   - replace with many hits vs a find/append loop
//   - split of a comma-separated text into a json list vs a find loop filling a std::vector<std::string>
//   - smart_split of a text dense with R" and without whitespace vs the same of plain text (stays linear)
#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <vector>

#include "bench_vm.h"
#include "classes/std/string_methods.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"

namespace {

constexpr size_t mebibyte = 1 << 20;

std::string repeated(std::string_view piece) {
  std::string text;
  while (text.size() + piece.size() <= mebibyte) text += piece;
  return text;
}

const std::string fields = repeated("field12,");     // 131,072 parts
const std::string raw_dense = repeated("R\"ab\",");  // every part opens with R" that is no raw string
const std::string plain = repeated("abcde,");

void run_method(benchmark::State& state, decltype(&krv_string_methods::split) method, const std::string& text,
                std::vector<const char*> arguments) {
  krv_bench_vm thread;
  krvptr_strong<krv_std_string> receiver = krv_std_string::create(text);
  krv_vm_context frame;
  for (auto _ : state) {
    std::vector<krvvar_shared> args;
    for (const char* a : arguments) args.push_back(krvvar_shared::make_string(a));
    benchmark::DoNotOptimize(method(receiver.get(), frame, args));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Replace(benchmark::State& state) { run_method(state, krv_string_methods::replace, fields, {",", ";;"}); }
BENCHMARK(BM_Replace)->Unit(benchmark::kMicrosecond);

// Hand-written for any search text, as the method is.
void BM_ReplaceFindAppendLoop(benchmark::State& state) {
  const std::string search = ",", replacement = ";;";
  for (auto _ : state) {
    std::string result;
    size_t copied = 0;
    for (size_t found = fields.find(search); found != std::string::npos; found = fields.find(search, copied)) {
      result.append(fields, copied, found - copied).append(replacement);
      copied = found + search.size();
    }
    result.append(fields, copied);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fields.size()));
}
BENCHMARK(BM_ReplaceFindAppendLoop)->Unit(benchmark::kMicrosecond);

void BM_Split(benchmark::State& state) { run_method(state, krv_string_methods::split, fields, {","}); }
BENCHMARK(BM_Split)->Unit(benchmark::kMicrosecond);

void BM_SplitFindLoopIntoVector(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t found = fields.find(','); found != std::string::npos; found = fields.find(',', start)) {
      parts.emplace_back(fields, start, found - start);
      start = found + 1;
    }
    parts.emplace_back(fields, start);
    benchmark::DoNotOptimize(parts);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fields.size()));
}
BENCHMARK(BM_SplitFindLoopIntoVector)->Unit(benchmark::kMicrosecond);

void BM_SmartSplitDenseRawOpeners(benchmark::State& state) {
  run_method(state, krv_string_methods::smart_split, raw_dense, {","});
}
BENCHMARK(BM_SmartSplitDenseRawOpeners)->Unit(benchmark::kMicrosecond);

void BM_SmartSplitPlainText(benchmark::State& state) { run_method(state, krv_string_methods::smart_split, plain, {","}); }
BENCHMARK(BM_SmartSplitPlainText)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
