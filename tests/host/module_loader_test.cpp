// Our host's loader: descriptor check and running every populating function once, under the VM lock.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/host_vm.h"
#include "host/module_loader.h"
#include "module/namespace_registry.h"
#include "module/vm_lock.h"

namespace {

int populate_calls = 0;
bool populated_under_lock = false;
krv_namespace_static_registrar test_namespace("host_test", [](krv_namespace& ns) {
  ++populate_calls;
  populated_under_lock = krv_get_thread_local().owns_vm_lock();
  EXPECT_EQ(ns.name, "host_test");
});

TEST(HostModule, RunsEveryPopulatingFunctionOnceUnderTheVmLock) {
  krv_host_vm vm("loader");
  krv_host_module module(krv_linked_module());
  module.populate_namespaces(vm);
  module.populate_namespaces(vm);
  EXPECT_EQ(populate_calls, 1);
  EXPECT_TRUE(populated_under_lock);
  EXPECT_EQ(module.namespaces().count("host_test"), 1u);
  EXPECT_EQ(vm.state().lock_owner.load(), 0u);
  krv_host_vm::detach_current_thread();
}

const krv_module_descriptor* wrong_descriptor() {
  static const krv_module_descriptor d{3001, 1, 2, "MODULE_INTERNAL"};
  return &d;
}

TEST(HostModule, RefusesAModuleWithAnotherDescriptor) {
  EXPECT_TRUE(krv_descriptor_matches(*korvaglue_check()));
  EXPECT_FALSE(krv_descriptor_matches(*wrong_descriptor()));
  EXPECT_THROW(krv_host_module({&wrong_descriptor, &korvaglue_entry}), std::runtime_error);
}

}  // namespace
