// A thread of the host with a stack of its own size: the VM thread and the workers get 32 MiB, since
// the standard library's regex matcher recurses per input character and the in-place regex replace runs
// on the VM thread itself.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <functional>

inline constexpr size_t krv_host_stack_bytes = size_t{32} << 20;

class krv_host_thread {
 public:
  // Starts `body` at once; std::runtime_error when the system refuses the thread.
  explicit krv_host_thread(std::function<void()> body, size_t stack_bytes = krv_host_stack_bytes);
  // Joins the thread if it still runs.
  ~krv_host_thread();
  krv_host_thread(const krv_host_thread&) = delete;
  krv_host_thread& operator=(const krv_host_thread&) = delete;

  void join();

 private:
  std::function<void()> body_;
  pthread_t thread_{};
  bool joinable_ = false;
};
