// How far the calling thread's stack may still grow: nearly all of a thread's stack at its start, 320 KiB
// less five 64 KiB frames deeper; on the main thread at most what RLIMIT_STACK allows.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "large_stack_thread.h"
#include "platform/thread_stack.h"

namespace {

// What is left below a frame `depth` calls deeper, each call holding 64 KiB.
[[gnu::noinline]] size_t left_deeper(int depth) {
  volatile char hold[64 * 1024];
  hold[0] = 0;
  return (depth == 0 ? krv_platform::stack_bytes_left() : left_deeper(depth - 1)) + hold[0];
}

TEST(ThreadStack, LeftBelowTheCallerOnEachThread) {
  constexpr size_t kib = 1024, mib = kib * kib, frames = 5 * 64 * kib;
  for (const size_t size : {1 * mib, 8 * mib, 32 * mib}) {
    size_t at_start = 0, deeper = 0;
    const auto measure = [&] {
      at_start = krv_platform::stack_bytes_left();
      deeper = left_deeper(4);
    };
    krv_run_on_large_stack(measure, size);
    EXPECT_LE(at_start, size) << size;
    EXPECT_GT(at_start, size - 32 * kib) << size;  // the thread's descriptor and TLS sit at the top
    EXPECT_LT(deeper, at_start - frames) << size;
    EXPECT_GT(deeper, at_start - frames - 4 * kib) << size;
  }
  rlimit main_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &main_limit), 0);
  EXPECT_GT(krv_platform::stack_bytes_left(), 0u);
  EXPECT_LT(krv_platform::stack_bytes_left(), std::min<rlim_t>(main_limit.rlim_cur, RLIM_INFINITY - 1));
}

}  // namespace
