#include "module/task_queue.h"

#include <thread>

namespace {

// Waits until `state` moves from `from` to `to` by compare-and-swap, spin-reading between attempts.
void claim_state(std::atomic<uint8_t>& state, uint8_t from, uint8_t to) {
  for (uint32_t spins = 0;; ++spins) {
    uint8_t expected = from;
    if (state.compare_exchange_weak(expected, to, std::memory_order_acquire, std::memory_order_relaxed)) return;
    while (state.load(std::memory_order_relaxed) != from) {
      if (++spins > 64) std::this_thread::yield();
    }
  }
}

}  // namespace

krv_task_queue::krv_task_queue() {
  for (auto& state : states) state.store(0, std::memory_order_relaxed);
}

// Jobs still queued go unrun: destroying them is what gives their references back.
krv_task_queue::~krv_task_queue() = default;

bool krv_task_queue::try_push(job&& work) {
  job taken = std::move(work);
  return try_push_keep(taken) != push_outcome::full;
}

krv_task_queue::push_outcome krv_task_queue::try_push_keep(job& work) {
  if (!work) return push_outcome::dropped;
  if (stopping.load(std::memory_order_acquire) != 0) {
    job dropped = std::move(work);
    return push_outcome::dropped;
  }
  uint32_t claimed = tail.load(std::memory_order_relaxed);
  for (;;) {
    const auto used = static_cast<int32_t>(claimed - head.load(std::memory_order_acquire));
    if (used >= static_cast<int32_t>(slot_count)) return push_outcome::full;
    if (tail.compare_exchange_weak(claimed, claimed + 1, std::memory_order_acq_rel, std::memory_order_relaxed)) break;
  }
  const uint32_t slot = claimed & slot_mask;
  claim_state(states[slot], 0, 1);
  slots[slot] = std::move(work);
  states[slot].store(2, std::memory_order_release);
  signal_sleepers(pending.fetch_add(1, std::memory_order_seq_cst) + 1);
  return push_outcome::queued;
}

uint64_t krv_task_queue::signal_sleepers(uint64_t now_pending) {
  const uint64_t asleep = sleepers.load(std::memory_order_seq_cst);
  const uint64_t signals = asleep < now_pending ? asleep : now_pending;
  if (signals == 0) return 0;
  wake_count.fetch_add(1, std::memory_order_seq_cst);
  for (uint64_t i = 0; i < signals; ++i) wake_count.notify_one();
  return signals;
}

void krv_task_queue::wake_all() noexcept {
  wake_count.fetch_add(1, std::memory_order_seq_cst);
  wake_count.notify_all();
}

bool krv_task_queue::try_pop(job& out) {
  // A unit of `pending` is a job some producer finished writing; claiming one first means the slot at
  // the head this consumer claims next is filled or being filled, never empty for good.
  uint64_t queued = pending.load(std::memory_order_acquire);
  do {
    if (queued == 0) return false;
  } while (!pending.compare_exchange_weak(queued, queued - 1, std::memory_order_acq_rel, std::memory_order_acquire));
  const uint32_t slot = head.fetch_add(1, std::memory_order_acq_rel) & slot_mask;
  claim_state(states[slot], 2, 1);
  out = std::move(slots[slot]);
  slots[slot] = nullptr;
  states[slot].store(0, std::memory_order_release);
  return true;
}
