// Objects on the VM update list: registration order, removal closing gaps, the changed flag, and the
// host's update pass.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "runtime/objects/update_hook.h"

namespace {

class counting_hook : public krvobject_update_pre {
 public:
  void update_pre() override { ++updates; }
  int updates = 0;
};

class UpdateList : public ::testing::Test {
 protected:
  void SetUp() override { vm.attach_current_thread(); }
  void TearDown() override { krv_host_vm::detach_current_thread(); }
  std::vector<krvobject_update_pre*>& list() { return vm.state().update_list; }
  krv_host_vm vm{"update-test"};
};

TEST_F(UpdateList, KeepsOrderOnRemovalAndMarksEveryChange) {
  auto first = std::make_unique<counting_hook>();
  vm.state().update_list_changed = 0;
  auto second = std::make_unique<counting_hook>();
  EXPECT_EQ(vm.state().update_list_changed, 1);
  auto third = std::make_unique<counting_hook>();
  EXPECT_EQ(list(), (std::vector<krvobject_update_pre*>{first.get(), second.get(), third.get()}));

  vm.state().update_list_changed = 0;
  second.reset();
  EXPECT_EQ(vm.state().update_list_changed, 1);
  EXPECT_EQ(list(), (std::vector<krvobject_update_pre*>{first.get(), third.get()}));

  first.reset();
  EXPECT_EQ(list(), (std::vector<krvobject_update_pre*>{third.get()}));
}

TEST_F(UpdateList, RemovingAnEntryThatIsGoneStillMarksTheChange) {
  auto object = std::make_unique<counting_hook>();
  list().clear();
  vm.state().update_list_changed = 0;
  object.reset();
  EXPECT_EQ(vm.state().update_list_changed, 1);
  EXPECT_TRUE(list().empty());
}

TEST_F(UpdateList, DestructionOnAnotherThreadEditsTheObjectsOwnVm) {
  auto object = std::make_unique<counting_hook>();
  krv_host_vm other_vm("other");
  std::thread([&] {
    other_vm.attach_current_thread();
    object.reset();
  }).join();
  EXPECT_TRUE(list().empty());
  EXPECT_TRUE(other_vm.state().update_list.empty());
}

TEST(UpdateListWithoutVm, CreationIsRefusedWithAClearError) {
  krv_host_vm::detach_current_thread();
  try {
    counting_hook refused;
    FAIL() << "created without a VM";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "an object with a VM update hook needs a thread attached to a VM");
  }
}

TEST_F(UpdateList, TheUpdatePassCallsEveryHookOnce) {
  counting_hook a, b;
  vm.run_update_pass();
  vm.run_update_pass();
  EXPECT_EQ(a.updates, 2);
  EXPECT_EQ(b.updates, 2);
}

// A hook that destroys a later object and creates a new one during the pass.
class meddling_hook : public krvobject_update_pre {
 public:
  void update_pre() override {
    if (!added) added = std::make_unique<counting_hook>();
    victim.reset();
  }
  std::unique_ptr<counting_hook> victim;
  std::unique_ptr<counting_hook> added;
};

TEST_F(UpdateList, AHookMayChangeTheListDuringThePass) {
  counting_hook before;
  meddling_hook meddler;
  meddler.victim = std::make_unique<counting_hook>();
  counting_hook after;
  vm.run_update_pass();
  EXPECT_EQ(before.updates, 1);
  EXPECT_EQ(after.updates, 1);
  EXPECT_EQ(meddler.added->updates, 0);  // joined during the pass: next pass
  vm.run_update_pass();
  EXPECT_EQ(meddler.added->updates, 1);
}

TEST_F(UpdateList, TheDefaultHookLogsThatItIsMissing) {
  krv_log_collector collector(vm.log());
  krvobject_update_pre plain;
  vm.run_update_pass();
  EXPECT_EQ(collector.lines(), (std::vector<krv_logged_line>{{KRV_LOG_ERROR, "update_pre: not implemented."}}));
}

}  // namespace
