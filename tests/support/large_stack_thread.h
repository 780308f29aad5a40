// Runs a test body on a thread with a stack of a given size, as a host gives its VM thread and workers.
//
// The standard library's regex matcher recurses per input byte: at the module's input limits it needs a
// few MiB of stack in an optimised build and more under the sanitizers, beyond what a test's main
// thread is sure to have. The stack is mapped here, exactly `stack_bytes` above a guard page: glibc
// would hand a new thread a cached stack up to four times larger than asked, and the module measures
// the stack it really has. The same thread, its stack painted first, measures the stack a body takes.
#pragma once
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <stdexcept>

inline constexpr size_t krv_large_stack_bytes = size_t{32} << 20;

// Runs `body` on a new thread with a `stack_bytes` stack (a multiple of the page size) and waits for it.
// With `paint`, every byte of the stack is set to it first, and the result is how many bytes at its top
// were written (the high-water mark of the thread, its start included); 0 without.
inline size_t krv_run_on_mapped_stack(const std::function<void()>& body, size_t stack_bytes,
                                      const unsigned char* paint) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* const mapping =
      mmap(nullptr, stack_bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) throw std::runtime_error("cannot map a large stack");
  mprotect(mapping, page, PROT_NONE);  // an overflow faults instead of writing below the stack
  unsigned char* const stack = static_cast<unsigned char*>(mapping) + page;
  if (paint != nullptr) std::memset(stack, *paint, stack_bytes);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, stack_bytes);
  pthread_t thread;
  const int failed = pthread_create(
      &thread, &attributes,
      [](void* run) -> void* {
        (*static_cast<const std::function<void()>*>(run))();
        return nullptr;
      },
      const_cast<std::function<void()>*>(&body));
  pthread_attr_destroy(&attributes);
  if (failed == 0) pthread_join(thread, nullptr);
  size_t untouched = 0;  // the stack grows down from the top of the mapping
  if (paint != nullptr)
    while (untouched < stack_bytes && stack[untouched] == *paint) ++untouched;
  munmap(mapping, stack_bytes + page);
  if (failed != 0) throw std::runtime_error("cannot start a large-stack thread");
  return paint != nullptr ? stack_bytes - untouched : 0;
}

inline void krv_run_on_large_stack(const std::function<void()>& body, size_t stack_bytes = krv_large_stack_bytes) {
  krv_run_on_mapped_stack(body, stack_bytes, nullptr);
}

// The bytes of stack `body` takes on a thread of `stack_bytes`, its start included.
inline size_t krv_stack_taken_by(const std::function<void()>& body, size_t stack_bytes = krv_large_stack_bytes) {
  constexpr unsigned char paint = 0xA5;
  return krv_run_on_mapped_stack(body, stack_bytes, &paint);
}
