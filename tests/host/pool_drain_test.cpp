// Entries released on threads without the VM lock: they travel through the pools' return rings and the
// VM tick's drain puts them back; a full ring makes the releasing thread take the VM lock instead.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/storage/string_object.h"

// Every allocation through operator new is counted per thread, to tell entries kept for reuse from new ones.
thread_local uint64_t allocations_on_this_thread = 0;

void* operator new(size_t size) {
  ++allocations_on_this_thread;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// Out of line, so that the compiler does not see free() meet the pointer of an inlined new.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

class probe : public krvptr_base<probe> {};

// A definition-like object whose block must never come from a VM pool.
class unpooled_probe : public krvptr_base<unpooled_probe> {
 public:
  bool may_use_vm_pool() const noexcept override { return false; }
};

class PoolDrain : public ::testing::Test {
 protected:
  void SetUp() override { vm.attach_current_thread(); }
  void TearDown() override { krv_host_vm::detach_current_thread(); }

  // Runs `work` on a thread of this VM that does not hold its lock.
  template <class Work>
  void on_worker(Work&& work) {
    std::thread([&] {
      vm.attach_current_thread();
      work();
      krv_host_vm::detach_current_thread();
    }).join();
  }
  krv_pool_page cell_page() {
    return krv_pool_page(vm.state().var_pool.pages.at(0), krv_pool_traits<krvvar>::layout);
  }

  krv_host_vm vm{"drain-test"};
  krv_log_collector log{vm.log()};
};

TEST_F(PoolDrain, ACellReleasedOnAnotherThreadComesBackThroughTheRing) {
  krv_pool_of<krvvar>& pool = vm.state().var_pool;
  krvvar_shared value;
  {
    krv_vm_lock guard;
    value = krvvar_shared::make_int(5);
  }
  krvvar* cell = value.get();
  ASSERT_EQ(cell->pool_slot, 0);
  on_worker([&] { value.release(); });

  EXPECT_EQ(cell->type, KRVVAR_NONE);  // released on the worker...
  EXPECT_EQ(pool.ring.tail.load(), 1u);  // ...and waiting in the ring
  EXPECT_EQ(pool.live, 1u);
  EXPECT_TRUE(cell_page().allocated(0));

  EXPECT_EQ(vm.drain_return_rings(), 1u);
  EXPECT_EQ(pool.live, 0u);
  EXPECT_FALSE(cell_page().allocated(0));
  EXPECT_EQ(pool.ring.head.load(), 1u);
  EXPECT_EQ(pool.ring.slots[0].load(), 0u);
  EXPECT_EQ(vm.drain_return_rings(), 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PoolDrain, BlocksAndRecordsComeBackTheSameWay) {
  krv_vm_state& state = vm.state();
  krvvar_shared value;
  krvptr_strong<probe> object;
  {
    krv_vm_lock guard;
    object = krvptr_strong<probe>::from_raw(new probe());
    value = krvvar_shared::make_typed(KRVVAR_CLASS_DEF);
    static_cast<krvvar_class_def_record*>(value->payload.record)->definition =
        krvptr_weak<krvptr_base_internal>(object);
  }
  ASSERT_NE(object.block()->pool_slot, 255);
  on_worker([&] {
    value.release();
    object.release();
  });
  EXPECT_EQ(state.var_pool.ring.tail.load(), 1u);
  EXPECT_EQ(state.class_def_pool.ring.tail.load(), 1u);
  EXPECT_EQ(state.ref_block_pool.ring.tail.load(), 1u);

  EXPECT_EQ(vm.drain_return_rings(), 3u);
  EXPECT_EQ(state.var_pool.live, 0u);
  EXPECT_EQ(state.class_def_pool.live, 0u);
  EXPECT_EQ(state.ref_block_pool.live, 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PoolDrain, AFullRingMakesTheReleasingThreadFreeUnderTheVmLock) {
  krv_pool_of<krvvar>& pool = vm.state().var_pool;
  std::vector<krvvar_shared> values;
  {
    krv_vm_lock guard;
    for (uint32_t i = 0; i <= krv_return_ring_slots; ++i) values.push_back(krvvar_shared::make_int(i));
  }
  krvvar* last = values.back().get();
  on_worker([&] { values.clear(); });  // releases in order: the last one finds the ring full

  EXPECT_EQ(pool.ring.tail.load() - pool.ring.head.load(), krv_return_ring_slots);
  EXPECT_EQ(pool.live, krv_return_ring_slots);  // only the last went straight to its page
  const krv_pool_page page(pool.pages.back(), krv_pool_traits<krvvar>::layout);
  EXPECT_FALSE(page.allocated(last->pool_slot));
  EXPECT_EQ(vm.state().lock_owner.load(), 0u);

  EXPECT_EQ(vm.drain_return_rings(), krv_return_ring_slots);
  EXPECT_EQ(pool.live, 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PoolDrain, ACellReleasedOnTheLockOwnerGoesStraightToItsPage) {
  krv_vm_lock guard;
  krvvar_shared::make_float(1.0).release();
  EXPECT_EQ(vm.state().var_pool.ring.tail.load(), 0u);
  EXPECT_EQ(vm.state().var_pool.live, 0u);
}

TEST_F(PoolDrain, BlocksComeFromThePoolOnlyForTheLockOwnerOutsideNativeCallsAndWhenTheObjectAllows) {
  const uint8_t unlocked = krvptr_strong<probe>::from_raw(new probe()).block()->pool_slot;
  uint8_t pooled = 0, in_native_call = 0, refused = 0;
  {
    krv_vm_lock guard;
    auto kept = krvptr_strong<probe>::from_raw(new probe());
    pooled = kept.block()->pool_slot;
    {
      krv_native_call_scope scope;
      in_native_call = krvptr_strong<probe>::from_raw(new probe()).block()->pool_slot;
    }
    refused = krvptr_strong<unpooled_probe>::from_raw(new unpooled_probe()).block()->pool_slot;
    EXPECT_EQ(vm.state().ref_block_pool.live, 1u);
  }
  EXPECT_EQ(unlocked, 255);
  EXPECT_EQ(pooled, 0);
  EXPECT_EQ(in_native_call, 255);
  EXPECT_EQ(refused, 255);
  EXPECT_EQ(vm.state().ref_block_pool.live, 0u);
}

// A string value is three entries: its cell, its std.string and the string's block. Where they come from
// follows the thread that makes the value; where they go back follows the thread that drops it, and a
// weak handle keeps the block (dead) after the string is gone.
TEST_F(PoolDrain, AStringValuesThreeEntriesComeAndGoTogether) {
  enum maker { lock_owner, native_call, worker };
  const struct {
    maker made_by;
    bool dropped_on_worker;
    bool weak_kept;
    std::string text;
  } cases[] = {
      {lock_owner, false, false, "1234"},
      {lock_owner, true, false, std::string("with a zero\0 byte, past the inline size", 40)},
      {lock_owner, false, true, "weak"},
      {lock_owner, true, true, std::string(2000, 'x')},
      {native_call, false, false, "heap"},
      {worker, false, false, "heap from a worker"},
      {worker, true, true, "heap, weak"},
  };
  krv_vm_state& state = vm.state();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    krvvar_shared value;
    krvptr_weak<krv_std_string> weak;
    if (c.made_by == worker) {
      on_worker([&] { value = krvvar_shared::make_string(c.text); });
    } else {
      krv_vm_lock guard;
      std::optional<krv_native_call_scope> scope;
      if (c.made_by == native_call) scope.emplace();
      value = krvvar_shared::make_string(c.text);
    }
    auto* string = value->object_ptr<krv_std_string>();
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(string->text, c.text);
    const bool pooled = c.made_by == lock_owner;
    const uint8_t heap = krv_pool_heap_slot;
    EXPECT_EQ(value->pool_slot != heap, pooled);
    EXPECT_EQ(string->pool_slot != heap, pooled);
    EXPECT_EQ(value->payload.block->pool_slot != heap, pooled);
    EXPECT_EQ(value->payload.block->strong, 1u);
    const uint64_t in_use = pooled ? 1 : 0;
    EXPECT_EQ(state.var_pool.live + state.string_pool.live + state.ref_block_pool.live, 3 * in_use);
    if (c.weak_kept) weak = krvptr_weak<krv_std_string>::from_raw(string);

    if (c.dropped_on_worker) {
      on_worker([&] { value.release(); });
      const uint64_t rings = state.var_pool.ring.tail.load() - state.var_pool.ring.head.load() +
                             state.string_pool.ring.tail.load() - state.string_pool.ring.head.load() +
                             state.ref_block_pool.ring.tail.load() - state.ref_block_pool.ring.head.load();
      EXPECT_EQ(rings, pooled ? (c.weak_kept ? 2u : 3u) : 0u);
      vm.drain_return_rings();
    } else {
      krv_vm_lock guard;
      value.release();
    }
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(weak.lock());
    EXPECT_EQ(state.var_pool.live + state.string_pool.live, 0u);
    EXPECT_EQ(state.ref_block_pool.live, c.weak_kept ? in_use : 0u);
    {
      krv_vm_lock guard;
      weak = {};
    }
    EXPECT_EQ(state.ref_block_pool.live, 0u);
  }
  EXPECT_TRUE(log.lines().empty());
}

// A worker's values are heap entries; once dropped (here on another worker, which then exits) they serve
// the next worker's values: no cell, string or block is allocated anew.
TEST_F(PoolDrain, HeapEntriesDroppedOnOneThreadServeTheNextWorker) {
  std::vector<krvvar_shared> values;
  values.reserve(300);
  const auto make_values = [&values] {
    const uint64_t before = allocations_on_this_thread;
    for (int i = 0; i < 300; ++i) values.push_back(krvvar_shared::make_string(std::to_string(i)));
    return allocations_on_this_thread - before;
  };
  on_worker([&] { make_values(); });
  on_worker([&] { values.clear(); });
  on_worker([&] {
    EXPECT_EQ(make_values(), 0u);
    EXPECT_EQ(values[7]->object_ptr<krv_std_string>()->text, "7");
    values.clear();
  });
}

TEST(PoolDrainOnShutdown, EntriesStillInTransitAreReleasedWhenTheVmGoes) {
  // A function record keeps its scope handle (a root task) until the record reaches its page.
  auto root_block = krvptr_strong<krv_program_block>::from_raw(new krv_program_block());
  root_block->kind = KRV_BLOCK_TASK;
  krvptr_strong<krv_task> object = krv_task_create(root_block, nullptr);
  {
    krv_host_vm vm{"shutdown-test"};
    vm.attach_current_thread();
    krvvar_shared value;
    {
      krv_vm_lock guard;
      value = krvvar_shared::make_typed(KRVVAR_FUNCTION);
      static_cast<krvvar_function_record*>(value->payload.record)->scope = krvptr_weak<krv_task>(object);
    }
    std::thread([&] {
      vm.attach_current_thread();
      value.release();  // the record keeps its scope handle until it reaches its page
      krv_host_vm::detach_current_thread();
    }).join();
    EXPECT_EQ(object.block()->weak, 1u);
    EXPECT_EQ(vm.state().function_pool.ring.tail.load(), 1u);
  }
  EXPECT_EQ(object.block()->weak, 0u);
  EXPECT_EQ(krv_get_thread_local().vm, nullptr);
}

}  // namespace
