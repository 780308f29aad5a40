// The return ring of a pool: how threads that do not hold the VM lock give pooled entries back.
//
// Only the VM-lock holder touches pool pages. Any other thread that frees a pooled entry claims a ticket
// from `tail` by compare-and-swap and stores the entry pointer into the ticket's slot (0 = empty). The
// host's VM tick is the single consumer: in ticket order it takes each entry, frees it into its page,
// writes 0 into the slot and only then advances `head`. A ring holding krv_return_ring_slots entries
// not yet consumed is full: the freeing thread then takes the VM lock and frees into the page itself.
//
// The layout is shared with the host: tail and head on their own 64-byte lines, then the slots.
// Consecutive tickets land one cache line (8 slots) apart: the ticket's bits 0-2 and 3-5 are swapped.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t krv_return_ring_slots = 16384;
// How many entries the consumer takes between two publications of the head.
inline constexpr uint32_t krv_return_ring_head_batch = 64;

// The slot of a ticket: bits 0-2 and 3-5 of the ticket's ring index swapped.
constexpr uint32_t krv_return_ring_slot(uint32_t ticket) noexcept {
  const uint32_t index = ticket & (krv_return_ring_slots - 1);
  const uint32_t swapped = ((index >> 3) ^ index) & 7;
  return index ^ swapped ^ (swapped << 3);
}

struct krv_pool_return_ring {
  alignas(64) std::atomic<uint32_t> tail{0};  // next ticket to hand to a pusher
  alignas(64) std::atomic<uint32_t> head{0};  // next ticket the consumer takes; written by the consumer only
  alignas(64) std::atomic<uint64_t> slots[krv_return_ring_slots] = {};  // entry pointers, 0 = empty

  // Hands `entry` (never null) to the consumer. False when the ring is full; nothing was stored then.
  bool push(void* entry) noexcept {
    uint32_t ticket = tail.load(std::memory_order_relaxed);
    do {
      if (static_cast<int32_t>(ticket - head.load(std::memory_order_acquire)) >=
          static_cast<int32_t>(krv_return_ring_slots))
        return false;
    } while (!tail.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed));
    std::atomic<uint64_t>& slot = slots[krv_return_ring_slot(ticket)];
    const auto value = reinterpret_cast<uint64_t>(entry);
    uint64_t expected = 0;
    // The consumer may not have emptied the slot of the previous round yet.
    while (!slot.compare_exchange_weak(expected, value, std::memory_order_release, std::memory_order_relaxed)) {
      expected = 0;
      __builtin_ia32_pause();
    }
    return true;
  }

  // Consumer side: hands every entry pushed so far to `take`, in ticket order, emptying each slot after
  // `take` returned. Stops early at a ticket whose pusher has not stored its entry yet (a later call
  // takes it, keeping ticket order). The head is published every krv_return_ring_head_batch entries
  // and at the end, so pushers' fullness tests do not pull the head's line over for every entry.
  // Returns the number of entries taken.
  template <class Take>
  size_t consume(Take&& take) {
    const uint32_t first = head.load(std::memory_order_relaxed);
    const uint32_t end = tail.load(std::memory_order_acquire);
    uint32_t next = first;
    for (; next != end; ++next) {
      std::atomic<uint64_t>& slot = slots[krv_return_ring_slot(next)];
      const uint64_t entry = slot.load(std::memory_order_acquire);
      if (entry == 0) break;
      take(reinterpret_cast<void*>(entry));
      slot.store(0, std::memory_order_relaxed);
      if ((next + 1 - first) % krv_return_ring_head_batch == 0) head.store(next + 1, std::memory_order_release);
    }
    head.store(next, std::memory_order_release);
    return next - first;
  }
};

static_assert(offsetof(krv_pool_return_ring, tail) == 0);
static_assert(offsetof(krv_pool_return_ring, head) == 64);
static_assert(offsetof(krv_pool_return_ring, slots) == 128);
static_assert(sizeof(std::atomic<uint64_t>) == 8 && std::atomic<uint64_t>::is_always_lock_free);
