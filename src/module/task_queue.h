// krv_task_queue: the VM's bounded queue of jobs for the host's worker threads.
//
// Any thread may push (the VM thread handing a native method's work off, kernel launches starting helper
// jobs); the host's workers take the jobs in slot order and run each once. The ring has 1,024 slots;
// slot index = counter & 0x3ff. Producers claim a slot by compare-and-swap on `tail` and then on the
// slot's state (0 free, 1 being written, 2 full); consumers claim by compare-and-swap on `head`, wait for
// the state to read 2, move the job out and free the slot. The queue is full when tail - head, taken as
// a signed 32-bit difference, is 1,024 or more; the counters are 32-bit and wrap.
//
// Workers sleep on the futex word `wake_count` when `pending` is 0 and count themselves in `sleepers`
// while they do; a push that finds sleepers bumps `wake_count` and signals min(sleepers, pending) of
// them. A producer never takes a lock, and no wake is lost: a worker reads `wake_count` before it counts
// itself asleep and tests `pending`, and waits only while the word still holds what it read, so a push
// that its test missed has bumped the word already (both sides order their steps sequentially
// consistently). Stopping bumps the word too, waking every sleeper.
//
// The layout is part of the host contract: the counters each own a cache line, and a slot is libstdc++'s
// 32-byte std::function.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

class krv_task_queue {
 public:
  using job = std::function<void()>;
  static constexpr uint32_t slot_count = 1024;
  static constexpr uint32_t slot_mask = slot_count - 1;

  // What a push did with its job.
  enum class push_outcome : uint8_t {
    queued,   // in a slot, a sleeping worker signalled
    dropped,  // empty job, or the queue is stopping: destroyed unrun
    full,     // 1,024 jobs waiting: left with the caller
  };

  krv_task_queue();
  ~krv_task_queue();
  krv_task_queue(const krv_task_queue&) = delete;
  krv_task_queue& operator=(const krv_task_queue&) = delete;

  // True when the job was queued, was empty, or was dropped because the queue is stopping; false when
  // the queue is full. The job is destroyed whenever it was not queued.
  bool try_push(job&& work);
  // The same, but a job refused for a full queue stays in `work`, so the caller can try it again.
  push_outcome try_push_keep(job& work);

  // Consumer side: takes the job at `head` when one is queued (waiting for a producer that is still
  // writing that slot). False when nothing is queued.
  bool try_pop(job& out);

  // Signals min(sleepers, `now_pending`) workers; returns how many.
  uint64_t signal_sleepers(uint64_t now_pending);
  // Wakes every sleeping worker (the host stopping them).
  void wake_all() noexcept;

  std::atomic<uint32_t> wake_count{0};          // futex word: bumped by every signal; workers wait on it
  alignas(64) std::atomic<uint32_t> tail{0};    // next slot to fill (u32 in a 64-bit field)
  uint32_t tail_high_ = 0;                      // the 64-bit field's upper half, always 0
  alignas(64) std::atomic<uint32_t> head{0};    // next slot the workers take
  alignas(64) std::atomic<uint8_t> states[slot_count];  // 0 free, 1 being written, 2 full
  job slots[slot_count];
  std::atomic<uint64_t> pending{0};             // jobs queued and not yet taken
  std::atomic<uint64_t> sleepers{0};            // workers asleep or about to sleep on `wake_count`
  std::atomic<uint8_t> stopping{0};             // set by the host when its workers shut down
  uint32_t worker_count = 0;                    // the host's worker threads serving the queue
};

static_assert(sizeof(std::function<void()>) == 32);
// std::function makes the class non-standard-layout, which makes offsetof
// "conditionally supported"; g++ supports it for a class without virtual bases.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(krv_task_queue, wake_count) == 0);
static_assert(offsetof(krv_task_queue, tail) == 64);
static_assert(offsetof(krv_task_queue, head) == 128);
static_assert(offsetof(krv_task_queue, states) == 192);
static_assert(offsetof(krv_task_queue, slots) == 192 + 1024);
static_assert(offsetof(krv_task_queue, pending) == 192 + 1024 + 1024 * 32);
static_assert(offsetof(krv_task_queue, sleepers) == offsetof(krv_task_queue, pending) + 8);
static_assert(offsetof(krv_task_queue, stopping) == offsetof(krv_task_queue, pending) + 16);
static_assert(offsetof(krv_task_queue, worker_count) == offsetof(krv_task_queue, pending) + 20);
#pragma GCC diagnostic pop
