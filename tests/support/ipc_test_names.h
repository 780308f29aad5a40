// Channel names for IPC tests: unique per process and call, so tests running side by side never share a
// ring, and a check that a channel's region is gone from /dev/shm.
#pragma once
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

inline std::string krv_test_channel_name(const std::string& tag) {
  static std::atomic<unsigned> counter{0};
  return "t" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + tag;
}

// Whether the shared-memory region of channel `name` still exists.
inline bool krv_test_region_exists(const std::string& name) {
  return std::filesystem::exists("/dev/shm/krv_ipc_" + name);
}
