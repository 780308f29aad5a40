// One page of a fixed-entry pool: 255 entries of E bytes followed by the page's bookkeeping.
//
// The host builds, drains and frees the same pages, so the layout is fixed to the byte and packed
// without alignment gaps (E = entry size, N = 255):
//
//   0            255 x E   entries; each entry holds its own index (its slot byte) at a fixed position
//   255E         255       free-index stack, the top at index count-1
//   255E+255     u8        count of free entries
//   255E+256     4 x u64   allocation bitmap, bit i set while entry i is allocated (bitmap pools only)
//   next         u32       magic: krv_pool_magic_open, or krv_pool_magic_closed once the host closed it
//   next         u8        retired: 1 while the page is off the pool's free-pages stack
//
// Entries start at the page start, which malloc aligns for any entry type, and sizeof(T) keeps every
// entry aligned. The bookkeeping after the entries is not aligned: the bitmap words and the magic are
// read and written through memcpy, never through a misaligned pointer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr uint32_t krv_pool_page_entries = 255;
// The slot byte of an entry that did not come from a page (heap entries), never a page index.
inline constexpr uint8_t krv_pool_heap_slot = 255;
inline constexpr uint32_t krv_pool_magic_open = 0xFFABCDEFu;
// Written by the host only: frees into a closed page are ignored without a report.
inline constexpr uint32_t krv_pool_magic_closed = 0xFFAB0DEDu;

// Where the fields of a page lie for one entry type.
struct krv_pool_layout {
  uint32_t entry_size;   // E
  uint32_t slot_offset;  // position of the slot byte inside an entry
  bool bitmap;           // whether the page keeps an allocation bitmap

  constexpr size_t stack_offset() const { return size_t{krv_pool_page_entries} * entry_size; }
  constexpr size_t count_offset() const { return stack_offset() + krv_pool_page_entries; }
  constexpr size_t bitmap_offset() const { return count_offset() + 1; }
  constexpr size_t magic_offset() const { return bitmap_offset() + (bitmap ? 4 * sizeof(uint64_t) : 0); }
  constexpr size_t retired_offset() const { return magic_offset() + sizeof(uint32_t); }
  constexpr size_t page_size() const { return retired_offset() + 1; }
};

// Where a page view takes its layout from. Hot paths use krv_pool_static_layout, so every offset is a
// constant of the compiled code and the view is a bare pointer; cold paths shared by all entry types use
// krv_pool_dynamic_layout, a copy of the layout: page bytes are written through uint8_t*, which may alias
// anything, and a layout reached through a pointer would have to be read again after every such write.
template <const krv_pool_layout& Layout>
struct krv_pool_static_layout {
  static constexpr const krv_pool_layout& get() noexcept { return Layout; }
};

class krv_pool_dynamic_layout {
 public:
  constexpr krv_pool_dynamic_layout(const krv_pool_layout& layout) noexcept : layout_(layout) {}
  constexpr const krv_pool_layout& get() const noexcept { return layout_; }

 private:
  krv_pool_layout layout_;
};

// Typed access to the bookkeeping of one page.
template <class LayoutSource>
class krv_pool_page_view {
 public:
  explicit krv_pool_page_view(uint8_t* base, LayoutSource source = {}) noexcept : base_(base), source_(source) {}

  uint8_t* base() const noexcept { return base_; }
  const krv_pool_layout& layout() const noexcept { return source_.get(); }
  uint8_t* entry(uint32_t index) const noexcept { return base_ + size_t{index} * layout().entry_size; }
  uint8_t& slot_byte(uint32_t index) const noexcept { return entry(index)[layout().slot_offset]; }

  uint8_t free_count() const noexcept { return base_[layout().count_offset()]; }
  void set_free_count(uint8_t count) const noexcept { base_[layout().count_offset()] = count; }
  uint8_t& stack_at(uint32_t position) const noexcept { return base_[layout().stack_offset() + position]; }

  bool allocated(uint32_t index) const noexcept { return (bitmap_word(index) >> (index % 64)) & 1u; }
  void set_allocated(uint32_t index, bool on) const noexcept {
    const uint64_t bit = uint64_t{1} << (index % 64);
    const uint64_t word = bitmap_word(index);
    store(layout().bitmap_offset() + index / 64 * sizeof(uint64_t), on ? (word | bit) : (word & ~bit));
  }

  void clear_bitmap() const noexcept { std::memset(base_ + layout().bitmap_offset(), 0, 4 * sizeof(uint64_t)); }

  uint32_t magic() const noexcept { return load<uint32_t>(layout().magic_offset()); }
  void set_magic(uint32_t magic) const noexcept { store(layout().magic_offset(), magic); }
  bool retired() const noexcept { return base_[layout().retired_offset()] != 0; }
  void set_retired(bool retired) const noexcept { base_[layout().retired_offset()] = retired ? 1 : 0; }

  // Pushes `index` onto the free-index stack.
  void push_free(uint8_t index) const noexcept {
    const uint8_t count = free_count();
    stack_at(count) = index;
    set_free_count(count + 1);
  }
  // Whether `index` is among the free indexes on the stack.
  bool on_free_stack(uint8_t index) const noexcept {
    for (uint32_t i = 0; i < free_count(); ++i)
      if (stack_at(i) == index) return true;
    return false;
  }

 private:
  uint64_t bitmap_word(uint32_t index) const noexcept {
    return load<uint64_t>(layout().bitmap_offset() + index / 64 * sizeof(uint64_t));
  }
  template <class V>
  V load(size_t offset) const noexcept {
    V value;
    std::memcpy(&value, base_ + offset, sizeof value);
    return value;
  }
  template <class V>
  void store(size_t offset, V value) const noexcept {
    std::memcpy(base_ + offset, &value, sizeof value);
  }

  uint8_t* base_;
  [[no_unique_address]] LayoutSource source_;
};

// A view of a page of any pool, for the paths that serve every entry type.
using krv_pool_page = krv_pool_page_view<krv_pool_dynamic_layout>;
// A view of a page whose layout is known when compiling, for allocation and free.
template <const krv_pool_layout& Layout>
using krv_pool_fixed_page = krv_pool_page_view<krv_pool_static_layout<Layout>>;
