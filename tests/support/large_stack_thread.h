// Runs a test body on a thread with a large stack, as the host gives its VM thread and worker threads.
//
// The standard library's regex matcher recurses per input byte: at the module's input limits it needs a
// few MiB of stack in an optimised build and more under the sanitizers, beyond what a test's main
// thread is sure to have.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <functional>
#include <stdexcept>

inline constexpr size_t krv_large_stack_bytes = size_t{32} << 20;

// Runs `body` on a new thread with a `stack_bytes` stack and waits for it to finish.
inline void krv_run_on_large_stack(const std::function<void()>& body, size_t stack_bytes = krv_large_stack_bytes) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack_bytes);
  pthread_t thread;
  const int failed = pthread_create(
      &thread, &attributes,
      [](void* run) -> void* {
        (*static_cast<const std::function<void()>*>(run))();
        return nullptr;
      },
      const_cast<std::function<void()>*>(&body));
  pthread_attr_destroy(&attributes);
  if (failed != 0) throw std::runtime_error("cannot start a large-stack thread");
  pthread_join(thread, nullptr);
}
