// Value cells and pools against the heap, in one binary:
// - make_int + release on the VM-lock holder (pooled cells) against new/delete of 16 bytes, with the heap
//   allocations the cell path makes per iteration (expected: none in steady state), and the cell pool's
//   allocate + free alone;
// - cells released by 4 producer threads while the VM thread drains the return ring, against heap cells
//   made on one thread and deleted on the 4 producers.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar_shared.h"

namespace {

// Heap allocations made by the calling thread; counted by the replaced operator new below. A thread-local
// add keeps the reference's cost as it is.
thread_local uint64_t heap_allocations = 0;

void BM_NewDelete16(benchmark::State& state) {
  for (auto _ : state) {
    auto* block = new std::array<uint64_t, 2>{};
    benchmark::DoNotOptimize(block);
    delete block;
  }
}
BENCHMARK(BM_NewDelete16);

void BM_MakeIntRelease(benchmark::State& state) {
  krv_host_vm vm{"bench"};
  vm.attach_current_thread();
  {
    krv_vm_lock guard;
    krvvar_shared::make_int(0).release();  // the first page; steady state from here
    const uint64_t before = heap_allocations;
    int64_t i = 0;
    for (auto _ : state) {
      krvvar_shared value = krvvar_shared::make_int(++i);
      benchmark::DoNotOptimize(value.get());
    }
    state.counters["heap_allocs_per_iter"] =
        benchmark::Counter(static_cast<double>(heap_allocations - before) / static_cast<double>(state.iterations()));
  }
  krv_host_vm::detach_current_thread();
}
BENCHMARK(BM_MakeIntRelease);

// The pool alone, without the thread-record lookups of create and destroy: the floor of the cell path.
void BM_CellPoolAllocateFree(benchmark::State& state) {
  krv_pool_of<krvvar> pool;
  pool.free(pool.allocate());
  for (auto _ : state) {
    krvvar* cell = pool.allocate();
    benchmark::DoNotOptimize(cell);
    pool.free(cell);
  }
}
BENCHMARK(BM_CellPoolAllocateFree);

// Cells made on the VM thread, released by `producers` threads; with `pooled` the VM thread holds the lock
// while making them (pool cells) and drains the rings while the producers run, else they are heap cells.
void cross_thread_release(benchmark::State& state, bool pooled) {
  constexpr int producers = 4;
  constexpr int per_producer = 16384;
  krv_host_vm vm{"bench"};
  vm.attach_current_thread();
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::vector<krvvar_shared>> shares(producers);
    {
      std::optional<krv_vm_lock> guard;
      if (pooled) guard.emplace();
      for (auto& share : shares)
        for (int i = 0; i < per_producer; ++i) share.push_back(krvvar_shared::make_int(i));
    }
    state.ResumeTiming();
    std::atomic<int> running{producers};
    std::vector<std::thread> threads;
    for (auto& share : shares)
      threads.emplace_back([&vm, &running, &share] {
        vm.attach_current_thread();
        for (krvvar_shared& value : share) value.release();
        running.fetch_sub(1);
      });
    if (pooled)
      while (running.load() > 0) vm.drain_return_rings();
    for (std::thread& t : threads) t.join();
    if (pooled) vm.drain_return_rings();
  }
  state.SetItemsProcessed(state.iterations() * producers * per_producer);
  krv_host_vm::detach_current_thread();
}

void BM_CrossThreadRelease_PooledWithDrain(benchmark::State& state) { cross_thread_release(state, true); }
void BM_CrossThreadRelease_Heap(benchmark::State& state) { cross_thread_release(state, false); }
BENCHMARK(BM_CrossThreadRelease_PooledWithDrain)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CrossThreadRelease_Heap)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

// Counting replacements of the global allocation functions. GCC cannot see that operator new and
// operator delete are replaced together and warns about malloc/free pairing across them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++heap_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

BENCHMARK_MAIN();
