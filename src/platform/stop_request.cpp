#include "platform/stop_request.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace krv_platform {

namespace {

// 1 once a stop was requested. A futex word, so that sleepers wait on it and the request wakes them.
std::atomic<uint32_t> stop_asked{0};
static_assert(sizeof(stop_asked) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex system call reads the atomic as a plain 32-bit word");

long futex(int operation, uint32_t value, const timespec* timeout) noexcept {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&stop_asked), operation, value, timeout, nullptr, 0);
}

}  // namespace

void request_stop() noexcept {
  stop_asked.store(1, std::memory_order_release);
  futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

bool stop_requested() noexcept { return stop_asked.load(std::memory_order_acquire) != 0; }

bool wait_for_stop(std::chrono::milliseconds limit) noexcept {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!stop_requested()) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                           static_cast<long>(left.count() % 1'000'000'000)};
    // Returns at a wake, at the timeout, on a signal or at once when the word is no longer 0: the loop
    // looks again in every case.
    futex(FUTEX_WAIT_PRIVATE, 0, &timeout);
  }
  return true;
}

}  // namespace krv_platform
