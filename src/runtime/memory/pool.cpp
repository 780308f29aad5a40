#include "runtime/memory/pool.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "runtime/objects/log.h"

namespace {

template <class... Pieces>
void log_pool_error(const Pieces&... pieces) {
  krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, pieces...);
}

// The magic as the reports print it: in the form of an address.
const void* magic_as_address() { return reinterpret_cast<const void*>(uintptr_t{krv_pool_magic_open}); }

}  // namespace

krv_pool::~krv_pool() {
  for (uint8_t* page : pages) std::free(page);
}

void krv_pool::retire_top_page(const krv_pool_layout& layout) {
  krv_pool_page(free_pages.back(), layout).set_retired(true);
  free_pages.pop_back();
}

void krv_pool::reinstate(uint8_t* page, const krv_pool_layout& layout) {
  krv_pool_page(page, layout).set_retired(false);
  // Capacity for every page is reserved when a page is made, so this never allocates.
  free_pages.push_back(page);
}

krv_pool::pick krv_pool::take_entry_after_top(const krv_pool_layout& layout, void (*build_resting)(uint8_t*)) {
  while (!free_pages.empty()) {
    const pick taken = take_from_top_page(krv_pool_page(free_pages.back(), layout), layout);
    if (taken.entry != nullptr) return taken;
  }
  return take_from_new_page(layout, build_resting);
}

krv_pool::pick krv_pool::take_from_new_page(const krv_pool_layout& layout, void (*build_resting)(uint8_t*)) {
  uint8_t* base = static_cast<uint8_t*>(std::malloc(layout.page_size()));
  bool listed = false;
  if (base != nullptr) {
    try {
      pages.reserve(pages.size() + 1);
      free_pages.reserve(pages.size() + 1);
      listed = true;
    } catch (const std::bad_alloc&) {
    }
  }
  if (!listed) {
    std::free(base);
    --live;
    log_pool_error("Failed to allocate a pool chunk!");
    return {nullptr, 0};
  }
  const krv_pool_page page(base, layout);
  for (uint32_t i = 0; i < krv_pool_page_entries; ++i) {
    build_resting(page.entry(i));
    page.slot_byte(i) = static_cast<uint8_t>(i);
    page.stack_at(i) = static_cast<uint8_t>(krv_pool_page_entries - 1 - i);
  }
  page.set_free_count(krv_pool_page_entries);
  if (layout.bitmap) page.clear_bitmap();
  page.set_magic(krv_pool_magic_open);
  page.set_retired(false);
  pages.push_back(base);
  free_pages.push_back(base);
  ++page_count;
  const int index = pop_index(page);
  if (index < 0) return {nullptr, 0};
  return {page.entry(static_cast<uint32_t>(index)), static_cast<uint8_t>(index)};
}

size_t krv_pool::release_free_pages(const krv_pool_layout& layout, size_t reserve,
                                     void (*destroy_resting)(uint8_t*)) noexcept {
  const auto wholly_free = [&layout](uint8_t* page) {
    return krv_pool_page(page, layout).free_count() == krv_pool_page_entries;
  };
  // The reserve is the first `reserve` wholly free pages from the top (the back) of the stack.
  auto kept_from = free_pages.end();
  for (size_t kept = 0; kept < reserve && kept_from != free_pages.begin();)
    if (wholly_free(*--kept_from)) ++kept;
  // Below it, partly used pages keep their order and the wholly free ones gather at [released, kept_from).
  const auto released = std::stable_partition(free_pages.begin(), kept_from, [&](uint8_t* page) { return !wholly_free(page); });
  if (released == kept_from) return 0;
  std::sort(released, kept_from);
  std::erase_if(pages, [&](uint8_t* page) { return std::binary_search(released, kept_from, page); });
  for (auto page = released; page != kept_from; ++page) {
    if (destroy_resting != nullptr)
      for (uint32_t i = 0; i < krv_pool_page_entries; ++i) destroy_resting(krv_pool_page(*page, layout).entry(i));
    std::free(*page);
  }
  const auto count = static_cast<size_t>(kept_from - released);
  free_pages.erase(released, kept_from);
  page_count -= count;
  return count;
}

void krv_pool::reject_corrupt_index() {
  --live;
  throw std::out_of_range("invalid bitset position");
}

void krv_pool::report_double_allocation() {
  log_pool_error("Attempting to allocate an already allocated chunk! (double allocate?) !");
}

void krv_pool::report_double_free() noexcept {
  log_pool_error("Attempting to deallocate unallocated chunk (double free?) !");
}

void krv_pool::report_bad_magic(const uint8_t* page, const krv_pool_layout& layout) {
  if (layout.bitmap)
    log_pool_error("invalid pool magic num: %p vs %p ", static_cast<const void*>(page), " <-> ", magic_as_address());
  else
    log_pool_error("invalid pool magic num: %p vs %p", static_cast<const void*>(page), magic_as_address());
}

uint8_t* krv_pool::find_page(const uint8_t* entry, uint8_t slot, const krv_pool_layout& layout,
                             uint8_t& index) const {
  log_pool_error("invalid variable pool memory! %i ", int{slot});
  const size_t last_entry = size_t{krv_pool_page_entries - 1} * layout.entry_size;
  for (uint8_t* base : pages) {
    // Compared as integers: the entry may lie in no page at all.
    const auto at = reinterpret_cast<uintptr_t>(entry), start = reinterpret_cast<uintptr_t>(base);
    if (at < start || at > start + last_entry) continue;
    // An address inside an entry is not an entry.
    if ((at - start) % layout.entry_size != 0) break;
    const krv_pool_page page(base, layout);
    index = static_cast<uint8_t>((at - start) / layout.entry_size);
    log_pool_error("Seems like variable %p belongs to pool %p, offset was %i, but actually is %i.",
                   static_cast<const void*>(entry), static_cast<const void*>(base), int{slot}, int{index});
    if (page.on_free_stack(index)) {
      log_pool_error("Additionally, the variable was already free'd. Check for mem corruptions.");
      return nullptr;
    }
    // A page whose magic is wrong is corrupt (reported already) and a closed page takes nothing back.
    return page.magic() == krv_pool_magic_open ? base : nullptr;
  }
  log_pool_error("unknown var encountered.");
  return nullptr;
}
