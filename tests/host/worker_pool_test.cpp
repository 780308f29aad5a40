// The end of a run gives up waiting only for workers that are inside a job: idle workers that are merely
// slow to wake and leave, or still destroying a job that has returned, are always waited for, however
// many there are and however short the patience.
// The test runs the pool on one processor, as a loaded machine would: the workers woken by the stop then
// wait for the stopping thread to give the processor up, so none has left when it first looks.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
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
  enum held { nowhere, in_the_job, destroying_the_job };  // where one worker is held until released
  const struct {
    const char* name;
    held worker;
    bool all_left;  // what stop with no patience returns
  } cases[] = {{"only idle workers", nowhere, true}, {"one worker in a job", in_the_job, false},
               {"one worker destroying a job that returned", destroying_the_job, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    krv_host_vm vm;
    std::atomic<bool> started{false}, release{false};
    krv_worker_pool pool(vm.state(), 256);
    const auto hold = [&] {
      started = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    if (c.worker == in_the_job) {
      ASSERT_TRUE(vm.state().worker_queue.try_push(hold));
    } else if (c.worker == destroying_the_job) {
      // The job is the capture's only owner: its destructor holds the worker that destroys the job.
      std::shared_ptr<void> held_in_destruction(nullptr, [&](void*) { hold(); });
      ASSERT_TRUE(vm.state().worker_queue.try_push([last = std::move(held_in_destruction)] {}));
    }
    while (c.worker != nowhere && !started) std::this_thread::yield();
    EXPECT_EQ(pool.busy_work().size(), c.worker == in_the_job ? 1u : 0u);  // a job that returned is no work
    if (c.worker == destroying_the_job) release = true;
    EXPECT_EQ(pool.stop({}, std::chrono::milliseconds(0)), c.all_left);
    EXPECT_EQ(pool.count(), c.all_left ? 0u : 256u);
    release = true;  // the pool's destructor joins the worker once its job ends
  }
}

}  // namespace
