#include "platform/thread_stack.h"

#include <pthread.h>

#include <cstdint>

namespace krv_platform {
namespace {

// The lowest usable address of the calling thread's stack; 0 when the system does not tell.
uintptr_t read_stack_floor() noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* lowest = nullptr;
  size_t size = 0;
  const int failed = pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  return failed != 0 ? 0 : reinterpret_cast<uintptr_t>(lowest);
}

}  // namespace

size_t stack_bytes_left() noexcept {
  static thread_local const uintptr_t floor = read_stack_floor();
  // The frame itself, not a local's address: under ASan a local may live on a heap-allocated fake stack.
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return floor != 0 && here > floor ? here - floor : 0;
}

}  // namespace krv_platform
