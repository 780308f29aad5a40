// The end of a run gives up waiting only for workers that are inside a job: idle workers that are merely
// slow to wake and leave are always waited for, however many there are and however short the patience.
// The test runs the pool on one processor, as a loaded machine would: the workers woken by the stop then
// wait for the stopping thread to give the processor up, so none has left when it first looks.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/host_vm.h"
#include "host/worker_pool.h"

namespace {

// Runs the calling thread, and the threads it starts, on the processor it is on now.
class one_processor {
 public:
  one_processor() {
    sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
  }
  ~one_processor() { sched_setaffinity(0, sizeof saved_, &saved_); }

 private:
  cpu_set_t saved_;
};

TEST(WorkerPool, StopGivesUpOnlyOnAWorkerInsideAJob) {
  const one_processor pinned;
  const struct {
    const char* name;
    bool job_running;
    bool all_left;  // what stop with no patience returns
  } cases[] = {{"only idle workers", false, true}, {"one worker in a job", true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    krv_host_vm vm;
    std::atomic<bool> started{false}, release{false};
    krv_worker_pool pool(vm.state(), 256);
    if (c.job_running) {
      ASSERT_TRUE(vm.state().worker_queue.try_push([&] {
        started = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }));
      while (!started) std::this_thread::yield();
    }
    EXPECT_EQ(pool.stop({}, std::chrono::milliseconds(0)), c.all_left);
    EXPECT_EQ(pool.count(), c.all_left ? 0u : 256u);
    release = true;  // the pool's destructor joins the worker once its job ends
  }
}

}  // namespace
