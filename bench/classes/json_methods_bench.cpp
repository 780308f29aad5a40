// std.json methods against the standard library doing the same work on the same data: sort of 100,000
// keyed entries against std::sort of their keys with the same case-folding order, and unique of 100,000
// values against one pass of a std::unordered_set<std::string> over the same value signatures; and
// sort_by of a parsed object of objects against sort of the same object, from 10^3 to 10^6 entries. The
// containers are made on a VM thread holding the lock, as scripts make them; refilling them between
// iterations is not timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "classes/std/json_methods.h"
#include "classes/std/string_bytes.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"

namespace {

constexpr int entry_count = 100000;

// Keys of 6 to 16 letters of both cases, in random order.
const std::vector<std::string>& random_keys() {
  static const std::vector<std::string> keys = [] {
    std::mt19937_64 random(7);
    std::vector<std::string> made(entry_count);
    for (std::string& key : made) {
      key.resize(6 + random() % 11);
      for (char& c : key) c = static_cast<char>((random() % 2 ? 'a' : 'A') + random() % 26);
    }
    return made;
  }();
  return keys;
}

constexpr auto less_ignoring_case = [](const std::string& a, const std::string& b) {
  return krv_less_ignoring_case(a, b);
};

// Values with about one duplicate in three: ints and texts drawn from 70,000 of each.
struct unique_input {
  std::vector<int64_t> numbers;
  std::vector<std::string> texts;      // used where numbers[i] < 0
  std::vector<std::string> signatures;  // what unique compares: type code, colon, text
};

const unique_input& unique_values() {
  static const unique_input input = [] {
    std::mt19937_64 random(11);
    unique_input made;
    for (int n = 0; n < entry_count; ++n) {
      const int64_t drawn = static_cast<int64_t>(random() % 70000);
      const bool text = random() % 2 == 0;
      made.numbers.push_back(text ? -1 : drawn);
      made.texts.push_back(text ? "value " + std::to_string(drawn) : std::string());
      made.signatures.push_back(text ? "5:" + made.texts.back() : "2:" + std::to_string(drawn));
    }
    return made;
  }();
  return input;
}

// Runs `body` on a VM thread holding the lock.
template <class Body>
void on_vm(Body body) {
  krv_host_vm vm("bench");
  vm.attach_current_thread();
  {
    krv_vm_lock guard;
    body();
  }
  krv_host_vm::detach_current_thread();
}

void BM_StdSortKeysIgnoringCase(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> keys = random_keys();
    state.ResumeTiming();
    std::sort(keys.begin(), keys.end(), less_ignoring_case);
    benchmark::DoNotOptimize(keys.data());
  }
}
BENCHMARK(BM_StdSortKeysIgnoringCase)->Unit(benchmark::kMillisecond);

void BM_JsonSort(benchmark::State& state) {
  on_vm([&] {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    std::vector<krvvar_shared> args;
    krv_vm_context frame;
    for (auto _ : state) {
      state.PauseTiming();
      container->clear_entries();
      for (const std::string& key : random_keys()) container->push_empty_keyed(key) = krvvar_shared::make_int(1);
      state.ResumeTiming();
      benchmark::DoNotOptimize(krv_json_methods::sort(container.get(), frame, args));
    }
  });
}
BENCHMARK(BM_JsonSort)->Unit(benchmark::kMillisecond);

void BM_StdUnorderedSetOfSignatures(benchmark::State& state) {
  const unique_input& input = unique_values();
  for (auto _ : state) {
    std::unordered_set<std::string> seen;
    size_t kept = 0;
    for (const std::string& signature : input.signatures) kept += seen.insert(signature).second;
    benchmark::DoNotOptimize(kept);
  }
}
BENCHMARK(BM_StdUnorderedSetOfSignatures)->Unit(benchmark::kMillisecond);

void BM_JsonUnique(benchmark::State& state) {
  const unique_input& input = unique_values();
  on_vm([&] {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    std::vector<krvvar_shared> args;
    krv_vm_context frame;
    for (auto _ : state) {
      state.PauseTiming();
      container->clear_entries();
      for (int n = 0; n < entry_count; ++n) {
        krvvar_shared value = input.numbers[n] < 0 ? krvvar_shared::make_string(input.texts[n])
                                                   : krvvar_shared::make_int(input.numbers[n]);
        container->push_empty().move_assign(value);
      }
      state.ResumeTiming();
      benchmark::DoNotOptimize(krv_json_methods::unique(container.get(), frame, args));
    }
  });
}
BENCHMARK(BM_JsonUnique)->Unit(benchmark::kMillisecond);

// The text of an object of `count` entries "k<8 letters>": {"v": <int>}, its keys ascending (so the parsed
// entries lie in memory in key order) and its values random.
std::string object_of_objects_text(int64_t count) {
  std::mt19937_64 random(13);
  std::vector<std::string> keys(static_cast<size_t>(count));
  for (std::string& key : keys) {
    key = "k";
    for (int n = 0; n < 8; ++n) key += static_cast<char>('a' + random() % 26);
  }
  std::sort(keys.begin(), keys.end());
  std::string text = "{";
  for (const std::string& key : keys)
    text += "\"" + key + "\":{\"v\":" + std::to_string(random() % 1000000000) + "},";
  text.back() = '}';
  return text;
}

// Times `timed` on the object, which `untimed` puts back in the other order first: sort_by("v") and sort
// each reorder the object from the order the other one left. Reports the time per n*log2(n).
template <class Untimed, class Timed>
void reorder_object_of_objects(benchmark::State& state, Untimed untimed, Timed timed) {
  const int64_t count = state.range(0);
  on_vm([&] {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    container->from_string(object_of_objects_text(count), false);
    krv_vm_context frame;
    std::vector<krvvar_shared> by_key;
    std::vector<krvvar_shared> by_child{krvvar_shared::make_string("v")};
    for (auto _ : state) {
      state.PauseTiming();
      untimed(container.get(), frame, by_key, by_child);
      state.ResumeTiming();
      timed(container.get(), frame, by_key, by_child);
    }
  });
  const double n = static_cast<double>(count);
  state.counters["per_n_log2_n"] =
      benchmark::Counter(n * std::log2(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

auto sort_by_child = [](krv_std_json* container, krv_vm_context& frame, std::vector<krvvar_shared>&,
                        std::vector<krvvar_shared>& by_child) {
  benchmark::DoNotOptimize(krv_json_methods::sort_by(container, frame, by_child));
};
auto sort_by_key = [](krv_std_json* container, krv_vm_context& frame, std::vector<krvvar_shared>& by_key,
                      std::vector<krvvar_shared>&) {
  benchmark::DoNotOptimize(krv_json_methods::sort(container, frame, by_key));
};

void BM_JsonSortByChild(benchmark::State& state) { reorder_object_of_objects(state, sort_by_key, sort_by_child); }
BENCHMARK(BM_JsonSortByChild)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

void BM_JsonSortObjectOfObjects(benchmark::State& state) {
  reorder_object_of_objects(state, sort_by_child, sort_by_key);
}
BENCHMARK(BM_JsonSortObjectOfObjects)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
