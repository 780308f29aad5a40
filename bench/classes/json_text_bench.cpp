// JSON text of std.json against nlohmann_json and Python's json module, all on the very same text, for
// two generated documents of about 8 MB: "records" (flat records of short keys and values) and "api" (the
// shape of real API responses: deeper nesting, longer strings with escapes, many small objects).
// Parsing fills a container (and releases it) against nlohmann's parse and json.loads; printing dumps
// the filled container against nlohmann's dump and json.dumps of the parsed document, with the same
// settings (indent 4 or none, no ASCII escaping). Containers are made on the VM thread with the lock
// held, as scripts make them. Rows are "operation/document/implementation"; the ratios of the
// container's rows against the others are printed after the table, the parse rows count the heap the
// parsed document takes (`heap_MB`, from mallinfo2, measured once before timing), and the container's
// print rows the length of the text (`text_MB`).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <nlohmann/json.hpp>

#include <random>
#include <string>

#include "bench_references.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "ratio_reporter.h"
#include "runtime/storage/json_object.h"

namespace {

constexpr size_t document_size = 8u << 20;

// Records: objects with short keys, nested arrays and objects, strings (some non-ASCII), integers,
// floats, booleans and null.
std::string records_text() {
  std::mt19937_64 random(42);
  nlohmann::json records = nlohmann::json::array();
  size_t size = 0;
  for (int id = 0; size < document_size; ++id) {
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
}

// A paragraph of at least `length` bytes whose text needs escapes: quotes, line breaks, tabs, backslashes,
// a control byte now and then, and two- and four-byte UTF-8.
std::string paragraph(std::mt19937_64& random, size_t length) {
  static const char* const pieces[] = {"the request ",  "\"quoted\" ",        "failed\n",       "C:\\temp\\log ",
                                       "caf\xc3\xa9 ",   "\tindented ",        "\xf0\x9f\x98\x80 ", "retry later. ",
                                       "see <a href=\"/docs\">docs</a> ", "\x01", "and the response ", "was empty; "};
  std::string text;
  while (text.size() < length) text += pieces[random() % std::size(pieces)];
  return text;
}

// One API response item: an event with its attributes, author, labels and related records.
nlohmann::json api_item(std::mt19937_64& random, int id) {
  const std::string user = std::to_string(random() % 100000);
  nlohmann::json labels = nlohmann::json::array();
  for (size_t i = random() % 5; i > 0; --i)
    labels.push_back({{"id", random() % 1000}, {"name", "label-" + std::to_string(random() % 40)},
                      {"color", "d73a4a"}, {"default", random() % 4 == 0}});
  nlohmann::json comments = nlohmann::json::array();
  for (size_t i = random() % 4; i > 0; --i)
    comments.push_back({{"id", "c" + std::to_string(random() % 1000000)}, {"type", "comment"}});
  return {
      {"id", "evt_" + std::to_string(id)},
      {"type", "issue"},
      {"attributes",
       {{"title", "Issue " + std::to_string(id) + ": \"" + paragraph(random, 30) + "\""},
        {"body", paragraph(random, 100 + random() % 500)},
        {"state", random() % 3 == 0 ? "closed" : "open"},
        {"created_at", "2024-03-" + std::to_string(10 + random() % 18) + "T12:34:56Z"},
        {"labels", labels},
        {"user",
         {{"login", "user" + user},
          {"id", random() % 100000},
          {"site_admin", false},
          {"profile",
           {{"avatar_url", "https://avatars.example.com/u/" + user + "?v=4"},
            {"links", {{"html", "https://example.com/user" + user}, {"api", "https://api.example.com/users/user" + user}}}}}}},
        {"reactions", {{"+1", random() % 10}, {"-1", random() % 3}, {"laugh", 0}, {"total_count", random() % 13}}},
        {"score", static_cast<double>(random() % 100000) / 100.0},
        {"milestone", nullptr}}},
      {"relationships", {{"comments", {{"data", comments}, {"meta", {{"count", comments.size()}}}}}}},
  };
}

std::string api_text() {
  std::mt19937_64 random(7);
  nlohmann::json items = nlohmann::json::array();
  size_t size = 0;
  for (int id = 0; size < document_size; ++id) {
    nlohmann::json item = api_item(random, id);
    size += item.dump().size() + 1;
    items.push_back(std::move(item));
  }
  const size_t total = items.size();
  return nlohmann::json{{"data", std::move(items)},
                        {"meta", {{"page", 1}, {"total", total}}},
                        {"links", {{"next", "https://api.example.com/events?page=2"}, {"self", "https://api.example.com/events"}}}}
      .dump();
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

size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The heap that `make` keeps in use while the value it returns lives, in MB.
template <class Make>
double heap_MB(Make make) {
  const size_t before = heap_in_use();
  const auto kept = make();
  return static_cast<double>(heap_in_use() - before) / 1e6;
}

void container_parse(benchmark::State& state, const std::string& text) {
  on_vm([&] {
    state.counters["heap_MB"] = heap_MB([&] {
      krvptr_strong<krv_std_json> container = krv_std_json::create();
      container->from_string(text, false);
      return container;
    });
    for (auto _ : state) {
      krvptr_strong<krv_std_json> container = krv_std_json::create();
      if (!container->from_string(text, false)) state.SkipWithError("the text does not parse");
    }
  });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void nlohmann_parse(benchmark::State& state, const std::string& text) {
  state.counters["heap_MB"] = heap_MB([&] { return nlohmann::json::parse(text); });
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void container_dump(benchmark::State& state, const std::string& text, bool compact) {
  on_vm([&] {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    container->from_string(text, false);
    state.counters["text_MB"] = static_cast<double>(container->dump(compact).size()) / 1e6;
    for (auto _ : state) benchmark::DoNotOptimize(container->dump(compact));
  });
}

void nlohmann_dump(benchmark::State& state, const std::string& text, bool compact) {
  const nlohmann::json document = nlohmann::json::parse(text);
  for (auto _ : state)
    benchmark::DoNotOptimize(document.dump(compact ? -1 : 4, ' ', false, nlohmann::json::error_handler_t::replace));
}

#ifdef KRV_BENCH_PYTHON
// json.loads of the text, and json.dumps of the document it parses to (parsed before timing); each
// call returns the length of its result, which must not be 0.
constexpr const char* python_json = R"(import json
document = None
def loads(n):
    return len(json.loads(text))
def dumps(indent):
    global document
    if document is None:
        document = json.loads(text)
    if indent < 0:
        return len(json.dumps(document, ensure_ascii=False, separators=(',', ':')))
    return len(json.dumps(document, ensure_ascii=False, indent=indent))
)";

void python_run(benchmark::State& state, const std::string& text, const char* function, int64_t argument) {
  krv_bench_python python(python_json, function);
  python.set_text("text", text);
  if (python.call(argument).value_or(0) == 0) return state.SkipWithError("Python's json failed");
  for (auto _ : state) benchmark::DoNotOptimize(python.call(argument));
}

void python_parse(benchmark::State& state, const std::string& text) {
  python_run(state, text, "loads", 0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
void python_dump(benchmark::State& state, const std::string& text, bool compact) {
  python_run(state, text, "dumps", compact ? -1 : 4);
}
#endif

// Registers every operation on `text` under "operation/`document`/implementation".
void register_document(const std::string& document, const std::string& text) {
  const auto add = [&](const std::string& name, auto body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Unit(benchmark::kMillisecond);
  };
  add("parse/" + document + "/container", [&text](benchmark::State& state) { container_parse(state, text); });
  add("parse/" + document + "/nlohmann", [&text](benchmark::State& state) { nlohmann_parse(state, text); });
  for (const bool compact : {false, true}) {
    const std::string operation = compact ? "compact/" : "pretty/";
    add(operation + document + "/container", [&text, compact](benchmark::State& state) { container_dump(state, text, compact); });
    add(operation + document + "/nlohmann", [&text, compact](benchmark::State& state) { nlohmann_dump(state, text, compact); });
#ifdef KRV_BENCH_PYTHON
    add(operation + document + "/python", [&text, compact](benchmark::State& state) { python_dump(state, text, compact); });
#endif
  }
#ifdef KRV_BENCH_PYTHON
  add("parse/" + document + "/python", [&text](benchmark::State& state) { python_parse(state, text); });
#endif
}

}  // namespace

int main(int argc, char** argv) {
  static const std::string records = records_text();
  static const std::string api = api_text();
  register_document("records", records);
  register_document("api", api);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  krv_ratio_reporter reporter("container");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
