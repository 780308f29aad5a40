// How far the calling thread's stack may still grow: on threads of several sizes nearly all of it at the
// thread's start, less in a deeper frame; on the main thread at most what RLIMIT_STACK allows.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "large_stack_thread.h"
#include "platform/thread_stack.h"

namespace {

// What is left below a frame `depth` calls deeper, each call holding a 64 KiB array.
[[gnu::noinline]] size_t left_deeper(int depth) {
  volatile char hold[64 * 1024];
  hold[0] = 0;
  const size_t left = depth == 0 ? krv_platform::stack_bytes_left() : left_deeper(depth - 1);
  return left + hold[0];
}

TEST(ThreadStack, LeftBelowTheCallerOnThreadsOfEachSize) {
  constexpr size_t kib = 1024, mib = kib * kib;
  for (const size_t size : {1 * mib, 8 * mib, 16 * mib, 32 * mib}) {
    size_t at_start = 0, deeper = 0;
    const auto measure = [&] {
      at_start = krv_platform::stack_bytes_left();
      deeper = left_deeper(4);
    };
    krv_run_on_large_stack(measure, size);
    EXPECT_LE(at_start, size) << size;
    EXPECT_GT(at_start, size - 32 * kib) << size;  // the thread's descriptor and TLS sit at the top
    EXPECT_LT(deeper, at_start - 5 * 64 * kib) << size;
    EXPECT_GT(deeper, at_start - 5 * 64 * kib - 4 * kib) << size;
  }
}

TEST(ThreadStack, MainThreadHasAtMostItsRlimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &limit), 0);
  const size_t left = krv_platform::stack_bytes_left();
  EXPECT_GT(left, 0u);
  if (limit.rlim_cur != RLIM_INFINITY) {
    EXPECT_LT(left, limit.rlim_cur);
  }
}

}  // namespace
