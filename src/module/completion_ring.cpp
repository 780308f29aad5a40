#include "module/completion_ring.h"

#include <thread>

krv_completion_ring::krv_completion_ring() {
  for (auto& state : states) state.store(0, std::memory_order_relaxed);
}

void krv_completion_ring::push(const krv_completion_record& record) {
  const uint32_t slot = tail.fetch_add(1, std::memory_order_acq_rel) & slot_mask;
  std::atomic<uint8_t>& state = states[slot];
  for (uint32_t spins = 0;; ++spins) {
    uint8_t expected = 0;
    if (state.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) break;
    while (state.load(std::memory_order_relaxed) != 0) {
      if (++spins > 64) std::this_thread::yield();
    }
  }
  records[slot] = record;
  state.store(2, std::memory_order_release);
}

bool krv_completion_ring::try_pop(krv_completion_record& out) {
  std::atomic<uint8_t>& state = states[head & slot_mask];
  if (state.load(std::memory_order_acquire) != 2) return false;
  out = records[head & slot_mask];
  state.store(0, std::memory_order_release);
  ++head;
  return true;
}
