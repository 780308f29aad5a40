// Costs of member lookup and string assignment, each beside a standard-library reference in the same run:
//   - a class's name map lookup (hit and miss) vs std::unordered_map<std::string, int>::find, like with like;
//     and the same lookup as the interpreter makes it, through the object's virtual member_index
//   - krvvar::set of a 1 KiB string value vs std::string assignment
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>

#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/objects/class_template.h"
#include "runtime/storage/string_object.h"

namespace {

// Sixteen method names of the kind script classes carry.
constexpr const char* member_names[] = {"size",  "clear", "resize", "fill",   "push",    "append", "string", "read",
                                        "write", "find",  "split",  "strip",  "replace", "lower",  "upper",  "join"};
constexpr const char* hit_name = "replace";
constexpr const char* miss_name = "replace_all";

class bench_class : public krvobject<bench_class, CLASS_STRING<"bench.class">> {
 public:
  static void script_register() {
    for (const char* name : member_names)
      add_function(name, [](bench_class*, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared(); }, 0,
                   0, "");
  }
};

void member_index_lookup(benchmark::State& state, const char* name) {
  bench_class::script_register_internal();
  krvptr_strong<krvobject_base> object = krvptr_strong<krvobject_base>::from_raw(new bench_class());
  krvobject_base* base = object.get();
  const std::string_view key = name;
  for (auto _ : state) {
    benchmark::DoNotOptimize(base->member_index(key));
  }
}

// The map alone, as the class keeps it (the class's statics, so the same table as member_index uses).
void name_map_lookup(benchmark::State& state, const char* name) {
  bench_class::script_register_internal();
  const krv_member_name_map& names = bench_class::statics().names;
  const std::string_view key = name;
  for (auto _ : state) {
    benchmark::DoNotOptimize(names.find(key));
  }
}

void unordered_map_lookup(benchmark::State& state, const char* name) {
  std::unordered_map<std::string, int> map;
  for (const char* member : member_names) map.emplace(member, static_cast<int>(map.size()));
  const std::string key = name;
  for (auto _ : state) {
    auto found = map.find(key);
    benchmark::DoNotOptimize(found == map.end() ? -1 : found->second);
  }
}

void BM_NameMapHit(benchmark::State& state) { name_map_lookup(state, hit_name); }
void BM_NameMapMiss(benchmark::State& state) { name_map_lookup(state, miss_name); }
void BM_MemberIndexHit(benchmark::State& state) { member_index_lookup(state, hit_name); }
void BM_MemberIndexMiss(benchmark::State& state) { member_index_lookup(state, miss_name); }
void BM_UnorderedMapHit(benchmark::State& state) { unordered_map_lookup(state, hit_name); }
void BM_UnorderedMapMiss(benchmark::State& state) { unordered_map_lookup(state, miss_name); }
BENCHMARK(BM_NameMapHit);
BENCHMARK(BM_UnorderedMapHit);
BENCHMARK(BM_MemberIndexHit);
BENCHMARK(BM_NameMapMiss);
BENCHMARK(BM_UnorderedMapMiss);
BENCHMARK(BM_MemberIndexMiss);

const std::string kibibyte(1024, 'k');

// On the VM thread with the lock held, as the interpreter assigns.
void BM_SetStringValue1KiB(benchmark::State& state) {
  krv_host_vm vm("bench");
  vm.attach_current_thread();
  {
    krv_vm_lock guard;
    krvvar_shared source = krvvar_shared::make_string(kibibyte);
    krvvar_shared destination = krvvar_shared::make_none();
    for (auto _ : state) {
      destination->set(source);
      benchmark::ClobberMemory();
    }
  }
  krv_host_vm::detach_current_thread();
}
BENCHMARK(BM_SetStringValue1KiB);

void BM_StdStringAssign1KiB(benchmark::State& state) {
  std::string destination;
  for (auto _ : state) {
    destination = kibibyte;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdStringAssign1KiB);

}  // namespace

BENCHMARK_MAIN();
