// Kept heap entries: a thread's magazine, the depot between threads, its bound, late releases.
#include "runtime/memory/heap_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// An entry kind of this test alone, so that no other code shares its magazines and depot.
struct counted_entry {
  ~counted_entry() { ++deleted; }
  static inline std::atomic<int> deleted{0};
  uint64_t word = 0;
};
using cache = krv_heap_cache<counted_entry>;
using entries = std::vector<counted_entry*>;

entries keep_new(size_t count) {
  entries kept(count);
  for (auto& entry : kept) cache::keep(entry = new counted_entry());
  return kept;
}
// Everything the calling thread's magazine and the depot hold, in the order taken; the caller deletes it.
entries take_all() {
  entries taken;
  while (counted_entry* entry = cache::take()) taken.push_back(entry);
  return taken;
}
template <class Work>
void on_thread(Work work) {
  std::thread(work).join();
}

// The 129th entry finds the magazine full: its upper half (the 65th to the 128th) goes to the depot,
// where another thread finds it; the rest stays with the thread that kept it, last kept first taken.
TEST(HeapCache, AFullMagazineHandsItsUpperHalfToOtherThreads) {
  const entries kept = keep_new(129);
  entries elsewhere;
  on_thread([&] { elsewhere = take_all(); });
  const entries here = take_all();
  EXPECT_EQ(elsewhere, entries(kept.rend() - 128, kept.rend() - 64));
  entries rest(kept.rend() - 64, kept.rend());
  rest.insert(rest.begin(), kept[128]);
  EXPECT_EQ(here, rest);
  for (counted_entry* entry : kept) delete entry;
}

// An exiting thread leaves its magazine to the depot, which deletes what it has no room for.
TEST(HeapCache, TheDepotDeletesWhatItHasNoRoomFor) {
  const int deleted_before = counted_entry::deleted;
  on_thread([] { keep_new(krv_heap_depot::capacity + 100); });
  EXPECT_EQ(counted_entry::deleted - deleted_before, 100);
  const entries taken = take_all();
  EXPECT_EQ(taken.size(), krv_heap_depot::capacity);
  for (counted_entry* entry : taken) delete entry;
}

// A thread-local destroyed after the thread's drains have run may still release entries, of a kind the
// thread had not used yet: they go to the depot, not to a magazine that nobody would drain.
TEST(HeapCache, EntriesReleasedAfterTheThreadsDrainsReachTheDepot) {
  struct other_entry {
    uint64_t word = 0;
  };
  struct releases_at_exit {
    counted_entry* entry = nullptr;
    ~releases_at_exit() { cache::keep(entry); }
  };
  counted_entry* const released_late = new counted_entry();
  on_thread([&] {
    static thread_local releases_at_exit holder;  // made before the drains, so destroyed after them
    holder.entry = released_late;
    krv_heap_cache<other_entry>::keep(new other_entry());
  });
  EXPECT_EQ(take_all(), entries{released_late});
  delete released_late;
  delete krv_heap_cache<other_entry>::take();
}

#if defined(__SANITIZE_ADDRESS__)
TEST(HeapCacheUnderAsan, AKeptEntryCannotBeTouched) {
  EXPECT_DEATH(keep_new(1)[0]->word = 1, "use-after-poison");
}
#endif

}  // namespace
