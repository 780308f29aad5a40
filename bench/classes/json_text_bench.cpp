// JSON text of std.json against nlohmann_json on the same generated 8 MB document: parsing and filling a
// container against nlohmann's parse alone, and printing a container (conversion and text) against
// nlohmann's dump of the document. Containers are made on the VM thread with the lock held, as scripts
// make them.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <random>
#include <string>

#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/storage/json_object.h"

namespace {

// About 8 MB of records: objects with short keys, nested arrays and objects, strings (some non-ASCII),
// integers, floats and booleans.
const std::string& document_text() {
  static const std::string text = [] {
    std::mt19937_64 random(42);
    nlohmann::json records = nlohmann::json::array();
    size_t size = 0;
    for (int id = 0; size < 8u << 20; ++id) {
      nlohmann::json record = {
          {"id", id},
          {"name", "user " + std::to_string(random() % 100000) + " \xc3\xa9t\xc3\xa9"},
          {"score", static_cast<double>(random() % 1000000) / 1000.0},
          {"active", random() % 2 == 0},
          {"tags", {"alpha", "beta", std::to_string(random() % 50)}},
          {"position", {{"x", static_cast<int64_t>(random() % 2000) - 1000}, {"y", 0.25 * static_cast<double>(random() % 64)}}},
          {"note", nullptr},
      };
      size += record.dump().size() + 1;
      records.push_back(std::move(record));
    }
    return records.dump();
  }();
  return text;
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

void BM_NlohmannParse(benchmark::State& state) {
  const std::string& text = document_text();
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_NlohmannParse)->Unit(benchmark::kMillisecond);

void BM_ContainerParseAndFill(benchmark::State& state) {
  const std::string& text = document_text();
  on_vm([&] {
    for (auto _ : state) {
      krvptr_strong<krv_std_json> container = krv_std_json::create();
      benchmark::DoNotOptimize(container->from_string(text, false));
    }
  });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ContainerParseAndFill)->Unit(benchmark::kMillisecond);

void nlohmann_dump(benchmark::State& state, int indent) {
  const nlohmann::json document = nlohmann::json::parse(document_text());
  for (auto _ : state)
    benchmark::DoNotOptimize(document.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace));
}

void container_dump(benchmark::State& state, bool compact) {
  on_vm([&] {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    container->from_string(document_text(), false);
    for (auto _ : state) benchmark::DoNotOptimize(container->dump(compact));
  });
}

void BM_NlohmannDumpPretty(benchmark::State& state) { nlohmann_dump(state, 4); }
void BM_ContainerDumpPretty(benchmark::State& state) { container_dump(state, false); }
void BM_NlohmannDumpCompact(benchmark::State& state) { nlohmann_dump(state, -1); }
void BM_ContainerDumpCompact(benchmark::State& state) { container_dump(state, true); }
BENCHMARK(BM_NlohmannDumpPretty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContainerDumpPretty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannDumpCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContainerDumpCompact)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
