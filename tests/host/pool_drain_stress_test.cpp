// Four threads release pooled cells while the VM thread keeps draining: every entry must come back to
// its page exactly once (no double free, nothing lost), whether it went through the ring or, with the
// ring full, through the VM lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar_shared.h"

namespace {

TEST(PoolDrainStress, EveryEntryComesBackExactlyOnce) {
  constexpr int producers = 4;
  constexpr int per_producer = 40000;  // together well beyond one ring
  krv_host_vm vm{"drain-stress"};
  vm.attach_current_thread();
  krv_log_collector log{vm.log()};
  krv_pool_of<krvvar>& pool = vm.state().var_pool;

  std::vector<std::vector<krvvar_shared>> shares(producers);
  {
    krv_vm_lock guard;
    for (auto& share : shares)
      for (int i = 0; i < per_producer; ++i) share.push_back(krvvar_shared::make_int(i));
  }
  ASSERT_EQ(pool.live, uint64_t{producers} * per_producer);

  std::atomic<int> running{producers};
  std::vector<std::thread> threads;
  for (auto& share : shares)
    threads.emplace_back([&vm, &running, &share] {
      vm.attach_current_thread();
      for (krvvar_shared& value : share) value.release();
      krv_host_vm::detach_current_thread();
      running.fetch_sub(1);
    });
  size_t drained = 0;
  while (running.load() > 0) drained += vm.drain_return_rings();
  for (std::thread& t : threads) t.join();
  drained += vm.drain_return_rings();

  EXPECT_GT(drained, 0u);
  EXPECT_EQ(pool.live, 0u);
  EXPECT_TRUE(log.lines().empty());  // no double free, no unknown entry
  // Each page holds every index exactly once on its free stack, with no bit left set.
  for (uint8_t* base : pool.pages) {
    const krv_pool_page page(base, krv_pool_traits<krvvar>::layout);
    ASSERT_EQ(page.free_count(), 255);
    std::vector<int> seen(255, 0);
    for (uint32_t i = 0; i < 255; ++i) {
      ASSERT_FALSE(page.allocated(i));
      ++seen.at(page.stack_at(i));
    }
    for (int count : seen) ASSERT_EQ(count, 1);
  }
  krv_host_vm::detach_current_thread();
}

}  // namespace
