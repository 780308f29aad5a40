// The three process-wide settings that steer every kernel launch: which engine lane runners may use,
// how native code is made, and how many threads one launch may use.
//
// Each is one atomic 32-bit value shared by all VMs of the process; no rule relates them, so no lock
// guards them. Writers store with an atomic exchange, readers load atomically. A runner reads a setting
// once when it starts, so a change never affects a runner already running.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

enum krvk_kernel_mode_value : uint32_t { KRVK_MODE_AUTO = 0, KRVK_MODE_SCALAR = 1, KRVK_MODE_BATCH = 2 };
enum krvk_jit_mode_value : uint32_t { KRVK_JIT_AUTO = 0, KRVK_JIT_SYNC = 1, KRVK_JIT_OFF = 2 };

// 0 auto, 1 scalar, 2 batch; starts at 0.
extern std::atomic<uint32_t> krvk_kernel_mode;
// 0 = all threads, else at most that many threads per launch (launching thread included); starts at 0.
extern std::atomic<uint32_t> krvk_kernel_threads;
// 0 auto, 1 sync, 2 off; starts at what KRV_KERNEL_JIT says when the library loads.
extern std::atomic<uint32_t> krvk_jit_mode;

// The words the script functions accept and return, indexed by the setting's value.
inline constexpr std::array<const char*, 3> krvk_jit_mode_words = {"auto", "sync", "off"};
inline constexpr std::array<const char*, 3> krvk_kernel_mode_words = {"auto", "scalar", "batch"};

// The JIT policy that an environment value asks for: exactly "sync" or "off"; anything else (unset,
// empty, other case, extra blanks) is auto.
uint32_t krvk_jit_mode_from_env(const char* value) noexcept;

// Reads KRV_KERNEL_JIT once, while the library loads; later changes of the variable have no effect.
uint32_t init_kernel_jit_mode() noexcept;
