// Fixed-entry pools: where cells, reference blocks and value records of a VM live.
//
// A krv_pool is the header the VM state holds for one entry type; its pages (pool_page.h) hold 255
// entries each. Only the VM-lock holder allocates from a pool or returns entries to its pages; other
// threads hand entries back through the pool's return ring (return_ring.h), which the host drains.
//
// Allocation pops the top index of the most recently used page with free entries; a page that runs out
// is retired (taken off the free-pages stack) and comes back with its first returned entry. A fresh page
// hands out index 0 first, then 1, 2, ... Bitmap pools mark each allocated entry, which catches double
// allocations and double frees. Every free checks the page magic. Corruption found on a free is logged
// and the entry left alone: frees run inside destructors, so they never throw.
//
// The header's layout is shared with the host to the byte; the host owns the words marked as its own.
//
// Pages live as long as the pool unless the host asks for them: release_free_pages frees the pages whose
// every entry is free, except a reserve of them nearest the top of the free-pages stack (the next to
// serve). A page holds no live entry then, so no holder or return ring can still lead into it; the host
// drains the rings first (host_vm.h).
//
// An entry type T joins by specialising krv_pool_traits<T> (pool entries of its own kind derive from
// krv_pool_bitmap_traits or krv_pool_record_traits); the VM state then holds a krv_pool_of<T>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "runtime/memory/pool_page.h"
#include "runtime/memory/return_ring.h"

// Entries that stay constructed for the life of their page (cells, reference blocks): every entry is
// built once when the page is made; allocation only marks it, and a freed entry must already be back in
// its resting state. These pools keep a bitmap.
template <class T, size_t SlotOffset>
struct krv_pool_bitmap_traits {
  static constexpr krv_pool_layout layout{sizeof(T), SlotOffset, true};
  static void build_resting(uint8_t* entry) { new (entry) T(); }
  static T* hand_out(uint8_t* entry, uint8_t index) noexcept {
    entry[SlotOffset] = index;
    return reinterpret_cast<T*>(entry);
  }
  static void take_back(T*) noexcept {}
};

// Entries constructed on allocation and destroyed (their handles released) on free: value records.
// T's constructor takes the slot byte. These pools keep no bitmap.
template <class T, size_t SlotOffset>
struct krv_pool_record_traits {
  static constexpr krv_pool_layout layout{sizeof(T), SlotOffset, false};
  static void build_resting(uint8_t*) {}
  static T* hand_out(uint8_t* entry, uint8_t index) { return new (entry) T(index); }
  static void take_back(T* entry) noexcept { entry->~T(); }
};

template <class T>
struct krv_pool_traits;

class krv_pool {
 public:
  krv_pool() = default;
  krv_pool(const krv_pool&) = delete;
  krv_pool& operator=(const krv_pool&) = delete;
  // Frees every page. Entries still allocated are their holders' leak; the pages go all the same.
  ~krv_pool();

  void* host_word = nullptr;         // the host's; the module never reads it
  std::vector<uint8_t*> pages;       // every page, in creation order
  std::vector<uint8_t*> free_pages;  // pages with free entries, used as a stack (last first)
  uint64_t page_count = 0;           // pages.size(), kept for the host
  uint64_t live = 0;                 // allocation attempts minus failed page allocations minus frees
  uint8_t host_reserved[56] = {};    // the host's; the module never touches it
  krv_pool_return_ring ring;         // frees from threads without the VM lock

  // Free entries on open pages: at least krv_pool_page_entries x the wholly free pages, so the host can
  // tell in constant time that a pool has none worth releasing.
  uint64_t free_entries() const noexcept { return page_count * krv_pool_page_entries - live; }

 protected:
  // An entry taken from a page, with its index there; entry null when none could be taken.
  struct pick {
    uint8_t* entry;
    uint8_t index;
  };

  // Takes a free index from the top free page, retiring pages that have none and making a page when no
  // page is left. Inline for the top page only, with Page's layout folded into constants; results travel
  // in registers: this runs on every allocation.
  template <class Page>
  pick take_entry(const krv_pool_layout& layout, void (*build_resting)(uint8_t*)) {
    ++live;
    if (!free_pages.empty()) [[likely]] {
      const pick taken = take_from_top_page(Page(free_pages.back()), layout);
      if (taken.entry != nullptr) [[likely]] return taken;
    }
    return take_entry_after_top(layout, build_resting);
  }

  // Puts `index` back on its page's free stack; a bitmap pool first checks and clears its bit. A
  // retired page returns to the free-pages stack. False (and nothing changed) for a double free.
  template <class Page>
  static bool mark_free(const Page& page, uint8_t index) noexcept {
    if (!page.layout().bitmap) return true;
    if (!page.allocated(index)) [[unlikely]] {
      report_double_free();
      return false;
    }
    page.set_allocated(index, false);
    return true;
  }
  template <class Page>
  void push_free(const Page& page, uint8_t index) noexcept {
    page.push_free(index);
    if (page.retired()) [[unlikely]] reinstate(page.base(), page.layout());
    --live;
  }

  // Frees the wholly free pages beyond the `reserve` of them nearest the top of the free-pages stack,
  // first destroying each page's resting entries when `destroy_resting` is given; returns how many went.
  // VM-lock holder only, with the return ring drained.
  size_t release_free_pages(const krv_pool_layout& layout, size_t reserve, void (*destroy_resting)(uint8_t*)) noexcept;

  // The open page that holds `entry` when its slot byte did not lead there, with the entry's real index.
  // Null when the entry lies in no page, is already free, or its page is not open. Logs what it finds.
  uint8_t* find_page(const uint8_t* entry, uint8_t slot, const krv_pool_layout& layout, uint8_t& index) const;
  static void report_bad_magic(const uint8_t* page, const krv_pool_layout& layout);

 private:
  // The next entry of `page`, the top free page; retires the page and gives no entry when it has none.
  template <class Page>
  pick take_from_top_page(const Page& page, const krv_pool_layout& layout) {
    const int index = pop_index(page);
    if (index >= 0) [[likely]] return {page.entry(static_cast<uint32_t>(index)), static_cast<uint8_t>(index)};
    retire_top_page(layout);
    return {nullptr, 0};
  }

  // Pops the top free index of `page`; -1 when the page has none or a bitmap pool finds the index
  // already allocated (logged), and the page is then treated as exhausted.
  template <class Page>
  int pop_index(const Page& page) {
    const uint8_t count = page.free_count();
    if (count == 0) [[unlikely]] return -1;
    const uint8_t index = page.stack_at(count - 1u);
    page.set_free_count(count - 1u);
    if (index >= krv_pool_page_entries) [[unlikely]] reject_corrupt_index();
    if (page.layout().bitmap) {
      if (page.allocated(index)) [[unlikely]] {
        report_double_allocation();
        return -1;
      }
      page.set_allocated(index, true);
    }
    return index;
  }

  // Out of line, these take the page by address and the layout by reference to the traits' constant: a
  // page view whose address escapes would live in memory on the allocation path instead of registers.
  void retire_top_page(const krv_pool_layout& layout);
  void reinstate(uint8_t* page, const krv_pool_layout& layout);
  // take_entry once the top page gave nothing: the remaining free pages, then a new page.
  pick take_entry_after_top(const krv_pool_layout& layout, void (*build_resting)(uint8_t*));
  pick take_from_new_page(const krv_pool_layout& layout, void (*build_resting)(uint8_t*));
  [[noreturn]] void reject_corrupt_index();
  static void report_double_allocation();
  static void report_double_free() noexcept;
};

static_assert(offsetof(krv_pool, host_word) == 0);
static_assert(offsetof(krv_pool, pages) == 8);
static_assert(offsetof(krv_pool, free_pages) == 32);
static_assert(offsetof(krv_pool, page_count) == 56);
static_assert(offsetof(krv_pool, live) == 64);
static_assert(offsetof(krv_pool, host_reserved) == 72);
static_assert(offsetof(krv_pool, ring) == 128);
static_assert(offsetof(krv_pool, ring) + offsetof(krv_pool_return_ring, head) == 192);
static_assert(offsetof(krv_pool, ring) + offsetof(krv_pool_return_ring, slots) == 256);

// The pool of one entry type. Adds no data: every pool keeps the shared header layout.
template <class T>
class krv_pool_of : public krv_pool {
 public:
  // A fresh entry with its slot byte set, or null when no page could be made (logged). VM-lock holder
  // only. Throws std::out_of_range "invalid bitset position" when a page's free stack is corrupt.
  T* allocate() {
    using traits = krv_pool_traits<T>;
    const pick taken = take_entry<krv_pool_fixed_page<traits::layout>>(traits::layout, &traits::build_resting);
    if (taken.entry == nullptr) [[unlikely]] return nullptr;
    return traits::hand_out(taken.entry, taken.index);
  }

  // Returns an entry to its page (null: nothing). VM-lock holder only.
  void free(T* entry) noexcept {
    constexpr const krv_pool_layout& layout = krv_pool_traits<T>::layout;
    if (entry == nullptr) return;
    auto* bytes = reinterpret_cast<uint8_t*>(entry);
    const uint8_t slot = bytes[layout.slot_offset];
    if (slot < krv_pool_page_entries) [[likely]] {
      const krv_pool_fixed_page<krv_pool_traits<T>::layout> page(bytes - size_t{slot} * layout.entry_size);
      const uint32_t magic = page.magic();
      if (magic == krv_pool_magic_open) [[likely]] return give_back(page, slot);
      if (magic == krv_pool_magic_closed) return;
      report_bad_magic(page.base(), layout);
    }
    free_lost(bytes, slot);
  }

  // See krv_pool::release_free_pages; the entries of these pools need no destruction while they rest.
  size_t release_free_pages(size_t reserve) noexcept {
    return krv_pool::release_free_pages(krv_pool_traits<T>::layout, reserve, nullptr);
  }

  // The host's VM tick: frees every entry waiting in the return ring into its page, in ticket order.
  // Stops at a ticket whose pusher has not stored its entry yet. Returns the number of entries freed.
  size_t drain_return_ring() noexcept {
    return ring.consume([this](void* entry) { free(static_cast<T*>(entry)); });
  }

 private:
  template <class Page>
  void give_back(const Page& page, uint8_t index) noexcept {
    if (!mark_free(page, index)) return;
    // A record's handles are released before its index is free again; releasing may free other entries.
    krv_pool_traits<T>::take_back(reinterpret_cast<T*>(page.entry(index)));
    push_free(page, index);
  }
  // An entry whose slot byte or page magic did not lead to its page: searched for among the pages.
  [[gnu::noinline]] void free_lost(uint8_t* bytes, uint8_t slot) noexcept {
    constexpr const krv_pool_layout& layout = krv_pool_traits<T>::layout;
    uint8_t index = 0;
    if (uint8_t* found = find_page(bytes, slot, layout, index)) give_back(krv_pool_page(found, layout), index);
  }
};
