// The module as a host sees it: opened with dlopen, reached only through its two exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "module/global_instance.h"
#include "module/module_descriptor.h"

namespace {

using check_fn = const krv_module_descriptor* (*)();
using entry_fn = krv_global_instance* (*)();

class ModuleAbi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle = dlopen(KRV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
  }
  static void* handle;
};
void* ModuleAbi::handle = nullptr;

TEST_F(ModuleAbi, ExportsExactlyTheTwoEntryPoints) {
  std::string command = "nm -D --defined-only " + std::string(KRV_MODULE_PATH);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get())) {
    char type = 0;
    char name[400] = {};
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2) symbols += std::string(name) + "\n";
  }
  EXPECT_EQ(symbols, "korvaglue_check\nkorvaglue_entry\n");
}

TEST_F(ModuleAbi, DescriptorReadsAsTheHostExpects) {
  auto check = reinterpret_cast<check_fn>(dlsym(handle, "korvaglue_check"));
  ASSERT_NE(check, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(check());
  uint64_t numbers[3];
  std::memcpy(numbers, bytes, sizeof numbers);
  EXPECT_EQ(numbers[0], 3001u);
  EXPECT_EQ(numbers[1], 1u);
  EXPECT_EQ(numbers[2], 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 24), "MODULE_INTERNAL");
  for (size_t i = 24 + 15; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << "offset " << i;
}

TEST_F(ModuleAbi, GlobalInstanceIsOneAndHoldsTheRegistry) {
  auto entry = reinterpret_cast<entry_fn>(dlsym(handle, "korvaglue_entry"));
  ASSERT_NE(entry, nullptr);
  krv_global_instance* instance = entry();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(entry(), instance);
  EXPECT_TRUE(instance->thread_local_hook);
  ASSERT_TRUE(instance->class_factories);
  ASSERT_TRUE(instance->class_metadata);

  // Namespace name -> number of populating functions the module registers while it loads. Grows as
  // classes and functions join the module.
  const std::map<std::string, size_t> expected_registry = {{"ipc", 1}, {"json", 1}, {"std", 5}};
  std::map<std::string, size_t> registry;
  for (const auto& [name, initializers] : instance->namespace_initializers) {
    registry[std::string(name)] = initializers.size();
  }
  EXPECT_EQ(registry, expected_registry);
}

}  // namespace
