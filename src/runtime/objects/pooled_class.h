// krv_pooled_class: pooled storage for the script objects behind string, buffer and container values.
//
// These objects are made and dropped as often as the values themselves, so they come from the VM's
// object pool of their class (krv_object_pool) when the calling thread may use the VM's pools, else from
// the heap. The slot byte says which: its index in the pool page, or krv_pool_heap_slot.
//
// A pooled class T declares `static constexpr auto pool = &krv_vm_state::<its pool>;` and specialises
// krv_pool_traits<T> as krv_pooled_class_traits<T>. Its release (destroy) empties the object and hands
// it to krv_pooled_recycle: a heap object is kept for reuse (heap_cache.h), a pooled one rests in its
// page until reused.
#pragma once
#include <cstddef>
#include <cstdint>

#include "module/pool_return.h"
#include "module/thread_record.h"
#include "runtime/memory/heap_cache.h"
#include "runtime/memory/pool.h"

class krv_pooled_class {
 public:
  uint8_t pool_slot = krv_pool_heap_slot;  // index in its pool page; krv_pool_heap_slot on the heap
};

// Where the slot byte lies inside a pooled object. The classes have a virtual base, which makes offsetof
// "conditionally supported"; g++ supports it for members outside virtual bases, which pool_slot is.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
template <class T>
inline constexpr size_t krv_pooled_slot_offset = offsetof(T, pool_slot);
#pragma GCC diagnostic pop

// Bitmap pool entries: built once with their page, handed out and taken back as they are.
template <class T>
struct krv_pooled_class_traits : krv_pool_bitmap_traits<T, krv_pooled_slot_offset<T>> {};

// A resting object of class T from the calling thread's VM pool, else one kept on the heap, else a new
// heap object. Resting objects are not rebuilt, so a worker-hold count that a previous user left behind
// is cleared here.
template <class T>
T* krv_pooled_allocate(const krv_thread_local& record) {
  T* object = nullptr;
  // A pool that cannot make a page has logged it; the heap still serves the object.
  if (record.may_use_vm_pools()) object = (record.vm->*T::pool).allocate();
  if (object == nullptr) object = krv_heap_cache<T>::take();
  if (object == nullptr) return new T();
  object->worker_holds = 0;
  return object;
}
template <class T>
T* krv_pooled_allocate() {
  return krv_pooled_allocate<T>(krv_get_thread_local());
}

// Gives an emptied object back: keeps a heap object for reuse, returns a pooled one to its page (through
// the pool's return ring from a thread without the VM lock; left in place on a thread without a VM).
template <class T>
void krv_pooled_recycle(T* object) noexcept {
  if (object->pool_slot == krv_pool_heap_slot) return krv_heap_cache<T>::keep(object);
  krv_pool_return<T::pool>(object);
}
// The same with the calling thread's record at hand.
template <class T>
void krv_pooled_recycle(T* object, const krv_thread_local& record) noexcept {
  if (object->pool_slot == krv_pool_heap_slot) {
    krv_heap_cache<T>::keep(object);
  } else if (record.vm != nullptr) {
    krv_pool_return(record.vm->*T::pool, object, record);
  }
}
