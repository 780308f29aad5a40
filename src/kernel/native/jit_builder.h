// The thread of the kernel's own that runs background builds of native code.
//
// A build under the "auto" policy runs a C compiler for a fraction of a second, or, when the compiler
// hangs, until the run limit kills it. On the host's workers that would hold a worker the script's own
// jobs need (a regex match, a launch helper, a worker_sum queued behind it) for the whole limit, so
// background builds run here instead, one after another, on one thread started at the first build and
// ended with the process, at the lowest priority. The script's workers never wait for a compiler.
//
// At most `krvk_jit_builder_queue_limit` builds wait; a refused build gives its slot back (a later launch
// asks again). When the builder stops (its static destructor at the process's end, or a test), the build
// in progress is abandoned: its compiler is killed within milliseconds and the slot is given back;
// queued builds are destroyed unrun, which gives their slots back too. The abandon flag is also the one
// sync builds on script threads watch, so a stop abandons them as well. A host about to end its process
// stops the builder for good: the flag then stays set, so no build starts any more. Nothing of a VM is
// used here: a job holds its kernel's unit, and the thread has no script's log (builds keep their
// warning lines for the next script call about a kernel, jit_cache.h).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// The build thread's niceness: the lowest priority.
inline constexpr int krvk_jit_builder_niceness = 19;

// Builds that may wait for the builder; more are refused.
inline constexpr size_t krvk_jit_builder_queue_limit = 1024;

class krvk_jit_builder {
 public:
  using job = std::function<void()>;

  // The process's builder; its destructor (at the process's end) abandons the build in progress.
  static krvk_jit_builder& instance();

  krvk_jit_builder() = default;
  ~krvk_jit_builder();
  krvk_jit_builder(const krvk_jit_builder&) = delete;
  krvk_jit_builder& operator=(const krvk_jit_builder&) = delete;

  // Queues a job, starting the thread when it is not running; false (the job destroyed) when
  // `krvk_jit_builder_queue_limit` jobs already wait.
  bool submit(job work);
  // Abandons the job in progress (and the sync builds under way), destroys the queued ones unrun and
  // joins the thread; the next submit starts it again. For the process's end and for tests.
  void stop();
  // The same for a process about to end: the abandon flag stays set, so every build that starts later
  // fails at once and no job is taken any more.
  void stop_for_good();
  // Whether the calling thread is the build thread, which has no script's log to write to.
  static bool on_build_thread() noexcept;
  // Non-zero while the builder is stopping (for good: from then on): builds under way kill their compilers.
  const std::atomic<uint8_t>& abandon() const noexcept { return abandon_; }

 private:
  void run();
  void stop(bool for_good);

  std::mutex stop_mutex_;  // one stop at a time: a stop that ended must not clear the flag another still needs
  std::mutex mutex_;  // guards queue_ and thread_
  std::condition_variable wake_;  // a job queued, or the builder stopping
  std::deque<job> queue_;
  std::atomic<uint8_t> abandon_{0};
  bool for_good_ = false;  // set by stop_for_good, under stop_mutex_: the flag is never cleared again
  std::thread thread_;  // joinable while running
};
