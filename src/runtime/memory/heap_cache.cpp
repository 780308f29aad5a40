#include "runtime/memory/heap_cache.h"

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

namespace {

// Every depot that has kept an entry, newest first.
constinit std::atomic<krv_heap_depot*> opened_depots{nullptr};

// Set once the calling thread's drains have run: a magazine first used after that (a thread-local
// destroyed later may still release entries) is not registered and sends its entries to the depot.
constinit thread_local bool drains_ran = false;

// The drains of the calling thread's magazines, run at thread exit. One per kind of entry, and there are
// only a few kinds.
class thread_drains {
 public:
  bool add(krv_heap_magazine& magazine, void (*drain)(krv_heap_magazine&) noexcept) noexcept {
    if (count_ == max_kinds) return false;
    entries_[count_++] = {&magazine, drain};
    return true;
  }
  ~thread_drains() {
    drains_ran = true;
    for (uint32_t i = 0; i < count_; ++i) entries_[i].drain(*entries_[i].magazine);
  }

 private:
  static constexpr uint32_t max_kinds = 16;
  struct entry {
    krv_heap_magazine* magazine;
    void (*drain)(krv_heap_magazine&) noexcept;
  };
  entry entries_[max_kinds];
  uint32_t count_ = 0;
};

// Closes the depots when the module unloads. Constructed before any other static of the module and so
// destroyed after all of them: what they release while being destroyed is still kept, then deleted here.
struct depots_closer {
  ~depots_closer() { krv_heap_depot::close_all(); }
};
[[gnu::init_priority(101)]] depots_closer close_depots_at_unload;

}  // namespace

bool krv_heap_register_drain(krv_heap_magazine& magazine, void (*drain)(krv_heap_magazine&) noexcept) noexcept {
  if (drains_ran) return false;
  static thread_local thread_drains drains;
  return drains.add(magazine, drain);
}

void krv_heap_depot::lock() noexcept {
  while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void krv_heap_depot::delete_entry(void* entry) const noexcept {
  krv_heap_entry_unpoison(entry, entry_size_);
  delete_entry_(entry);
}

uint32_t krv_heap_depot::take(void** out) noexcept {
  lock();
  const uint32_t moved = std::min(count_, batch);
  count_ -= moved;
  if (moved != 0) std::copy_n(entries_ + count_, moved, out);
  unlock();
  return moved;
}

void krv_heap_depot::give(void* const* in, uint32_t count) noexcept {
  lock();
  if (entries_ == nullptr && !closed_) {
    entries_ = new (std::nothrow) void*[capacity];
    if (entries_ != nullptr) next_ = opened_depots.exchange(this, std::memory_order_acq_rel);
  }
  const uint32_t room = entries_ == nullptr || closed_ ? 0 : capacity - count_;
  const uint32_t kept = std::min(room, count);
  std::copy_n(in, kept, entries_ + count_);
  count_ += kept;
  unlock();
  for (uint32_t i = kept; i < count; ++i) delete_entry(in[i]);
}

void krv_heap_depot::close() noexcept {
  lock();
  closed_ = true;
  void** kept = std::exchange(entries_, nullptr);
  const uint32_t count = std::exchange(count_, 0);
  unlock();
  for (uint32_t i = 0; i < count; ++i) delete_entry(kept[i]);
  delete[] kept;
}

void krv_heap_depot::close_all() noexcept {
  for (krv_heap_depot* depot = opened_depots.load(std::memory_order_acquire); depot != nullptr; depot = depot->next_)
    depot->close();
}
