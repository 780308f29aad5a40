#include "kernel/runtime/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(KernelSettings, JitPolicyFromEnvironmentText) {
  struct row {
    const char* value;
    uint32_t mode;
  };
  const row rows[] = {
      {nullptr, KRVK_JIT_AUTO}, {"", KRVK_JIT_AUTO},     {"sync", KRVK_JIT_SYNC}, {"off", KRVK_JIT_OFF},
      {"SYNC", KRVK_JIT_AUTO},  {"sync ", KRVK_JIT_AUTO}, {" off", KRVK_JIT_AUTO}, {"Off", KRVK_JIT_AUTO},
      {"auto", KRVK_JIT_AUTO},  {"1", KRVK_JIT_AUTO},
  };
  for (const row& r : rows) EXPECT_EQ(krvk_jit_mode_from_env(r.value), r.mode) << (r.value ? r.value : "(unset)");
}

TEST(KernelSettings, InitialValuesOfAFreshProcess) {
  EXPECT_EQ(krvk_kernel_mode.load(), KRVK_MODE_AUTO);
  EXPECT_EQ(krvk_kernel_threads.load(), 0u);
  // The policy was read from the environment this process started with.
  EXPECT_EQ(krvk_jit_mode.load(), krvk_jit_mode_from_env(std::getenv("KRV_KERNEL_JIT")));
}

TEST(KernelSettings, ReadingTheVariableIsOnlyAtLoad) {
  const uint32_t before = krvk_jit_mode.load();
  ASSERT_EQ(setenv("KRV_KERNEL_JIT", before == KRVK_JIT_OFF ? "sync" : "off", 1), 0);
  EXPECT_EQ(krvk_jit_mode.load(), before);
  EXPECT_NE(init_kernel_jit_mode(), before) << "a fresh read would see the new value";
}

TEST(KernelSettings, WordTables) {
  EXPECT_STREQ(krvk_jit_mode_words[KRVK_JIT_AUTO], "auto");
  EXPECT_STREQ(krvk_jit_mode_words[KRVK_JIT_SYNC], "sync");
  EXPECT_STREQ(krvk_jit_mode_words[KRVK_JIT_OFF], "off");
  EXPECT_STREQ(krvk_kernel_mode_words[KRVK_MODE_AUTO], "auto");
  EXPECT_STREQ(krvk_kernel_mode_words[KRVK_MODE_SCALAR], "scalar");
  EXPECT_STREQ(krvk_kernel_mode_words[KRVK_MODE_BATCH], "batch");
}

}  // namespace

// Run by ctest once per KRV_KERNEL_JIT value with the policy word expected at load in
// KRV_TEST_EXPECTED_JIT (see CMakeLists.txt); skipped in the ordinary run.
TEST(KernelSettingsAtLoad, PolicyMatchesTheStartingEnvironment) {
  const char* expected = std::getenv("KRV_TEST_EXPECTED_JIT");
  if (expected == nullptr) GTEST_SKIP() << "run through the kernel_jit_env_* tests";
  EXPECT_STREQ(krvk_jit_mode_words[krvk_jit_mode.load()], expected);
}
