// krv_object_pool<T>: the VM's pool of one pooled script class (std.string, std.json, std.buffer).
//
// Its entries are whole objects. Every entry of a page is constructed when the page is made and rests
// there, emptied, between uses (krv_pooled_class): allocation hands out a resting object, a release empties
// the object and gives it back. A resting object may still own storage kept for reuse (a string's small
// capacity), so the pool destroys its resting objects before the pages go. Objects still allocated then
// belong to holders that outlived the VM; they are left alone. Pages the host releases while the VM runs
// hold resting objects only, which are destroyed likewise.
#pragma once
#include <cstdint>

#include "runtime/memory/pool.h"

template <class T>
class krv_object_pool : public krv_pool_of<T> {
 public:
  krv_object_pool() = default;
  ~krv_object_pool() {
    constexpr const krv_pool_layout& layout = krv_pool_traits<T>::layout;
    for (uint8_t* base : this->pages) {
      const krv_pool_page page(base, layout);
      for (uint32_t i = 0; i < krv_pool_page_entries; ++i)
        if (!page.allocated(i)) destroy_resting(page.entry(i));
    }
  }

  size_t release_free_pages(size_t reserve) noexcept {
    return krv_pool::release_free_pages(krv_pool_traits<T>::layout, reserve, &destroy_resting);
  }

 private:
  static void destroy_resting(uint8_t* entry) noexcept { reinterpret_cast<T*>(entry)->~T(); }
};
