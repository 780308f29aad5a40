// The regular-expression jobs of std.string over a 16 KiB text, each beside the library call it wraps,
// with the same precompiled pattern and text, in the same run:
//   - the regex_search job vs std::regex_search (the only match is at the end of the text)
//   - the regex_findall job vs a std::sregex_iterator loop collecting the matches into a vector of strings;
//     the job again off the VM thread, as a worker runs it; the result list alone (on and off the VM
//     thread) vs the vector alone
//   - krv_regex_cache_get of a pattern in a full cache (found last) vs compiling that pattern
//   - one regex_search method call: cache lookup, copy of the text, the hand-off and the job
//   - one regex_search call as a script makes it: the task calls the method, the job runs on a host
//     worker, the VM tick completes it and the task resumes with the position
// and, as counters rather than times, the stack the jobs use on inputs at the limits of the host's
// threads (a thread's stack is painted before the job runs; the counter is how deep the paint was
// overwritten).
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "bench_vm.h"
#include "classes/std/string_methods.h"
#include "classes/std/string_regex.h"
#include "classes/std/string_regex_jobs.h"
#include "host/assembler/script_text.h"
#include "host/host_thread.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/task/task.h"

namespace {

constexpr size_t text_bytes = 16384;
const std::string digits_pattern = "[0-9]+";

std::string filled(std::string_view piece, std::string_view end) {
  std::string text;
  while (text.size() + piece.size() + end.size() <= text_bytes) text += piece;
  return text + std::string(end);
}

const std::string letters_then_digits = filled("abcdefgh", "4711");  // one match, at the very end
const std::string words_and_numbers = filled("word 1234 ", "");      // 1,638 matches

krv_regex_compiled cached_digits() { return krv_regex_cache_get(digits_pattern, text_bytes, "bench"); }

void BM_SearchJob(benchmark::State& state) {
  krv_bench_vm thread;
  const krv_regex_job job{letters_then_digits, {}, cached_digits()};
  for (auto _ : state) benchmark::DoNotOptimize(krv_regex_search_job(job));
}
BENCHMARK(BM_SearchJob)->Unit(benchmark::kMicrosecond);

void BM_StdRegexSearch(benchmark::State& state) {
  const std::regex pattern(digits_pattern);
  for (auto _ : state) {
    std::smatch match;
    benchmark::DoNotOptimize(std::regex_search(letters_then_digits, match, pattern));
    benchmark::DoNotOptimize(match.position(0));
  }
}
BENCHMARK(BM_StdRegexSearch)->Unit(benchmark::kMicrosecond);

void BM_FindallJob(benchmark::State& state) {
  krv_bench_vm thread;
  const krv_regex_job job{words_and_numbers, {}, cached_digits()};
  for (auto _ : state) benchmark::DoNotOptimize(krv_regex_findall_job(job));
}
BENCHMARK(BM_FindallJob)->Unit(benchmark::kMicrosecond);

void BM_StdSregexIteratorLoop(benchmark::State& state) {
  const std::regex pattern(digits_pattern);
  for (auto _ : state) {
    std::vector<std::string> matches;
    for (std::sregex_iterator match(words_and_numbers.begin(), words_and_numbers.end(), pattern), end; match != end;
         ++match)
      matches.push_back(match->str());
    benchmark::DoNotOptimize(matches);
  }
}
BENCHMARK(BM_StdSregexIteratorLoop)->Unit(benchmark::kMicrosecond);

// The same job where the host runs it: on a worker, which holds no VM lock, so every value comes from
// the heap rather than the VM's pools.
void BM_FindallJobOffTheVmThread(benchmark::State& state) {
  const krv_regex_job job{words_and_numbers, {}, cached_digits()};
  for (auto _ : state) benchmark::DoNotOptimize(krv_regex_findall_job(job));
}
BENCHMARK(BM_FindallJobOffTheVmThread)->Unit(benchmark::kMicrosecond);

// Where the findall job's time goes beyond matching: the result list alone, built from the matches found
// beforehand and dropped, against the vector of strings the reference loop builds.
std::vector<std::string_view> digit_runs() {
  std::vector<std::string_view> runs;
  const std::regex pattern(digits_pattern);
  for (std::sregex_iterator match(words_and_numbers.begin(), words_and_numbers.end(), pattern), end; match != end;
       ++match)
    runs.push_back(std::string_view(words_and_numbers)
                       .substr(static_cast<size_t>(match->position(0)), static_cast<size_t>(match->length(0))));
  return runs;
}

void result_list_of_matches(benchmark::State& state) {
  const std::vector<std::string_view> runs = digit_runs();
  for (auto _ : state) {
    krv_string_list_result list;
    for (std::string_view run : runs) list.append(run);
    benchmark::DoNotOptimize(list.take());
  }
}

void BM_ResultListOfMatches(benchmark::State& state) {
  krv_bench_vm thread;
  result_list_of_matches(state);
}
BENCHMARK(BM_ResultListOfMatches)->Unit(benchmark::kMicrosecond);

// Values made off the VM thread come from the heap.
void BM_ResultListOfMatchesOffTheVmThread(benchmark::State& state) { result_list_of_matches(state); }
BENCHMARK(BM_ResultListOfMatchesOffTheVmThread)->Unit(benchmark::kMicrosecond);

void BM_VectorOfMatches(benchmark::State& state) {
  const std::vector<std::string_view> runs = digit_runs();
  for (auto _ : state) {
    std::vector<std::string> matches;
    for (std::string_view run : runs) matches.emplace_back(run);
    benchmark::DoNotOptimize(matches);
  }
}
BENCHMARK(BM_VectorOfMatches)->Unit(benchmark::kMicrosecond);

void BM_CacheGetFoundLast(benchmark::State& state) {
  krv_bench_vm thread;
  krv_regex_cache().clear();
  for (int n = 0; n < 7; ++n) krv_regex_cache_get("other" + std::to_string(n) + "[0-9]+", 0, "bench");
  cached_digits();
  for (auto _ : state) benchmark::DoNotOptimize(cached_digits());
}
BENCHMARK(BM_CacheGetFoundLast);

void BM_CompilePattern(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(std::regex(digits_pattern, std::regex::ECMAScript));
}
BENCHMARK(BM_CompilePattern);

void BM_SearchMethodCall(benchmark::State& state) {
  krv_bench_vm thread;
  krvptr_strong<krv_std_string> receiver = krv_std_string::create(letters_then_digits);
  krv_vm_context frame;
  frame.native_self = receiver.get();
  std::vector<krvvar_shared> args{krvvar_shared::make_string(digits_pattern)};
  for (auto _ : state) benchmark::DoNotOptimize(krv_string_methods::regex_search(receiver.get(), frame, args));
}
BENCHMARK(BM_SearchMethodCall)->Unit(benchmark::kMicrosecond);

// `C0.regex_search("[0-9]+")` passed to the native "mark", which keeps the position.
const char* const search_call_script =
    "string \"regex_search\"\nstring \"[0-9]+\"\nnative N0 \"mark\" 1 1\ncell C0 none\n"
    "block B0 4 caches 1\n  args_open 1\n  load_cell $C0\n  member 0 0 null 0\n  call_prepare 1\n"
    "  load_string 1\n  call_arg 0\n  call\n  arg 0\n  call_native @N0\nend\n";

void BM_SearchCallThroughWorker(benchmark::State& state) {
  krv_bench_vm thread;
  krv_std_string::script_register_internal();
  krvptr_strong<krv_program> program = krv_assemble_text(search_call_script);
  int64_t position = -2;
  program->natives[0]->callable = [&](krv_vm_context&, std::vector<krvvar_shared>& args) {
    position = args[0]->int_value();
    return krvvar_shared::make_none();
  };
  // The last range(0) bytes of the text (at most all of it): the whole text, or a short one whose match
  // costs little, so that the hand-off's own cost shows.
  const size_t kept = std::min(letters_then_digits.size(), static_cast<size_t>(state.range(0)));
  const std::string text = letters_then_digits.substr(letters_then_digits.size() - kept);
  program->cells[0]->string_ref() = text;
  thread.vm.start_workers(1);
  for (auto _ : state) {
    krv_get_thread_local().current_task = nullptr;
    krvptr_strong<krv_task> task = krv_task_create(program->root, nullptr);
    krv_task::run(*task, nullptr);
    while (!thread.vm.idle()) {
      thread.vm.tick();
      if (!thread.vm.idle()) thread.vm.wait_for_work(1);
    }
  }
  thread.vm.stop_workers();
  if (position != static_cast<int64_t>(text.size() - 4)) state.SkipWithError(("the task resumed with " + std::to_string(position)).c_str());
}
// Timed by the wall clock: the job runs on the worker while the VM thread waits for its completion.
BENCHMARK(BM_SearchCallThroughWorker)
    ->Arg(static_cast<int64_t>(text_bytes))
    ->Arg(20)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Bytes of stack that `body` touches, run on a painted thread stack of `stack_bytes`.
size_t stack_touched(const std::function<void()>& body, size_t stack_bytes = size_t{128} << 20) {
  constexpr unsigned char paint = 0xA5;
  void* stack = nullptr;
  if (posix_memalign(&stack, 4096, stack_bytes) != 0) return 0;
  std::memset(stack, paint, stack_bytes);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, stack_bytes);
  pthread_t thread;
  auto run = [](void* job) -> void* {
    (*static_cast<const std::function<void()>*>(job))();
    return nullptr;
  };
  if (pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)) == 0)
    pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  size_t untouched = 0;  // the stack grows down from the top of the block
  while (untouched < stack_bytes && static_cast<unsigned char*>(stack)[untouched] == paint) ++untouched;
  std::free(stack);
  return stack_bytes - untouched;
}

// The stack a job needs on the longest input its pattern allows.
void stack_at_limit(benchmark::State& state, const char* pattern, krvvar_shared (*job)(const krv_regex_job&)) {
  const std::regex compiled(pattern);
  const krv_regex_limit_basis limit_basis = krv_regex_limit_basis_of(pattern);
  const std::string text(krv_regex_input_limit(limit_basis, krv_regex_max_stack_budget), 'a');
  size_t touched = 0;
  for (auto _ : state) {
    touched = stack_touched([&] {
      const krv_regex_job on_limit{text, "x", {std::make_shared<const std::regex>(compiled), limit_basis}};
      benchmark::DoNotOptimize(job(on_limit));
    });
  }
  state.counters["stack_MiB"] = static_cast<double>(touched) / (1 << 20);
}

krvvar_shared search(const krv_regex_job& job) { return krv_regex_search_job(job); }
krvvar_shared findall(const krv_regex_job& job) { return krv_regex_findall_job(job); }
krvvar_shared replace(const krv_regex_job& job) { return krv_regex_replace_job(job); }

BENCHMARK_CAPTURE(stack_at_limit, search_a_star_16k, "a*", search)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(stack_at_limit, findall_a_or_b_plus_8k, "(a|b)+", findall)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(stack_at_limit, replace_a_or_b_plus_8k, "(a|b)+", replace)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(stack_at_limit, findall_20_nested_groups_plus, "((((((((((((((((((((a))))))))))))))))))))+", findall)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(stack_at_limit, findall_10_alternatives_plus, "(a|b|c|d|e|f|g|h|i|j)+", findall)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

// The benchmarks run on a thread with the host's 32 MiB stack (host/host_thread.h), as a script's calls
// do: the limits follow the calling thread's stack, and on a main thread of 8 MiB the 16 KiB texts would
// be refused.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  krv_host_thread runner([] { benchmark::RunSpecifiedBenchmarks(); });
  runner.join();
  benchmark::Shutdown();
  return 0;
}
