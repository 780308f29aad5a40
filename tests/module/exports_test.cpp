// The module's face towards the host: the descriptor bytes and the one global instance.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <thread>

#include "module/global_instance.h"
#include "module/module_descriptor.h"
#include "module/thread_record.h"

namespace {

TEST(ModuleDescriptor, HoldsTheSixtyFourBytesTheHostCompares) {
  std::array<unsigned char, 64> expected{};
  expected[0] = 0xB9;  // 3001 = 0x0BB9, little-endian
  expected[1] = 0x0B;
  expected[8] = 1;
  expected[16] = 1;
  std::memcpy(&expected[24], "MODULE_INTERNAL", 15);

  const krv_module_descriptor* descriptor = korvaglue_check();
  ASSERT_NE(descriptor, nullptr);
  EXPECT_EQ(std::memcmp(descriptor, expected.data(), expected.size()), 0);
  EXPECT_EQ(korvaglue_check(), descriptor);
}

TEST(GlobalInstance, IsOneInstanceWhoeverAsksFirst) {
  krv_global_instance* first = korvaglue_entry();
  krv_global_instance* from_other_thread = nullptr;
  std::thread([&] { from_other_thread = korvaglue_entry(); }).join();

  EXPECT_EQ(first, &krv_global());
  EXPECT_EQ(first, korvaglue_entry());
  EXPECT_EQ(first, from_other_thread);
  EXPECT_TRUE(first->class_factories != nullptr);
  EXPECT_TRUE(first->class_metadata != nullptr);
  EXPECT_TRUE(first->host_table.empty());
  EXPECT_TRUE(first->host_pointers.empty());
}

TEST(ThreadRecord, IsPerThreadAndStartsEmpty) {
  krv_thread_local& mine = krv_get_thread_local();
  EXPECT_EQ(&mine, &krv_get_thread_local());
  EXPECT_NE(mine.thread_id, 0u);

  krv_thread_local* theirs = nullptr;
  uint32_t their_id = 0;
  bool starts_empty = false;
  std::thread([&] {
    theirs = &krv_get_thread_local();
    their_id = theirs->thread_id;
    starts_empty = theirs->vm == nullptr && !theirs->log && theirs->current_task == nullptr &&
                   theirs->running_name.empty() && theirs->vm_lock_depth == 0 && theirs->native_call_depth == 0;
  }).join();
  EXPECT_NE(theirs, &mine);
  EXPECT_NE(their_id, mine.thread_id);
  EXPECT_TRUE(starts_empty);
}

TEST(ThreadRecord, HostMayReplaceTheHook) {
  krv_thread_local& mine = krv_get_thread_local();
  krv_thread_local replacement(12345);
  auto saved = krv_global().thread_local_hook;
  krv_global().thread_local_hook = [&]() -> krv_thread_local& { return replacement; };
  EXPECT_EQ(&krv_get_thread_local(), &replacement);
  krv_global().thread_local_hook = saved;
  EXPECT_EQ(&krv_get_thread_local(), &mine);
}

TEST(ThreadRecord, OnlyTheModulesOwnHookIsReadWithoutCallingIt) {
  const krv_thread_local_hook_fn copy = krv_global().thread_local_hook;
  EXPECT_TRUE(krv_default_hook.matches(krv_global().thread_local_hook));
  EXPECT_TRUE(krv_default_hook.matches(copy));
  EXPECT_TRUE(krv_default_hook.matches(krv_default_thread_local_hook()));

  // Hooks that behave like the default but are not it must still be called.
  const krv_thread_local_hook_fn wrapper = [] () -> krv_thread_local& { return krv_default_thread_local_provider{}(); };
  EXPECT_FALSE(krv_default_hook.matches(wrapper));
  EXPECT_FALSE(krv_default_hook.matches(krv_thread_local_hook_fn{}));
}

TEST(ThreadRecord, AnEmptyHookThrowsBadFunctionCall) {
  auto saved = krv_global().thread_local_hook;
  krv_global().thread_local_hook = nullptr;
  EXPECT_THROW(krv_get_thread_local(), std::bad_function_call);
  krv_global().thread_local_hook = saved;
}

TEST(NativeCallScope, RestoresTheDepthAlsoWhenAnExceptionLeaves) {
  krv_thread_local& record = krv_get_thread_local();
  const uint32_t before = record.native_call_depth;
  try {
    krv_native_call_scope outer;
    krv_native_call_scope inner;
    EXPECT_EQ(record.native_call_depth, before + 2);
    throw std::runtime_error("leave");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(record.native_call_depth, before);
}

}  // namespace
