// Costs of the runtime's foundations, each beside a standard-library reference in the same run:
//   - a nested VM guard on the owner thread vs an uncontended std::recursive_mutex lock + unlock
//   - a log line whose level is off (must allocate nothing)
//   - a strong handle copy + release vs std::shared_ptr copy + release
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <thread>

#include "allocation_counter.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/objects/log.h"

namespace {

void BM_NestedVmLockOnOwner(benchmark::State& state) {
  krv_host_vm vm("bench");
  vm.attach_current_thread();
  krv_vm_lock outer;
  for (auto _ : state) {
    krv_vm_lock nested;
    benchmark::ClobberMemory();
  }
  krv_host_vm::detach_current_thread();
}
BENCHMARK(BM_NestedVmLockOnOwner);

void BM_RecursiveMutexUncontended(benchmark::State& state) {
  std::recursive_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_RecursiveMutexUncontended);

void BM_DisabledLogLine(benchmark::State& state) {
  const size_t before = krv_thread_allocations();
  for (auto _ : state) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "Task ", &state, " scheduled (eta: ", uint64_t{42}, ").");
  }
  state.counters["allocations"] = static_cast<double>(krv_thread_allocations() - before);
}
BENCHMARK(BM_DisabledLogLine);

class payload : public krvptr_base<payload> {};

void BM_StrongHandleCopyRelease(benchmark::State& state) {
  auto handle = krvptr_strong<payload>::from_raw(new payload());
  for (auto _ : state) {
    krvptr_strong<payload> copy = handle;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_StrongHandleCopyRelease);

void BM_SharedPtrCopyRelease(benchmark::State& state) {
  auto handle = std::make_shared<int>(0);
  for (auto _ : state) {
    std::shared_ptr<int> copy = handle;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_SharedPtrCopyRelease);

}  // namespace

// libstdc++ counts std::shared_ptr references with plain integers until the process starts its first
// thread. A VM always runs beside other threads (krvhost's VM thread is not the main one, and workers
// run), so one thread is started and joined first: the reference then pays for atomic counts, as it
// would in the module.
int main(int argc, char** argv) {
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
