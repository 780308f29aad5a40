// One kernel launch: a program run over a domain of work items (gid 0 .. total - 1) by several lane
// runners at once, the launching thread and helper jobs of the host's worker queue.
//
// The domain is cut into at most 256 chunks of consecutive work items whose bounds depend only on the
// domain size. Every runner picks its engine once (native code, the 64-lane interpreter or the scalar
// interpreter), works on private copies of the register file and pointer slots, claims chunks from one
// atomic counter, and writes each chunk's reduction values into that chunk's own slots. Results are
// combined in chunk order, so they do not depend on which runner ran which chunk.
//
// The first trap (any code but a requested stop) is stored and stops the launch: abort is set and the
// chunk counter is run to its end so that nobody claims another chunk. A runner that cannot set itself up
// for lack of memory claims nothing, stops the launch the same way and marks it failed, so waiters never
// hang and the unrun chunks never pass for a result.
//
// A stop from outside (the script dropped the launch's job, or the run is stopping: launch_stops.h) uses
// the same abort: runners leave at their next chunk or loop back edge, and the chunks never run are told
// apart from a whole result by `chunks_done`.
//
// Order of use: construct (through a shared pointer), prepare, bind arguments into `registers` and
// `pointer_slots`, start_helpers, wait; after wait returns, read `trap` (when trap_recorded is set),
// `failed` and collect_results. The launch's own fields are read-only while runners run.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"

// The interpreters and native code read the abort byte through a const volatile byte pointer.
static_assert(sizeof(std::atomic<uint8_t>) == 1 && std::atomic<uint8_t>::is_always_lock_free);

struct krvk_launch : std::enable_shared_from_this<krvk_launch> {
  krvk_launch();

  std::shared_ptr<const krvk_compiled_unit> unit;  // keeps the program alive as long as the launch
  const krvk_program* program = nullptr;  // the kernel being run
  std::vector<uint64_t> registers;  // initial register file: constants, domain sizes, bound scalars
  std::vector<kptr> pointer_slots;  // one per pointer parameter, then the frame slot if any
  uint64_t total = 0;  // work items: width x height
  uint64_t width = 1;  // domain width, at least 1 (2-D column and row)
  uint64_t chunk_size = 1;  // work items per chunk
  uint64_t chunk_count = 0;
  std::vector<uint64_t> reduction_slots;  // chunk c, reduction i at c x reduction count + i
  std::atomic<uint64_t> next_chunk{0};  // next chunk to claim; chunk_count or more: none left
  std::atomic<uint64_t> chunks_done{0};  // chunks whose reduction values are in their slots
  std::atomic<uint32_t> active_runners{0};  // runners inside run_lanes
  std::atomic<uint8_t> abort{0};  // 1 once a runner stopped the launch
  std::atomic<uint8_t> trap_recorded{0};  // 1 once `trap` holds the first trap
  ktrap trap{};  // the launch's first trap
  std::mutex mutex;  // only for the wait and the last runner's wake-up
  std::condition_variable finished;  // signalled by the last runner to leave
  std::atomic<uint8_t> failed{0};  // 1 when a runner could not set itself up: there is no result

  // Sets up a fresh launch of `program` over width x height work items.
  void prepare(std::shared_ptr<const krvk_compiled_unit> compiled_unit, const krvk_program* kernel,
               uint64_t domain_width, uint64_t height);
  // The lane runner: run by every helper job and by the waiting thread.
  void run_lanes() noexcept;
  // Offers up to n helper jobs to `enqueue`; returns how many it accepted. Throws std::bad_weak_ptr when
  // the launch is not owned by a shared pointer.
  int start_helpers(int n, const std::function<bool(std::function<void()>)>& enqueue);
  // Runs lanes on the calling thread, then blocks until every runner has left.
  void wait();
  // One value per reduction, combined over all chunks in chunk order; empty for a failed launch.
  std::vector<uint64_t> collect_results() const;
  // After wait: false when a stop from outside (stop(), with no trap and no failure) left chunks unrun,
  // so that the results are not the whole domain's.
  bool ran_every_chunk() const noexcept { return chunks_done.load(std::memory_order_acquire) == chunk_count; }

  // The abort byte as every engine reads it.
  const volatile unsigned char* abort_byte() const noexcept {
    return reinterpret_cast<const volatile unsigned char*>(&abort);
  }

  // Stops the launch: no runner claims another chunk, running ones stop at their next abort poll.
  void stop() noexcept;
  // Stores a runner's trap unless it is a requested stop or another trap came first; then stops.
  void record_trap(uint8_t code, const ktrap& runner_trap) noexcept;

 private:
  bool is_finished() const noexcept;
  void leave() noexcept;
};

// Chunk size for a domain of `total` work items: total / 256 rounded up, 1 for an empty domain.
uint64_t krvk_chunk_size(uint64_t total) noexcept;
