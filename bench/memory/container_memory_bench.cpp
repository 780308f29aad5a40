// Where the memory of a parsed std.json goes: an object of n entries "k<8 digits>":{"v":<8 digits>},
// the text memory_after_drop.krvasm writes, parsed on a VM thread as a script parses it. Counters per
// entry, in bytes: the pool pages each pool added (pages x page size, so a page's unused entries and
// bookkeeping count against its pool), the C heap in use that the parse added (mallinfo2; pool pages
// are malloc'd, so they are part of it), and the rest of that heap split by what holds it, measured on
// the parsed container with malloc_usable_size plus glibc's 8-byte chunk header: key strings, entry
// vectors (the outer vector's spare capacity included) and what is left (`heap_rest`). `rss` is the
// resident set the parse added, what the script's `rss per entry` reports.
//
//   ./build/default/bench/memory/container_memory_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>
#include <unordered_set>

#include "bench_vm.h"
#include "host/resident_memory.h"
#include "runtime/base/value_records.h"
#include "runtime/memory/ref_block_pool.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

constexpr size_t chunk_header = 8;  // glibc's size word before each chunk

// The text the script writes, byte for byte.
std::string object_of_objects_text(int64_t count) {
  std::string text = "{";
  for (int64_t i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += "\"k" + std::to_string(10000000 + i) + "\":{\"v\":" + std::to_string(10000000 + i * 7919 % 90000000) + "}";
  }
  return text + "}";
}

struct memory_snapshot {
  double cells = 0, ref_blocks = 0, json_objects = 0, other_pools = 0;
  double heap = 0, rss = 0;
};

memory_snapshot snapshot(krv_vm_state& state) {
  memory_snapshot taken;
  state.for_each_pool([&]<class T>(krv_pool_of<T>& pool) {
    const double bytes = static_cast<double>(pool.page_count * krv_pool_traits<T>::layout.page_size());
    const void* at = &pool;
    if (at == &state.var_pool) taken.cells += bytes;
    else if (at == &state.ref_block_pool) taken.ref_blocks += bytes;
    else if (at == &state.json_pool) taken.json_objects += bytes;
    else taken.other_pools += bytes;
  });
  const struct mallinfo2 info = mallinfo2();
  taken.heap = static_cast<double>(info.uordblks + info.hblkhd);
  taken.rss = static_cast<double>(krv_host_resident_bytes());
  return taken;
}

double chunk_bytes(const void* block) { return block ? static_cast<double>(malloc_usable_size(const_cast<void*>(block)) + chunk_header) : 0; }

// The heap that a container's keys and entry vectors hold, its nested containers' included; a key text
// shared by several entries counts once.
void add_heap_of(const krv_std_json& container, double& keys, double& vectors, std::unordered_set<const void*>& seen) {
  vectors += chunk_bytes(container.entries.data());
  for (const krv_std_json_entry& entry : container.entries) {
    if (entry.key != nullptr && seen.insert(entry.key).second) keys += chunk_bytes(entry.key);
    if (entry.value->type == KRVVAR_JSON) add_heap_of(*entry.value->object_ptr<krv_std_json>(), keys, vectors, seen);
  }
}

void BM_ParsedObjectOfObjects(benchmark::State& state) {
  const int64_t count = state.range(0);
  const std::string text = object_of_objects_text(count);
  krv_bench_vm bench;
  krv_vm_state& vm = bench.vm.state();
  memory_snapshot before, after;
  double keys = 0, vectors = 0;
  for (auto _ : state) {
    before = snapshot(vm);
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    container->from_string(text, false);
    after = snapshot(vm);
    keys = vectors = 0;
    std::unordered_set<const void*> seen;
    add_heap_of(*container, keys, vectors, seen);
  }
  const double n = static_cast<double>(count);
  const double heap = after.heap - before.heap;
  state.counters["text"] = static_cast<double>(text.size()) / n;
  state.counters["cells"] = (after.cells - before.cells) / n;
  state.counters["ref_blocks"] = (after.ref_blocks - before.ref_blocks) / n;
  state.counters["json_objects"] = (after.json_objects - before.json_objects) / n;
  state.counters["other_pools"] = (after.other_pools - before.other_pools) / n;
  state.counters["heap"] = heap / n;
  state.counters["keys"] = keys / n;
  state.counters["vectors"] = vectors / n;
  const double pools = after.cells + after.ref_blocks + after.json_objects + after.other_pools -
                       (before.cells + before.ref_blocks + before.json_objects + before.other_pools);
  state.counters["heap_rest"] = (heap - pools - keys - vectors) / n;
  state.counters["rss"] = (after.rss - before.rss) / n;
}
BENCHMARK(BM_ParsedObjectOfObjects)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
