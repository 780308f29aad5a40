// Heap entries kept for reuse by threads that may not use the VM's pools.
//
// Off the VM lock (host workers, native-call scopes, threads without a VM) cells, reference blocks and
// the objects behind string, buffer and container values come from the heap. A worker that builds a list
// of thousands of values, which the VM thread later drops, would pay the allocator's general path for
// each entry: glibc keeps only seven chunks per size in its per-thread cache, and past them a malloc and
// free pair costs several times what the VM's pools do. So a freed heap entry is kept instead, resting
// and constructed as a pool entry is, in two tiers:
//  - each thread's magazine of up to 128 entries per kind, used without a lock;
//  - one depot per kind for the process, of at most 4,096 entries, with which magazines exchange 64
//    entries at a time under a short spin lock. The thread that makes values and the one that drops
//    them are often different (a worker and the VM thread), so entries flow back through the depot.
// An entry the depot has no room for is deleted. A thread's magazine goes to the depot when the thread
// exits, and the depots delete what they keep when the module unloads (after its static destructors);
// an entry freed later still is deleted.
//
// Kept entries stay heap entries (slot byte krv_pool_heap_slot): only what happens to their memory
// changes. Under AddressSanitizer a kept entry is poisoned, so a use after its release is still caught.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// The store of one kind's kept entries for the whole process. Constant-initialised and trivially
// destructible, so that any thread may use it at any time of the module's life, static destruction
// included.
class krv_heap_depot {
 public:
  static constexpr uint32_t capacity = 4096;  // entries kept at most
  static constexpr uint32_t batch = 64;        // entries moved to or from a magazine at once

  constexpr krv_heap_depot(void (*delete_entry)(void*) noexcept, size_t entry_size) noexcept
      : delete_entry_(delete_entry), entry_size_(entry_size) {}

  // Moves up to `batch` kept entries into `out`; returns how many it moved.
  uint32_t take(void** out) noexcept;
  // Keeps the `count` entries of `in` (all poisoned); those it has no room for are deleted.
  void give(void* const* in, uint32_t count) noexcept;
  // Deletes every kept entry; entries given later are deleted at once.
  void close() noexcept;
  // Closes every depot that has kept an entry. Runs when the module unloads.
  static void close_all() noexcept;

 private:
  void lock() noexcept;
  void unlock() noexcept { busy_.clear(std::memory_order_release); }
  void delete_entry(void* entry) const noexcept;

  std::atomic_flag busy_;                    // held while the fields below change
  bool closed_ = false;                      // set by close(); gives delete from then on
  uint32_t count_ = 0;                       // entries kept in entries_
  void** entries_ = nullptr;                 // `capacity` slots, made on the first give
  void (*const delete_entry_)(void*) noexcept;
  const size_t entry_size_;                  // for unpoisoning an entry before it is deleted
  krv_heap_depot* next_ = nullptr;           // the depot made before this one, for close_all
};

// AddressSanitizer: a kept entry may not be touched until it is taken again. Nothing in other builds.
inline void krv_heap_entry_poison([[maybe_unused]] void* entry, [[maybe_unused]] size_t size) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_POISON_MEMORY_REGION(entry, size);
#endif
}
inline void krv_heap_entry_unpoison([[maybe_unused]] void* entry, [[maybe_unused]] size_t size) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(entry, size);
#endif
}

// A thread's magazine of one kind. Trivially destructible (its drain at thread exit is registered
// separately), so it stays usable while the thread's other thread-locals are destroyed.
struct krv_heap_magazine {
  static constexpr uint32_t capacity = 2 * krv_heap_depot::batch;
  enum state_t : uint8_t { unregistered, open, drained };

  void* entries[capacity];
  uint32_t count;
  state_t state;  // unregistered until the thread's exit drain is registered; drained once it ran
};

// Registers `drain(magazine)` to run when the calling thread exits; false when no more can be registered.
bool krv_heap_register_drain(krv_heap_magazine& magazine, void (*drain)(krv_heap_magazine&) noexcept) noexcept;

// The kept entries of type T. `take` and `keep` are the whole interface: an entry is kept in the
// resting state its kind's pool entries rest in, and whoever takes it resets what the pool path resets.
template <class T>
class krv_heap_cache {
 public:
  // A kept entry, or null when none is kept (the caller makes one).
  static T* take() noexcept {
    krv_heap_magazine& local = local_;
    if (local.count == 0) [[unlikely]] {
      if (!refill(local)) return nullptr;
    }
    void* entry = local.entries[--local.count];
    krv_heap_entry_unpoison(entry, sizeof(T));
    return static_cast<T*>(entry);
  }

  // Keeps a resting heap entry for reuse, or deletes it when there is no room. The caller lets go of it.
  static void keep(T* entry) noexcept {
    krv_heap_magazine& local = local_;
    krv_heap_entry_poison(entry, sizeof(T));
    if (local.count == krv_heap_magazine::capacity || local.state != krv_heap_magazine::open) [[unlikely]]
      return keep_slow(local, entry);
    local.entries[local.count++] = entry;
  }

 private:
  static void delete_entry(void* entry) noexcept { delete static_cast<T*>(entry); }

  // Opens the magazine on the thread's first use; false when it cannot be (drained, or no registration).
  static bool ensure_open(krv_heap_magazine& local) noexcept {
    if (local.state == krv_heap_magazine::unregistered)
      local.state = krv_heap_register_drain(local, &drain) ? krv_heap_magazine::open : krv_heap_magazine::drained;
    return local.state == krv_heap_magazine::open;
  }

  [[gnu::noinline]] static bool refill(krv_heap_magazine& local) noexcept {
    if (!ensure_open(local)) return false;
    local.count = depot_.take(local.entries);
    return local.count != 0;
  }

  // A full magazine sends its upper half to the depot; a closed one sends the entry itself.
  [[gnu::noinline]] static void keep_slow(krv_heap_magazine& local, void* entry) noexcept {
    if (!ensure_open(local)) return depot_.give(&entry, 1);
    if (local.count == krv_heap_magazine::capacity) {
      local.count -= krv_heap_depot::batch;
      depot_.give(local.entries + local.count, krv_heap_depot::batch);
    }
    local.entries[local.count++] = entry;
  }

  static void drain(krv_heap_magazine& local) noexcept {
    local.state = krv_heap_magazine::drained;
    depot_.give(local.entries, local.count);
    local.count = 0;
  }

  static constinit inline krv_heap_depot depot_{&delete_entry, sizeof(T)};
  static constinit inline thread_local krv_heap_magazine local_{};
};
