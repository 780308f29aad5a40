// The scoped VM lock: taken once however deeply guards nest, given up and taken back by krv_vm_unlock,
// and a no-op on threads without a VM.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/host_vm.h"
#include "module/vm_lock.h"

namespace {

// Whether another thread could take the VM's mutex right now.
bool free_for_other_threads(krv_vm_state& vm) {
  bool taken = false;
  std::thread([&] {
    taken = vm.lock.try_lock();
    if (taken) vm.lock.unlock();
  }).join();
  return taken;
}

class VmLock : public ::testing::Test {
 protected:
  void SetUp() override { vm.attach_current_thread(); }
  void TearDown() override { krv_host_vm::detach_current_thread(); }
  krv_host_vm vm{"lock-test"};
  krv_thread_local& record = krv_get_thread_local();
};

TEST_F(VmLock, NestedGuardsTakeTheMutexOnceAndOnlyTheOutermostReleasesIt) {
  {
    krv_vm_lock outer;
    EXPECT_EQ(vm.state().lock_owner.load(), record.thread_id);
    EXPECT_TRUE(record.owns_vm_lock());
    {
      krv_vm_lock inner;
      krv_vm_lock innermost(vm.state());
      EXPECT_EQ(record.vm_lock_depth, 1u);
    }
    EXPECT_EQ(vm.state().lock_owner.load(), record.thread_id);
    EXPECT_FALSE(free_for_other_threads(vm.state()));
  }
  EXPECT_EQ(vm.state().lock_owner.load(), 0u);
  EXPECT_EQ(record.vm_lock_depth, 0u);
  // Held exactly once: a single unlock by the outer guard left it free.
  EXPECT_TRUE(free_for_other_threads(vm.state()));
}

TEST_F(VmLock, AnotherThreadWaitsUntilTheOuterGuardEnds) {
  std::atomic<bool> other_entered{false};
  std::thread other;
  {
    krv_vm_lock outer;
    other = std::thread([&] {
      vm.attach_current_thread();
      krv_vm_lock guard;
      other_entered = true;
      EXPECT_EQ(vm.state().lock_owner.load(), krv_get_thread_local().thread_id);
    });
    { krv_vm_lock inner; }
    EXPECT_FALSE(other_entered.load());
    EXPECT_FALSE(free_for_other_threads(vm.state()));
  }
  other.join();
  EXPECT_TRUE(other_entered.load());
}

TEST_F(VmLock, UnlockLetsAnotherThreadInAndTakesTheLockBack) {
  krv_vm_lock outer;
  bool other_owned = false;
  {
    krv_vm_unlock released;
    EXPECT_EQ(vm.state().lock_owner.load(), 0u);
    std::thread([&] {
      vm.attach_current_thread();
      krv_vm_lock guard;
      other_owned = krv_get_thread_local().owns_vm_lock();
    }).join();
  }
  EXPECT_TRUE(other_owned);
  EXPECT_EQ(vm.state().lock_owner.load(), record.thread_id);
  EXPECT_FALSE(free_for_other_threads(vm.state()));
  EXPECT_EQ(record.vm_lock_depth, 1u);
}

TEST_F(VmLock, UnlockOnAThreadThatDoesNotOwnTheLockDoesNothing) {
  {
    krv_vm_unlock nothing_to_release;
    EXPECT_EQ(vm.state().lock_owner.load(), 0u);
  }
  EXPECT_EQ(vm.state().lock_owner.load(), 0u);
  EXPECT_TRUE(free_for_other_threads(vm.state()));
}

TEST(VmLockWithoutVm, LocksNothingAndKeepsTheDepthBalanced) {
  krv_host_vm vm("unattached");
  krv_host_vm::detach_current_thread();
  krv_thread_local& record = krv_get_thread_local();
  for (int i = 0; i < 3; ++i) {
    krv_vm_lock guard;
    krv_vm_unlock release;
    EXPECT_EQ(record.vm_lock_depth, 0u);
  }
  EXPECT_EQ(record.vm_lock_depth, 0u);
  EXPECT_EQ(vm.state().lock_owner.load(), 0u);
  EXPECT_FALSE(record.may_use_vm_pools());
}

TEST_F(VmLock, PoolsServeOnlyTheOwnerOutsideNativeCalls) {
  EXPECT_FALSE(record.may_use_vm_pools());
  krv_vm_lock guard;
  EXPECT_TRUE(record.may_use_vm_pools());
  {
    krv_native_call_scope native;
    EXPECT_FALSE(record.may_use_vm_pools());
  }
  EXPECT_TRUE(record.may_use_vm_pools());
}

}  // namespace
