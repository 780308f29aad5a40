#include "kernel/runtime/settings.h"

#include <cstdlib>
#include <cstring>

std::atomic<uint32_t> krvk_kernel_mode{KRVK_MODE_AUTO};
std::atomic<uint32_t> krvk_kernel_threads{0};
std::atomic<uint32_t> krvk_jit_mode{init_kernel_jit_mode()};

uint32_t krvk_jit_mode_from_env(const char* value) noexcept {
  if (value == nullptr) return KRVK_JIT_AUTO;
  if (std::strcmp(value, "sync") == 0) return KRVK_JIT_SYNC;
  if (std::strcmp(value, "off") == 0) return KRVK_JIT_OFF;
  return KRVK_JIT_AUTO;
}

uint32_t init_kernel_jit_mode() noexcept { return krvk_jit_mode_from_env(std::getenv("KRV_KERNEL_JIT")); }
