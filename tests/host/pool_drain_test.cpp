// Entries released on threads without the VM lock: they travel through the pools' return rings and the
// VM tick's drain puts them back; a full ring makes the releasing thread take the VM lock instead.
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "host_vm.h"
#include "log_collector.h"
#include "module/vm_lock.h"
#include "runtime/values/krvvar_shared.h"
#include "runtime/values/value_records.h"

namespace {

class probe : public krvptr_base<probe> {};

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

}  // namespace
